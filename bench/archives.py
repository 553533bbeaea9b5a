"""Many inputs on one machine and on a cluster: the `quorvane-wind` command
on N copies of a 4,000 x 6,000-pixel IW scene (hard links of one product),
at 1 km and at native resolution, run

- serially (one process, its chunks on every core);
- with `--workers 2` (worker processes the command forks);
- as two separate commands, each on half of the inputs;
- on a cluster started by hand (`dask scheduler` and `dask worker
  --nworkers 2 --nthreads 1`), joined with `--scheduler-file`; its
  start-up is not counted;

reporting seconds per scene (wall), CPU seconds (all processes, workers
included), peak memory (the sum of the proportional set sizes of every
process involved, sampled every 0.2 s) and the time to the first output.
Then the command's memory with thousands of cheap inputs (paths that do
not exist: each fails at once), on a cluster and on --workers, against the
loop that waited on every pending future once per completion.

    .venv/bin/python bench/archives.py [--data DIR] [--scenes N] [--quick] [--only NAMES]

Writes the figures to archives.json in the data folder (the runs add to
it); bench/ARCHIVES.md has them with their reading.
"""

import argparse
import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from quorvane_wind.testing import s1_grd as fx  # noqa: E402
from timing import LoadWatch, cpu_model, parent_pids, pss_kb, tree  # noqa: E402

SCENE = fx.GrdConfig(lines=4000, samples=6000, azimuth_spacing_m=10.0, range_spacing_m=10.0,
                     looks=4.4, duration_s=25.0, seed=21)
BIN = Path(sys.executable).parent


def make_data(folder, count):
    """One product written once, `count` hard-linked copies of it, and an
    ERA5 file around them."""
    folder.mkdir(parents=True, exist_ok=True)
    safe = next(folder.glob("one/*.SAFE"), None)
    if safe is None or fx.GrdConfig.name(SCENE) not in safe.name:
        shutil.rmtree(folder / "one", ignore_errors=True)
        start = time.perf_counter()
        safe, _ = fx.write_grd_product(folder / "one", SCENE, with_truth=False)
        print(f"  scene written in {time.perf_counter() - start:.0f} s", flush=True)
    many = folder / f"copies-{count}"
    if not many.exists():
        tmp = folder / f"copies-{count}.tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        tmp.mkdir()
        for k in range(count):
            shutil.copytree(safe, tmp / f"S1A_IW_GRDH_1SDV_COPY_{k:03d}.SAFE", copy_function=os.link)
        tmp.rename(many)
    era5 = folder / "era5.nc"
    if not era5.exists():
        fx.write_era5_cds(era5, step=0.25, lat_range=(40.0, 65.0), lon_range=(320.0, 360.0))
    return sorted(many.glob("*.SAFE")), era5


# ---------------------------------------------------------------------------
# Processes: their trees, memory and CPU.

def cpu_s(pids):
    """User and system seconds of live processes (their own threads)."""
    ticks = 0
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def become_subreaper():
    """Orphans of the commands (a fork server and the workers it forked
    outlive the command briefly) become this process's children, so that
    their CPU time is counted once they are reaped."""
    import ctypes

    pr_set_child_subreaper = 36
    ctypes.CDLL("libc.so.6").prctl(pr_set_child_subreaper, 1, 0, 0, 0)


def reap_orphans(keep, patience=60.0):
    keep = set(keep)
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        mine = [pid for pid, ppid in parent_pids().items() if ppid == os.getpid() and pid not in keep]
        if not mine:
            return
        for pid in mine:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
        time.sleep(0.05)


def run_commands(argvs, outs, resident=()):
    """Runs the commands at once, each into its fresh folder; `resident`:
    processes already running (a cluster) whose CPU and memory count too.
    Returns wall, CPU, peak memory and the first output's time."""
    for out in outs:
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
    resident_pids = tree(resident)
    resident_cpu0 = cpu_s(resident_pids)
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    load = LoadWatch()
    start = time.perf_counter()
    processes = [subprocess.Popen([*argv, "--output-dir", str(out)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
                 for argv, out in zip(argvs, outs)]
    peak, first, next_sample = 0, None, 0.0
    while any(p.poll() is None for p in processes):
        now = time.perf_counter()
        if now >= next_sample:
            peak = max(peak, pss_kb(tree([p.pid for p in processes] + list(resident))))
            next_sample = now + 0.2
        if first is None and any(any(out.glob("*_wind.nc")) for out in outs):
            first = time.perf_counter() - start
        time.sleep(0.02)
    wall = time.perf_counter() - start
    outputs = [p.communicate() for p in processes]
    reap_orphans(keep=resident_pids)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    for p, (stdout, stderr) in zip(processes, outputs):
        if p.returncode != 0:
            raise RuntimeError(f"{' '.join(p.args)} failed ({p.returncode}):\n{stdout}\n{stderr[-3000:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    cpu += cpu_s(tree(resident)) - resident_cpu0
    return {"wall_s": wall, "cpu_s": cpu, "peak_mb": peak / 1024, "first_output_s": first,
            "other_cores": load.stop()["other_cores"]}


class HandStartedCluster:
    """`dask scheduler --scheduler-file F` and `dask worker --scheduler-file F
    --nworkers N --nthreads 1`, as a batch script would start them."""

    def __init__(self, workers, folder):
        self.file = folder / "scheduler.json"
        self.file.unlink(missing_ok=True)
        dask = str(BIN / "dask")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        self.scheduler = subprocess.Popen([dask, "scheduler", "--scheduler-file", str(self.file),
                                           "--host", "127.0.0.1", "--dashboard-address", ":0"], **quiet)
        self.workers = subprocess.Popen([dask, "worker", "--scheduler-file", str(self.file),
                                         "--nworkers", str(workers), "--nthreads", "1"], **quiet)
        from distributed import Client

        deadline = time.monotonic() + 120
        while not self.file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        with Client(scheduler_file=str(self.file)) as client:
            client.wait_for_workers(workers, timeout=120)

    @property
    def pids(self):
        return [self.scheduler.pid, self.workers.pid]

    def close(self):
        for p in (self.workers, self.scheduler):
            p.send_signal(signal.SIGINT)
        for p in (self.workers, self.scheduler):
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()


def scene_runs(inputs, era5, data, resolutions, modes):
    command = [sys.executable, "-m", "quorvane_wind"]
    results = {}
    for resolution in resolutions:
        common = ["--era5", str(era5), "--resolution", resolution]
        half = len(inputs) // 2
        for mode in modes:
            out = data / "out" / f"{mode}-{resolution}"
            print(f"  {resolution} {mode} ...", flush=True)
            if mode == "serial":
                figures = run_commands([[*command, *map(str, inputs), *common]], [out])
            elif mode == "workers-2":
                figures = run_commands([[*command, *map(str, inputs), *common, "--workers", "2"]], [out])
            elif mode == "two-processes":
                figures = run_commands([[*command, *map(str, inputs[:half]), *common],
                                        [*command, *map(str, inputs[half:]), *common]],
                                       [out / "a", out / "b"])
            elif mode == "hand-cluster":
                cluster = HandStartedCluster(2, data)
                try:
                    figures = run_commands([[*command, *map(str, inputs), *common,
                                             "--scheduler-file", str(cluster.file)]], [out],
                                           resident=cluster.pids)
                finally:
                    cluster.close()
            else:
                raise ValueError(mode)
            figures["s_per_scene"] = figures["wall_s"] / len(inputs)
            figures["scenes"] = len(inputs)
            print(f"    {figures['s_per_scene']:.2f} s per scene, CPU {figures['cpu_s']:.0f} s, "
                  f"peak {figures['peak_mb']:.0f} MB, first output {figures['first_output_s'] or 0:.1f} s, "
                  f"other processes {figures['other_cores']:.2f} cores", flush=True)
            results[f"{resolution} {mode}"] = figures
            shutil.rmtree(out, ignore_errors=True)
    return results


# ---------------------------------------------------------------------------
# The client with thousands of inputs.

def client_memory(counts, era5):
    """The runner on `counts` inputs that fail at once, both ways it runs
    many inputs: on a dask cluster (here a local one it joins by address)
    and on its own worker processes (--workers). Traced Python memory of
    the command's process (peak and left at the end), time per input, and
    on the cluster the most asyncio tasks of the client's loop and the most
    futures it held."""
    from distributed import LocalCluster, default_client

    from quorvane_wind.runs import RunSettings, index_era5_files, run_inputs

    class Count:
        def __init__(self, on_cluster):
            self.tasks = self.futures = self.reports = 0
            self.on_cluster = on_cluster

        def fail(self, *args, **kwargs):
            self.report()

        def report(self, *args):
            self.reports += 1
            if self.on_cluster and self.reports % 50 == 0:
                client = default_client()

                async def count():
                    return len(asyncio.all_tasks())

                loop = client.loop.asyncio_loop
                self.tasks = max(self.tasks, asyncio.run_coroutine_threadsafe(count(), loop).result())
                self.futures = max(self.futures, len(client.futures))

    index = index_era5_files([str(era5)])
    results = {}
    with tempfile.TemporaryDirectory() as folder, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=":0") as cluster:
        for way, where in (("cluster", {"scheduler": cluster.scheduler_address}), ("workers", {"workers": 2})):
            for count in counts:
                inputs = [os.path.join(folder, f"S1A_MISSING_{k:06d}.SAFE") for k in range(count)]
                counter = Count(way == "cluster")
                tracemalloc.start()
                start = time.perf_counter()
                run_inputs(RunSettings(inputs=inputs, era5=index, output_dir=folder, resolution=1000.0,
                                       **where), counter)
                wall = time.perf_counter() - start
                current, peak = tracemalloc.get_traced_memory()
                tracemalloc.stop()
                assert counter.reports == count
                results[f"{way} {count}"] = {
                    "inputs": count, "wall_s": wall, "ms_per_input": wall / count * 1000,
                    "traced_peak_mb": peak / 2**20, "traced_end_mb": current / 2**20,
                    "max_asyncio_tasks": counter.tasks, "max_futures": counter.futures}
                extra = (f", at most {counter.tasks} asyncio tasks and {counter.futures} futures"
                         if way == "cluster" else "")
                print(f"  {way}, {count} inputs: {wall / count * 1000:.1f} ms per input, traced peak "
                      f"{peak / 2**20:.1f} MB{extra}", flush=True)
    return results


def old_wait_loop(count):
    """The loop the runner had: wait(pending, FIRST_COMPLETED) once per
    completion. Cheap tasks; the asyncio tasks of the client's loop after the
    first wait and at the most."""
    from distributed import Client, LocalCluster, wait

    async def tasks():
        return len(asyncio.all_tasks())

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        pending = {client.submit(time.sleep, 0.001, pure=False) for _ in range(count)}
        tracemalloc.start()
        start = time.perf_counter()
        most = after_first = 0
        waits = 0
        while pending:
            done, pending = wait(pending, return_when="FIRST_COMPLETED")
            waits += 1
            n = asyncio.run_coroutine_threadsafe(tasks(), client.loop.asyncio_loop).result()
            after_first = after_first or n
            most = max(most, n)
        wall = time.perf_counter() - start
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    print(f"  old loop, {count} inputs: {after_first} asyncio tasks after the first wait, at most {most}; "
          f"{waits} waits, {wall:.1f} s, traced peak {peak / 2**20:.1f} MB", flush=True)
    return {"inputs": count, "tasks_after_first_wait": after_first, "max_asyncio_tasks": most,
            "waits": waits, "wall_s": wall, "traced_peak_mb": peak / 2**20}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=Path, default=Path(tempfile.gettempdir()) / "quorvane-archives")
    parser.add_argument("--scenes", type=int, default=8)
    parser.add_argument("--quick", action="store_true", help="4 scenes, 2,000 cheap inputs")
    parser.add_argument("--only", default="scenes,client",
                        help="comma-separated: scenes, client, old-loop, or modes such as serial,workers-2")
    parser.add_argument("--resolutions", default="1000,native")
    parser.add_argument("--results", type=Path, help="default: DATA/archives.json")
    args = parser.parse_args()
    args.results = args.results or args.data / "archives.json"
    count = 4 if args.quick else args.scenes
    become_subreaper()
    only = set(args.only.split(","))
    modes = [m for m in ("serial", "workers-2", "two-processes", "hand-cluster") if m in only or "scenes" in only]
    results = json.loads(args.results.read_text()) if args.results.exists() else {}
    results["machine"] = {"cpu": cpu_model(), "cores": os.cpu_count()}
    inputs, era5 = make_data(args.data, count)
    if modes:
        print(f"{count} scenes of {SCENE.lines} x {SCENE.samples} pixels", flush=True)
        results.setdefault("scenes", {}).update(scene_runs(inputs, era5, args.data, args.resolutions.split(","),
                                                           modes))
    if "client" in only:
        counts = [1000, 2000] if args.quick else [1000, 3000, 10000]
        results["client"] = client_memory(counts, era5)
    if "old-loop" in only:
        results["old_loop"] = old_wait_loop(1000)
    args.results.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
