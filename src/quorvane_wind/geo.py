"""Longitude conventions, written once: numbers and NumPy arrays alike,
without importing NumPy (the command uses them before it loads it)."""

from typing import TypeVar

T = TypeVar("T")


def wrap_longitude(lon: T) -> T:
    """Longitude in [-180, 180)."""
    return (lon + 180.0) % 360.0 - 180.0  # type: ignore[operator, return-value]
