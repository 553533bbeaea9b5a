"""Quorvane wind products: Sentinel-1 GRD products and ERA5 files to CF
NetCDF ocean wind, on top of the native `Quorvane` module.

    from quorvane_wind import open_s1_grd, open_era5, make_wind_product

The command line is `quorvane-wind` (or `python -m quorvane_wind`). The
readers and the product need the `products` extra:
`pip install "quorvane[products]"`. Stage messages go to the logger
"quorvane_wind" (INFO).
"""

from typing import TYPE_CHECKING, Any

from ._version import __version__

# The public names and the submodule each is loaded from on first use, so
# that `import quorvane_wind` (and the command's --help) work without
# loading xarray, dask and GDAL.
_LAZY = {
    "open_s1_grd": "sentinel1", "open_s1_grd_averaged": "grid",
    "read_grd_metadata": "sentinel1", "GrdScene": "sentinel1",
    "open_era5": "era5", "collocate_era5": "era5", "Era5Files": "era5",
    "make_wind_product": "product", "write_product": "netcdf",
    "InputError": "errors", "CoverageError": "errors", "OutputError": "errors",
    "ProcessingWarning": "errors",
}

__all__ = ["__version__", *_LAZY]

if TYPE_CHECKING:
    # What type checkers see of the names loaded on first use: each imported
    # "as itself", which marks it as exported for users' `mypy --strict`.
    from .era5 import Era5Files as Era5Files
    from .era5 import collocate_era5 as collocate_era5
    from .era5 import open_era5 as open_era5
    from .errors import CoverageError as CoverageError
    from .errors import InputError as InputError
    from .errors import OutputError as OutputError
    from .errors import ProcessingWarning as ProcessingWarning
    from .grid import open_s1_grd_averaged as open_s1_grd_averaged
    from .netcdf import write_product as write_product
    from .product import make_wind_product as make_wind_product
    from .sentinel1 import GrdScene as GrdScene
    from .sentinel1 import open_s1_grd as open_s1_grd
    from .sentinel1 import read_grd_metadata as read_grd_metadata


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quorvane_wind' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f".{module}", __name__), name)


def __dir__() -> list[str]:
    # The public names and the module's own dunders, not the helpers of
    # this file nor the submodules loaded so far.
    return sorted(set(__all__) | {name for name in globals() if name.startswith("__")})
