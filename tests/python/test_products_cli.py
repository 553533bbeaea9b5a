"""The quorvane-wind command: exit status and one-line messages for every
kind of bad input, skip/overwrite, atomic writes and interrupted runs, the
CF attributes of the product, the land mask, and a two-process
dask.distributed run equal to a serial run."""

import dataclasses
import logging
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

from products_fixtures import copy_product
from quorvane_wind import __version__
from quorvane_wind.cli import main
from quorvane_wind.atomic import write_atomically
from quorvane_wind.conventions import LAND
from quorvane_wind.netcdf import output_name

BIN = Path(sys.executable).parent


@pytest.fixture(scope="module")
def small(tmp_path_factory, s1fx):
    """Small products over the North Atlantic (40 x 60 pixels of 1 km) and
    a regional legacy-layout ERA5 file around them."""
    root = tmp_path_factory.mktemp("cli")
    cfg = s1fx.GrdConfig(lines=40, samples=60, azimuth_spacing_m=1000.0, range_spacing_m=1000.0)
    good, _ = s1fx.write_grd_product(root / "good", cfg)
    other, _ = s1fx.write_grd_product(root / "other", dataclasses.replace(cfg, centre_lat=50.5, seed=3, looks=20.0))
    era5 = s1fx.write_era5_legacy(root / "era5_atlantic.nc", step=0.5, lat_range=(40.0, 65.0),
                                  lon_range=(-40.0, 10.0))
    far, _ = s1fx.write_grd_product(root / "far", dataclasses.replace(cfg, centre_lat=-40.0, centre_lon=100.0))
    (root / "zipped").mkdir()
    good_zip = s1fx.zip_product(good, root / "zipped" / (good.name[:-5] + ".zip"))
    return {"root": root, "cfg": cfg, "good": good, "other": other, "era5": era5, "far": far,
            "good_zip": good_zip}


def run_cli(*args):
    return main([str(a) for a in args])


def test_every_bad_input_gets_one_line_and_the_others_are_written(small, products, tmp_path, capsys):
    bad = tmp_path / "bad"
    corrupt_xml = copy_product(small["good"], bad / "xml", "S1A_CORRUPT_XML.SAFE")
    calibration = next((corrupt_xml / "annotation" / "calibration").glob("calibration-*vv*.xml"))
    calibration.write_bytes(calibration.read_bytes()[: calibration.stat().st_size // 2])
    garbage_tiff = copy_product(small["good"], bad / "tiff", "S1A_GARBAGE_TIFF.SAFE")
    measurement = next((garbage_tiff / "measurement").glob("*vv*.tiff"))
    measurement.write_bytes(b"\0" * 1000)
    truncated_tiff = copy_product(small["good"], bad / "short", "S1A_TRUNCATED_TIFF.SAFE")
    measurement = next((truncated_tiff / "measurement").glob("*vv*.tiff"))
    measurement.write_bytes(measurement.read_bytes()[:2000])
    not_a_product = tmp_path / "notes.zip"
    not_a_product.write_text("not a zip")
    missing = tmp_path / "S1A_MISSING.SAFE"
    inputs = [small["good"], missing, products.hh, corrupt_xml, garbage_tiff, truncated_tiff,
              small["far"], not_a_product]
    out = tmp_path / "out"
    status = run_cli(*inputs, "--era5", small["era5"], "--output-dir", out, "--no-land-mask",
                     "--polarisation", "VV")
    captured = capsys.readouterr()
    lines = captured.err.strip().splitlines()
    assert status == 1
    assert "Traceback" not in captured.err
    assert len(lines) == len(inputs) - 1, lines
    by_input = {line.split(": ", 2)[1]: line.split(": ", 2)[2] for line in lines}
    assert "no such file" in by_input[str(missing)]
    assert "no VV polarisation" in by_input[str(products.hh)] and "VV" in by_input[str(products.hh)]
    assert calibration.name in by_input[str(corrupt_xml)]
    assert "calibration" in by_input[str(corrupt_xml)]
    assert measurement.name in by_input[str(garbage_tiff)]
    assert measurement.name in by_input[str(truncated_tiff)]
    assert "truncated" in by_input[str(truncated_tiff)]
    far = by_input[str(small["far"])]
    assert "outside the ERA5 files" in far and "latitude -4" in far and "era5_atlantic.nc" in far
    assert "neither a SAFE folder nor a zip" in by_input[str(not_a_product)]
    assert sorted(p.name for p in out.iterdir()) == [output_name(small["good"])]
    assert "1 written, 0 skipped, 7 failed" in captured.out


def test_debug_shows_the_traceback(small, tmp_path, capsys):
    status = run_cli(tmp_path / "missing.SAFE", "--era5", small["era5"], "--output-dir", tmp_path,
                     "--debug")
    assert status == 1 and "Traceback" in capsys.readouterr().err


@pytest.mark.parametrize("args, message", [
    ([], "--era5"),
    (["--era5", "e.nc"], "--output-dir"),
    (["--era5", "e.nc", "--output-dir", "o", "--resolution", "fine"], "metres or 'native'"),
    (["--era5", "e.nc", "--output-dir", "o", "--resolution", "-5"], "positive"),
    (["--era5", "e.nc", "--output-dir", "o", "--workers", "2", "--scheduler", "tcp://x:1"], "not allowed"),
    (["--era5", "e.nc", "--output-dir", "o", "--workers", "0"], "at least 1"),
    (["--era5", "missing.nc", "--output-dir", "o"], "--era5 missing.nc: no such file"),
    (["--era5", "era5.nc", "--output-dir", "o", "--scheduler", "tcp://host:port"], "not a scheduler address"),
    (["--era5", "era5.nc", "--output-dir", "o", "--scheduler", "udp://host:1"], "not a scheduler address"),
    (["--era5", "era5.nc", "--output-dir", "o", "--scheduler", "tls://host"], "dask's TLS configuration"),
    (["--era5", "e.nc", "--output-dir", "o", "--workers", "2", "--scheduler-file", "s.json"], "not allowed"),
    (["--era5", "era5.nc", "--output-dir", "o", "--scheduler-file", "era5.nc"], "not a scheduler file"),
    (["--era5", "era5.nc", "--output-dir", "o", "--tmpdir", "nowhere"], "--tmpdir nowhere: no such folder"),
    # The ERA5 files are indexed once, before any input: a bad one stops the run.
    (["--era5", "era5.nc", "--output-dir", "o"], "era5.nc: cannot be read as NetCDF"),
])
def test_usage_errors_exit_2(args, message, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("era5.nc").write_bytes(b"")
    with pytest.raises(SystemExit) as exit_:
        main(["S1A_X.SAFE", *args])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and message in err and "Traceback" not in err
    assert not Path("o").exists() or not list(Path("o").iterdir())


def test_no_space_unreachable_scheduler_and_missing_extra_are_one_line_each(small, s1fx, tmp_path, capsys):
    """A full disk names the output, whether it fills while netCDF-C makes
    the file or while the chunk writer writes (a larger product on a disk
    with room for its start); an unreachable scheduler fails each input
    with its own line; without the products extra the command says which
    extra to install."""
    larger, _ = s1fx.write_grd_product(tmp_path / "larger", dataclasses.replace(small["cfg"], lines=300,
                                                                                 samples=400, looks=4.0))
    for product, size in ((small["good"], "64k"), (larger, "1536k")):
        disk = tmp_path / f"disk-{size}"
        disk.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(disk)],
                          capture_output=True).returncode != 0:
            pytest.skip("mounting a small file system needs root")
        try:
            assert run_cli(product, "--era5", small["era5"], "--output-dir", disk,
                           "--no-land-mask", "--resolution", "native") == 1
            err = capsys.readouterr().err.strip()
            assert err.count("\n") == 0 and "no space left" in err, err
            assert str(disk / output_name(product)) in err and list(disk.iterdir()) == []
            # The failed file's space is given back although HDF5 keeps it open.
            assert os.statvfs(disk).f_bfree == os.statvfs(disk).f_blocks
        finally:
            subprocess.run(["umount", "--lazy", str(disk)], check=True)

    import dask

    inputs = [small["good"], small["other"]]
    with dask.config.set({"distributed.comm.timeouts.connect": "2s"}):
        assert run_cli(*inputs, "--era5", small["era5"], "--output-dir", tmp_path / "o",
                       "--scheduler", "tcp://127.0.0.1:9") == 1
    lines = capsys.readouterr().err.strip().splitlines()
    assert [line.split(": ")[1] for line in lines] == [str(p) for p in inputs]
    assert all("cannot reach the scheduler tcp://127.0.0.1:9" in line for line in lines)
    # A scheduler file that never appears is waited for as long, not for ever.
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        assert run_cli(small["good"], "--era5", small["era5"], "--output-dir", tmp_path / "o",
                       "--scheduler-file", tmp_path / "never.json") == 1
    line = capsys.readouterr().err.strip()
    assert line.count("\n") == 0 and f"cannot reach the scheduler in {tmp_path / 'never.json'}" in line

    block_extra = ("import sys\n"
                   "class Hidden:\n"
                   "    def find_spec(self, name, path=None, target=None):\n"
                   "        if name.split('.')[0] in ('xarray', 'netCDF4'):\n"
                   "            raise ModuleNotFoundError(name)\n"
                   "sys.meta_path.insert(0, Hidden())\n"
                   "from quorvane_wind.cli import main\n"
                   "sys.exit(main(sys.argv[1:]))\n")
    bare = subprocess.run([sys.executable, "-c", block_extra, str(small["good"]), "--era5",
                           str(small["era5"]), "--output-dir", str(tmp_path / "o")],
                          capture_output=True, text=True, timeout=120)
    assert bare.returncode == 2 and bare.stderr.count("\n") == 1
    assert "pip install 'quorvane[products]'" in bare.stderr and "xarray, netCDF4" in bare.stderr


def test_output_names_drop_safe_and_zip():
    for given in ("/data/S1A_IW_X.SAFE", "/data/S1A_IW_X.SAFE/", "S1A_IW_X.zip", "S1A_IW_X.SAFE.zip"):
        assert output_name(given) == "S1A_IW_X_wind.nc"


def test_existing_output_is_skipped_unless_overwrite(small, tmp_path, capsys):
    """The zipped product names the same output as its folder: the second
    run skips it, --overwrite replaces it."""
    out = tmp_path / "out"
    argv = [small["good_zip"], "--era5", small["era5"], "--output-dir", out, "--no-land-mask"]
    assert run_cli(small["good"], *argv[1:]) == 0
    product = out / output_name(small["good"])
    with xr.open_dataset(product) as ds:
        from_folder = ds["wind_speed"].values
    os.utime(product, (1_000_000_000, 1_000_000_000))
    capsys.readouterr()
    assert run_cli(*argv) == 0
    assert product.stat().st_mtime == 1_000_000_000
    assert "skipped" in capsys.readouterr().out
    assert run_cli(*argv, "--overwrite") == 0
    assert product.stat().st_mtime > 1_000_000_000
    assert "1 written, 0 skipped, 0 failed" in capsys.readouterr().out
    with xr.open_dataset(product) as ds:
        np.testing.assert_array_equal(ds["wind_speed"].values, from_folder)


def test_a_failed_write_leaves_nothing_and_stale_parts_are_cleared(small, tmp_path):
    final = tmp_path / "x_wind.nc"

    def half_then_interrupt(tmp):
        Path(tmp).write_bytes(b"half a file")
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_atomically(final, half_then_interrupt)
    assert list(tmp_path.iterdir()) == []
    final.write_bytes(b"old")
    with pytest.raises(OSError):
        write_atomically(final, lambda tmp: (Path(tmp).write_bytes(b"new"), open(tmp_path / "nope" / "x")))
    assert final.read_bytes() == b"old" and list(tmp_path.iterdir()) == [final]

    # A killed writer's temporary files go when the output is made again,
    # those of its GeoTIFF too though this run asks for none.
    out = tmp_path / "out"
    out.mkdir()
    stale = out / f".{output_name(small['good'])}.0123456789ab.part"
    stale.write_bytes(b"left by a killed worker")
    stale_tif = out / f".{output_name(small['good'])[:-3]}.tif.0123456789ab.part"
    stale_tif.write_bytes(b"left by a killed worker")
    assert run_cli(small["good"], "--era5", small["era5"], "--output-dir", out, "--no-land-mask") == 0
    assert sorted(p.name for p in out.iterdir()) == [output_name(small["good"])]


@pytest.mark.parametrize("moment, options", [
    ("start-up", []), ("reading", []), ("after the first output", []),
    ("after the first output", ["--workers", "2"])])
def test_interrupted_run_leaves_no_partial_file_and_a_rerun_finishes(moment, options, products, tmp_path):
    """Ctrl-C on a terminal (SIGINT to the whole process group) during the
    imports, inside the reads of the first scene, or later, serial or with
    worker processes: status 130, one line, no partial file, no crash."""
    # More inputs than the workers finish while the first output appears.
    count = 8 if options else 3
    inputs = [copy_product(products.clean, tmp_path / "in", f"S1A_SCENE_{k}.SAFE") for k in range(count)]
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "quorvane_wind", *map(str, inputs), "--era5", str(products.era5_cds),
            "--output-dir", str(out), "--no-land-mask", "--resolution", "native", *options]
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    deadline = time.monotonic() + 120
    if moment == "start-up":
        # Within the imports of the run, found by what the process has
        # loaded rather than by a delay (which a loaded machine stretches).
        maps = Path(f"/proc/{process.pid}/maps")
        while time.monotonic() < deadline and "_multiarray_umath" not in maps.read_text():
            time.sleep(0.005)
    elif moment == "reading":
        while time.monotonic() < deadline and not list(out.glob(".*.part")):
            time.sleep(0.01)
    else:
        while time.monotonic() < deadline and not list(out.glob("*_wind.nc")):
            time.sleep(0.05)
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, stderr
    assert stderr.count("\n") == 1 and "interrupted" in stderr
    assert not list(out.glob(".*")) if out.exists() else True
    done = sorted(out.glob("*_wind.nc"))
    assert len(done) < len(inputs) and (len(done) >= 1) == (moment == "after the first output")
    for path in done:
        with xr.open_dataset(path) as ds:
            assert np.isfinite(ds["wind_speed"].values).all()

    rerun = subprocess.run(argv, capture_output=True, text=True, timeout=300)
    assert rerun.returncode == 0, rerun.stderr
    assert f"{len(inputs) - len(done)} written, {len(done)} skipped, 0 failed" in rerun.stdout
    assert len(list(out.glob("*_wind.nc"))) == len(inputs)


def test_cf_attributes_and_quicklook(small, tmp_path):
    """The product passes IOOS compliance-checker's CF-1.11 suite without an
    error or warning and its ACDD-1.3 suite but for the standard names CF
    has none for (or that the ERA5 speed must not share), with producer
    attributes given by --attribute or left to their defaults; cf_xarray
    finds the retrieved speed and the coordinates."""
    import json

    import cf_xarray  # noqa: F401  (the .cf accessor)
    from compliance_checker.runner import CheckSuite, ComplianceChecker

    out = tmp_path / "out"
    # Some producer attributes given, the others left to their defaults.
    producer = {"institution": "Example Ocean Service", "creator_name": "Example Ocean Service",
                "creator_email": "wind@example.org"}
    assert run_cli(small["good"], "--era5", small["era5"], "--output-dir", out, "--quicklook",
                   "--no-land-mask", *(f"--attribute={k}={v}" for k, v in producer.items())) == 0
    path = out / output_name(small["good"])
    assert path.with_suffix(".png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    CheckSuite.load_all_available_checkers()
    report = tmp_path / "report.json"
    ComplianceChecker.run_checker(str(path), ["cf:1.11", "acdd:1.3"], 0, "normal",
                                  output_filename=str(report), output_format="json")
    failed = {suite: [(c["name"], c["msgs"]) for level in ("high_priorities", "medium_priorities",
                                                           "low_priorities")
                      for c in result[level] if c["value"][0] < c["value"][1]]
              for suite, result in json.loads(report.read_text()).items()}
    assert failed["cf:1.11"] == []
    assert sorted(name.split('"')[1] for name, msgs in failed["acdd:1.3"] if msgs == ["standard_name"]) == [
        "era5_wind_speed", "look_direction", "nesz"] and len(failed["acdd:1.3"]) == 3
    with xr.open_dataset(path) as ds:
        assert [ds.cf[key].name for key in ("wind_speed", "latitude", "longitude", "time")] == [
            "wind_speed", "latitude", "longitude", "time"]
        assert "_FillValue" not in ds["line"].encoding and "_FillValue" not in ds["latitude"].encoding

    import netCDF4
    with netCDF4.Dataset(path) as nc:
        g = {k: nc.getncattr(k) for k in nc.ncattrs()}
        assert g["Conventions"] == "CF-1.11, ACDD-1.3"
        assert all(g[k] == v for k, v in producer.items())
        assert g["geospatial_bounds"].startswith("POLYGON ((") and g["time_coverage_duration"] == "PT25.000000S"
        assert small["good"].name[:-5] in g["source"] and "era5_atlantic.nc" in g["source"]
        assert "quorvane-wind" in g["history"] and "--quicklook" in g["history"]
        assert g["platform"] == "Sentinel-1A" and g["instrument"] == "C-SAR"
        assert g["time_coverage_start"].startswith("2021-04-01T05:26:23")
        assert g["time_coverage_end"].startswith("2021-04-01T05:26:48")
        assert "Contains modified Copernicus Sentinel data 2021" in g["acknowledgement"]
        assert "Contains modified Copernicus Climate Change Service information" in g["acknowledgement"]
        v = nc.variables
        assert (v["wind_speed"].standard_name, v["wind_speed"].units) == ("wind_speed", "m s-1")
        assert set(v["wind_speed"].coordinates.split()) >= {"latitude", "longitude", "height"}
        assert float(v["height"][:]) == 10.0 and v["height"].units == "m"
        assert (v["wind_from_direction"].standard_name, v["wind_from_direction"].units) == (
            "wind_from_direction", "degree")
        assert v["sigma0"].standard_name == "surface_backwards_scattering_coefficient_of_radar_wave"
        assert v["incidence_angle"].standard_name == "angle_of_incidence"
        assert v["era5_wind_speed"].units == "m s-1"
        assert (v["latitude"].units, v["longitude"].units) == ("degrees_north", "degrees_east")
        assert v["latitude"].dtype == np.float64 and v["wind_speed"].dtype == np.float32
        assert list(v["mask"].flag_masks) == [1, 2, 4, 8, 16, 32, 64, 128, 256]
        assert v["mask"].flag_meanings.split()[:4] == [
            "land", "invalid_sigma0", "incidence_outside_model_range", "no_ancillary_wind"]
        assert v["wind_speed"].filters()["zlib"] and v["wind_speed"].chunking() != "contiguous"


def test_land_is_masked_by_default(products, tmp_path):
    """A scene across the Dutch coast: North Sea pixels in the west get a
    wind speed, pixels over the Netherlands are flagged land and NaN."""
    out = tmp_path / "out"
    assert run_cli(products.coast, "--era5", products.era5_cds, "--output-dir", out) == 0
    ds = xr.open_dataset(out / output_name(products.coast)).load()
    land = (ds["mask"] & LAND) != 0
    at_sea = (ds["longitude"] < 4.0) & (abs(ds["latitude"] - 52.4) < 0.2)
    inland = (ds["longitude"] > 4.8) & (abs(ds["latitude"] - 52.2) < 0.1)
    assert at_sea.any() and inland.any()
    assert not land.where(at_sea, False).any() and bool(land.where(inland, True).all())
    assert bool(ds["wind_speed"].where(land).isnull().all())
    assert bool(ds["wind_speed"].where(at_sea).notnull().sum() == at_sea.sum())

    unmasked = tmp_path / "unmasked"
    assert run_cli(products.coast, "--era5", products.era5_cds, "--output-dir", unmasked,
                   "--no-land-mask") == 0
    ds = xr.open_dataset(unmasked / output_name(products.coast)).load()
    assert not ((ds["mask"] & LAND) != 0).any() and bool(ds["wind_speed"].notnull().all())


@pytest.fixture(scope="module")
def serial_products(small, tmp_path_factory):
    serial = tmp_path_factory.mktemp("serial")
    assert run_cli(small["good"], small["other"], "--era5", small["era5"], "--no-land-mask",
                   "--output-dir", serial) == 0
    return serial


@pytest.mark.parametrize("where", ["--workers", "--scheduler"])
def test_two_worker_processes_give_the_serial_products(where, small, serial_products, tmp_path, capsys,
                                                       monkeypatch):
    """`--workers 2` starts its own cluster of two processes; `--scheduler`
    joins one that is already running (here a local one of two processes,
    started in another folder than the command's: relative paths reach
    the workers as absolute ones)."""
    inputs = [small["good"], small["other"]]
    serial, parallel = serial_products, tmp_path / "parallel"
    common = ["--era5", small["era5"], "--no-land-mask"]
    capsys.readouterr()
    if where == "--workers":
        assert run_cli(*inputs, *common, "--output-dir", parallel, "--workers", "2") == 0
    else:
        from distributed import LocalCluster
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=":0") as cluster:
            monkeypatch.chdir(tmp_path)
            relative = [os.path.relpath(p) for p in inputs]
            assert run_cli(*relative, *common, "--output-dir", "parallel",
                           "--scheduler", cluster.scheduler_address) == 0
    assert "2 written, 0 skipped, 0 failed" in capsys.readouterr().out
    for path in sorted(serial.iterdir()):
        with xr.open_dataset(path) as a, xr.open_dataset(parallel / path.name) as b:
            for name in ("wind_speed", "mask", "sigma0", "wind_from_direction", "latitude"):
                np.testing.assert_array_equal(a[name].values, b[name].values)


def test_console_script_and_module_entry(tmp_path):
    script = BIN / "quorvane-wind"
    for command in ([str(script)], [sys.executable, "-m", "quorvane_wind"]):
        help_ = subprocess.run([*command, "--help"], capture_output=True, text=True, timeout=120)
        assert help_.returncode == 0
        assert "--era5 FILE" in help_.stdout
        assert "--scheduler ADDRESS | --scheduler-file FILE | --workers N" in help_.stdout
    bare = subprocess.run([str(script)], capture_output=True, text=True, timeout=120)
    assert bare.returncode == 2 and "usage: quorvane-wind" in bare.stderr


class KillWorkerOnStart:
    """Worker plugin: when the task of `victim` starts, leaves a half-written
    temporary file for it, as a worker killed while writing would, and kills
    its own worker process."""

    def __init__(self, victim, folder):
        self.victim = victim
        self.folder = folder

    def setup(self, worker):
        pass

    def teardown(self, worker):
        pass

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and self.victim in str(key):
            Path(self.folder, f".{self.victim}.0123456789ab.part").write_bytes(b"half a product")
            os.kill(os.getpid(), signal.SIGKILL)


def test_a_killed_worker_leaves_no_partial_file_and_a_rerun_finishes(small, tmp_path, capsys):
    """The worker dies while its task writes: the input fails with one line,
    its half-written temporary file is removed, and the next run makes it."""
    import cloudpickle
    import dask
    from distributed import Client, LocalCluster, WorkerPlugin

    plugin_class = type("KillWorker", (KillWorkerOnStart, WorkerPlugin), {})
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    out = tmp_path / "out"
    out.mkdir()
    victim = output_name(small["other"])
    common = ["--era5", small["era5"], "--output-dir", out, "--no-land-mask"]
    # No retry on another worker: the scheduler gives the task up at once.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            client.register_plugin(plugin_class(victim, str(out)))
            status = run_cli(small["other"], *common, "--scheduler", cluster.scheduler_address)
    captured = capsys.readouterr()
    assert status == 1
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"quorvane-wind: {small['other']}: KilledWorker")
    assert list(out.iterdir()) == []

    assert run_cli(small["good"], small["other"], *common) == 0
    assert "2 written, 0 skipped, 0 failed" in capsys.readouterr().out


def test_concurrent_writers_and_existing_products_with_other_options(small, tmp_path, capsys):
    """Two commands share a folder: a live writer's temporary file survives
    the other command, a dead writer's goes even when the output is skipped.
    An existing product is reused only with the options it records; a
    missing quicklook is drawn from it."""
    out = tmp_path / "out"
    out.mkdir()
    product = out / output_name(small["good"])
    common = ["--era5", small["era5"], "--output-dir", out, "--no-land-mask"]
    seen = {}

    def write_while_another_command_makes_the_same_output(tmp):
        Path(tmp).write_bytes(b"half a product")
        seen["status"] = run_cli(small["good"], *common)
        seen["alive"] = Path(tmp).exists()
        shutil.copyfile(product, tmp)

    write_atomically(product, write_while_another_command_makes_the_same_output)
    assert seen == {"status": 0, "alive": True}

    dead = out / f".{product.name}.0123456789ab.part"
    dead.write_bytes(b"left by a killed writer")
    capsys.readouterr()
    assert run_cli(small["good"], *common, "--quicklook") == 0
    captured = capsys.readouterr()
    assert "skipped" in captured.out and f"written {product.with_suffix('.png')}" in captured.out
    assert product.with_suffix(".png").read_bytes()[:4] == b"\x89PNG" and not dead.exists()

    # Made with "auto", which resolved to VV: the same product as VV asked for.
    assert run_cli(small["good"], *common, "--polarisation", "VV") == 0
    assert "skipped" in capsys.readouterr().out
    assert run_cli(small["good"], *common, "--resolution", "500") == 1
    line = capsys.readouterr().err.strip()
    assert line.count("\n") == 0 and "resolution 1000" in line and "resolution 500" in line
    assert "--overwrite" in line
    assert sorted(p.name for p in out.iterdir()) == sorted([product.name, product.with_suffix(".png").name])


def test_degraded_product_warns_and_a_failed_quicklook_keeps_the_product(small, s1fx, tmp_path, capsys):
    """A product without noise vectors is made with a warning line; a
    quicklook that cannot be written is reported on its own line."""
    path, _ = s1fx.write_grd_product(tmp_path / "in", dataclasses.replace(small["cfg"], noise_layout="none"))
    out = tmp_path / "out"
    blocker = out / output_name(path).replace(".nc", ".png")
    (blocker / "in-the-way").mkdir(parents=True)
    assert run_cli(path, "--era5", small["era5"], "--output-dir", out, "--no-land-mask",
                   "--quicklook") == 1
    captured = capsys.readouterr()
    assert "1 written" in captured.out and (out / output_name(path)).is_file()
    warning, quicklook = captured.err.strip().splitlines()
    assert warning.startswith(f"quorvane-wind: {path}: warning: the VV noise XML")   # the name once
    assert quicklook.startswith(f"quorvane-wind: {path}: quicklook ") and "Traceback" not in captured.err


def test_quicklook_reads_a_decimated_product(tmp_path):
    """The decimated read equals every n-th line and pixel across the read
    bands' edges."""
    import netCDF4

    from quorvane_wind.quicklook import decimated

    values = np.arange(700 * 90, dtype=np.float32).reshape(700, 90)
    with netCDF4.Dataset(tmp_path / "p.nc", "w") as nc:
        nc.createDimension("line", 700)
        nc.createDimension("pixel", 90)
        nc.createVariable("v", "f4", ("line", "pixel"), zlib=True, chunksizes=(64, 90))[:] = values
        for step in (1, 3, 7, 300):
            np.testing.assert_array_equal(decimated(nc.variables["v"], step), values[::step, ::step])


def test_mask_limit_bit_antimeridian_bounds_and_per_pixel_look_direction(products, s1fx, tmp_path):
    """A scene across the antimeridian with a calm stripe of invalid sigma0:
    only retrieved pixels can be at the model's limit; ACDD longitude bounds
    have min > max; the look direction is stored per pixel."""
    from quorvane_wind.conventions import INVALID_SIGMA0, SPEED_AT_MODEL_LIMIT

    cfg = s1fx.GrdConfig(lines=40, samples=60, centre_lat=-30.0, centre_lon=179.9)
    speed = s1fx.truth_speed(cfg, np.arange(cfg.lines), np.arange(cfg.samples))
    speed[:, :20] = 0.0
    speed[:, 40:] = 30.0
    path, _ = s1fx.write_grd_product(tmp_path / "in", cfg, speed=speed)
    out = tmp_path / "out"
    assert run_cli(path, "--era5", products.era5_cds, "--output-dir", out, "--no-land-mask",
                   "--resolution", "native") == 0
    with xr.open_dataset(out / output_name(path)) as ds:
        mask = ds["mask"].values
        assert ((mask & INVALID_SIGMA0) != 0).any() and ((mask & SPEED_AT_MODEL_LIMIT) != 0).any()
        assert not (((mask & INVALID_SIGMA0) != 0) & ((mask & SPEED_AT_MODEL_LIMIT) != 0)).any()
        assert "26 m/s or more" in ds["wind_speed"].attrs["comment"]
        west, east = ds.attrs["geospatial_lon_min"], ds.attrs["geospatial_lon_max"]
        assert 179.0 < west < 180.0 and -180.0 <= east < -179.0
        assert ds["look_direction"].dims == ("line", "pixel")


def test_version_and_verbose_stage_messages(small, tmp_path, capsys):
    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0 and capsys.readouterr().out.strip() == f"quorvane-wind {__version__}"
    common = [small["good"], "--era5", small["era5"], "--no-land-mask"]
    assert run_cli(*common, "--output-dir", tmp_path / "quiet") == 0
    assert capsys.readouterr().err == ""
    assert run_cli(*common, "--output-dir", tmp_path / "verbose", "--verbose") == 0
    lines = capsys.readouterr().err.splitlines()
    for stage in ("metadata read", "ERA5 grid", "chunks of", "product written"):
        assert sum(stage in line and line.startswith("quorvane-wind: ") for line in lines) == 1, (stage, lines)
    # The handler goes with the run: a later run in the process is quiet again.
    assert not logging.getLogger("quorvane_wind").handlers
