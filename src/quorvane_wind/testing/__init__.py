"""Fixtures in the real formats, for tests, benchmarks and demonstrations.

Writers of Sentinel-1 GRD products (the `.SAFE` layout, zipped or not) and
of ERA5 NetCDF files (the current and the legacy CDS layouts) with a known
wind, the CMOD5.N forward model in NumPy that makes their sigma0, and a
synthetic SAR wind scene held in arrays:

    from quorvane_wind.testing import GrdConfig, write_grd_product, write_era5_cds

    safe, truth = write_grd_product(tmp_path, GrdConfig(lines=100, samples=120))
    era5 = write_era5_cds(tmp_path / "era5.nc", step=1.0)

`truth` holds the speed, direction, geometry and sigma0 the product was made
from. The submodules hold the helpers as well: `s1_grd` (products and ERA5
files), `sar_scene` (the synthetic scene), `cmod5n_forward` (the forward
model and the retrieval's speed ladder).

Importing this package needs NumPy only; the product writer needs rasterio
and the ERA5 writers netCDF4 (the `products` extra). It is not imported by
`import quorvane_wind`.
"""

from .cmod5n_forward import sigma0_cmod5n
from .s1_grd import (
    Era5Field,
    GrdConfig,
    Truth,
    scene_truth,
    write_era5_cds,
    write_era5_legacy,
    write_grd_product,
    zip_product,
)
from .sar_scene import Scene, SceneConfig, synthesize_scene

__all__ = [
    "Era5Field",
    "GrdConfig",
    "Scene",
    "SceneConfig",
    "Truth",
    "scene_truth",
    "sigma0_cmod5n",
    "synthesize_scene",
    "write_era5_cds",
    "write_era5_legacy",
    "write_grd_product",
    "zip_product",
]
