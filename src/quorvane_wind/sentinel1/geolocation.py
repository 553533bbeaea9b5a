"""The annotation's geolocation grid: latitude, longitude and incidence
angle interpolated bilinearly in line/pixel at any (also fractional) pixel,
and the look azimuth (ground direction of increasing range) from its
slopes."""

from dataclasses import dataclass, field
from typing import Literal, TypeAlias

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from ..geo import wrap_longitude
from .calibration import LineVectorLut

Float64Array: TypeAlias = NDArray[np.float64]


@dataclass
class Geolocation:
    """The annotation's geolocation grid: latitude, longitude and incidence
    angle at some lines and pixels."""

    lines: Float64Array
    pixels: Float64Array
    latitude: Float64Array      # (lines, pixels)
    longitude: Float64Array     # unwrapped: continuous across the antimeridian
    incidence: Float64Array
    _luts: dict[str, LineVectorLut] = field(default_factory=dict, init=False, repr=False, compare=False)

    def _lut(self, which: str) -> LineVectorLut:
        # Made once per field, not once per chunk.
        if which not in self._luts:
            values = getattr(self, which)
            self._luts[which] = LineVectorLut(self.lines, [self.pixels] * self.lines.size,
                                              list(values))
        return self._luts[which]

    def field(self, which: str, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """"latitude", "longitude" (in [-180, 180)) or "incidence" at the
        rows x cols grid, bilinear in line/pixel."""
        values = self._lut(which)(rows, cols)
        return wrap_longitude(values) if which == "longitude" else values

    def unwrapped_longitude(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Longitude continuous across the antimeridian (not wrapped into
        [-180, 180)), bilinear in line/pixel."""
        return self._lut("longitude")(rows, cols)

    def look_azimuth(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Azimuth (degrees clockwise from north, [0, 360)) of the ground
        direction of increasing pixel at the rows x cols grid. At each grid
        point it is the bearing of the tangent to the grid's line, on the
        sphere, from the second-order change of latitude and longitude along
        pixels; between points it is interpolated bilinearly like the other
        fields. Longitudes are unwrapped, so the antimeridian does not
        matter; the east component shrinks with cos(latitude) towards the
        poles."""
        if "look_azimuth" not in self._luts:
            order: Literal[1, 2] = 2 if self.pixels.size > 2 else 1
            # As ArrayLike: NumPy's stubs give a 2-D gradient as a tuple even along one axis.
            latitude: ArrayLike = self.latitude
            longitude: ArrayLike = self.longitude
            dlat: Float64Array = np.gradient(latitude, self.pixels, axis=1, edge_order=order)
            dlon: Float64Array = np.gradient(longitude, self.pixels, axis=1, edge_order=order)
            azimuth = np.degrees(np.arctan2(dlon * np.cos(np.radians(self.latitude)), dlat))
            azimuth = np.unwrap(np.unwrap(azimuth, period=360.0, axis=1), period=360.0, axis=0)
            self._luts["look_azimuth"] = LineVectorLut(self.lines, [self.pixels] * self.lines.size,
                                                       list(azimuth))
        azimuth = self._luts["look_azimuth"](rows, cols) % 360.0
        return np.where(azimuth >= 360.0, 0.0, azimuth)



def geolocation_from_gcp(gcp: xr.Dataset) -> Geolocation:
    lines = np.asarray(gcp["line"].values, dtype=np.float64)
    pixels = np.asarray(gcp["pixel"].values, dtype=np.float64)
    lat = np.asarray(gcp["latitude"].values, dtype=np.float64)
    lon = np.asarray(gcp["longitude"].values, dtype=np.float64)
    inc = np.asarray(gcp["incidenceAngle"].values, dtype=np.float64)
    if np.isnan(lat).any() or np.isnan(lon).any() or np.isnan(inc).any():
        raise ValueError("the geolocation grid is not a full line x pixel grid")
    # Continuous longitudes, so that interpolation across the antimeridian
    # does not pass through 0.
    lon = np.degrees(np.unwrap(np.unwrap(np.radians(lon), axis=1), axis=0))
    return Geolocation(lines, pixels, lat, lon, inc)

