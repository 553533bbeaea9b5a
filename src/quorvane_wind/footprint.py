"""Where a product lies: the edges and corners of its grid, the ACDD
footprint as WKT (cut at the antimeridian) and the longitude bounds."""

from collections.abc import Callable, Iterable

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .geo import wrap_longitude
from .grid import SceneGrid


def grid_edges(grid: SceneGrid) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Latitude and (continuous) longitude along the edges of the product's
    grid, where the extremes of a swath lie, without computing the grid."""
    g = grid.scene.geolocation
    lines, pixels = grid.line_coords, grid.pixel_coords
    ends = (np.array([lines[0], lines[-1]]), np.array([pixels[0], pixels[-1]]))
    lat = np.concatenate([g.field("latitude", ends[0], pixels).ravel(),
                          g.field("latitude", lines, ends[1]).ravel()])
    lon = np.concatenate([g.unwrapped_longitude(ends[0], pixels).ravel(),
                          g.unwrapped_longitude(lines, ends[1]).ravel()])
    return lat, lon


def grid_corners(grid: SceneGrid) -> list[tuple[float, float]]:
    """(longitude, latitude) of the grid's four corners, in order around
    it, longitudes continuous."""
    g = grid.scene.geolocation
    lines, pixels = grid.line_coords, grid.pixel_coords
    around = [(lines[0], pixels[0]), (lines[0], pixels[-1]), (lines[-1], pixels[-1]), (lines[-1], pixels[0])]
    return [(float(g.unwrapped_longitude([r], [c])[0, 0]), float(g.field("latitude", [r], [c])[0, 0]))
            for r, c in around]


def footprint_wkt(corners: Iterable[tuple[float, float]]) -> str:
    """ACDD geospatial_bounds: the WKT polygon of the scene's corners (lon
    lat order, counter-clockwise, EPSG:4326); across the antimeridian a
    MULTIPOLYGON of the two parts, cut at 180 degrees."""
    points = _counter_clockwise(list(corners))
    west = min(c[0] for c in points)
    east = max(c[0] for c in points)
    shift = 360.0 * float(np.floor((west + 180.0) / 360.0))
    points = [(x - shift, y) for x, y in points]
    if east - shift <= 180.0:
        return _polygon(points)
    parts = [_clip(points, -180.0, 180.0), [(x - 360.0, y) for x, y in _clip(points, 180.0, 540.0)]]
    return "MULTIPOLYGON (" + ", ".join(_polygon(p)[len("POLYGON "):] for p in parts if p) + ")"


def _counter_clockwise(points: list[tuple[float, float]]) -> list[tuple[float, float]]:
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]))
    return points if area > 0 else points[::-1]


def _polygon(points: list[tuple[float, float]]) -> str:
    ring = points + points[:1]
    return "POLYGON ((" + ", ".join(f"{x:.5f} {y:.5f}" for x, y in ring) + "))"


def _clip(points: list[tuple[float, float]], low: float, high: float) -> list[tuple[float, float]]:
    """The part of a polygon between two meridians (Sutherland-Hodgman on
    the longitude axis)."""
    sides: list[tuple[float, Callable[[float], bool]]] = [(low, lambda x: x >= low),
                                                          (high, lambda x: x <= high)]
    for bound, keep in sides:
        out: list[tuple[float, float]] = []
        for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
            if keep(x0):
                out.append((x0, y0))
            if keep(x0) != keep(x1):
                t = (bound - x0) / (x1 - x0)
                out.append((bound, y0 + t * (y1 - y0)))
        points = out
        if not points:
            break
    return points


def longitude_bounds(longitude: ArrayLike) -> tuple[float, float]:
    """ACDD's geospatial_lon_min/max of continuous (unwrapped) longitudes:
    each end in [-180, 180), so min > max when the scene crosses the
    antimeridian; the whole circle when it spans 360 degrees."""
    lon = np.asarray(longitude, dtype=np.float64)
    west, east = float(np.min(lon)), float(np.max(lon))
    if east - west >= 360.0:
        return -180.0, 180.0
    return wrap_longitude(west), wrap_longitude(east)
