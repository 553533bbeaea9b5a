"""Inputs, ERA5 files and outputs on object storage (a real S3 server,
moto's, started by the tests, and a local HTTP server) and Zarr outputs:
products read from s3:// and http:// and written to s3:// equal to those
of local files, skipped on a second run, one line per input that cannot
be fetched; a Zarr product equal to
the NetCDF one, and a store whose upload stopped half-way invisible."""

import dataclasses
import fcntl
import functools
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request
import warnings

import numpy as np
import pytest
import xarray as xr

from quorvane_wind.cli import main
from quorvane_wind.netcdf import output_name

BUCKET_IN, BUCKET_OUT = "scenes", "winds"
# Attributes that name the moment or the command of a run.
RUN_ATTRIBUTES = ("history", "date_created", "date_modified", "date_issued")


def _free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def s3(tmp_path_factory):
    """moto's S3 server in a process of its own, and the environment that
    points the AWS libraries at it (the same variables users set for
    another S3 service)."""
    port = _free_port()
    log = open(tmp_path_factory.mktemp("moto") / "server.log", "wb")
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=log, stderr=log)
    endpoint = f"http://127.0.0.1:{port}"
    # Waits for the server to answer (however loaded the machine); it
    # fails only if the server never starts.
    for _ in range(3000):
        if server.poll() is not None:
            pytest.fail(f"moto server exited with {server.returncode}")
        try:
            urllib.request.urlopen(endpoint + "/moto-api/", timeout=5).close()
            break
        except OSError:
            time.sleep(0.2)
    else:
        pytest.fail("moto server did not answer")
    env = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
           "AWS_ENDPOINT_URL_S3": endpoint, "AWS_DEFAULT_REGION": "us-east-1",
           "AWS_EC2_METADATA_DISABLED": "true"}
    with pytest.MonkeyPatch.context() as mp:
        for key, value in env.items():
            mp.setenv(key, value)
        import s3fs

        fs = s3fs.S3FileSystem(skip_instance_cache=True)
        fs.mkdir(BUCKET_IN)
        fs.mkdir(BUCKET_OUT)
        yield fs, endpoint
    server.terminate()
    server.wait()
    log.close()


@pytest.fixture(scope="module")
def scenes(tmp_path_factory, s1fx):
    """Two small scenes over the North Atlantic (one zipped) and a regional
    ERA5 file."""
    root = tmp_path_factory.mktemp("storage")
    cfg = s1fx.GrdConfig(lines=40, samples=60, azimuth_spacing_m=1000.0, range_spacing_m=1000.0)
    folder, _ = s1fx.write_grd_product(root / "folder", cfg)
    other, _ = s1fx.write_grd_product(root / "other", dataclasses.replace(cfg, centre_lat=50.5, seed=3))
    third, _ = s1fx.write_grd_product(root / "third", dataclasses.replace(cfg, centre_lat=49.5, seed=5))
    (root / "zipped").mkdir()
    zipped = s1fx.zip_product(other, root / "zipped" / (other.name[:-5] + ".zip"))
    (root / "web").mkdir()
    served = s1fx.zip_product(third, root / "web" / (third.name[:-5] + ".zip"))
    era5 = s1fx.write_era5_legacy(root / "era5_atlantic.nc", step=0.5, lat_range=(40.0, 65.0),
                                  lon_range=(-40.0, 10.0))
    return {"folder": folder, "zipped": zipped, "served": served, "era5": era5}


@pytest.fixture(scope="module")
def web(scenes):
    """An HTTP server of the folder of `scenes["served"]` (fsspec's HTTP
    file system, the one of https:// URLs)."""
    handler = functools.partial(QuietHandler, directory=str(scenes["served"].parent))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    thread.join()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def _run(*args):
    return main([str(a) for a in args])


def _same_product(a, b):
    """Equal variables, coordinates, encodings' chunks aside, and attributes
    but those naming the moment or the command of the run."""
    a = a.copy()
    b = b.copy()
    for ds in (a, b):
        for name in RUN_ATTRIBUTES:
            ds.attrs.pop(name, None)
    xr.testing.assert_identical(a.load(), b.load())
    assert set(a.data_vars) >= {"wind_speed", "mask"}


def test_inputs_era5_and_outputs_on_s3_match_local_files_and_are_skipped_on_a_rerun(
        s3, web, scenes, tmp_path, capsys):
    fs, endpoint = s3
    safe = f"{BUCKET_IN}/S1/{scenes['folder'].name}"
    fs.put(str(scenes["folder"]), safe, recursive=True)
    zipped = f"{BUCKET_IN}/zips/{scenes['zipped'].name}"
    fs.put_file(str(scenes["zipped"]), zipped)
    fs.put_file(str(scenes["era5"]), f"{BUCKET_IN}/era5/{scenes['era5'].name}")
    tmpdir = tmp_path / "tmp"
    tmpdir.mkdir()
    inputs = [f"s3://{safe}/", f"s3://{zipped}", f"{web}/{scenes['served'].name}",
              f"s3://{BUCKET_IN}/zips/S1A_NOT_THERE.zip", f"{web}/S1A_NOT_SERVED.zip"]
    out = f"s3://{BUCKET_OUT}/wind"
    common = ["--era5", f"s3://{BUCKET_IN}/era5/{scenes['era5'].name}", "--output-dir", out,
              "--tmpdir", tmpdir, "--resolution", "3000"]

    assert _run(*inputs, *common) == 1
    captured = capsys.readouterr()
    errors = captured.err.strip().splitlines()
    assert errors == [f"quorvane-wind: {url}: cannot fetch {url}: no such object" for url in inputs[3:]]
    assert "3 written, 0 skipped, 2 failed" in captured.out
    names = sorted(output_name(p) for p in inputs[:3])
    # The outputs and nothing else (no temporary keys); the fetched inputs,
    # the staged outputs and the ERA5 cache are gone from the temporary
    # folder (the zip reader keeps its inflated images for reuse, as for
    # local zips).
    assert sorted(p.rsplit("/", 1)[-1] for p in fs.find(f"{BUCKET_OUT}/wind")) == names
    assert [p.name for p in tmpdir.iterdir() if not p.name.startswith("quorvane-s1-")] == []

    # The same products from the local files.
    local = tmp_path / "local"
    assert _run(scenes["folder"], scenes["zipped"], scenes["served"], "--era5", scenes["era5"],
                "--output-dir", local, "--resolution", "3000") == 0
    capsys.readouterr()
    for name in names:
        fetched = tmp_path / name
        fs.get_file(f"{BUCKET_OUT}/wind/{name}", str(fetched))
        with xr.open_dataset(fetched) as remote, xr.open_dataset(local / name) as here:
            _same_product(remote, here)

    # A second run finds them (their options read from the objects) and
    # leaves them as they are; other options are refused with one line.
    before = {p: fs.info(p)["LastModified"] for p in fs.find(f"{BUCKET_OUT}/wind")}
    assert _run(*inputs[:3], *common) == 0
    captured = capsys.readouterr()
    assert captured.out.count("skipped ") == 3 and "0 written, 3 skipped, 0 failed" in captured.out
    fs.invalidate_cache()
    assert {p: fs.info(p)["LastModified"] for p in fs.find(f"{BUCKET_OUT}/wind")} == before
    assert _run(inputs[0], *common[:-1], "2000") == 1
    assert "was made with resolution 3000" in capsys.readouterr().err

    # Without credentials, or a bucket that is not there: one line per input
    # (fsspec keeps a file system with its credentials for the process: a
    # new process starts without).
    import s3fs

    s3fs.S3FileSystem.clear_instance_cache()
    with pytest.MonkeyPatch.context() as mp:
        mp.delenv("AWS_ACCESS_KEY_ID")
        mp.delenv("AWS_SECRET_ACCESS_KEY")
        mp.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "none"))
        mp.setenv("AWS_CONFIG_FILE", str(tmp_path / "none"))
        assert _run(*inputs[:2], "--era5", scenes["era5"], "--output-dir", f"s3://{BUCKET_OUT}/other") == 1
        errors = capsys.readouterr().err.strip().splitlines()
        assert len(errors) == 2 and all("no credentials" in line for line in errors), errors
        s3fs.S3FileSystem.clear_instance_cache()
    with pytest.raises(SystemExit) as stop:
        _run(inputs[0], "--era5", f"s3://{BUCKET_IN}/era5/none.nc", "--output-dir", out)
    assert stop.value.code == 2
    assert capsys.readouterr().err == (f"quorvane-wind: --era5: cannot fetch s3://{BUCKET_IN}/era5/none.nc: "
                                       "no such object\n")
    assert _run(inputs[0], "--era5", scenes["era5"], "--output-dir", "s3://no-such-bucket/x") == 1
    errors = capsys.readouterr().err.strip().splitlines()
    assert len(errors) == 1, errors
    assert errors[0].startswith(f"quorvane-wind: {inputs[0]}: cannot upload s3://no-such-bucket/x/")
    assert errors[0].endswith(": no such bucket or folder"), errors
    assert not os.path.exists("s3:")


def test_zarr_product_equals_the_netcdf_one_locally_and_on_s3_and_a_half_upload_is_invisible(
        s3, scenes, tmp_path, capsys, monkeypatch):
    fs, endpoint = s3
    args = [scenes["folder"], "--era5", scenes["era5"], "--resolution", "2000"]
    assert _run(*args, "--output-dir", tmp_path / "nc") == 0
    assert _run(*args, "--output-dir", tmp_path / "zarr", "--format", "zarr") == 0
    name = output_name(scenes["folder"], "zarr")
    assert name.endswith("_wind.zarr")
    # Nothing but the store (no temporary folder or lock file left).
    assert os.listdir(tmp_path / "zarr") == [name]
    store = tmp_path / "zarr" / name
    metadata = json.loads((store / ".zmetadata").read_text())["metadata"]
    with xr.open_dataset(tmp_path / "nc" / output_name(scenes["folder"])) as nc, \
            xr.open_zarr(store, consolidated=True) as zarr:
        _same_product(zarr, nc)
        for var in ("wind_speed", "mask", "latitude"):
            chunks = tuple(metadata[f"{var}/.zarray"]["chunks"])
            assert chunks == tuple(nc[var].encoding["chunksizes"]), var
        assert zarr.attrs["quorvane_options"] == nc.attrs["quorvane_options"]

    # Chunks computed unevenly (dask chunks that are not whole Zarr chunks)
    # still give the product, in chunks of the NetCDF encoding's size.
    from quorvane_wind.netcdf import write_zarr_product

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "The specified chunks separate", UserWarning)
        uneven = xr.open_dataset(tmp_path / "nc" / output_name(scenes["folder"]),
                                 chunks={"line": (3, 5, 6, 6), "pixel": (7, 8, 15)})
    with uneven:
        uneven = uneven.drop_encoding()
        write_zarr_product(uneven, tmp_path / "uneven.zarr")
        with xr.open_zarr(tmp_path / "uneven.zarr", consolidated=True) as back:
            xr.testing.assert_identical(back.load(), uneven.load())
            assert back["wind_speed"].encoding["chunks"] == back["latitude"].encoding["chunks"] == (3, 7)

    # A rerun skips it (its options read from the store) and removes the
    # temporary store of a writer that is gone, not that of a live one
    # (its lock file held); --overwrite replaces the store whole.
    dead = tmp_path / "zarr" / f".{name}.0123456789ab.zpart"
    live = tmp_path / "zarr" / f".{name}.ba9876543210.zpart"
    for part in (dead, live):
        (part / "wind_speed").mkdir(parents=True)
        (part / "wind_speed" / "0.0").write_bytes(b"half")
    with open(tmp_path / "zarr" / f".{name}.ba9876543210.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        assert _run(*args, "--output-dir", tmp_path / "zarr", "--format", "zarr") == 0
        assert "0 written, 1 skipped" in capsys.readouterr().out
        assert not dead.exists() and live.exists()
    shutil.rmtree(live)
    os.remove(lock.name)
    assert _run(*args, "--output-dir", tmp_path / "zarr", "--format", "zarr", "--overwrite") == 0
    assert "1 written, 0 skipped" in capsys.readouterr().out
    assert os.listdir(tmp_path / "zarr") == [name]
    with xr.open_zarr(store, consolidated=True) as zarr, \
            xr.open_dataset(tmp_path / "nc" / output_name(scenes["folder"])) as nc:
        _same_product(zarr, nc)
    with pytest.raises(SystemExit) as stop:
        _run(*args, "--output-dir", tmp_path / "zarr", "--format", "zarr", "--quicklook")
    assert stop.value.code == 2

    # On S3: the same store, readable with consolidated metadata.
    url = f"s3://{BUCKET_OUT}/zarr/{name}"
    assert _run(*args, "--output-dir", f"s3://{BUCKET_OUT}/zarr", "--format", "zarr") == 0
    capsys.readouterr()
    options = {"client_kwargs": {"endpoint_url": endpoint}}
    with xr.open_zarr(url, consolidated=True, storage_options=options) as remote, \
            xr.open_zarr(store, consolidated=True) as here:
        _same_product(remote, here)

    # An upload that stops half-way (the connection lost after a few
    # objects): the store is not there for readers nor for the next run,
    # which writes it whole.
    from quorvane_wind import storage

    real_filesystem = storage._filesystem
    calls = []

    class LostConnection:
        def __init__(self, fs):
            self.fs = fs

        def __getattr__(self, name):
            return getattr(self.fs, name)

        def put_file(self, lpath, rpath, *a, **k):
            calls.append(rpath)
            if len(calls) > 3:
                raise ConnectionError("connection lost")
            return self.fs.put_file(lpath, rpath, *a, **k)

    monkeypatch.setattr(storage, "_filesystem",
                        lambda url: (LostConnection(real_filesystem(url)[0]), real_filesystem(url)[1]))
    assert _run(*args, "--output-dir", f"s3://{BUCKET_OUT}/zarr", "--format", "zarr", "--overwrite") == 1
    assert "connection lost" in capsys.readouterr().err
    assert len(calls) == 4
    monkeypatch.setattr(storage, "_filesystem", real_filesystem)
    fs.invalidate_cache()
    assert fs.find(f"{BUCKET_OUT}/zarr/{name}")          # some objects were uploaded
    assert not fs.exists(f"{BUCKET_OUT}/zarr/{name}/.zmetadata")
    with pytest.raises(Exception):
        xr.open_zarr(url, consolidated=True, storage_options=options)
    assert _run(*args, "--output-dir", f"s3://{BUCKET_OUT}/zarr", "--format", "zarr") == 0
    assert "1 written, 0 skipped" in capsys.readouterr().out
    with xr.open_zarr(url, consolidated=True, storage_options=options) as remote, \
            xr.open_zarr(store, consolidated=True) as here:
        _same_product(remote, here)
        np.testing.assert_array_equal(remote["wind_speed"].values, here["wind_speed"].values)
