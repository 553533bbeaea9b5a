"""Quicklook PNG of a written wind product, fit for a report: a map of the
wind speed on longitude/latitude (north up, east right) with a fixed colour
scale, the coastline, land, sea ice, pixels without wind and speeds at the
model's limit in their own colours, and sparse ERA5 direction arrows over
the sea; a title saying what and when, the Copernicus attribution, and a
legend of only what is drawn. Drawn from a decimated read of the NetCDF
file, so its memory does not grow with the scene.

The PNG carries the map's frame in a text chunk (`MAP_KEY`, JSON): the
axes' box in image pixels (left, top, right, bottom) and their longitude
and latitude limits, so that a reader can tell where a place is drawn."""

import io
import json
import os
import re
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .geo import wrap_longitude
from .atomic import remove_partial_files, write_atomically
from .conventions import FLAGS, LAND, NO_WIND_BITS, SPEED_AT_MODEL_LIMIT

if TYPE_CHECKING:
    import netCDF4
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# A picture of about a thousand pixels a side needs no more cells.
QUICKLOOK_PIXELS = 1_000_000
DEFAULT_RANGE = (0.0, 25.0)
MAP_KEY = "quorvane:map"
COLOURMAP = "viridis"
LAND_COLOUR, NO_WIND_COLOUR, LIMIT_COLOUR, ICE_COLOUR = "#737373", "#d0d0d0", "#e7298a", "#bfe6ff"
# Read through FLAGS, so that a product without the bit has no such class.
SEA_ICE = FLAGS.get("sea_ice", 0)
# Print resolution: the figure is about 9 inches wide.
DPI = 200
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
        for key in ("orbit_pass", "spatial_resolution", "sentinel1_polarisation", "acknowledgement",
                    "platform", "era5_time"):
            fields[key] = str(getattr(nc, key, ""))
    fields["longitude"] = continuous_longitude(fields["longitude"])
    fields["latitude"] = fields["latitude"].astype(np.float64)
    return fields


def _coastline(ax: "Axes", lon: NDArray[np.float64], lat: NDArray[np.float64]) -> bool:
    """The land mask's outline on a regular grid over the scene; whether
    there is any."""
    from .landmask import land_mask_block

    west, east, south, north = lon.min(), lon.max(), lat.min(), lat.max()
    nx = int(min(COAST_MAX_POINTS, max(2, np.ceil((east - west) / COAST_STEP_DEG) + 1)))
    ny = int(min(COAST_MAX_POINTS, max(2, np.ceil((north - south) / COAST_STEP_DEG) + 1)))
    grid_lon, grid_lat = np.meshgrid(np.linspace(west, east, nx), np.linspace(south, north, ny))
    land = land_mask_block(grid_lat, grid_lon).astype(np.float32)
    if land.min() == land.max():
        return False
    ax.contour(grid_lon, grid_lat, land, levels=[0.5], colors="black", linewidths=0.7)
    return True


def block_metres(spatial_resolution: str) -> float:
    """The block (or pixel) size in metres that a product's
    `spatial_resolution` states first ("1000 m", "native (10 m azimuth x
    10 m range pixel spacing)"); 1000 when it states none."""
    found = re.search(r"(\d+(?:\.\d+)?) m\b", spatial_resolution)
    return float(found.group(1)) if found else 1000.0


def _edges(centres: NDArray[np.float64], axis: int, step: float) -> NDArray[np.float64]:
    """Cell edges along `axis` from cell centres: halfway between centres,
    half a step beyond the outer ones; `step` only where there is a single
    centre along the axis."""
    a = np.moveaxis(centres, axis, 0)
    if a.shape[0] > 1:
        middle = (a[1:] + a[:-1]) / 2.0
        edges = np.concatenate([2.0 * a[:1] - middle[:1], middle, 2.0 * a[-1:] - middle[-1:]])
    else:
        edges = np.concatenate([a - step / 2.0, a + step / 2.0])
    return np.moveaxis(edges, 0, axis)


def cell_corners(lon: NDArray[np.float64], lat: NDArray[np.float64],
                 block_m: float) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The corners (one more line and column) of the cells centred on the
    decimated pixels, so that a scene of one line or one block still has an
    area. Along a single line or column the cell's step is the other
    direction's turned by 90 degrees, or `block_m` for a single pixel."""
    coslat = max(float(np.cos(np.radians(np.mean(lat)))), 0.01)
    x, y = lon * coslat, lat              # about isotropic degrees

    def step(axis: int) -> tuple[float, float] | None:
        if lon.shape[axis] < 2:
            return None
        return float(np.mean(np.diff(x, axis=axis))), float(np.mean(np.diff(y, axis=axis)))

    along_lines, along_pixels = step(0), step(1)
    if along_lines is None and along_pixels is None:
        size = block_m / 111_195.0        # metres to degrees of a great circle
        along_lines, along_pixels = (0.0, size), (size, 0.0)
    elif along_lines is None:
        assert along_pixels is not None
        along_lines = (-along_pixels[1], along_pixels[0])
    elif along_pixels is None:
        along_pixels = (along_lines[1], -along_lines[0])
    assert along_lines is not None and along_pixels is not None
    x = _edges(_edges(x, 0, along_lines[0]), 1, along_pixels[0])
    y = _edges(_edges(y, 0, along_lines[1]), 1, along_pixels[1])
    return x / coslat, y


def title(fields: dict[str, Any]) -> str:
    """What the map shows: wind speed, when (UTC, to the minute), the pass,
    the resolution and an HH product's conversion; then the product."""
    when = str(np.datetime64(fields["time"].rstrip("Z"), "m")).replace("T", " ") + " UTC"
    parts = [f"{fields.get('platform') or 'Sentinel-1'} 10 m wind speed", when]
    if fields.get("orbit_pass"):
        parts.append(f"{fields['orbit_pass'].lower()} pass")
    resolution = fields.get("spatial_resolution", "")
    if resolution.startswith("native"):
        sizes = re.findall(r"(\d+(?:\.\d+)?) m", resolution)
        parts.append("native pixels" + (f" of {' x '.join(sizes)} m" if sizes else ""))
    elif resolution:
        parts.append(f"{resolution} resolution")
    if fields.get("sentinel1_polarisation") == "HH":
        parts.append("VV sigma0 converted from HH")
    return ", ".join(parts) + f"\n{fields['name']}"


def attribution(fields: dict[str, Any]) -> str:
    """The Copernicus Sentinel and C3S (ERA5) attribution lines: the
    product's own, else made from its years."""
    text = fields.get("acknowledgement", "")
    if "Copernicus Sentinel data" not in text:
        era5_year = (fields.get("era5_time") or fields["time"])[:4]
        text = (f"Contains modified Copernicus Sentinel data {fields['time'][:4]}. Contains modified "
                f"Copernicus Climate Change Service information {era5_year}.")
    # A line per sentence ("v1.2" stays whole).
    return "\n".join(re.split(r"(?<=\.)\s+", text.strip()))


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
    mask = np.asarray(fields["mask"]).astype(np.uint32)   # every bit of FLAGS, whatever its width
    land = (mask & LAND) != 0
    ice = ((mask & SEA_ICE) != 0) & ~land
    no_wind = ((mask & NO_WIND_BITS) != 0) & ~land & ~ice
    at_limit = ((mask & SPEED_AT_MODEL_LIMIT) != 0) & ~land & ~ice & ~no_wind
    # One category layer under the speeds, in the order of `classes`.
    classes = [(land, LAND_COLOUR, "land"), (ice, ICE_COLOUR, "sea ice"),
               (no_wind, NO_WIND_COLOUR, "no wind"), (at_limit, LIMIT_COLOUR, "26 m/s or more")]
    category = np.ma.masked_all(speed.shape, dtype=np.int8)
    for k, (where, _, _) in enumerate(classes):
        category[where] = k
    shown = np.ma.masked_where(~np.isfinite(speed) | land | ice | no_wind | at_limit, speed)

    corner_lon, corner_lat = cell_corners(lon, lat, block_metres(fields.get("spatial_resolution", "")))
    west, east = float(corner_lon.min()), float(corner_lon.max())
    south, north = float(corner_lat.min()), float(corner_lat.max())
    mid_lat = float(np.clip((south + north) / 2.0, -85.0, 85.0))
    aspect = 1.0 / np.cos(np.radians(mid_lat))
    map_width = 7.0
    map_height = float(np.clip(map_width * (north - south) * aspect / (east - west), 2.5, 10.0))
    fig, ax = plt.subplots(figsize=(map_width + 2.2, map_height + 2.1), dpi=DPI)
    ax.pcolormesh(corner_lon, corner_lat, category, cmap=ListedColormap([c for _, c, _ in classes]),
                  vmin=-0.5, vmax=len(classes) - 0.5, shading="flat", rasterized=True)
    cmap = matplotlib.colormaps[COLOURMAP]
    mesh = ax.pcolormesh(corner_lon, corner_lat, shown, cmap=cmap, norm=Normalize(*speed_range),
                         shading="flat", rasterized=True)
    coastline = _coastline(ax, lon, lat)

    rows, cols = speed.shape
    every = max(1, int(np.ceil(max(rows, cols) / ARROWS_PER_SIDE)))
    pick = (slice(every // 2, None, every), slice(every // 2, None, every))
    towards = np.radians(fields["wind_from_direction"][pick].astype(np.float64) + 180.0)
    # ERA5's direction over the sea only (land and ice have no wind here).
    sea = np.isfinite(towards) & ~land[pick] & ~ice[pick]
    if sea.any():
        # angles="uv": the arrows' angle on the page from east and north
        # components; the axes' aspect keeps the page's angles the map's.
        ax.quiver(lon[pick][sea], lat[pick][sea], np.sin(towards[sea]), np.cos(towards[sea]),
                  angles="uv", pivot="middle", color="white", edgecolor="black", linewidth=0.4,
                  width=0.004, scale=25)

    ax.set_aspect(aspect)
    ax.set_xlim(west, east)
    ax.set_ylim(south, north)
    ax.xaxis.set_major_formatter(FuncFormatter(_longitude_label))
    ax.yaxis.set_major_formatter(FuncFormatter(_latitude_label))
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title(title(fields), fontsize=8)
    low, high = speed_range
    fig.colorbar(mesh, ax=ax, label=f"wind speed at 10 m (m/s), fixed scale {low:g}-{high:g}",
                 extend="both" if low > 0 else "max", shrink=0.8)
    # The legend names only what the map shows.
    handles: list[Any] = [Patch(color=colour, label=label) for where, colour, label in classes
                          if where.any()]
    if coastline:
        handles.append(Line2D([], [], color="black", linewidth=0.7, label="coastline"))
    if sea.any():
        handles.append(Line2D([], [], color="black", marker=r"$\rightarrow$", linestyle="",
                              markersize=10, label="ERA5 wind direction"))
    if handles:
        fig.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 0.04), ncol=len(handles),
                   fontsize=7, frameon=False)
    fig.text(0.99, 0.005, attribution(fields), ha="right", va="bottom", fontsize=6, color="#404040")
    fig.tight_layout(rect=(0.0, 0.09, 1.0, 1.0))
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
    PNG `path`, atomically, decimated to at most about `max_pixels`. The
    PNG is made in memory and written to disk in one write, so that a
    failing disk gives its own error (not the PNG encoder's)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fields = read_decimated(product_path, max_pixels)
    fig, ax = draw_map(fields, speed_range)
    png = io.BytesIO()
    try:
        metadata = {MAP_KEY: json.dumps(map_frame(fig, ax))}
        fig.savefig(png, format="png", dpi=fig.dpi, metadata=metadata)
    finally:
        plt.close(fig)
    remove_partial_files(path)
    write_atomically(path, lambda tmp: _write_bytes(tmp, png.getbuffer()))


def _write_bytes(path: str, data: memoryview) -> None:
    with open(path, "wb") as out:
        out.write(data)
