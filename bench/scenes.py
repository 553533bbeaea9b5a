"""The command on full scenes, measuring half: full-size Sentinel-1 products
(IW GRDH dual-pol with speckle, EW GRDM; folder and deflated zip) made by
the fixture writer in strips, the `quorvane-wind` command on them with
each option, and beside them, in the same run, the floors of each stage.
Writes every figure to a results file (JSON), from which
bench/scenes_report.py writes bench/SCENES.md.

Started by `./scripts/bench.sh --scenes`; by hand:

    .venv/bin/python bench/scenes.py [--data DIR] [--results FILE] [--quick]
        [--safe PRODUCT.SAFE --era5 FILE] [--runs 1km native zip variants four]
        [--no-profile] [--geolocation-lines N] [--keep-native DIR]

(`--safe` measures an existing IW product instead of the made ones.)

For each run of the command: wall and CPU time, peak memory of the process
tree (the sum of the proportional set sizes, so shared pages count once),
output size, the load average before and after, and the time to the first
progress output (the command runs on a pseudo-terminal, as on a user's
screen). The floors, the least each stage can cost on this machine:

- read: rasterio, the whole VV measurement by bands of lines; for a zip
  also `unzip -p` of the member (the inflation floor);
- arithmetic: (DN^2 - noise) / A^2 to float32 in NumPy, one thread, with
  the per-pixel noise and A arrays made beforehand (the LUTs'
  interpolation is not timed);
- kernel: python_windspeedCmod5n on every pixel of the scene, all cores;
- write: the native product's bytes at the disk's rate, measured by a
  plain 2 GB sequential write and fsync;
- start-up: a process importing what the command imports.

Beside them, the ways of storing latitude/longitude at native resolution
(`geolocation_options`): bytes, write time and what xarray and GDAL read.

The profile is dask's per-task timing of one in-process run, summed by
task name.
"""

import argparse
import dataclasses
import fcntl
import json
import os
import pty
import resource
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from quorvane_wind.testing import s1_grd as fx  # noqa: E402
from timing import LoadWatch, cpu_model, pss_kb, tree, wait_for_quiet  # noqa: E402

SCENES = {
    "IW GRDH": fx.GrdConfig(lines=16700, samples=25500, azimuth_spacing_m=10.0, range_spacing_m=10.0,
                            looks=4.4, duration_s=25.0, seed=21),
    "EW GRDM": fx.GrdConfig(mode="EW", lines=10500, samples=10500, azimuth_spacing_m=40.0,
                            range_spacing_m=40.0, incidence_near=19.0, incidence_far=47.0,
                            looks=10.7, duration_s=60.0, seed=22),
}
QUICK_SCENES = {
    "IW GRDH": dataclasses.replace(SCENES["IW GRDH"], lines=4000, samples=6000),
    "EW GRDM": dataclasses.replace(SCENES["EW GRDM"], lines=3000, samples=3000),
}


# ---------------------------------------------------------------------------
# Data.

def make_data(folder, scenes):
    """The products (folder and zip) and ERA5 files, made once and kept."""
    folder.mkdir(parents=True, exist_ok=True)
    made = {}
    for label, cfg in scenes.items():
        key = label.split()[0].lower()
        safe = next(folder.glob(f"{key}/*.SAFE"), None)
        if safe is None or fx.GrdConfig.name(cfg) not in safe.name:
            shutil.rmtree(folder / key, ignore_errors=True)
            start = time.perf_counter()
            safe, _ = fx.write_grd_product(folder / key, cfg, with_truth=False)
            print(f"  {label}: written in {time.perf_counter() - start:.0f} s", flush=True)
        zipped = folder / f"{key}-zip" / (safe.name[:-5] + ".zip")
        if not zipped.exists():
            zipped.parent.mkdir(parents=True, exist_ok=True)
            fx.zip_product(safe, zipped)
        made[label] = {"safe": safe, "zip": zipped, "cfg": cfg}
    era5 = folder / "era5_2h.nc"
    if not era5.exists():
        fx.write_era5_cds(era5, step=0.25, lat_range=(40.0, 65.0), lon_range=(320.0, 360.0))
    month = folder / "era5_month_legacy.nc"
    if not month.exists():
        fx.write_era5_legacy(month, times=fx.era5_times("2021-04-01T00:00", 744), step=0.25,
                             lat_range=(40.0, 65.0), lon_range=(-40.0, 0.0))
    many = folder / "four"
    if not many.exists():
        # Four scenes by hard links: four products, one copy on disk.
        tmp = folder / "four.tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        tmp.mkdir()
        for k in range(4):
            shutil.copytree(made["IW GRDH"]["safe"], tmp / f"S1A_IW_GRDH_1SDV_FOUR_{k}.SAFE",
                            copy_function=os.link)
        tmp.rename(many)
    return made, era5, month, sorted(many.glob("*.SAFE"))


# ---------------------------------------------------------------------------
# Running the command.

def run_command(args, out):
    """Runs quorvane-wind with `args` into a fresh `out`, its stderr on a
    pseudo-terminal; returns the figures of the run."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    argv = [sys.executable, "-m", "quorvane_wind", *map(str, args), "--output-dir", str(out)]
    master, slave = pty.openpty()
    # A terminal of 120 columns: with none given, progress bars draw nothing.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    first_output = None
    peak_kb = 0
    next_sample = 0.0
    stderr = b""
    while process.poll() is None:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                data = b""
            if data and first_output is None:
                first_output = time.perf_counter() - start
            stderr += data
        if time.perf_counter() >= next_sample:
            peak_kb = max(peak_kb, pss_kb(tree([process.pid])))
            next_sample = time.perf_counter() + 0.2
    wall = time.perf_counter() - start
    stdout = process.stdout.read().decode()
    os.close(master)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if process.returncode != 0:
        raise RuntimeError(f"quorvane-wind {' '.join(map(str, args))} failed:\n{stdout}\n{stderr.decode()[-2000:]}")
    if first_output is None and stdout:
        first_output = wall
    sizes = sum(p.stat().st_size for p in out.iterdir())
    return {"wall_s": wall, "cpu_s": (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime),
            "peak_mb": peak_kb / 1024, "output_mb": sizes / 2**20,
            "first_output_s": first_output, "args": [str(a) for a in args]}


# ---------------------------------------------------------------------------
# Floors.

def _timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def read_floor(safe):
    """Seconds to read the VV measurement whole, by bands of lines."""
    import rasterio

    tiff = next(safe.glob("measurement/*-vv-*.tiff"))

    def read():
        total = 0
        with rasterio.open(tiff) as src:
            rows = max(1, 4_000_000 // src.width)
            for r0 in range(0, src.height, rows):
                window = rasterio.windows.Window(0, r0, src.width, min(rows, src.height - r0))
                total += int(src.read(1, window=window)[0, 0])
        return total

    return _timed(read)[0]


def inflation_floor(zipped):
    """Seconds of `unzip -p` of the VV measurement member."""
    import zipfile

    with zipfile.ZipFile(zipped) as archive:
        member = next(n for n in archive.namelist() if "-vv-" in n and n.endswith(".tiff"))
    start = time.perf_counter()
    subprocess.run(["unzip", "-p", str(zipped), member], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def arithmetic_floor(safe):
    """Seconds of the calibration's arithmetic, (DN^2 - noise) / A^2 to
    float32, over the whole scene on one thread in NumPy: the DNs and the
    per-pixel noise and A arrays (the LUTs interpolated) are made
    beforehand, band by band, outside the timing."""
    import rasterio

    from quorvane_wind.sentinel1 import read_grd_metadata

    scene = read_grd_metadata(safe, "VV")
    tiff = next(safe.glob("measurement/*-vv-*.tiff"))
    rows_per_band = max(1, 4_000_000 // scene.shape[1])
    cols = np.arange(scene.shape[1], dtype=np.float64)
    seconds = 0.0
    with rasterio.open(tiff) as src:
        for r0 in range(0, scene.shape[0], rows_per_band):
            n = min(rows_per_band, scene.shape[0] - r0)
            dn = src.read(1, window=rasterio.windows.Window(0, r0, scene.shape[1], n))
            rows = np.arange(r0, r0 + n, dtype=np.float64)
            noise = scene.noise_range(rows, cols) * scene.noise_azimuth(rows, cols)
            a = scene.calibration(rows, cols)
            start = time.perf_counter()
            sigma0 = ((np.square(dn.astype(np.float64)) - noise) / np.square(a)).astype(np.float32)
            seconds += time.perf_counter() - start
            del sigma0
    return seconds


def kernel_floor(shape):
    """Seconds of python_windspeedCmod5n on `shape` pixels (all cores), by
    bands, on realistic inputs."""
    import Quorvane

    from quorvane_wind.testing.cmod5n_forward import sigma0_cmod5n

    rng = np.random.default_rng(3)
    band = max(1, 4_000_000 // shape[1])
    inc = np.broadcast_to(np.linspace(30.7, 46.0, shape[1], dtype=np.float32), (band, shape[1])).copy()
    direction = rng.uniform(-180, 180, (band, shape[1])).astype(np.float32)
    speed = rng.weibull(2.0, (band, shape[1])) * 8.5
    sigma0 = sigma0_cmod5n(speed, direction, inc).astype(np.float32)   # dB
    seconds = 0.0
    for r0 in range(0, shape[0], band):
        n = min(band, shape[0] - r0)
        start = time.perf_counter()
        Quorvane.python_windspeedCmod5n(direction[:n], inc[:n], sigma0[:n])
        seconds += time.perf_counter() - start
    return seconds


def disk_rate(workdir, size=2 << 30):
    """The disk's sequential write rate (bytes per second): `size` bytes
    written in 64 MB pieces to a new file, then fsync, timed together."""
    piece = np.random.default_rng(5).integers(0, 256, 64 << 20, dtype=np.uint8).tobytes()
    target = Path(workdir) / "disk-rate.bin"
    start = time.perf_counter()
    with open(target, "wb") as f:
        f.writelines(piece for _ in range(size // len(piece)))
        f.flush()
        os.fsync(f.fileno())
    seconds = time.perf_counter() - start
    target.unlink()
    return size / seconds


def land_floor(safe):
    """Seconds and MB (resident growth) of the land mask of the scene's 1 km
    grid in a fresh process (the cache made beforehand)."""
    code = f"""
import json, resource, time, numpy as np
from quorvane_wind.grid import averaging_factors, _block_centres
from quorvane_wind.sentinel1 import read_grd_metadata
from quorvane_wind.landmask import land_mask_block, land_grid
scene = read_grd_metadata({str(safe)!r}, "VV")
fl, fp = averaging_factors(scene, 1000.0)
rows, cols = _block_centres(scene.shape[0], fl), _block_centres(scene.shape[1], fp)
lat = scene.geolocation.field("latitude", rows, cols)
lon = scene.geolocation.field("longitude", rows, cols)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
land_mask_block(lat, lon)
seconds = time.perf_counter() - start
print(json.dumps([seconds, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024]))
"""
    subprocess.run([sys.executable, "-c", "from quorvane_wind.landmask import land_grid; land_grid()"],
                   check=True)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def startup_floor():
    code = ("import quorvane_wind.cli, quorvane_wind.product, xarray, dask, distributed, rasterio, "
            "netCDF4, xarray_sentinel, Quorvane")
    return min(_timed(lambda: subprocess.run([sys.executable, "-c", code], check=True))[0] for _ in range(3))


def profile(safe, era5, resolution, land):
    """Per-task seconds of one in-process run of the pipeline, summed by task
    name (dask's Profiler on the threaded scheduler)."""
    import dask
    from dask.diagnostics import Profiler

    from quorvane_wind import make_wind_product, write_product

    out = Path(tempfile.mkdtemp(prefix="quorvane-profile-"))
    try:
        with dask.config.set(scheduler="threads", num_workers=os.cpu_count()), Profiler() as prof:
            start = time.perf_counter()
            ds = make_wind_product(safe, [era5], resolution=resolution, land=land, kernel_threads=1)
            write_product(ds, out / "p.nc")
            wall = time.perf_counter() - start
    finally:
        shutil.rmtree(out, ignore_errors=True)
    by_name = {}
    for r in prof.results:
        key = r.key[0] if isinstance(r.key, tuple) else r.key
        name = str(key).rsplit("-", 1)[0] if "-" in str(key) else str(key)
        by_name[name] = by_name.get(name, 0.0) + (r.end_time - r.start_time)
    top = sorted(by_name.items(), key=lambda kv: -kv[1])[:15]
    return {"wall_s": wall, "task_seconds": dict(top),
            "all_task_seconds": sum(by_name.values())}


# ---------------------------------------------------------------------------
# Geolocation: what latitude and longitude cost in a native product.

GEOLOCATION_OPTIONS = ("float64", "float32", "CF tie points", "grid + method attribute")


def _geolocation_file(path, option, geolocation, rows, shape, lat, lon):
    """Writes a file of `shape` with a `wind_speed` of zeros (not timed) and
    latitude/longitude stored as `option`; returns the seconds of writing
    the geolocation (compression and the final sync included) and the CPU
    seconds of this process meanwhile (HDF5 compresses in the writing
    thread; CPU time is less sensitive to other processes). `lat` and
    `lon` are the native values at `rows` x all pixels (float64)."""
    import netCDF4

    band = min(shape[0], max(1, 2_000_000 // shape[1]))
    chunks = (band, min(1024, shape[1]))
    with netCDF4.Dataset(path, "w") as nc:
        nc.Conventions = "CF-1.11"
        nc.createDimension("line", shape[0])
        nc.createDimension("pixel", shape[1])
        speed = nc.createVariable("wind_speed", "f4", ("line", "pixel"), zlib=True, complevel=1,
                                  chunksizes=chunks, fill_value=np.float32(np.nan))
        speed.standard_name, speed.units = "wind_speed", "m s-1"
        for r0 in range(0, shape[0], band):
            speed[r0:r0 + band, :] = np.zeros((min(band, shape[0] - r0), shape[1]), dtype=np.float32)
        nc.sync()
        start, cpu = time.perf_counter(), time.process_time()
        if option in ("float64", "float32"):
            # As the product stores them: deflate 1 with the byte shuffle, in
            # the product's chunks, band by band.
            speed.coordinates = "latitude longitude"
            out = {}
            for name, units in (("latitude", "degrees_north"), ("longitude", "degrees_east")):
                out[name] = nc.createVariable(name, "f8" if option == "float64" else "f4", ("line", "pixel"),
                                              zlib=True, complevel=1, shuffle=True, chunksizes=chunks)
                out[name].standard_name, out[name].units = name, units
            for r0 in range(0, shape[0], band):
                out["latitude"][r0:r0 + band, :] = lat[r0:r0 + band]
                out["longitude"][r0:r0 + band, :] = lon[r0:r0 + band]
        else:
            # The annotation's geolocation grid, the part covering `rows`
            # (its lines shifted to start at 0), longitudes unwrapped.
            inside = (geolocation.lines >= rows[0]) & (geolocation.lines <= rows[-1])
            first, last = np.nonzero(inside)[0][[0, -1]]
            first, last = max(first - 1, 0), min(last + 1, geolocation.lines.size - 1)
            tie_lines = np.clip(geolocation.lines[first:last + 1] - rows[0], 0, shape[0] - 1)
            tie_lat = geolocation.latitude[first:last + 1]
            tie_lon = geolocation.longitude[first:last + 1]
            prefix = "tp" if option == "CF tie points" else "gcp"
            nc.createDimension(f"{prefix}_line", tie_lines.size)
            nc.createDimension(f"{prefix}_pixel", geolocation.pixels.size)
            if option == "CF tie points":
                # CF-1.11 coordinate subsampling (section 8.3): tie points,
                # their indices in the interpolated dimensions and an
                # interpolation variable naming the method.
                for dim, values in (("line", tie_lines), ("pixel", geolocation.pixels)):
                    index = nc.createVariable(f"{dim}_indices", "i4", (f"tp_{dim}",))
                    index[:] = np.round(values).astype(np.int32)
                names = ("latitude", "longitude")
                interp = nc.createVariable("tp_interpolation", "i4", ())
                interp.interpolation_name = "bi_linear"
                interp.tie_point_mapping = "line: line_indices tp_line pixel: pixel_indices tp_pixel"
                speed.coordinate_interpolation = "latitude: longitude: tp_interpolation"
            else:
                for dim, values in (("line", tie_lines), ("pixel", geolocation.pixels)):
                    nc.createVariable(f"gcp_{dim}", "f8", (f"gcp_{dim}",))[:] = values
                names = ("gcp_latitude", "gcp_longitude")
                speed.geolocation = "gcp_latitude gcp_longitude: bilinear in line and pixel"
            for name, values, units in ((names[0], tie_lat, "degrees_north"), (names[1], tie_lon, "degrees_east")):
                v = nc.createVariable(name, "f8", (f"{prefix}_line", f"{prefix}_pixel"))
                v.units = units
                v[:] = values
        nc.sync()
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    return seconds, cpu


def _what_tools_read(path):
    """What xarray and GDAL (through rasterio) make of a file's geolocation
    without help."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import rasterio
    import xarray as xr

    seen = {}
    with xr.open_dataset(path) as ds:
        speed = ds["wind_speed"]
        seen["xarray_coords"] = sorted(str(c) for c in speed.coords)
        try:
            speed.isel(line=slice(None, None, 100), pixel=slice(None, None, 100)).plot(x="longitude", y="latitude")
            seen["xarray_plot"] = "plots"
        except Exception as error:  # noqa: BLE001 - any failure is the answer
            seen["xarray_plot"] = f"{type(error).__name__}: {str(error)[:80]}"
        plt.close("all")
    with rasterio.open(f'netcdf:"{path}":wind_speed') as src:
        geo = src.tags(ns="GEOLOCATION")
        seen["gdal_geolocation"] = {k: geo[k] for k in ("X_DATASET", "Y_DATASET") if k in geo}
    return seen


def geolocation_options(safe, lines, workdir):
    """Bytes on disk, write seconds and what users' tools read for each way
    of storing latitude/longitude, on the first `lines` lines of the scene
    at native resolution."""
    from quorvane_wind.sentinel1 import read_grd_metadata

    scene = read_grd_metadata(safe, "VV")
    lines = min(lines, scene.shape[0])
    shape = (lines, scene.shape[1])
    rows = np.arange(lines, dtype=np.float64)
    cols = np.arange(shape[1], dtype=np.float64)
    lat = scene.geolocation.field("latitude", rows, cols)
    lon = scene.geolocation.field("longitude", rows, cols)
    workdir = Path(workdir)
    bare = workdir / "geolocation-none.nc"
    _geolocation_file(bare, "none", scene.geolocation, rows, shape, lat, lon)
    bare_bytes = bare.stat().st_size
    bare.unlink()
    out = {"lines": lines, "pixels": shape[1], "raw_float64_mb": 2 * lat.nbytes / 2**20, "options": {}}
    for option in GEOLOCATION_OPTIONS:
        path = workdir / "geolocation.nc"
        seconds, cpu = _geolocation_file(path, option, scene.geolocation, rows, shape, lat, lon)
        figures = {"mb": (path.stat().st_size - bare_bytes) / 2**20, "write_s": seconds, "write_cpu_s": cpu,
                   "loadavg": os.getloadavg()[0]}
        if option == "float32":
            # The rounding, in metres on the ground.
            dlat = np.abs(lat.astype(np.float32).astype(np.float64) - lat).max()
            dlon = np.abs(lon.astype(np.float32).astype(np.float64) - lon) * np.cos(np.radians(lat))
            figures["max_error_m"] = float(max(dlat, dlon.max()) * 111_195.0)
        figures.update(_what_tools_read(path))
        out["options"][option] = figures
        print(f"  {option}: {json.dumps(figures)}", flush=True)
        path.unlink()
    return out


# ---------------------------------------------------------------------------

RUN_GROUPS = ("1km", "native", "zip", "variants", "four")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", type=Path, default=ROOT / "build" / "bench-scenes",
                   help="folder of the products and ERA5 files (made once, kept)")
    p.add_argument("--results", type=Path, default=ROOT / "bench" / "scenes.json")
    p.add_argument("--quick", action="store_true", help="smaller scenes, for a trial of the script")
    p.add_argument("--max-wait", type=float, default=300.0)
    p.add_argument("--skip-native", action="store_true", help="leave out the native runs (minutes each)")
    p.add_argument("--safe", type=Path,
                   help="an existing IW GRDH product folder to measure instead of the made scenes "
                        "(no zip, EW or four-scene runs)")
    p.add_argument("--era5", type=Path, help="ERA5 file covering --safe")
    p.add_argument("--runs", nargs="+", choices=RUN_GROUPS, default=list(RUN_GROUPS),
                   help="which runs of the command: 1 km, native, zipped input, the 1 km variants "
                        "(no land mask, quicklook), four scenes")
    p.add_argument("--keep-native", type=Path,
                   help="folder into which the first native product is moved (to compare it with another)")
    p.add_argument("--no-profile", action="store_true", help="leave out dask's per-task profile")
    p.add_argument("--geolocation-lines", type=int, default=4000,
                   help="lines of the IW scene on which the ways of storing latitude/longitude "
                        "are measured (0: none)")
    args = p.parse_args(argv)
    runs = set(args.runs) - ({"native"} if args.skip_native else set())

    if args.safe is not None:
        if args.era5 is None:
            p.error("--safe needs --era5")
        from quorvane_wind.sentinel1 import read_grd_metadata
        shape = read_grd_metadata(args.safe, "VV").shape
        made = {"IW GRDH": {"safe": args.safe, "zip": None,
                            "cfg": dataclasses.replace(SCENES["IW GRDH"], lines=shape[0], samples=shape[1])}}
        era5, month, four = args.era5, args.era5, []
        runs -= {"zip", "four"}
    else:
        scenes = QUICK_SCENES if args.quick else SCENES
        print("== Products and ERA5 files", flush=True)
        made, era5, month, four = make_data(args.data, scenes)
    print("== Waiting for a quiet machine", flush=True)
    quiet = wait_for_quiet(args.max_wait, 0.3)
    # The disk's rate is measured where the products are written.
    work = Path(tempfile.mkdtemp(prefix="quorvane-scenes-"))
    watch = LoadWatch()
    results = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "cpu": cpu_model(),
               "cores": os.cpu_count(), "quick": args.quick, "quiet": quiet,
               "source": str(args.safe) if args.safe else "made", "scenes": {}, "runs": []}

    def command(label, name, *cli_args):
        print(f"  {label}: {name}", flush=True)
        load = os.getloadavg()[0]
        figures = run_command([*cli_args], work / "out")
        figures.update(scene=label, name=name, loadavg_before=load, loadavg_after=os.getloadavg()[0])
        results["runs"].append(figures)
        print(f"    {figures['wall_s']:.1f} s wall, {figures['cpu_s']:.1f} s CPU, "
              f"{figures['peak_mb']:.0f} MB peak, {figures['output_mb']:.0f} MB out "
              f"(load average {load:.1f} before, {figures['loadavg_after']:.1f} after)", flush=True)
        return figures

    try:
        rate = disk_rate(work)
        results["disk_mb_s"] = rate / 2**20
        print(f"== Disk: {rate / 2**20:.0f} MB/s sequential write with fsync", flush=True)
        for label, data in made.items():
            cfg = data["cfg"]
            print(f"== {label} ({cfg.lines} x {cfg.samples})", flush=True)
            floors = {"read_s": read_floor(data["safe"]), "arithmetic_s": arithmetic_floor(data["safe"]),
                      "kernel_s": kernel_floor(cfg.shape), "startup_s": startup_floor()}
            if data["zip"] is not None:
                floors["inflate_s"] = inflation_floor(data["zip"])
            floors["land_s"], floors["land_mb"] = land_floor(data["safe"])
            results["scenes"][label] = {"shape": list(cfg.shape), "floors": floors,
                                        "measurement_mb": next(data["safe"].glob("measurement/*-vv-*.tiff")).stat().st_size / 2**20}
            print(f"  floors: {json.dumps({k: round(v, 2) for k, v in floors.items()})}", flush=True)
            if label == "IW GRDH" and args.geolocation_lines > 0:
                print(f"  geolocation options on {args.geolocation_lines} lines", flush=True)
                results["geolocation"] = geolocation_options(data["safe"], args.geolocation_lines, work)
            common = ["--era5", era5]
            if "1km" in runs:
                command(label, "folder, 1 km, land mask", data["safe"], *common)
            if "zip" in runs and "1km" in runs:
                command(label, "zip, 1 km, land mask", data["zip"], *common)
            if "variants" in runs:
                command(label, "folder, 1 km, no land mask", data["safe"], *common, "--no-land-mask")
                command(label, "folder, 1 km, quicklook, month of legacy ERA5", data["safe"], "--era5", month,
                        "--quicklook")
            if "native" in runs:
                native = command(label, "folder, native, land mask", data["safe"], *common,
                                 "--resolution", "native")
                # The native product's bytes at the disk's sequential rate.
                floors["write_s"] = native["output_mb"] * 2**20 / rate
                if args.keep_native is not None and label == "IW GRDH":
                    args.keep_native.mkdir(parents=True, exist_ok=True)
                    for product in (work / "out").glob("*_wind.nc"):
                        shutil.move(product, args.keep_native / product.name)
                if "zip" in runs:
                    command(label, "zip, native, land mask", data["zip"], *common, "--resolution", "native")
            if label == "IW GRDH" and "four" in runs:
                command(label, "4 scenes, 1 km, serial", *four, *common)
                command(label, "4 scenes, 1 km, --workers 2", *four, *common, "--workers", "2")
                command(label, "4 scenes, 1 km, --workers 1", *four, *common, "--workers", "1")
        if not args.no_profile:
            print("== Profile (IW GRDH, 1 km and native)", flush=True)
            iw = made["IW GRDH"]["safe"]
            results["profile"] = {"1 km": profile(iw, era5, 1000.0, True)}
            if "native" in runs:
                results["profile"]["native"] = profile(iw, era5, "native", True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    results["load"] = watch.stop()
    args.results.write_text(json.dumps(results, indent=1, default=str) + "\n")
    print(f"results in {args.results}", flush=True)


if __name__ == "__main__":
    main()
