"""The machine, its load and the timing loops of the benchmarks (bench/measure.py)."""

import os
import platform
import statistics
import time
from pathlib import Path


# ---------------------------------------------------------------------------
# The machine and its load.

def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_family_model():
    fields = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key = key.strip()
            if key in ("cpu family", "model", "stepping") and key not in fields:
                fields[key] = value.strip()
            if not line.strip():
                break
    except OSError:
        pass
    return ", ".join(f"{k} {v}" for k, v in fields.items())


def cpu_mhz():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("cpu MHz"):
                return float(line.split(":", 1)[1])
    except (OSError, ValueError):
        pass
    return None


def cpu_flags():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                return [f for f in ("sse2", "avx2", "fma", "avx512f") if f in flags]
    except OSError:
        pass
    return []


def _busy_seconds():
    """CPU seconds all processors have spent busy since boot."""
    fields = [int(x) for x in Path("/proc/stat").read_text().splitlines()[0].split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)   # idle + iowait
    total = sum(fields[:8])                                      # without guest time
    return (total - idle) / os.sysconf("SC_CLK_TCK")


def _own_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


class LoadWatch:
    """CPU used by other processes while a section runs (in cores)."""

    def __init__(self):
        self.wall0 = time.perf_counter()
        self.busy0 = _busy_seconds()
        self.own0 = _own_seconds()
        self.loadavg0 = os.getloadavg()[0]

    def stop(self):
        wall = time.perf_counter() - self.wall0
        busy = _busy_seconds() - self.busy0
        own = _own_seconds() - self.own0
        return {
            "other_cores": max(0.0, (busy - own) / wall) if wall > 0 else 0.0,
            "loadavg_start": self.loadavg0,
            "loadavg_end": os.getloadavg()[0],
            "seconds": wall,
        }


def other_cores_now(seconds=3.0):
    w = LoadWatch()
    time.sleep(seconds)
    return w.stop()["other_cores"]


def wait_for_quiet(max_wait, threshold):
    """Waits (up to max_wait seconds) until other processes use less than
    `threshold` cores; returns what was seen."""
    start = time.monotonic()
    while True:
        busy = other_cores_now()
        waited = time.monotonic() - start
        if busy < threshold:
            return {"other_cores": busy, "waited": waited, "quiet": True}
        if waited >= max_wait:
            print(f"  still busy ({busy:.2f} cores used by other processes) after "
                  f"{waited:.0f} s: measuring anyway", flush=True)
            return {"other_cores": busy, "waited": waited, "quiet": False}
        print(f"  other processes use {busy:.2f} cores, load average "
              f"{os.getloadavg()[0]:.2f}: waiting", flush=True)
        time.sleep(15)


# ---------------------------------------------------------------------------
# Timing.

def repeat(fn, repeats, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def interleaved(calls, repeats, settle=False):
    """Times several calls in turn, `repeats` rounds (after one warm-up
    round), so that a slow spell of the machine hits all of them alike.
    `calls` maps a name to (function, thread limit or None). With `settle`,
    each timed call follows an untimed call of the same function: a call that
    allocates a large result then reuses the memory its predecessor freed, as
    in a loop over scenes, instead of paying for page faults that depend on
    which other call happened to run before it."""
    from threadpoolctl import threadpool_limits

    def one(fn, threads):
        if threads is None:
            start = time.perf_counter()
            fn()
            return time.perf_counter() - start
        with threadpool_limits(limits=threads, user_api="openmp"):
            start = time.perf_counter()
            fn()
            return time.perf_counter() - start

    for fn, threads in calls.values():
        one(fn, threads)
    times = {name: [] for name in calls}
    for _ in range(repeats):
        for name, (fn, threads) in calls.items():
            if settle:
                one(fn, threads)
            times[name].append(one(fn, threads))
    return times


def summary(times, pixels, threads):
    best = min(times)
    return {
        "best_s": best,
        "median_s": statistics.median(times),
        "repeats": len(times),
        "pixels": pixels,
        "threads": threads,
        "ns_per_pixel": best / pixels * 1e9,
        "pixels_per_s": pixels / best,
        "pixels_per_s_per_core": pixels / best / threads,
    }


# ---------------------------------------------------------------------------
# Memory of a process tree, from /proc (proportional set sizes, so that
# pages shared between the processes count once).

def parent_pids():
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                parents[int(entry)] = int(Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
    return parents


def tree(roots):
    parents = parent_pids()
    children = {}
    for pid, ppid in parents.items():
        children.setdefault(ppid, []).append(pid)
    found, todo = [], list(roots)
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def pss_kb(pids):
    total = 0
    for pid in pids:
        try:
            for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
                    break
        except OSError:
            pass
    return total
