"""Typed use of Quorvane, for `mypy --strict` (tests/python/test_typing.py).

Every `type: ignore` marks a call the stub must reject: with --strict an
ignore that is not needed is itself an error, so a stub that accepted these
calls would fail the check."""
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import Quorvane


def wind_speed(u10: NDArray[np.float32], v10: NDArray[np.float32], look_azimuth_deg: float,
               incidence: NDArray[np.float32], sigma0_db: NDArray[np.float32]) -> NDArray[np.float64]:
    direction = Quorvane.python_ERA5_windAngle(u10, v10)
    assert_type(direction, NDArray[np.float32])
    relative = (np.degrees(direction) - look_azimuth_deg).astype(np.float32)
    speed = Quorvane.python_windspeedCmod5n(relative, incidence, sigma0_db)
    assert_type(speed, NDArray[np.float64])
    by_keyword = Quorvane.python_windspeedCmod5n(sigma0=sigma0_db, inc_angle=incidence,
                                                 wind_dir=relative)
    assert_type(by_keyword, NDArray[np.float64])
    return speed


def rejected(grid: NDArray[np.float32], grid64: NDArray[np.float64]) -> None:
    Quorvane.python_ERA5_windAngle(grid64, grid)  # type: ignore[arg-type]
    Quorvane.python_windspeedCmod5n([[10.0]], grid, grid)  # type: ignore[arg-type]
    Quorvane.python_windspeedCmod5n(grid, grid)  # type: ignore[call-arg]
    Quorvane.python_ERA5_windAngle(grid, wind_v10=grid)  # type: ignore[call-arg]
    speed: NDArray[np.float32] = Quorvane.python_windspeedCmod5n(grid, grid, grid)  # type: ignore[assignment]
    del speed


def module_numpy() -> NDArray[np.float32]:
    return Quorvane.np.zeros((2, 3), dtype=Quorvane.np.float32)
