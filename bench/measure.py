"""Quorvane benchmarks, measuring half: one run, every method side by side, on
one synthetic scene; writes every figure to a results file (JSON), from which
bench/report.py writes bench/RESULTS.md and bench/results.png.

Started by ./scripts/bench.sh, which builds what this needs; run by hand as

    .venv/bin/python bench/measure.py --build-dir build/bench \
        [--numba-python build/bench-numba-venv/bin/python] [--quick] [--results FILE]

Wind speed (pixels of the realistic scene that bench_scene writes: Weibull
winds of shape 2 and mean 7.5 m/s, incidence 29 to 46 degrees, any relative
direction, sigma0 from the forward model plus 0.5 dB of Gaussian noise):

- the reference linear scan with the C library's functions, which Python
  cannot reach: the C++ benchmark BM_ReferenceScan (bench_kernels);
- Quorvane's production search in C++ (BM_FastSearch, BM_SpeedGrid) and
  through the Python module, on one OpenMP thread (threadpoolctl) and on all;
- a NumPy bisection: 10 halvings of [0, 26] m/s, vectorised over the pixels,
  with the forward model of quorvane_wind.testing.cmod5n_forward (approximate: it is
  here for its speed only);
- a Numba ladder scan (bench/numba_scan.py, in its own virtual environment),
  when that environment exists.

Wind direction: np.add(u, v) and np.arctan2(-u, -v) on the same arrays
against python_ERA5_windAngle on one thread and on all.

Times are the best of several repeats (the median is kept beside it). A short
run of bench_exactness follows the timings.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from quorvane_wind.testing import cmod5n_forward
from timing import (LoadWatch, cpu_family_model, cpu_flags, cpu_mhz, cpu_model,
                    interleaved, repeat, summary, wait_for_quiet)

ROOT = Path(__file__).resolve().parent.parent

SCENE_SEED = 2024          # the seed of bench_kernels' scene
DIRECTION_SEED = 7
LONG_RUN_REFERENCE_EVERY = 10   # the long exactness run compares the reference on every 10th pixel


# ---------------------------------------------------------------------------
# The scene.

def load_scene(build_dir, pixels, workdir):
    path = Path(workdir) / "scene.f32"
    subprocess.run([str(build_dir / "bench" / "bench_scene"), str(pixels), str(SCENE_SEED), str(path)],
                   check=True)
    records = np.fromfile(path, dtype=np.float32).reshape(-1, 3)
    return path, records


# ---------------------------------------------------------------------------
# C++ benchmarks.

def run_cpp(build_dir, repetitions, quick):
    out = Path(tempfile.mkdtemp(prefix="quorvane-bench-")) / "kernels.json"
    cmd = [str(build_dir / "bench" / "bench_kernels"), f"--benchmark_out={out}",
           "--benchmark_out_format=json", f"--benchmark_repetitions={repetitions}",
           "--benchmark_format=console", "--benchmark_enable_random_interleaving=true"]
    if quick:
        cmd.append("--benchmark_min_time=0.1")
    subprocess.run(cmd, check=True, stdout=sys.stdout, stderr=sys.stderr)
    data = json.loads(out.read_text())
    results = {}
    clock = []
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        if "GHz" in b:  # BM_ClockEstimate: the clock the benchmarks ran at
            clock.append(b["GHz"])
            continue
        # Drop the "/min_time:..." part that a benchmark's own minimum time adds.
        name = "/".join(part for part in b["run_name"].split("/") if not part.startswith("min_time:"))
        entry = results.setdefault(name, {"ns_per_pixel": [], "iterations": [], "label": b.get("label", "")})
        entry["ns_per_pixel"].append(b["ns_per_pixel"])
        entry["iterations"].append(b["iterations"])
    for entry in results.values():
        entry["best"] = min(entry["ns_per_pixel"])
        entry["median"] = statistics.median(entry["ns_per_pixel"])
    context = data.get("context", {})
    if clock:
        context["clock_ghz"] = statistics.median(clock)
    return results, context


# ---------------------------------------------------------------------------
# NumPy bisection.

def numpy_bisection(wind_dir, inc_angle, sigma0, steps=10, top=26.0):
    """Approximate inversion: `steps` halvings of [0, top], keeping the upper
    end of the bracket, i.e. a speed at which the model reaches sigma0."""
    lo = np.zeros(sigma0.shape)
    hi = np.full(sigma0.shape, top)
    for _ in range(steps):
        mid = (lo + hi) * 0.5
        reached = cmod5n_forward.sigma0_cmod5n(mid, wind_dir, inc_angle) - sigma0 >= 0.0
        hi = np.where(reached, mid, hi)
        lo = np.where(reached, lo, mid)
    return hi


def nthreads(t):
    return f"{t} thread" if t == 1 else f"{t} threads"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="CMake build folder with bench_kernels and bench_scene")
    parser.add_argument("--numba-python", type=Path, default=None,
                        help="interpreter of a virtual environment with Numba")
    parser.add_argument("--rows", type=int, default=1024, help="scene rows (fast path)")
    parser.add_argument("--columns", type=int, default=1024, help="scene columns (fast path)")
    parser.add_argument("--repeats", type=int, default=5, help="repeats of each Python timing")
    parser.add_argument("--bisection-pixels", type=int, default=1 << 18)
    parser.add_argument("--numba-pixels", type=int, default=8192)
    parser.add_argument("--cpp-repetitions", type=int, default=5,
                        help="Google Benchmark repetitions (randomly interleaved)")
    parser.add_argument("--exactness-pixels", type=int, default=100000,
                        help="pixels of the short bench_exactness run after the timings (0: skip)")
    parser.add_argument("--max-wait", type=float, default=600.0,
                        help="seconds to wait for other processes to go quiet before measuring")
    parser.add_argument("--quiet-threshold", type=float, default=0.15,
                        help="cores other processes may use for the machine to count as quiet")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and few repeats, to try the script (not for RESULTS.md)")
    parser.add_argument("--results", type=Path, default=ROOT / "bench" / "results.json",
                        help="the results file to write (bench/report.py reads it)")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.columns, args.repeats = 256, 256, 2
        args.bisection_pixels, args.numba_pixels, args.cpp_repetitions = 1 << 14, 512, 1
        args.exactness_pixels = min(args.exactness_pixels, 10000)
        args.max_wait = 0

    import Quorvane
    from threadpoolctl import threadpool_info, threadpool_limits

    started = datetime.datetime.now().astimezone()
    cores = os.cpu_count() or 1
    print(f"== Quorvane benchmarks on {cpu_model()} ({cores} processors)", flush=True)
    print("== Waiting for a quiet machine", flush=True)
    quiet = wait_for_quiet(args.max_wait, args.quiet_threshold)
    print(f"  other processes: {quiet['other_cores']:.2f} cores", flush=True)
    whole = LoadWatch()
    sections = {}

    workdir = tempfile.mkdtemp(prefix="quorvane-bench-")
    pixels = args.rows * args.columns
    scene_path, records = load_scene(args.build_dir, max(pixels, args.bisection_pixels, args.numba_pixels),
                                     workdir)

    # -- C++ ------------------------------------------------------------------
    print("== C++ benchmarks (bench_kernels)", flush=True)
    w = LoadWatch()
    cpp, cpp_context = run_cpp(args.build_dir, args.cpp_repetitions, args.quick)
    sections["C++ benchmarks"] = w.stop()

    # -- Python: Quorvane -------------------------------------------------------
    print("== Quorvane through Python", flush=True)
    grid = records[:pixels]
    wind_dir = np.ascontiguousarray(grid[:, 0]).reshape(args.rows, args.columns)
    inc_angle = np.ascontiguousarray(grid[:, 1]).reshape(args.rows, args.columns)
    sigma0 = np.ascontiguousarray(grid[:, 2]).reshape(args.rows, args.columns)
    w = LoadWatch()
    openmp_pools = [p for p in threadpool_info() if p.get("user_api") == "openmp"]
    team = max((p["num_threads"] for p in openmp_pools), default=cores)
    py_speed = {}
    speeds_by_threads = {}
    thread_counts = sorted({1, min(2, cores), team})
    results = {}

    def speed_with(threads):
        def call():
            results[threads] = Quorvane.python_windspeedCmod5n(wind_dir, inc_angle, sigma0)
        return call

    all_times = interleaved({t: (speed_with(t), t) for t in thread_counts}, args.repeats)
    for threads in thread_counts:
        times = all_times[threads]
        py_speed[threads] = summary(times, pixels, threads)
        speeds_by_threads[threads] = results[threads]
        print(f"  {nthreads(threads)}: best {min(times):.3f} s, "
              f"{py_speed[threads]['ns_per_pixel']:.0f} ns/pixel", flush=True)
    sections["Quorvane wind speed (Python)"] = w.stop()
    module_speed = speeds_by_threads[1].reshape(-1)
    same_across_threads = all(np.array_equal(speeds_by_threads[t], speeds_by_threads[1])
                              for t in thread_counts)

    # The reference scan's own pixels: BM_ReferenceScan takes 200 pixels per
    # iteration from pixel 0 on, in every repetition.
    ref_pixels = min(200 * max(cpp["BM_ReferenceScan"]["iterations"]), len(records))
    ref_subset = [np.ascontiguousarray(records[:ref_pixels, k]).reshape(1, -1) for k in range(3)]
    w = LoadWatch()
    with threadpool_limits(limits=1, user_api="openmp"):
        times = repeat(lambda: Quorvane.python_windspeedCmod5n(*ref_subset), max(10, 2 * args.repeats))
    py_on_ref = summary(times, ref_pixels, 1)
    sections["Quorvane on the reference's pixels (Python)"] = w.stop()
    print(f"  1 thread on the reference scan's {ref_pixels} pixels: "
          f"{py_on_ref['ns_per_pixel']:.0f} ns/pixel", flush=True)

    # -- NumPy bisection -------------------------------------------------------
    print("== NumPy 10-step bisection", flush=True)
    n_bis = args.bisection_pixels
    bis_in = [records[:n_bis, k].astype(np.float64) for k in range(3)]
    bis_out = {}

    def bisection_call():
        bis_out["last"] = numpy_bisection(*bis_in)

    w = LoadWatch()
    bis_times = repeat(bisection_call, max(2, args.repeats // 2))
    sections["NumPy bisection"] = w.stop()
    bisection = summary(bis_times, n_bis, 1)
    # Its CPU time on this thread too (NumPy's element-wise functions run on the calling thread):
    # the clock of the C++ rows, which Google Benchmark times by thread CPU time, so their ratio
    # holds on a busy machine.
    bis_cpu = []
    for _ in range(max(2, args.repeats // 2)):
        start = time.thread_time()
        bisection_call()
        bis_cpu.append(time.thread_time() - start)
    bisection["cpu_ns_per_pixel"] = min(bis_cpu) / n_bis * 1e9
    exact_bis = Quorvane.python_windspeedCmod5n(*[np.ascontiguousarray(records[:n_bis, k]).reshape(1, -1)
                                                 for k in range(3)]).reshape(-1)
    bis_err = np.abs(bis_out["last"] - exact_bis)
    bisection["max_abs_diff"] = float(np.max(bis_err))
    bisection["within_003"] = float(np.mean(bis_err <= 0.03))
    print(f"  {bisection['ns_per_pixel']:.0f} ns/pixel; |bisection - exact| max "
          f"{bisection['max_abs_diff']:.4f} m/s", flush=True)

    # -- Numba -----------------------------------------------------------------
    numba_result = None
    numba_note = "not run: no --numba-python given"
    if args.numba_python is not None:
        if not args.numba_python.exists():
            numba_note = f"not run: {args.numba_python} does not exist"
        else:
            print("== Numba ladder scan", flush=True)
            speeds_out = Path(workdir) / "numba_speeds.npy"
            w = LoadWatch()
            proc = subprocess.run([str(args.numba_python), str(ROOT / "bench" / "numba_scan.py"),
                                   str(scene_path), str(args.numba_pixels), str(max(2, args.repeats // 2)),
                                   str(speeds_out)], capture_output=True, text=True)
            sections["Numba ladder scan"] = w.stop()
            if proc.returncode != 0:
                numba_note = "failed: " + (proc.stderr.strip().splitlines() or ["?"])[-1]
                print("  " + numba_note, flush=True)
            else:
                numba_result = json.loads(proc.stdout.strip().splitlines()[-1])
                numba_speeds = np.load(speeds_out)
                exact = Quorvane.python_windspeedCmod5n(
                    *[np.ascontiguousarray(records[:args.numba_pixels, k]).reshape(1, -1)
                      for k in range(3)]).reshape(-1)
                numba_result["agree"] = int(np.sum(numba_speeds == exact))
                numba_result["summaries"] = {
                    str(t): summary(times, numba_result["pixels"], int(t))
                    for t, times in numba_result["times"].items()}
                numba_note = (f"Numba {numba_result['numba']} with NumPy {numba_result['numpy']}, "
                              f"threading layer {numba_result['threading_layer']}")
                for t, s in numba_result["summaries"].items():
                    print(f"  {nthreads(int(t))}: {s['ns_per_pixel'] / 1e3:.1f} µs/pixel", flush=True)

    # -- Direction grid ----------------------------------------------------------
    print("== Wind direction grid", flush=True)
    w = LoadWatch()
    direction = []
    sizes = [(512, 512)] if args.quick else [(1024, 1024), (2048, 2048), (4096, 4096)]
    rng = np.random.default_rng(DIRECTION_SEED)
    for rows, columns in sizes:
        u = rng.normal(0.0, 6.0, (rows, columns)).astype(np.float32)
        v = rng.normal(0.0, 6.0, (rows, columns)).astype(np.float32)
        n = rows * columns
        direction_repeats = reps = max(5, args.repeats * 4)
        calls = {"np.add(u, v)": (lambda: np.add(u, v), None),
                 "np.arctan2(-u, -v)": (lambda: np.arctan2(-u, -v), None)}
        for threads in thread_counts:
            calls[f"python_ERA5_windAngle, {nthreads(threads)}"] = (
                lambda: Quorvane.python_ERA5_windAngle(u, v), threads)
        # The same components in column-major copies (as a transposed view of
        # a C-ordered array is): rows that are not contiguous in memory.
        uf, vf = np.asfortranarray(u), np.asfortranarray(v)
        assert not uf.flags.c_contiguous
        calls["python_ERA5_windAngle, 1 thread, column-major inputs"] = (
            lambda: Quorvane.python_ERA5_windAngle(uf, vf), 1)
        times = interleaved(calls, reps, settle=True)
        methods = {name: summary(times[name], n, threads or 1) for name, (_, threads) in calls.items()}
        diff = np.abs(Quorvane.python_ERA5_windAngle(u, v).astype(np.float64)
                      - np.arctan2(-u.astype(np.float64), -v.astype(np.float64)))
        direction.append({"rows": rows, "columns": columns, "methods": methods,
                          "max_abs_diff_vs_float64_arctan2": float(np.max(diff))})
        print(f"  {rows} x {columns}: add {methods['np.add(u, v)']['ns_per_pixel']:.2f} ns/px, "
              f"windAngle 1 thread {methods['python_ERA5_windAngle, 1 thread']['ns_per_pixel']:.2f} ns/px",
              flush=True)
    sections["Direction grid (Python)"] = w.stop()
    overall = whole.stop()

    # -- Short exactness runs (after the timings; they do not enter them) --------------
    # One compares the C-library reference on every pixel; one on every 10th
    # pixel, as the long run does, times that run's rate.
    exactness = None
    if args.exactness_pixels > 0:
        exactness = {"pixels": args.exactness_pixels, "seed": 1, "runs": {}}
        for every in (1, LONG_RUN_REFERENCE_EVERY):
            print(f"== bench_exactness {args.exactness_pixels} 1 {every}", flush=True)
            start = time.perf_counter()
            proc = subprocess.run([str(args.build_dir / "bench" / "bench_exactness"),
                                   str(args.exactness_pixels), "1", str(every)], capture_output=True, text=True)
            exactness["runs"][str(every)] = {"seconds": time.perf_counter() - start,
                                             "returncode": proc.returncode,
                                             "lines": proc.stdout.strip().splitlines()}
            print("  " + "\n  ".join(exactness["runs"][str(every)]["lines"][-2:]), flush=True)

    # -- The results file -------------------------------------------------------------
    try:
        from importlib.metadata import version
        quorvane_version = version("quorvane")
    except Exception:   # pragma: no cover
        quorvane_version = "?"
    results_data = {
        "quick": args.quick,
        "date": started.strftime("%Y-%m-%d %H:%M %Z"),
        "machine": {"cpu_model": cpu_model(), "cpu_family_model": cpu_family_model(), "cores": cores,
                    "cpu_flags": cpu_flags(), "cpu_mhz": cpu_mhz()},
        "software": {"python": platform.python_version(), "numpy": np.__version__,
                     "quorvane": quorvane_version,
                     "openmp_runtimes": [Path(p["filepath"]).name for p in openmp_pools],
                     "openmp_team": team, "numba_note": numba_note},
        "settings": {"rows": args.rows, "columns": args.columns, "repeats": args.repeats,
                     "cpp_repetitions": args.cpp_repetitions, "direction_repeats": direction_repeats,
                     "scene_seed": SCENE_SEED},
        "load": {"before": quiet, "overall": overall, "sections": sections},
        "cpp": {"benchmarks": cpp, "context": cpp_context},
        "module": {"thread_counts": thread_counts,
                   "by_threads": {str(t): s for t, s in py_speed.items()},
                   "same_across_threads": same_across_threads,
                   "mean_speed": float(np.mean(module_speed)),
                   "fraction_at_26": float(np.mean(module_speed >= 26.0)),
                   "reference_pixels": ref_pixels, "on_reference_pixels": py_on_ref},
        "bisection": bisection,
        "numba": numba_result,
        "direction": direction,
        "exactness": exactness,
    }
    args.results.parent.mkdir(parents=True, exist_ok=True)
    args.results.write_text(json.dumps(results_data, indent=1) + "\n")
    print(f"== Wrote {args.results}")


if __name__ == "__main__":
    main()
