"""Land mask from the global-land-mask package (the GLOBE 1 km land/sea
grid, shipped inside the package). Its grid is loaded into memory (about
1 GB) the first time a mask is made, so it is imported only then."""

import numpy as np


def land_mask_block(latitude, longitude):
    """True where the points are on land (GLOBE 1 km), for arrays of any
    shape."""
    from global_land_mask import globe

    lat = np.clip(np.asarray(latitude, dtype=np.float64), -90.0, 90.0)
    lon = (np.asarray(longitude, dtype=np.float64) + 180.0) % 360.0 - 180.0
    return np.asarray(globe.is_land(lat, lon), dtype=bool)


def land_mask(latitude, longitude):
    """xarray: the land mask at DataArrays of latitude and longitude (lazy
    when they are dask-backed)."""
    import xarray as xr

    return xr.apply_ufunc(land_mask_block, latitude, longitude,
                          dask="parallelized", output_dtypes=[bool]).rename("land")
