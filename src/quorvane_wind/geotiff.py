"""Cloud-Optimized GeoTIFF of a written wind product: wind speed and mask on
a regular grid of the scene's UTM zone, warped with GDAL (through
rasterio) from the product's swath grid.

The product's 2-D latitude/longitude become ground control points in UTM
metres on the swath grid, and GDAL warps with a thin-plate spline through
them: the geolocation is smooth, so a few hundred points reproduce it
closely, and no dense geolocation arrays are held. A UTM zone gives square
metric pixels at the product's own spacing and no seam at the
antimeridian.

Memory is bounded for a full native scene: the product is read in bands of
lines and averaged over blocks of whole pixels until at most
`SOURCE_PIXELS` remain (a 1 km product is used as it is), so the arrays
held are a few tens of MB whatever the scene.

A GeoTIFF holds one data type for all its bands, so the mask band is
stored as float32 too (its bit values, up to 2^24, are exact); NaN in both
bands marks the area outside the scene. The speed band's unit is GDAL's
unit type ("m s-1"), which GIS tools show; the mask band has none.

The file is made in GDAL's memory file system and written to disk by
Python in one write: libtiff reports a failing disk on stderr by itself and
GDAL may not notice it (a full disk left a truncated file renamed into
place), whereas Python's write raises, once, with the system's reason."""

import os
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .geo import wrap_longitude
from .atomic import remove_partial_files, write_atomically
from .conventions import FLAGS, NO_WIND_BITS

if TYPE_CHECKING:
    import netCDF4

SOURCE_PIXELS = 4_000_000
# The narrowest unsigned type that holds every bit the mask may have.
MASK_DTYPE = np.min_scalar_type(sum(FLAGS.values()))
GCPS_PER_SIDE = 16
BAND_LINES = 512


def utm_crs(latitude: float, longitude: float) -> str:
    """The EPSG code of the UTM zone at a point (WGS 84)."""
    zone = int(np.floor(((longitude + 180.0) % 360.0) / 6.0)) % 60 + 1
    return f"EPSG:{(32600 if latitude >= 0 else 32700) + zone}"


def block_averaged(speed_var: "netCDF4.Variable[Any]", mask_var: "netCDF4.Variable[Any]",
                   step: int) -> tuple[NDArray[np.float32], NDArray[np.unsignedinteger[Any]]]:
    """The product's wind speed averaged over step x step blocks (over the
    pixels with wind; NaN where there are none) and the mask bits of each
    block (the union; the no-wind bits only on blocks without wind), read
    in bands of lines. The blocks at the far edges have the pixels left."""
    rows, cols = speed_var.shape
    out_cols = -(-cols // step)
    band = step * max(1, BAND_LINES // step)
    speeds: list[NDArray[np.float32]] = []
    masks: list[NDArray[np.unsignedinteger[Any]]] = []
    # The file's own type too: a product may hold bits newer than FLAGS.
    bits_type = np.promote_types(MASK_DTYPE, mask_var.dtype)
    keep_with_wind = np.array(~NO_WIND_BITS, dtype=np.int64).astype(bits_type)
    for start in range(0, rows, band):
        stop = min(start + band, rows)
        out_rows = -(-(stop - start) // step)
        padded_speed = np.full((out_rows * step, out_cols * step), np.nan, dtype=np.float32)
        padded_mask = np.zeros(padded_speed.shape, dtype=bits_type)
        padded_speed[:stop - start, :cols] = speed_var[start:stop, :]
        padded_mask[:stop - start, :cols] = mask_var[start:stop, :]
        speed = padded_speed.reshape(out_rows, step, out_cols, step)
        mask = padded_mask.reshape(out_rows, step, out_cols, step)
        valid = np.isfinite(speed)
        count = valid.sum(axis=(1, 3))
        total = np.where(valid, speed, 0.0).sum(axis=(1, 3), dtype=np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(count > 0, total / count, np.nan).astype(np.float32)
        bits = np.bitwise_or.reduce(np.bitwise_or.reduce(mask, axis=3), axis=1)
        bits[count > 0] &= keep_with_wind
        speeds.append(mean)
        masks.append(bits)
    return np.concatenate(speeds), np.concatenate(masks)


def _edge_indices(n: int, count: int) -> NDArray[np.int64]:
    return np.unique(np.round(np.linspace(0, n - 1, min(n, count))).astype(np.int64))


def _points(variable: "netCDF4.Variable[Any]", lines: NDArray[np.int64],
            pixels: NDArray[np.int64]) -> NDArray[np.float64]:
    """The values of a 2-D netCDF4 variable at lines x pixels, read one
    column of file chunks at a time: the chunk cache then holds the chunk
    the next line needs, and each chunk is decompressed once (reading whole
    lines would decompress a full row of chunks per line)."""
    chunking = variable.chunking()
    width = variable.shape[1] if chunking == "contiguous" else chunking[1]
    values = np.empty((len(lines), len(pixels)), dtype=np.float64)
    for start in range(0, variable.shape[1], width):
        inside = (pixels >= start) & (pixels < start + width)
        if inside.any():
            first, last = pixels[inside][0], pixels[inside][-1]
            block = np.asarray(variable[lines, first:last + 1], dtype=np.float64)
            values[:, inside] = block[:, pixels[inside] - first]
    return values


def control_points(lat_var: "netCDF4.Variable[Any]", lon_var: "netCDF4.Variable[Any]", step: int,
                   crs: str) -> tuple[list[Any], NDArray[np.float64], NDArray[np.float64],
                                      NDArray[np.int64], NDArray[np.int64]]:
    """Ground control points on the block grid: the product's pixel centres
    at a regular subset of lines and pixels (the edges included), in the
    metres of `crs`. Returns the GCPs and their x, y arrays."""
    from rasterio.control import GroundControlPoint
    from rasterio.warp import transform

    rows, cols = lat_var.shape
    lines, pixels = _edge_indices(rows, GCPS_PER_SIDE), _edge_indices(cols, GCPS_PER_SIDE)
    lat, lon = _points(lat_var, lines, pixels), _points(lon_var, lines, pixels)
    lon = wrap_longitude(lon)
    xs, ys = transform("EPSG:4326", crs, lon.ravel().tolist(), lat.ravel().tolist())
    x, y = np.reshape(xs, lat.shape), np.reshape(ys, lat.shape)
    gcps = [GroundControlPoint(row=(i + 0.5) / step, col=(j + 0.5) / step, x=x[a, b], y=y[a, b])
            for a, i in enumerate(lines) for b, j in enumerate(pixels)]
    return gcps, x, y, lines, pixels


def output_grid(x: NDArray[np.float64], y: NDArray[np.float64], lines: NDArray[np.int64],
                pixels: NDArray[np.int64], step: int) -> tuple[Any, int, int]:
    """A north-up grid over the control points, its pixels the size of a
    block (rounded to whole metres) and its edges on multiples of it.
    Returns (transform, height, width)."""
    from rasterio.transform import from_origin

    spacing = []
    for axis, index in ((0, lines), (1, pixels)):
        if len(index) > 1:
            d = np.hypot(np.diff(x, axis=axis), np.diff(y, axis=axis))
            gaps = np.diff(index).reshape((-1, 1) if axis == 0 else (1, -1))
            spacing.append(float(np.median(d / gaps)))
    size = max(1.0, round(step * float(np.mean(spacing)))) if spacing else 1000.0
    west = np.floor((x.min() - size) / size) * size
    east = np.ceil((x.max() + size) / size) * size
    south = np.floor((y.min() - size) / size) * size
    north = np.ceil((y.max() + size) / size) * size
    width, height = int(round((east - west) / size)), int(round((north - south) / size))
    return from_origin(west, north, size, size), height, width


def cog_available() -> bool:
    import rasterio

    with rasterio.Env() as env:
        return "COG" in env.drivers()


def write_geotiff(product_path: "str | os.PathLike[str]", path: "str | os.PathLike[str]",
                  max_pixels: int = SOURCE_PIXELS) -> None:
    """Writes the wind speed and mask of the product at `product_path` (a
    written NetCDF file) to the GeoTIFF `path`, atomically."""
    import netCDF4
    import rasterio
    import rasterio.shutil
    from rasterio.enums import Resampling
    from rasterio.io import MemoryFile
    from rasterio.warp import reproject

    with netCDF4.Dataset(product_path) as nc:
        nc.set_auto_mask(False)
        v = nc.variables
        rows, cols = v["wind_speed"].shape
        step = max(1, int(np.ceil(np.sqrt(rows * cols / max_pixels))))
        middle_lat = float(v["latitude"][rows // 2, cols // 2])
        middle_lon = float(v["longitude"][rows // 2, cols // 2])
        crs = utm_crs(middle_lat, middle_lon)
        gcps, x, y, lines, pixels = control_points(v["latitude"], v["longitude"], step, crs)
        speed, mask = block_averaged(v["wind_speed"], v["mask"], step)
        tags = {"product": nc.getncattr("sentinel1_product"),
                "time_coverage_start": nc.getncattr("time_coverage_start"),
                "acknowledgement": getattr(nc, "acknowledgement", "")}
    transform, height, width = output_grid(x, y, lines, pixels, step)

    bands = np.full((2, height, width), np.nan, dtype=np.float32)
    warp = dict(gcps=gcps, src_crs=crs, dst_transform=transform, dst_crs=crs, dst_nodata=np.nan,
                SRC_METHOD="GCP_TPS")
    # Bilinear speeds over the pixels with wind; the mask's bits are
    # categories and keep the nearest pixel's.
    reproject(speed, bands[0], src_nodata=np.nan, resampling=Resampling.bilinear, **warp)
    reproject(mask.astype(np.float32), bands[1], resampling=Resampling.nearest, **warp)
    del speed, mask

    profile = dict(driver="GTiff", height=height, width=width, count=2, dtype="float32",
                   crs=crs, transform=transform, nodata=np.nan)
    with MemoryFile() as memory, memory.open(**profile) as dataset, MemoryFile() as made:
        dataset.write(bands)
        dataset.set_band_description(1, "wind_speed")
        dataset.set_band_description(2, "mask")
        dataset.units = ("m s-1", "")
        dataset.update_tags(**tags)
        dataset.update_tags(1, units="m s-1", long_name="wind speed at 10 m (CMOD5.N), bilinear")
        dataset.update_tags(2, flag_masks=" ".join(str(b) for b in FLAGS.values()),
                            flag_meanings=" ".join(FLAGS))
        del bands
        if cog_available():
            # Overviews by nearest pixel: averaged mask bits would mean nothing.
            options = dict(driver="COG", COMPRESS="DEFLATE", PREDICTOR="YES", BLOCKSIZE=512,
                           RESAMPLING="NEAREST", OVERVIEWS="AUTO")
        else:
            factors = [f for f in (2, 4, 8, 16, 32) if min(height, width) // f >= 256]
            if factors:
                dataset.build_overviews(factors, Resampling.nearest)
            options = dict(driver="GTiff", TILED="YES", BLOCKXSIZE=512, BLOCKYSIZE=512,
                           COMPRESS="DEFLATE", PREDICTOR=3, COPY_SRC_OVERVIEWS="YES")
        rasterio.shutil.copy(dataset, made.name, **options)
        remove_partial_files(path)
        write_atomically(path, lambda tmp: _write_bytes(tmp, made.read()))


def _write_bytes(path: str, data: bytes) -> None:
    with open(path, "wb") as out:
        out.write(data)
