"""Quorvane on chunked and labelled arrays: the block functions for dask and
the xarray wrappers, now installed with the package as
`quorvane_wind.retrieval` (`pip install ".[products]"`). This file keeps the
examples' old import name working:

    import quorvane_xarray as qx
    speed = qx.cmod5n_wind_speed(relative, incidence, sigma0_db)
"""

from quorvane_wind.retrieval import (  # noqa: F401
    as_grids,
    cmod5n_wind_speed,
    era5_wind_direction,
    relative_direction_block,
    relative_wind_direction,
    wind_direction_block,
    wind_speed_block,
)
