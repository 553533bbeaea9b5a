"""A user's script of the products layer as the README shows it, checked by
`mypy --strict` against the installed package (never run)."""

import numpy as np
import xarray as xr

from quorvane_wind import (collocate_era5, make_wind_product, open_era5, open_s1_grd, open_s1_grd_averaged,
                           read_grd_metadata, write_product)
from quorvane_wind.retrieval import cmod5n_wind_speed, era5_wind_direction, relative_wind_direction, sigma0_to_db


def make(path: str, era5_path: str, out: str) -> float:
    scene: xr.Dataset = open_s1_grd(path)
    era5 = open_era5([era5_path])
    wind: xr.Dataset = collocate_era5(era5, scene.latitude, scene.longitude, scene.time.values[0])
    product = make_wind_product(scene.isel(line=slice(500, 1500)), era5)
    write_product(product, out)
    averaged = open_s1_grd_averaged(path, 1000)
    direction = era5_wind_direction(wind.u10, wind.v10)
    relative = relative_wind_direction(direction, scene.look_direction)
    speed = cmod5n_wind_speed(relative, scene.incidence_angle, sigma0_to_db(scene.sigma0))
    heading: float = read_grd_metadata(path, "VV").heading
    return float(np.nanmean(averaged.sigma0.values)) + float(speed.mean()) + heading
