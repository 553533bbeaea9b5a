"""Quorvane wind products: Sentinel-1 GRD products and ERA5 files to CF
NetCDF ocean wind, on top of the native `Quorvane` module.

    from quorvane_wind import open_s1_grd, open_era5, make_wind_product

The command line is `quorvane-wind` (or `python -m quorvane_wind`). The
readers and the product need the `products` extra:
`pip install "quorvane[products]"`.
"""

__version__ = "0.1.0"

__all__ = ["open_s1_grd", "open_s1_grd_averaged", "open_era5", "collocate_era5",
           "make_wind_product", "write_product"]


def __getattr__(name):
    # Imported on first use, so that `import quorvane_wind` (and the
    # command's --help) work without loading xarray, dask and GDAL.
    if name in ("open_s1_grd", "open_s1_grd_averaged"):
        from . import sentinel1
        return getattr(sentinel1, name)
    if name in ("open_era5", "collocate_era5"):
        from . import era5
        return getattr(era5, name)
    if name in ("make_wind_product", "write_product"):
        from . import product
        return getattr(product, name)
    raise AttributeError(f"module 'quorvane_wind' has no attribute {name!r}")
