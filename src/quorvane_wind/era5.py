"""ERA5 single-level NetCDF from the Climate Data Store, in both of its
layouts, and the collocation of its 10 m wind with a scene.

- The current layout: time is `valid_time`, with `number` and `expver`
  coordinates; latitude runs north to south, longitude 0 to 360.
- The legacy layout (netCDF3 from grib_to_netcdf): `time`, shorts packed with
  `scale_factor`/`add_offset`, and an `expver` dimension when a request mixes
  final ERA5 (1) and preliminary ERA5T (5), each valid where the other is
  missing.

`open_era5` brings both to one form: u10 and v10 on (time, latitude
ascending, longitude increasing without a jump), lazily. `collocate_era5`
interpolates u10 and v10 (never speed or direction, which do not interpolate
linearly) bilinearly in space, across the 0/360 seam of a global grid, and
linearly in time.
"""

import os

import dask.array as da
import numpy as np
import xarray as xr

from .errors import CoverageError, InputError

WIND_COMPONENTS = ("u10", "v10")


def _open_one(path):
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise InputError(f"ERA5 file {path}: no such file")
    try:
        ds = xr.open_dataset(path, chunks={})
    except Exception as exc:
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"ERA5 file {path}: cannot be read as NetCDF ({reason})") from None
    if "valid_time" in ds.dims or "valid_time" in ds.coords:
        ds = ds.rename({"valid_time": "time"})
    missing = [v for v in WIND_COMPONENTS if v not in ds.data_vars]
    for name in ("latitude", "longitude", "time"):
        if name not in ds.coords:
            missing.append(name)
    if missing:
        raise InputError(f"ERA5 file {path}: has no {', '.join(missing)}")
    ds = ds[list(WIND_COMPONENTS)]
    # `number` (ensemble member) and a per-time `expver` label carry nothing
    # for the wind; an `expver` dimension is resolved after subsetting.
    ds = ds.drop_vars([c for c in ("number", "expver") if c in ds.coords and c not in ds.dims])
    if "number" in ds.dims:
        ds = ds.isel(number=0, drop=True)
    if "time" not in ds.dims:
        ds = ds.expand_dims("time")
    extra = set(ds["u10"].dims) - {"time", "latitude", "longitude", "expver"}
    if extra:
        raise InputError(f"ERA5 file {path}: u10 has unexpected dimensions {', '.join(sorted(extra))}")
    return ds


def open_era5(paths):
    """ERA5 u10/v10 from one or more NetCDF files of either CDS layout, as a
    lazy Dataset on (time, latitude, longitude) with latitude ascending and
    longitude increasing (unwrapped, so it may run past 360). Files split by
    time are joined; their grids must match."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise InputError("no ERA5 file given")
    opened = [_open_one(p) for p in paths]
    try:
        ds = opened[0] if len(opened) == 1 else xr.concat(
            opened, dim="time", join="exact", data_vars="all", coords="minimal", compat="override")
    except ValueError as exc:
        raise InputError(f"ERA5 files {', '.join(paths)} do not share one grid ({exc})") from None
    ds = ds.sortby("time")
    _, first = np.unique(ds["time"].values, return_index=True)
    ds = ds.isel(time=np.sort(first))
    ds = ds.sortby("latitude")
    lon = ds["longitude"].values.astype(np.float64)
    unwrapped = np.degrees(np.unwrap(np.radians(lon)))
    if np.any(np.diff(unwrapped) <= 0):
        order = np.argsort(unwrapped)
        ds = ds.isel(longitude=order)
        unwrapped = unwrapped[order]
    ds = ds.assign_coords(longitude=unwrapped)
    ds.attrs["source_files"] = [os.path.basename(p) for p in paths]
    return ds


def _combine_expver(da_):
    """One field from an `expver` dimension: the first version (in ascending
    order: final ERA5 before ERA5T) that has a value at each point."""
    if "expver" not in da_.dims:
        return da_
    da_ = da_.sortby("expver")
    out = da_.isel(expver=0)
    for k in range(1, da_.sizes["expver"]):
        out = out.where(out.notnull(), da_.isel(expver=k))
    return out


def _describe_coverage(era5):
    """The files' span and area followed by their names, in parentheses."""
    t = era5["time"].values
    lat = era5["latitude"].values
    lon = era5["longitude"].values
    return (f"({np.datetime_as_string(t[0], 'm')} to {np.datetime_as_string(t[-1], 'm')}, "
            f"latitude {lat[0]:g} to {lat[-1]:g}, longitude {lon[0]:g} to {lon[-1]:g}: "
            f"{', '.join(era5.attrs.get('source_files', []))})")


class Era5Grid:
    """u10 and v10 of ERA5 at one instant, on a latitude x longitude grid
    that bilinear interpolation can use directly (a global grid gets its
    first column repeated 360 degrees on, to close the seam)."""

    def __init__(self, latitude, longitude, u10, v10):
        self.latitude = latitude
        self.longitude = longitude
        self.u10 = u10
        self.v10 = v10

    def lon_in_grid(self, lon):
        """Longitudes in the grid's own range: [first, first + 360)."""
        return self.longitude[0] + np.mod(np.asarray(lon, dtype=np.float64) - self.longitude[0], 360.0)

    def covers(self, lat, lon):
        lat = np.asarray(lat, dtype=np.float64)
        lon = self.lon_in_grid(lon)
        return bool(np.all((lat >= self.latitude[0]) & (lat <= self.latitude[-1])
                           & (lon <= self.longitude[-1])))

    def interpolate(self, lat, lon):
        """Bilinear u10 and v10 (float32) at the points; NaN where a corner is
        missing or the point is outside the grid."""
        lat = np.asarray(lat, dtype=np.float64)
        lon = self.lon_in_grid(lon)
        fi = np.interp(lat, self.latitude, np.arange(self.latitude.size), left=np.nan, right=np.nan)
        fj = np.interp(lon, self.longitude, np.arange(self.longitude.size), left=np.nan, right=np.nan)
        outside = np.isnan(fi) | np.isnan(fj)
        fi = np.where(outside, 0.0, fi)
        fj = np.where(outside, 0.0, fj)
        i = np.clip(np.floor(fi).astype(np.int64), 0, max(self.latitude.size - 2, 0))
        j = np.clip(np.floor(fj).astype(np.int64), 0, max(self.longitude.size - 2, 0))
        wi = fi - i
        wj = fj - j
        i1 = np.minimum(i + 1, self.latitude.size - 1)
        j1 = np.minimum(j + 1, self.longitude.size - 1)
        out = []
        for field in (self.u10, self.v10):
            value = ((field[i, j] * (1 - wj) + field[i, j1] * wj) * (1 - wi)
                     + (field[i1, j] * (1 - wj) + field[i1, j1] * wj) * wi)
            out.append(np.where(outside, np.nan, value).astype(np.float32))
        return out


def era5_at_time(era5, time, lat_range=None):
    """The ERA5 winds linearly interpolated to `time`, as an `Era5Grid`,
    loading only the two bracketing hours (and the latitude rows of
    `lat_range`, with a margin). Raises CoverageError outside the files'
    time span."""
    time = np.datetime64(time, "ns")
    times = era5["time"].values.astype("datetime64[ns]")
    if time < times[0] or time > times[-1]:
        raise CoverageError(f"scene time {np.datetime_as_string(time, 's')} is outside the ERA5 "
                            f"files {_describe_coverage(era5)}")
    k = int(np.clip(np.searchsorted(times, time, side="right") - 1, 0, max(times.size - 2, 0)))
    k1 = min(k + 1, times.size - 1)
    span = (times[k1] - times[k]) / np.timedelta64(1, "ns")
    w = 0.0 if span == 0 else float((time - times[k]) / np.timedelta64(1, "ns") / span)
    sub = era5.isel(time=[k, k1])
    lat = era5["latitude"].values
    if lat_range is not None:
        i0 = max(int(np.searchsorted(lat, lat_range[0], side="right")) - 2, 0)
        i1 = min(int(np.searchsorted(lat, lat_range[1], side="left")) + 2, lat.size)
        sub = sub.isel(latitude=slice(i0, i1))
    sub = sub.load()
    fields = []
    for name in WIND_COMPONENTS:
        field = _combine_expver(sub[name]).transpose("time", "latitude", "longitude").values
        fields.append((field[0] * (1.0 - w) + field[1] * w).astype(np.float64))
    latitude = sub["latitude"].values.astype(np.float64)
    longitude = sub["longitude"].values.astype(np.float64)
    if longitude.size > 1:
        step = float(np.median(np.diff(longitude)))
        if abs(longitude[-1] + step - longitude[0] - 360.0) < 0.5 * step:
            longitude = np.append(longitude, longitude[0] + 360.0)
            fields = [np.concatenate([f, f[:, :1]], axis=1) for f in fields]
    return Era5Grid(latitude, longitude, *fields)


def collocate_era5(era5, latitude, longitude, time, scene_points=None):
    """u10 and v10 (float32 DataArrays shaped like `latitude`) of ERA5 at the
    pixels' latitude and longitude at `time`. `scene_points` (latitudes,
    longitudes) bound the scene for the coverage check; by default the
    pixels themselves. Raises CoverageError naming the scene and the files'
    coverage when the scene is outside their time or area."""
    if scene_points is None:
        scene_points = (np.asarray(latitude), np.asarray(longitude))
    plat, plon = (np.asarray(p, dtype=np.float64).ravel() for p in scene_points)
    grid = era5_at_time(era5, time, (plat.min(), plat.max()))
    if not grid.covers(plat, plon):
        raise CoverageError(
            f"scene (latitude {plat.min():.2f} to {plat.max():.2f}, longitude "
            f"{((plon + 180) % 360 - 180).min():.2f} to {((plon + 180) % 360 - 180).max():.2f}) is outside "
            f"the ERA5 files {_describe_coverage(era5)}")

    def block(lat, lon):
        # Both components from one interpolation: they share the weights.
        return np.stack(grid.interpolate(lat, lon))

    lat_data = latitude.data if isinstance(latitude.data, da.Array) else da.from_array(latitude.data)
    lon_data = longitude.data if isinstance(longitude.data, da.Array) else da.from_array(longitude.data)
    both = da.map_blocks(block, lat_data, lon_data, new_axis=0,
                         chunks=((len(WIND_COMPONENTS),),) + lat_data.chunks, dtype=np.float32)
    return [xr.DataArray(both[component], dims=latitude.dims, coords=latitude.coords, name=name)
            for component, name in enumerate(WIND_COMPONENTS)]
