"""Quicklook PNG of a written wind product: a map of the wind speed on
longitude/latitude (north up, east right) with a fixed colour scale, the
coastline, land, pixels without wind and speeds at the model's limit in
their own colours, and sparse ERA5 direction arrows. Drawn from a
decimated read of the NetCDF file, so its memory does not grow with the
scene.

The PNG carries the map's frame in a text chunk (`MAP_KEY`, JSON): the
axes' box in image pixels (left, top, right, bottom) and their longitude
and latitude limits, so that a reader can tell where a place is drawn."""

import json
import os
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .geo import wrap_longitude
from .atomic import remove_partial_files, write_atomically
from .conventions import LAND, NO_WIND_BITS, SPEED_AT_MODEL_LIMIT

if TYPE_CHECKING:
    import netCDF4
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# A picture of about a thousand pixels a side needs no more cells.
QUICKLOOK_PIXELS = 1_000_000
DEFAULT_RANGE = (0.0, 25.0)
MAP_KEY = "quorvane:map"
COLOURMAP = "viridis"
LAND_COLOUR, NO_WIND_COLOUR, LIMIT_COLOUR = "#737373", "#d0d0d0", "#e7298a"
ARROWS_PER_SIDE = 12
# The coastline's grid: finer than the 1 km land mask brings nothing.
COAST_STEP_DEG, COAST_MAX_POINTS = 1.0 / 120.0, 600


def decimated(variable: "netCDF4.Variable[Any]", step: int) -> NDArray[Any]:
    """Every `step`-th line and pixel of a 2-D netCDF4 variable, read one
    file chunk at a time: strided reads of compressed variables are slow in
    netCDF-C, and reading whole lines would decompress a row of chunks
    (more than the chunk cache holds) again for every band of lines."""
    rows, cols = variable.shape
    chunking = variable.chunking()
    if chunking == "contiguous":    # bands of lines of about 4 M values
        height, width = max(1, (1 << 22) // max(cols, 1)), cols
    else:
        height, width = chunking
    out: NDArray[Any] | None = None
    for r0 in range(0, rows, height):
        r1 = min(r0 + height, rows)
        for c0 in range(0, cols, width):
            c1 = min(c0 + width, cols)
            block = np.asarray(variable[r0:r1, c0:c1])[(-r0) % step::step, (-c0) % step::step]
            if out is None:
                out = np.empty((-(-rows // step), -(-cols // step)), dtype=block.dtype)
            i, j = -(-r0 // step), -(-c0 // step)     # first line and pixel kept
            out[i:i + block.shape[0], j:j + block.shape[1]] = block
    return out if out is not None else np.empty((0, 0))


def continuous_longitude(lon: ArrayLike) -> NDArray[np.float64]:
    """Longitudes without the jump at the antimeridian: each within 180
    degrees of the scene's middle point."""
    lon = np.asarray(lon, dtype=np.float64)
    middle = lon[lon.shape[0] // 2, lon.shape[1] // 2]
    out: NDArray[np.float64] = middle + (lon - middle + 180.0) % 360.0 - 180.0
    return out


def _longitude_label(value: float, _position: object = None) -> str:
    value = wrap_longitude(value)
    if abs(value) < 1e-9 or abs(abs(value) - 180.0) < 1e-9:
        return f"{abs(value):g}°"
    return f"{abs(value):g}°{'E' if value > 0 else 'W'}"


def _latitude_label(value: float, _position: object = None) -> str:
    if abs(value) < 1e-9:
        return "0°"
    return f"{abs(value):g}°{'N' if value > 0 else 'S'}"


def read_decimated(product_path: "str | os.PathLike[str]",
                   max_pixels: int = QUICKLOOK_PIXELS) -> dict[str, Any]:
    """The fields the map needs, every n-th line and pixel so that at most
    about `max_pixels` are read, with the product's name and start time."""
    import netCDF4

    with netCDF4.Dataset(product_path) as nc:
        nc.set_auto_mask(False)
        rows, cols = nc.variables["wind_speed"].shape
        step = max(1, int(np.ceil(np.sqrt(rows * cols / max_pixels))))
        fields: dict[str, Any] = {name: decimated(nc.variables[name], step)
                  for name in ("latitude", "longitude", "wind_speed", "mask", "wind_from_direction")}
        fields["name"] = nc.getncattr("sentinel1_product")
        fields["time"] = nc.getncattr("time_coverage_start")
    fields["longitude"] = continuous_longitude(fields["longitude"])
    fields["latitude"] = fields["latitude"].astype(np.float64)
    return fields


def _coastline(ax: "Axes", lon: NDArray[np.float64], lat: NDArray[np.float64]) -> None:
    """The land mask's outline on a regular grid over the scene."""
    from .landmask import land_mask_block

    west, east, south, north = lon.min(), lon.max(), lat.min(), lat.max()
    nx = int(min(COAST_MAX_POINTS, max(2, np.ceil((east - west) / COAST_STEP_DEG) + 1)))
    ny = int(min(COAST_MAX_POINTS, max(2, np.ceil((north - south) / COAST_STEP_DEG) + 1)))
    grid_lon, grid_lat = np.meshgrid(np.linspace(west, east, nx), np.linspace(south, north, ny))
    land = land_mask_block(grid_lat, grid_lon).astype(np.float32)
    if land.min() != land.max():
        ax.contour(grid_lon, grid_lat, land, levels=[0.5], colors="black", linewidths=0.7)


def draw_map(fields: dict[str, Any],
             speed_range: tuple[float, float] = DEFAULT_RANGE) -> tuple["Figure", "Axes"]:
    """The figure of the decimated fields (from `read_decimated`); returns
    (figure, axes). Speeds are coloured on the fixed `speed_range`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap, Normalize
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter

    lon, lat = fields["longitude"], fields["latitude"]
    speed = fields["wind_speed"].astype(np.float32)
    mask = fields["mask"].astype(np.uint8)
    land = (mask & LAND) != 0
    no_wind = ((mask & NO_WIND_BITS) != 0) & ~land
    at_limit = ((mask & SPEED_AT_MODEL_LIMIT) != 0) & ~land & ~no_wind
    # One category layer under the speeds: 0 land, 1 no wind, 2 at the limit.
    category = np.ma.masked_all(speed.shape, dtype=np.int8)
    category[land], category[no_wind], category[at_limit] = 0, 1, 2
    shown = np.ma.masked_where(~np.isfinite(speed) | land | no_wind | at_limit, speed)

    mid_lat = float(np.clip(np.mean(lat), -85.0, 85.0))
    aspect = 1.0 / np.cos(np.radians(mid_lat))
    width_deg = float(np.ptp(lon)) or 1e-3
    height_deg = float(np.ptp(lat)) * aspect or 1e-3
    map_width = 7.0
    map_height = float(np.clip(map_width * height_deg / width_deg, 2.5, 10.0))
    fig, ax = plt.subplots(figsize=(map_width + 2.2, map_height + 1.8), dpi=100)
    ax.pcolormesh(lon, lat, category, cmap=ListedColormap([LAND_COLOUR, NO_WIND_COLOUR, LIMIT_COLOUR]),
                  vmin=-0.5, vmax=2.5, shading="nearest", rasterized=True)
    cmap = matplotlib.colormaps[COLOURMAP]
    mesh = ax.pcolormesh(lon, lat, shown, cmap=cmap, norm=Normalize(*speed_range), shading="nearest",
                         rasterized=True)
    _coastline(ax, lon, lat)

    rows, cols = speed.shape
    every = max(1, int(np.ceil(max(rows, cols) / ARROWS_PER_SIDE)))
    pick = (slice(every // 2, None, every), slice(every // 2, None, every))
    towards = np.radians(fields["wind_from_direction"][pick].astype(np.float64) + 180.0)
    # angles="uv": the arrows' angle on the page from east and north
    # components; the axes' aspect keeps the page's angles the map's.
    ax.quiver(lon[pick], lat[pick], np.sin(towards), np.cos(towards), angles="uv", pivot="middle",
              color="white", edgecolor="black", linewidth=0.4, width=0.004, scale=25)

    ax.set_aspect(aspect)
    ax.set_xlim(lon.min(), lon.max())
    ax.set_ylim(lat.min(), lat.max())
    ax.xaxis.set_major_formatter(FuncFormatter(_longitude_label))
    ax.yaxis.set_major_formatter(FuncFormatter(_latitude_label))
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title(f"{fields['name']}\n{fields['time']}", fontsize=8)
    low, high = speed_range
    fig.colorbar(mesh, ax=ax, label=f"wind speed at 10 m (m/s), fixed scale {low:g}-{high:g}",
                 extend="both" if low > 0 else "max", shrink=0.8)
    fig.legend(handles=[Patch(color=LAND_COLOUR, label="land"),
                        Patch(color=NO_WIND_COLOUR, label="no wind"),
                        Patch(color=LIMIT_COLOUR, label="26 m/s or more"),
                        Line2D([], [], color="black", linewidth=0.7, label="coastline"),
                        Line2D([], [], color="black", marker=r"$\rightarrow$", linestyle="",
                               markersize=10, label="ERA5 wind direction")],
               loc="lower center", ncol=5, fontsize=7, frameon=False)
    fig.tight_layout(rect=(0.0, 0.05, 1.0, 1.0))
    return fig, ax


def map_frame(fig: "Figure", ax: "Axes") -> dict[str, list[float]]:
    """The axes' box in image pixels (left, top, right, bottom; rows from
    the top) and their limits, for the PNG's text chunk."""
    fig.canvas.draw()
    box = ax.get_window_extent()
    height = fig.bbox.height
    return {"axes_box": [box.x0, height - box.y1, box.x1, height - box.y0],
            "xlim": list(ax.get_xlim()), "ylim": list(ax.get_ylim()),
            "image_size": [fig.bbox.width, height]}


def write_quicklook(product_path: "str | os.PathLike[str]", path: "str | os.PathLike[str]",
                    speed_range: tuple[float, float] = DEFAULT_RANGE,
                    max_pixels: int = QUICKLOOK_PIXELS) -> None:
    """Draws the product at `product_path` (a written NetCDF file) to the
    PNG `path`, atomically, decimated to at most about `max_pixels`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fields = read_decimated(product_path, max_pixels)
    fig, ax = draw_map(fields, speed_range)
    try:
        metadata = {MAP_KEY: json.dumps(map_frame(fig, ax))}
        remove_partial_files(path)
        write_atomically(path, lambda tmp: fig.savefig(tmp, format="png", dpi=fig.dpi, metadata=metadata))
    finally:
        plt.close(fig)
