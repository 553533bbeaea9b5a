"""The runner of many inputs: a client that stays bounded with thousands of
inputs, existing clusters (scheduler file, addresses, worker messages, the
temporary folder of the workers), file systems without flock, a worker
process killed while it writes, and a Ctrl-C while the workers start."""

import asyncio
import errno
import fcntl
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvane_wind import atomic
from quorvane_wind.runs import RunSettings, index_era5_files, run_inputs, scheduler_address
from quorvane_wind.cli import main
from quorvane_wind.netcdf import output_name


@pytest.fixture(scope="module")
def scene(tmp_path_factory, s1fx):
    """A small product, its zip and a regional ERA5 file around it."""
    root = tmp_path_factory.mktemp("batch")
    cfg = s1fx.GrdConfig(lines=40, samples=60, azimuth_spacing_m=1000.0, range_spacing_m=1000.0)
    good, _ = s1fx.write_grd_product(root / "good", cfg)
    (root / "zipped").mkdir()
    zipped = s1fx.zip_product(good, root / "zipped" / ("S1A_ZIPPED_" + good.name[5:-5] + ".zip"))
    era5 = s1fx.write_era5_legacy(root / "era5.nc", step=0.5, lat_range=(40.0, 65.0), lon_range=(-40.0, 10.0))
    return {"good": good, "zip": zipped, "era5": era5}


class Recorder:
    """A Reporter that, at each outcome on a cluster, counts what the
    client holds: the asyncio tasks of its loop and its futures."""

    def __init__(self, on_cluster=True):
        self.failed, self.tasks, self.futures = [], [], []
        self.on_cluster = on_cluster

    def fail(self, input_path, text, trace=None):
        self.failed.append((input_path, text))

    def skip(self, input_path, output_path):
        raise AssertionError("nothing to skip")

    def wrote(self, path):
        raise AssertionError("nothing to write")

    def report(self, input_path, outcome):
        from distributed import default_client

        self.failed.append((input_path, outcome.text))
        if not self.on_cluster:
            return
        client = default_client()

        async def count():
            return len(asyncio.all_tasks())

        self.tasks.append(asyncio.run_coroutine_threadsafe(count(), client.loop.asyncio_loop).result())
        self.futures.append(len(client.futures))


@pytest.mark.parametrize("way", ["cluster", "workers"])
def test_thousands_of_inputs_keep_the_client_bounded(way, scene, tmp_path):
    """3,000 inputs that fail at once, on a cluster of two worker processes
    or on --workers 2: each gets its line once; on the cluster the client's
    asyncio tasks and futures stay a bounded set (one wait per completion
    on every pending future left 1,003 tasks after the first wait on
    1,000)."""
    from distributed import LocalCluster

    inputs = [str(tmp_path / f"S1A_MISSING_{k:05d}.SAFE") for k in range(3000)]
    recorder = Recorder(on_cluster=way == "cluster")
    common = dict(inputs=inputs, era5=index_era5_files([str(scene["era5"])]), output_dir=str(tmp_path / "out"),
                  resolution=1000.0)
    if way == "workers":
        run_inputs(RunSettings(**common, workers=2), recorder)
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=":0") as cluster:
            run_inputs(RunSettings(**common, scheduler=cluster.scheduler_address), recorder)
    assert sorted(path for path, _ in recorder.failed) == inputs
    assert all("no such file" in text for _, text in recorder.failed)
    if way == "workers":
        return
    # The window: 64 inputs in flight on 2 threads (MIN_IN_FLIGHT).
    assert max(recorder.futures) <= 64
    # At most two per input in flight (its submission, its watch by
    # as_completed) besides the client's own few dozen.
    assert max(recorder.tasks) <= 2 * 64 + 40, max(recorder.tasks)
    # The same bound at the end of the run as at its start.
    assert max(recorder.tasks[-500:]) <= max(recorder.tasks[:500]) + 5


def test_existing_clusters_scheduler_file_worker_messages_and_temporary_folder(scene, tmp_path, capsys):
    """--scheduler-file joins a running cluster; --verbose stage lines of
    the workers reach the command's stderr; --tmpdir is where the workers
    inflate a zip (a folder they cannot use fails the zip with its name).
    Addresses without a protocol or port get tcp:// and 8786."""
    from distributed import Client, LocalCluster

    assert scheduler_address("localhost") == "tcp://localhost:8786"
    assert scheduler_address("tls://head-node") == "tls://head-node:8786"
    assert scheduler_address("tcp://10.0.0.1:9000") == "tcp://10.0.0.1:9000"
    assert scheduler_address("[::1]") == "tcp://[::1]:8786"

    common = ["--era5", scene["era5"], "--no-land-mask"]
    scheduler_file = tmp_path / "scheduler.json"
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        client.write_scheduler_file(str(scheduler_file))
        assert json.loads(scheduler_file.read_text())["address"] == cluster.scheduler_address
        workers_tmp = tmp_path / "workers-tmp"
        workers_tmp.mkdir()
        assert main([str(scene["good"]), str(scene["zip"]), *map(str, common), "--output-dir",
                     str(tmp_path / "out"), "--scheduler-file", str(scheduler_file), "--verbose",
                     "--tmpdir", str(workers_tmp)]) == 0
        captured = capsys.readouterr()
        assert "2 written, 0 skipped, 0 failed" in captured.out
        lines = captured.err.splitlines()
        for stage in ("metadata read", "ERA5 grid", "chunks of", "product written"):
            # Once per input, from the worker that made it.
            assert sum(stage in line and line.startswith("quorvane-wind: ") for line in lines) == 2, (stage, lines)

        missing_tmp = tmp_path / "not-on-the-workers"
        assert main([str(scene["zip"]), *map(str, common), "--output-dir", str(tmp_path / "out2"),
                     "--scheduler", cluster.scheduler_address, "--tmpdir", str(missing_tmp)]) == 1
        err = capsys.readouterr().err.strip()
        assert err.count("\n") == 0 and str(missing_tmp) in err and str(scene["zip"]) in err
    # The workers' tempfile setting is theirs, for their tasks' duration only.
    import tempfile
    assert tempfile.tempdir != str(missing_tmp)


def _tls_files(folder):
    """A certificate authority and one certificate it signed for
    127.0.0.1 (key and certificate in one file), as PEM files."""
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, key, issuer, issuer_key, authority):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.BasicConstraints(ca=authority, path_length=None), critical=True))
        if not authority:
            builder = builder.add_extension(
                x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
        return builder.sign(issuer_key, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "quorvane test CA")])
    ca = certificate(ca_name, ca_key, ca_name, ca_key, True)
    cert = certificate(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]), key, ca_name, ca_key,
                       False)
    ca_file, cert_file = folder / "ca.pem", folder / "me.pem"
    ca_file.write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    cert_file.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                            serialization.NoEncryption())
                          + cert.public_bytes(serialization.Encoding.PEM))
    return str(ca_file), str(cert_file)


def test_tls_scheduler_with_dask_tls_configuration(scene, tmp_path, capsys):
    """A scheduler that speaks TLS only, reached as tls://host:port with
    dask's TLS configuration (CA and client certificate)."""
    import dask
    from distributed import LocalCluster
    from distributed.security import Security

    ca, cert = _tls_files(tmp_path)
    security = Security(tls_ca_file=ca, tls_scheduler_cert=cert, tls_worker_cert=cert, tls_client_cert=cert,
                        require_encryption=True)
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1", protocol="tls://",
                      security=security, dashboard_address=":0") as cluster, \
            dask.config.set({"distributed.comm.tls.ca-file": ca, "distributed.comm.tls.client.cert": cert}):
        assert cluster.scheduler_address.startswith("tls://127.0.0.1:")
        assert main([str(scene["good"]), "--era5", str(scene["era5"]), "--no-land-mask", "--output-dir",
                     str(tmp_path / "out"), "--scheduler", cluster.scheduler_address]) == 0
    assert "1 written, 0 skipped, 0 failed" in capsys.readouterr().out


def test_output_folders_without_flock(scene, tmp_path, capsys, monkeypatch):
    """On a file system without flock (ENOSYS from Lustre mounted without
    it) products are written, and the lock files' "host pid" tells the
    leftovers of a dead writer on this host from those of a live writer or
    of a writer on another host."""
    def no_flock(descriptor, operation):
        raise OSError(errno.ENOSYS, "Function not implemented")

    monkeypatch.setattr(atomic.fcntl, "flock", no_flock)
    out = tmp_path / "out"
    out.mkdir()
    name = output_name(scene["good"])
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    writers = {"dead": f"{socket.gethostname()} {dead.pid}", "alive": f"{socket.gethostname()} {os.getpid()}",
               "remote": f"another-host-{socket.gethostname()} {dead.pid}"}
    for token, (label, writer) in zip(("0" * 12, "1" * 12, "2" * 12), writers.items()):
        (out / f".{name}.{token}.part").write_text(label)
        (out / f".{name}.{token}.lock").write_text(writer + "\n")
    assert main([str(scene["good"]), "--era5", str(scene["era5"]), "--output-dir", str(out),
                 "--no-land-mask"]) == 0
    assert "1 written" in capsys.readouterr().out
    left = sorted(p.read_text() for p in out.glob(".*.part"))
    assert left == ["alive", "remote"]
    assert sorted(p.name for p in out.glob(".*.lock")) == [f".{name}.{'1' * 12}.lock", f".{name}.{'2' * 12}.lock"]
    monkeypatch.undo()
    # Any other failure of flock is still an error of the write.
    monkeypatch.setattr(atomic.fcntl, "flock",
                        lambda descriptor, operation: (_ for _ in ()).throw(OSError(errno.EBADF, "bad")))
    with pytest.raises(OSError):
        atomic.write_atomically(tmp_path / "x.nc", lambda part: Path(part).write_bytes(b"x"))
    assert fcntl.flock is not None and not (tmp_path / "x.nc").exists()


def _children(pid):
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid:
            found.append(stat.parent.name)
    return found


def test_ctrl_c_while_the_workers_start(scene, tmp_path):
    """The fork server of the workers exists, the workers may not: the
    Ctrl-C (to the whole process group, as a terminal sends it) ends the
    run with status 130 and one line, and no output."""
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "quorvane_wind", str(scene["good"]), str(scene["zip"]), "--era5", str(scene["era5"]),
         "--output-dir", str(out), "--no-land-mask", "--workers", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    # Polled by count, not by time: the first child process is the fork server.
    for _ in range(1_000_000):
        if _children(process.pid) or process.poll() is not None:
            break
        time.sleep(0.002)
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 130, (stdout, stderr)
    assert stderr.count("\n") == 1 and stderr.startswith("quorvane-wind: interrupted; "), stderr
    assert "written" not in stdout and not list(out.glob("*_wind.nc"))


def test_workers_killed_while_writing_are_replaced_and_their_inputs_made_again(s1fx, scene, tmp_path):
    """Both worker processes of --workers 2 killed (SIGKILL) while an output
    is a temporary file: new workers make both inputs again, the run ends
    with both written and nothing partial left. The workers are stopped
    (SIGSTOP) before the temporary file is looked at again, so the kill
    finds a write under way however fast or loaded the machine is."""
    cfg = s1fx.GrdConfig(lines=1200, samples=1600)
    first, _ = s1fx.write_grd_product(tmp_path / "in", cfg)
    second = first.parent / (first.name[:-9] + "FFFF.SAFE")
    os.symlink(first, second)
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "quorvane_wind", str(first), str(second), "--era5", str(scene["era5"]),
         "--output-dir", str(out), "--no-land-mask", "--resolution", "native", "--workers", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    killed = False
    while not killed and process.poll() is None:
        workers = [int(w) for server in _children(process.pid) for w in _children(int(server))]
        if workers and list(out.glob(".*.part")):
            for pid in workers:
                os.kill(pid, signal.SIGSTOP)
            killed = bool(list(out.glob(".*.part")))
            for pid in workers:
                os.kill(pid, signal.SIGKILL if killed else signal.SIGCONT)
        time.sleep(0.002)
    stdout, stderr = process.communicate(timeout=600)
    assert killed, "the run ended before a worker was seen writing"
    assert process.returncode == 0, stderr
    assert "2 written, 0 skipped, 0 failed" in stdout
    assert sorted(p.name for p in out.iterdir()) == sorted(output_name(p) for p in (first, second))
