"""ERA5 single-level NetCDF from the Climate Data Store, in both of its
layouts, and the collocation of its 10 m wind with a scene.

- The current layout: time is `valid_time`, with `number` and `expver`
  coordinates; latitude runs north to south, longitude 0 to 360.
- The legacy layout (netCDF3 from grib_to_netcdf): `time`, shorts packed with
  `scale_factor`/`add_offset`, and an `expver` dimension when a request mixes
  final ERA5 (1) and preliminary ERA5T (5), each valid where the other is
  missing.

`index_era5` (and `open_era5`) reads any set of files' times and axes and
groups the files by grid (files that split one grid in time join into one
time axis). `collocate_era5`
picks, for one scene, a grid that covers the scene's area and the two
consecutive ERA5 times around it, reads only those hours and the rows and
columns around the scene (so memory does not grow with the files' length:
netCDF3 files have no chunks, and a dask view of one would be one chunk of
every hour), and interpolates u10 and v10 (never speed or direction, which
do not interpolate linearly) bilinearly in space, across the 0/360 seam of a
global grid, and linearly in time; the sea-ice area fraction `siconc` too,
when the files hold it (missing over land: a point near a coast takes the
corners that have a value).

The index, an `Era5Files`, holds no open file and pickles small, so that a
run of many scenes makes it once and sends it to its workers; each scene
opens only the files whose times bracket it.

It is one room of about 700 lines: the layouts, the index, the choice of
grid and hours and the interpolation all work on the same normalised
axes (`Era5Source`, `Era5GridFiles`), and splitting them would pass those
internals between modules.
"""

import logging
import os
from collections.abc import Iterable, Sequence
from typing import TypeAlias

import dask.array as da
import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from .conventions import variable_attributes
from .geo import wrap_longitude
from .errors import CoverageError, InputError, reason

log = logging.getLogger(__name__)

Float64Array: TypeAlias = NDArray[np.float64]
PathLike: TypeAlias = "str | os.PathLike[str]"
# What the functions that need ERA5 take: `open_era5`'s result, a Dataset,
# one path or several.
Era5Input: TypeAlias = "Era5Files | xr.Dataset | str | os.PathLike[str] | Iterable[str | os.PathLike[str]]"

WIND_COMPONENTS = ("u10", "v10")
# Sea-ice area fraction (0..1, missing over land), read when a file has it.
SEA_ICE = "siconc"
SEA_ICE_ATTRIBUTES = {"standard_name": "sea_ice_area_fraction", "units": "1",
                      "long_name": "ERA5 sea-ice area fraction interpolated to the pixels",
                      "coverage_content_type": "auxiliaryInformation"}
# ERA5's own step: the largest gap allowed between two times of which
# neither file has a step of its own (files of one time each).
ERA5_STEP = np.timedelta64(3600, "s")
# Files whose axes agree to this (degrees) share a grid: legacy files store
# float32 coordinates, current ones float64.
GRID_TOLERANCE = 1e-4
# Rows/columns read beyond the scene's extreme points, for the pixels
# between the geolocation grid's points and the bilinear neighbours.
MARGIN = 2


def _normalise(ds: xr.Dataset, label: str) -> xr.Dataset:
    """u10/v10 (and siconc when present) of one file's Dataset under the
    names of the legacy layout, with time as a dimension; orders of the axes
    are left as stored."""
    if "valid_time" in ds.dims or "valid_time" in ds.coords:
        ds = ds.rename({"valid_time": "time"})
    missing = [v for v in WIND_COMPONENTS if v not in ds.data_vars]
    missing += [name for name in ("latitude", "longitude", "time") if name not in ds.coords]
    if missing:
        raise InputError(f"{label}: has no {', '.join(missing)}")
    names = list(WIND_COMPONENTS) + ([SEA_ICE] if SEA_ICE in ds.data_vars else [])
    ds = ds[names]
    # `number` (ensemble member) and a per-time `expver` label carry nothing
    # for the wind; an `expver` dimension is resolved after reading.
    ds = ds.drop_vars([c for c in ("number", "expver") if c in ds.coords and c not in ds.dims])
    if "number" in ds.dims:
        ds = ds.isel(number=0, drop=True)
    if "time" not in ds.dims:
        ds = ds.expand_dims("time")
    for name in names:
        extra = set(ds[name].dims) - {"time", "latitude", "longitude", "expver"}
        if extra:
            raise InputError(f"{label}: {name} has unexpected dimensions {', '.join(sorted(map(str, extra)))}")
    return ds


def _combine_expver(field: xr.DataArray) -> xr.DataArray:
    """One field from an `expver` dimension: the first version (in ascending
    order: final ERA5 before ERA5T) that has a value at each point."""
    if "expver" not in field.dims:
        return field
    field = field.sortby("expver")
    out = field.isel(expver=0)
    for k in range(1, field.sizes["expver"]):
        out = out.where(out.notnull(), field.isel(expver=k))
    return out


def _canonical_longitude(lon: ArrayLike) -> tuple[NDArray[np.intp], Float64Array]:
    """The order of the columns and their longitudes increasing without a
    jump: a global grid starts at its column nearest east of 0 (so the same
    grid stored 0..360 or -180..180 is one grid), a regional one at a
    longitude in [-180, 180)."""
    lon = np.asarray(lon, dtype=np.float64)
    order = np.arange(lon.size)
    unwrapped = np.degrees(np.unwrap(np.radians(lon)))
    if np.any(np.diff(unwrapped) <= 0):
        order = np.argsort(unwrapped, kind="stable")
        unwrapped = unwrapped[order]
        # An area across the antimeridian stored in ascending -180..180
        # order can hold the meridian twice, as -180 and 180.
        keep = np.concatenate([[True], np.diff(unwrapped) > GRID_TOLERANCE])
        order, unwrapped = order[keep], unwrapped[keep]
    if _is_global(unwrapped):
        first = int(np.argmin(np.mod(unwrapped, 360.0)))
        order = np.roll(order, -first)
        unwrapped = np.concatenate([unwrapped[first:], unwrapped[:first] + 360.0])
        unwrapped -= 360.0 * np.floor(unwrapped[0] / 360.0)
    else:
        unwrapped -= 360.0 * np.floor((unwrapped[0] + 180.0) / 360.0)
    return order, unwrapped


def _is_global(lon: Float64Array) -> bool:
    if lon.size < 2:
        return False
    step = float(np.median(np.diff(lon)))
    return bool(abs(lon[-1] + step - lon[0] - 360.0) < 0.5 * step)


def _lon_text(lo: float, hi: float, fmt: str) -> str:
    """A longitude span in -180..180, said across the antimeridian when it
    runs from east to west of it."""
    lo, hi = wrap_longitude(float(lo)), wrap_longitude(float(hi))
    across = " (across the antimeridian)" if lo > hi else ""
    return f"longitude {lo:{fmt}} to {hi:{fmt}}{across}"


def _scene_lon_span(lon: ArrayLike) -> tuple[float, float]:
    """West and east ends of the smallest arc holding all the longitudes."""
    s = np.unique(wrap_longitude(np.ravel(np.asarray(lon, dtype=np.float64))))
    if s.size == 1:
        return s[0], s[0]
    gaps = np.diff(np.append(s, s[0] + 360.0))
    k = int(np.argmax(gaps))
    return s[(k + 1) % s.size], s[k]


def _minute(t: np.datetime64) -> str:
    return str(np.datetime_as_string(t, "m"))


def _hours(delta: np.timedelta64) -> str:
    return f"{delta / np.timedelta64(3600, 's'):g} h"


class Era5Source:
    """One ERA5 file (or Dataset): its times, its axes in the grid's order
    (latitude ascending, longitude canonical) and the variables it holds,
    read once. A file's Dataset is opened on its first read and is not
    pickled (a copy sent to another process reopens the file there)."""

    def __init__(self, ds: xr.Dataset, files: Iterable[str], label: str, path: str | None = None,
                 keep_open: bool = False) -> None:
        self.files = list(files)
        self.label = label
        self.path = path
        ds = _normalise(ds, label)
        # A file's Dataset, unless kept, is opened again on the first read.
        self._ds: xr.Dataset | None = ds if path is None or keep_open else None
        self.variables = tuple(str(name) for name in ds.data_vars)
        self.times = ds["time"].values.astype("datetime64[ns]")
        lat = ds["latitude"].values.astype(np.float64)
        self.lat_order = np.argsort(lat, kind="stable")
        self.latitude = lat[self.lat_order]
        self.lon_order, self.longitude = _canonical_longitude(ds["longitude"].values)
        self.sizes = (self.times.size, lat.size, int(ds.sizes["longitude"]))
        steps = np.diff(np.unique(self.times))
        # Its own step: the shortest between its times (None for one time).
        self.step = steps.min() if steps.size else None

    @property
    def has_sea_ice(self) -> bool:
        return SEA_ICE in self.variables

    def __getstate__(self) -> dict[str, object]:
        state = self.__dict__.copy()
        if self.path is not None:
            state["_ds"] = None
        return state

    @property
    def ds(self) -> xr.Dataset:
        if self._ds is None:
            assert self.path is not None
            ds = _normalise(_open_dataset(self.path), self.label)
            sizes = (ds.sizes["time"], ds.sizes["latitude"], ds.sizes["longitude"])
            if sizes != self.sizes:
                ds.close()
                raise InputError(f"{self.label}: changed since it was indexed (time x latitude x longitude "
                                 f"{' x '.join(map(str, sizes))}, was {' x '.join(map(str, self.sizes))})")
            self._ds = ds
        return self._ds

    def same_grid(self, other: "Era5Source") -> bool:
        return (self.latitude.shape == other.latitude.shape
                and self.longitude.shape == other.longitude.shape
                and np.allclose(self.latitude, other.latitude, rtol=0.0, atol=GRID_TOLERANCE)
                and np.allclose(self.longitude, other.longitude, rtol=0.0, atol=GRID_TOLERANCE))

    def share_axes(self, other: "Era5Source") -> None:
        """Take `other`'s axis arrays where they are equal to this file's, so
        that a pickle of the grid's files holds each of them once."""
        for name in ("latitude", "lat_order", "longitude", "lon_order"):
            mine, theirs = getattr(self, name), getattr(other, name)
            if mine is not theirs and mine.dtype == theirs.dtype and np.array_equal(mine, theirs):
                setattr(self, name, theirs)

    def read(self, k: int, rows: NDArray[np.intp], cols: NDArray[np.intp],
             names: Sequence[str] = WIND_COMPONENTS) -> list[Float64Array]:
        """The fields `names` (float64) of time index `k` at the grid's rows
        and columns (index arrays in grid order), reading only the file's
        block that spans them."""
        file_rows = self.lat_order[rows]
        file_cols = self.lon_order[cols]
        r0, r1 = int(file_rows.min()), int(file_rows.max()) + 1
        c0, c1 = int(file_cols.min()), int(file_cols.max()) + 1
        block = self.ds[list(names)].isel(time=k, latitude=slice(r0, r1), longitude=slice(c0, c1)).load()
        out = []
        for name in names:
            field = _combine_expver(block[name]).transpose("latitude", "longitude").values
            out.append(field[np.ix_(file_rows - r0, file_cols - c0)].astype(np.float64))
        return out

    def coverage(self) -> str:
        return f"{', '.join(self.files)} {_minute(self.times.min())} to {_minute(self.times.max())}"


class Era5GridFiles:
    """The ERA5 files of one grid, joined in time (a time present in several
    files is read from the first given)."""

    def __init__(self, sources: Iterable[Era5Source]) -> None:
        self.sources = list(sources)
        self.latitude = self.sources[0].latitude
        self.longitude = self.sources[0].longitude
        self.is_global = _is_global(self.longitude)
        times = np.concatenate([s.times for s in self.sources])
        owner = np.concatenate([np.full(s.times.size, i) for i, s in enumerate(self.sources)])
        index = np.concatenate([np.arange(s.times.size) for s in self.sources])
        order = np.argsort(times, kind="stable")
        times, owner, index = times[order], owner[order], index[order]
        first = np.concatenate([[True], times[1:] != times[:-1]])
        self.time, self.time_source, self.time_index = times[first], owner[first], index[first]
        self.resolution = float(np.median(np.abs(np.diff(self.latitude)))) if self.latitude.size > 1 else np.inf

    @property
    def files(self) -> list[str]:
        return [f for s in self.sources for f in s.files]

    def _lon_in_grid(self, lon: ArrayLike) -> Float64Array:
        lon = np.asarray(lon, dtype=np.float64)
        out: Float64Array = self.longitude[0] + np.mod(lon - self.longitude[0], 360.0)
        return out

    def covers_area(self, plat: Float64Array, plon: Float64Array) -> bool:
        return self.area_outside(plat, plon) is None

    def area_outside(self, plat: Float64Array, plon: Float64Array) -> str | None:
        """None when the grid covers the scene points, else which part of
        the scene lies outside it ("area outside" for all of it)."""
        east = self.longitude[0] + 360.0 if self.is_global else self.longitude[-1]
        lon = self._lon_in_grid(plon)
        inside = (plat >= self.latitude[0]) & (plat <= self.latitude[-1]) & (lon <= east)
        if inside.all():
            return None
        if not inside.any():
            return "area outside"
        parts = []
        if plat.max() > self.latitude[-1]:
            parts.append(f"north of {self.latitude[-1]:g} (to {plat.max():.2f})")
        if plat.min() < self.latitude[0]:
            parts.append(f"south of {self.latitude[0]:g} (to {plat.min():.2f})")
        beyond = lon[lon > east]
        # A point west of the grid wraps to just below its west edge + 360.
        if (beyond - east < self.longitude[0] + 360.0 - beyond).any():
            parts.append(f"east of {wrap_longitude(float(east)):g}")
        if (beyond - east >= self.longitude[0] + 360.0 - beyond).any():
            parts.append(f"west of {wrap_longitude(float(self.longitude[0])):g}")
        return f"area partly outside: the scene reaches {' and '.join(parts)}"

    def bracket(self, time: np.datetime64) -> tuple[list[int] | None, float | None, str | None]:
        """The time indices that `time` needs and the weight of the second,
        or the reason there are none: outside the span, or in a gap (two
        neighbours further apart than the larger of their files' own steps,
        an hour for a file of one time)."""
        k = int(np.searchsorted(self.time, time))
        if k < self.time.size and self.time[k] == time:
            return [k], 0.0, None
        if k == 0 or k == self.time.size:
            return None, None, "time outside"
        a, b = k - 1, k
        span = self.time[b] - self.time[a]
        # A file of one time has no step of its own: ERA5's hour stands for it.
        allowed = max(ERA5_STEP if s.step is None else s.step
                      for s in (self.sources[self.time_source[a]], self.sources[self.time_source[b]]))
        if span > allowed:
            return None, None, (f"time in a gap between {_minute(self.time[a])} and {_minute(self.time[b])}, "
                                f"{_hours(span)} apart against a step of {_hours(allowed)}")
        return [a, b], float((time - self.time[a]) / span), None

    def coverage(self) -> str:
        return (f"{', '.join(s.coverage() for s in self.sources)}: latitude {self.latitude[0]:g} to "
                f"{self.latitude[-1]:g}, "
                + (f"longitude {self.longitude[0]:g} to {self.longitude[-1]:g}" if self.is_global
                   else _lon_text(self.longitude[0], self.longitude[-1], "g")))

    def at_time(self, picks: Sequence[int], weight: float, plat: Float64Array,
                plon: Float64Array) -> tuple["Era5Instant", list[str]]:
        """The winds at the picked time indices, weighted, on the rows and
        columns around the scene points, as an `Era5Instant`."""
        n_lat, n_lon = self.latitude.size, self.longitude.size
        i0 = max(int(np.searchsorted(self.latitude, plat.min(), side="right")) - MARGIN, 0)
        i1 = min(int(np.searchsorted(self.latitude, plat.max(), side="left")) + MARGIN, n_lat)
        rows = np.arange(i0, max(i1, i0 + 1))
        if self.is_global:
            cols = np.arange(n_lon)
        else:
            lon = self._lon_in_grid(plon)
            j0 = max(int(np.searchsorted(self.longitude, lon.min(), side="right")) - MARGIN, 0)
            j1 = min(int(np.searchsorted(self.longitude, lon.max(), side="left")) + MARGIN, n_lon)
            cols = np.arange(j0, max(j1, j0 + 1))
        sources = [self.sources[self.time_source[k]] for k in picks]
        # Sea ice from some of the hours only would be a wrong fraction:
        # it is known only when every file read has it.
        names = WIND_COMPONENTS + ((SEA_ICE,) if all(s.has_sea_ice for s in sources) else ())
        fields = [np.zeros((rows.size, cols.size)) for _ in names]
        for k, source, w in zip(picks, sources, (1.0 - weight, weight)):
            for total, part in zip(fields, source.read(int(self.time_index[k]), rows, cols, names)):
                total += w * part
        latitude = self.latitude[rows]
        longitude = self.longitude[cols]
        if self.is_global:
            longitude = np.append(longitude, longitude[0] + 360.0)
            fields = [np.concatenate([f, f[:, :1]], axis=1) for f in fields]
        used = list(dict.fromkeys(f for s in sources for f in s.files))
        sea_ice = fields[2] if len(fields) > 2 else None
        return Era5Instant(latitude, longitude, fields[0], fields[1], sea_ice), used


class Era5Files:
    """ERA5 files grouped by grid: what `index_era5` and `open_era5` return.
    Picklable, without open files when made from paths."""

    def __init__(self, grids: Iterable[Era5GridFiles]) -> None:
        self.grids = list(grids)

    @property
    def files(self) -> list[str]:
        return [f for g in self.grids for f in g.files]

    def select(self, time: np.datetime64, plat: Float64Array,
               plon: Float64Array) -> tuple[Era5GridFiles, list[int], float]:
        """The grid for a scene at `time` whose extreme points are `plat`,
        `plon` (the finest of those covering it), the time indices it needs
        and the weight of the second; CoverageError naming the scene and
        every file's coverage when none covers it."""
        time = np.datetime64(time, "ns")
        reasons = []
        for grid in sorted(self.grids, key=lambda g: g.resolution):
            picks, weight, reason = grid.bracket(time)
            outside = grid.area_outside(plat, plon)
            if outside is not None:
                reason = outside if reason is None else f"{outside} and {reason}"
            if reason is None:
                assert picks is not None and weight is not None
                log.info("ERA5 grid (%s) chosen for the scene at %s: %s", _resolution_text(grid),
                         np.datetime_as_string(time, "s"), ", ".join(grid.files))
                return grid, picks, weight
            reasons.append(f"{grid.coverage()} ({reason})")
        west, east = _scene_lon_span(plon)
        raise CoverageError(
            f"scene {np.datetime_as_string(time, 's')} (latitude {plat.min():.2f} to {plat.max():.2f}, "
            f"{_lon_text(west, east, '.2f')}) is outside the ERA5 files: {'; '.join(reasons)}")


def _open_dataset(path: str) -> xr.Dataset:
    if not os.path.isfile(path):
        raise InputError(f"ERA5 file {path}: no such file")
    try:
        # Without dask: each read takes only the block it indexes.
        return xr.open_dataset(path)
    except Exception as exc:
        raise InputError(f"ERA5 file {path}: cannot be read as NetCDF ({reason(exc)})") from None


def _index_file(path: PathLike, keep_open: bool) -> Era5Source:
    """A file's times, axes and variables; the file closed again unless
    `keep_open` (for a caller that reads it next)."""
    path = os.fspath(path)
    ds = _open_dataset(path)
    try:
        source = Era5Source(ds, [os.path.basename(path)], f"ERA5 file {path}", path=path, keep_open=keep_open)
    except Exception:
        ds.close()
        raise
    if not keep_open:
        ds.close()
    return source


def _group(sources: Iterable[Era5Source]) -> "Era5Files":
    grids: list[list[Era5Source]] = []
    for source in sources:
        for members in grids:
            if members[0].same_grid(source):
                source.share_axes(members[0])
                members.append(source)
                break
        else:
            grids.append([source])
    return Era5Files(Era5GridFiles(members) for members in grids)


def index_era5(paths: "str | os.PathLike[str] | Iterable[str | os.PathLike[str]]") -> Era5Files:
    """ERA5 files of either CDS layout indexed once: each file's times, grid
    axes and variables, grouped by grid (files that split one grid in time
    are joined). The result holds no open file and pickles small; a scene
    opens only the files it reads (`era5_instant`). InputError for a file
    missing, unreadable or without u10/v10; TypeError for anything but
    paths."""
    return _group(_index_file(p, keep_open=False) for p in era5_paths(paths))


def open_era5(paths: Era5Input) -> Era5Files:
    """ERA5 u10/v10 (and siconc) from any set of NetCDF files of either CDS
    layout, indexed as `index_era5` does but with the files left open, as
    for one scene read next (or an `Era5Files` / Dataset, returned as an
    `Era5Files`). Raises TypeError for anything else (None included)."""
    if isinstance(paths, Era5Files):
        return paths
    if isinstance(paths, xr.Dataset):
        return _from_dataset(paths)
    return _group(_index_file(p, keep_open=True) for p in era5_paths(paths))


def era5_paths(era5: object) -> list[str]:
    """The file paths of an `era5` argument given as paths (one or a list),
    checked for their type only; TypeError naming what was given instead,
    InputError for an empty list."""
    accepted = ("era5 must be ERA5 NetCDF path(s) (a str or os.PathLike, or a list of them), "
                "a Dataset or what open_era5 returns")
    if isinstance(era5, (str, os.PathLike)):
        items: list[object] = [era5]
    elif isinstance(era5, Iterable) and not isinstance(era5, (bytes, dict)):
        items = list(era5)
    else:
        raise TypeError(f"{accepted}, not {type(era5).__name__} {era5!r:.80}")
    bad = [p for p in items if not isinstance(p, (str, os.PathLike))]
    if bad:
        raise TypeError(f"{accepted}; got {type(bad[0]).__name__} {bad[0]!r:.80} among the paths")
    if not items:
        raise InputError("no ERA5 file given")
    return [os.fspath(p) for p in items if isinstance(p, (str, os.PathLike))]


def check_era5(era5: object) -> None:
    """The checks of `open_era5` on the argument's type, without opening a
    file."""
    if not isinstance(era5, (Era5Files, xr.Dataset)):
        era5_paths(era5)


def _resolution_text(grid: "Era5GridFiles") -> str:
    return f"step {grid.resolution:g} degree" if np.isfinite(grid.resolution) else "one latitude"


def _from_dataset(ds: xr.Dataset) -> Era5Files:
    files = ds.attrs.get("source_files")
    if not files:
        source = ds.encoding.get("source")
        files = [os.path.basename(source)] if source else []
    return _group([Era5Source(ds, files, "ERA5 dataset")])


class Era5Instant:
    """u10 and v10 of ERA5 at one instant, and the sea-ice fraction when
    the files read have it (`has_sea_ice`), on a latitude x longitude grid
    that bilinear interpolation can use directly (a global grid gets its
    first column repeated 360 degrees on, to close the seam)."""

    def __init__(self, latitude: Float64Array, longitude: Float64Array, u10: Float64Array,
                 v10: Float64Array, siconc: Float64Array | None = None) -> None:
        self.latitude = latitude
        self.longitude = longitude
        self.u10 = u10
        self.v10 = v10
        self.siconc = siconc

    @property
    def has_sea_ice(self) -> bool:
        return self.siconc is not None

    def interpolate(self, lat: ArrayLike, lon: ArrayLike) -> list[NDArray[np.float32]]:
        """Bilinear u10 and v10 (float32) at the points; NaN where a corner is
        missing or the point is outside the grid."""
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        u10 = np.empty(lat.shape, dtype=np.float32)
        v10 = np.empty(lat.shape, dtype=np.float32)
        flat_lat, flat_lon = lat.reshape(-1), lon.reshape(-1)
        flat_u10, flat_v10 = u10.reshape(-1), v10.reshape(-1)
        # In pieces that stay in the cache; both components from one gather
        # of each corner.
        for start in range(0, lat.size, self.PIECE):
            part = slice(start, start + self.PIECE)
            self._interpolate(flat_lat[part], flat_lon[part], flat_u10[part], flat_v10[part])
        return [u10, v10]

    def sea_ice_fraction(self, lat: ArrayLike, lon: ArrayLike) -> NDArray[np.float32]:
        """Bilinear sea-ice area fraction (float32, 0..1) at the points, from
        the corners that have a value (ERA5 has none over land), their
        weights renormalised; NaN where no corner with a weight has one,
        outside the grid, or everywhere without sea ice in the files."""
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        out = np.full(lat.shape, np.nan, dtype=np.float32)
        if self.siconc is None:
            return out
        flat_lat, flat_lon, flat_out = lat.reshape(-1), lon.reshape(-1), out.reshape(-1)
        field = np.asarray(self.siconc, dtype=np.float64).reshape(-1)
        for start in range(0, lat.size, self.PIECE):
            part = slice(start, start + self.PIECE)
            outside, corners, weights = self._corners(flat_lat[part], flat_lon[part])
            total = np.zeros(outside.shape)
            weight = np.zeros(outside.shape)
            for index, w in zip(corners, weights):
                value = field[index]
                known = ~np.isnan(value)
                total += np.where(known, w * value, 0.0)
                weight += np.where(known, w, 0.0)
            with np.errstate(invalid="ignore", divide="ignore"):
                fraction = total / weight
            fraction[outside | (weight <= 0.0)] = np.nan
            flat_out[part] = fraction
        return out

    PIECE = 1 << 16

    def _indices(self, lat: Float64Array, lon: Float64Array
                 ) -> tuple[NDArray[np.bool_], NDArray[np.int64], NDArray[np.int64], NDArray[np.int64],
                            NDArray[np.int64], Float64Array, Float64Array]:
        """For each point: outside the grid, the rows i, i1 and columns j, j1
        of its cell and its fractional position in the cell."""
        nlat, nlon = self.latitude.size, self.longitude.size
        lon = self.longitude[0] + np.mod(lon - self.longitude[0], 360.0)
        fi = np.interp(lat, self.latitude, np.arange(nlat), left=np.nan, right=np.nan)
        fj = np.interp(lon, self.longitude, np.arange(nlon), left=np.nan, right=np.nan)
        outside = np.isnan(fi) | np.isnan(fj)
        fi[outside] = 0.0
        fj[outside] = 0.0
        i = np.clip(np.floor(fi).astype(np.int64), 0, max(nlat - 2, 0))
        j = np.clip(np.floor(fj).astype(np.int64), 0, max(nlon - 2, 0))
        i1 = np.minimum(i + 1, nlat - 1)
        j1 = np.minimum(j + 1, nlon - 1)
        return outside, i, i1, j, j1, fi - i, fj - j

    def _corners(self, lat: Float64Array, lon: Float64Array
                 ) -> tuple[NDArray[np.bool_], list[NDArray[np.int64]], list[Float64Array]]:
        """Outside the grid, the flat indices of the four corners and their
        bilinear weights."""
        outside, i, i1, j, j1, wi, wj = self._indices(lat, lon)
        nlon = self.longitude.size
        corners = [i * nlon + j, i * nlon + j1, i1 * nlon + j, i1 * nlon + j1]
        weights = [(1 - wi) * (1 - wj), (1 - wi) * wj, wi * (1 - wj), wi * wj]
        return outside, corners, weights

    def _interpolate(self, lat: Float64Array, lon: Float64Array, u10: NDArray[np.float32],
                     v10: NDArray[np.float32]) -> None:
        nlon = self.longitude.size
        outside, i, i1, j, j1, di, dj = self._indices(lat, lon)
        wi = di[:, None]
        wj = dj[:, None]
        uv = self._uv
        # (f[i,j] (1 - wj) + f[i,j1] wj) (1 - wi) + (f[i1,j] (1 - wj) + f[i1,j1] wj) wi
        north = uv[i * nlon + j] * (1 - wj)
        north += uv[i * nlon + j1] * wj
        north *= 1 - wi
        south = uv[i1 * nlon + j] * (1 - wj)
        south += uv[i1 * nlon + j1] * wj
        south *= wi
        north += south
        north[outside] = np.nan
        u10[:] = north[:, 0]
        v10[:] = north[:, 1]

    _uv_pairs: Float64Array | None = None

    @property
    def _uv(self) -> Float64Array:
        if self._uv_pairs is None:
            self._uv_pairs = np.stack([np.asarray(self.u10, dtype=np.float64),
                                       np.asarray(self.v10, dtype=np.float64)], axis=-1).reshape(-1, 2)
        return self._uv_pairs


def era5_instant(era5: Era5Input, time: np.datetime64,
                 scene_points: tuple[ArrayLike, ArrayLike]) -> tuple[Era5Instant, list[str]]:
    """The ERA5 wind (and sea ice) of the grid that covers the scene, at
    `time`, as an `Era5Instant`, with the names of the files read (only
    those are opened when `era5` is an index from `index_era5`).
    `scene_points` (latitudes, longitudes) bound the scene. Raises
    CoverageError as `collocate_era5` does."""
    era5 = open_era5(era5)
    plat, plon = (np.asarray(p, dtype=np.float64).ravel() for p in scene_points)
    grid, picks, weight = era5.select(time, plat, plon)
    return grid.at_time(picks, weight, plat, plon)


def _edges(values: xr.DataArray) -> Float64Array:
    """The values on the edges of a 2-D array (all of them for other
    shapes), computed without holding the array."""
    data = values.data
    if data.ndim != 2 or min(data.shape) < 3:
        return np.asarray(data, dtype=np.float64).ravel()
    parts = (data[0, :], data[-1, :], data[:, 0], data[:, -1])
    if isinstance(data, da.Array):
        parts = da.compute(*parts)
    return np.concatenate([np.asarray(p, dtype=np.float64) for p in parts])


def collocate_era5(era5: Era5Input, latitude: xr.DataArray, longitude: xr.DataArray,
                   time: np.datetime64 | str,
                   scene_points: tuple[ArrayLike, ArrayLike] | None = None) -> xr.Dataset:
    """ERA5's 10 m wind at the pixels' latitude and longitude at `time`: a
    Dataset of `u10` and `v10` (float32, shaped like `latitude` with its
    coordinates, lazy when it is), and `siconc` (sea-ice area fraction, NaN
    where unknown) when the files read hold it, with CF attributes, the
    files read in `source_files` and `source` and the time in `era5_time`.
    `era5` is what `index_era5` or `open_era5` returns, a Dataset or a list
    of paths. `scene_points` (latitudes, longitudes) bound the scene for the
    choice of grid and the coverage check; by default the pixels on the
    edges of a 2-D swath, where its extremes lie (computed chunk by chunk
    for dask-backed coordinates, so a full scene is never held at once),
    or all pixels of other shapes. Raises CoverageError naming the scene
    and the files' coverage when no grid covers the scene's area and
    consecutive times around it."""
    if scene_points is None:
        scene_points = (_edges(latitude), _edges(longitude))
    when = np.datetime64(time, "ns")
    instant, used = era5_instant(era5, when, scene_points)

    names = WIND_COMPONENTS + ((SEA_ICE,) if instant.has_sea_ice else ())

    def block(lat: Float64Array, lon: Float64Array) -> NDArray[np.float32]:
        # Both components from one interpolation: they share the weights.
        fields = instant.interpolate(lat, lon)
        if instant.has_sea_ice:
            fields.append(instant.sea_ice_fraction(lat, lon))
        return np.stack(fields)

    lat_data = latitude.data if isinstance(latitude.data, da.Array) else da.from_array(latitude.data)
    lon_data = longitude.data if isinstance(longitude.data, da.Array) else da.from_array(longitude.data)
    both = da.map_blocks(block, lat_data, lon_data, new_axis=0,
                         chunks=((len(names),),) + lat_data.chunks, dtype=np.float32)
    ds = xr.Dataset({name: (latitude.dims, both[component],
                            dict(SEA_ICE_ATTRIBUTES) if name == SEA_ICE else variable_attributes(name))
                     for component, name in enumerate(names)}, coords=latitude.coords)
    ds.attrs = {"source": "ERA5 reanalysis (ECMWF, Copernicus Climate Change Service): "
                          + ", ".join(used),
                "source_files": list(used), "era5_time": str(np.datetime_as_string(when, unit="s")) + "Z",
                "interpolation": "bilinear in latitude and longitude, linear in time"}
    return ds
