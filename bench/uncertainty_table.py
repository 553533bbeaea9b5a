"""The speed uncertainty from the table against the exact inversions:
its accuracy on speckled pixels of every kind, and the cost of both on a
native chunk of 2 million pixels.

    .venv/bin/python bench/uncertainty_table.py [--pixels N] [--chunk-pixels N] [--no-cost]

Accuracy: winds of 0.2 to 25 m/s (Weibull, mean about 7.7 m/s) from any
direction, NESZ -26 to -20 dB, speckle of 1 pixel (native) or 100 (1 km) of
the mode's looks (IW 4.4 at 29.5 to 46 degrees, EW 2.7 at 19 to 47), VV or
HH (the HH sigma0 from the VV one through the ratio), the speeds from the
exact kernel; the share of the pixels within max(0.02 m/s, 2 %) of the
exact method, the share the table declines (inverted exactly), the
distribution of the differences. Cost: thread CPU seconds of the
uncertainty step of a chunk (sigma0's uncertainty and the speeds') as the
chunk ran it before (the known pixels gathered, four or six exact
inversions each) and as it runs it now; run it with OMP_NUM_THREADS=1 for
per-core figures. Memory: the largest total of the arrays the step holds
at once (tracemalloc, which NumPy reports to).
"""

import argparse
import time
import tracemalloc

import numpy as np

from quorvane_wind import uncertainty
from quorvane_wind.retrieval import hh_to_vv, polarisation_ratio, sigma0_db_block, wind_speed_block
from quorvane_wind.testing.cmod5n_forward import sigma0_cmod5n

MODES = {"IW": ((29.5, 46.0), 4.4), "EW": ((19.0, 47.0), 2.7)}


def pixels(n, mode, pol, count, rng):
    (low, high), looks = MODES[mode]
    speed = np.minimum(rng.weibull(2.0, n) * 8.5, 25.0) + 0.2
    phi = rng.uniform(-180.0, 180.0, n)
    inc = rng.uniform(low, high, n)
    vv = 10.0 ** (sigma0_cmod5n(speed, phi, inc) / 10.0)
    truth = vv / polarisation_ratio(inc) if pol == "HH" else vv
    nesz = 10.0 ** (rng.uniform(-26.0, -20.0, n) / 10.0)
    observed = (truth + nesz) * rng.gamma(count * looks, 1.0 / (count * looks), n) - nesz
    keep = observed > 0.0
    phi, inc, observed, nesz = (a[keep].astype(np.float32)[None] for a in (phi, inc, observed, nesz))
    db = sigma0_db_block(hh_to_vv(observed, inc) if pol == "HH" else observed)
    speed = wind_speed_block(phi, inc, db).astype(np.float32)
    speed[speed >= 26.0] = np.nan
    u = uncertainty.sigma0_uncertainty(observed, nesz, np.full(observed.shape, count), looks)
    return speed, phi, inc, observed, u


def accuracy(n):
    rng = np.random.default_rng(20261208)
    print(f"{'kind':<16} {'pixels':>8} {'within':>9} {'declined':>9} {'p50':>7} {'p99':>7} {'p99.9':>7} "
          f"{'max':>6} {'mean d':>8} {'median u':>8}")
    for mode in MODES:
        for pol in ("VV", "HH"):
            for count, name in ((1, "native"), (100, "1 km")):
                speed, phi, inc, s, u = pixels(n, mode, pol, count, rng)
                hh = pol == "HH"
                uncertainty.speed_table()
                from quorvane_wind import _loops
                t = uncertainty.speed_table()
                raw = _loops.speed_uncertainty(t.speed, t.rough, t.incidence_axis, t.direction_step, t.sigma0_axis,
                                               26.0, speed, phi, inc, s, u, uncertainty.DIRECTION_UNCERTAINTY_DEG,
                                               (0.6, 0.45, 1.0) if hh else None)
                got = uncertainty.wind_speed_uncertainty(speed, phi, inc, s, u, hh, table=True)
                exact = uncertainty.exact_wind_speed_uncertainty(speed, phi, inc, s, u, hh)
                ok = np.isfinite(speed)
                d = (got[ok].astype(np.float64) - exact[ok])
                within = np.abs(d) <= np.maximum(0.02, 0.02 * exact[ok])
                q = np.percentile(np.abs(d), [50, 99, 99.9])
                print(f"{mode + ' ' + pol + ' ' + name:<16} {ok.sum():>8} {100 * within.mean():>8.3f}% "
                      f"{100 * np.isnan(raw[ok]).mean():>8.2f}% {q[0]:>7.4f} {q[1]:>7.4f} {q[2]:>7.4f} "
                      f"{np.abs(d).max():>6.3f} {d.mean():>+8.5f} {np.median(exact[ok]):>8.3f}")


def chunk(rows, cols, rng):
    """A native IW chunk as a scene has it: the incidence across the swath,
    a smooth wind, speckle per pixel."""
    (low, high), looks = MODES["IW"]
    inc = np.broadcast_to(np.linspace(low, high, cols), (rows, cols))
    y, x = np.meshgrid(np.linspace(0, 1, rows), np.linspace(0, 1, cols), indexing="ij")
    speed = 8.0 + 5.0 * np.sin(6 * x + 2 * y)
    phi = 40.0 + 30.0 * np.sin(3 * x) + 10 * y
    truth = 10.0 ** (sigma0_cmod5n(speed, phi, inc) / 10.0)
    nesz = np.full((rows, cols), 10.0 ** -2.3, dtype=np.float32)
    observed = (truth + nesz) * rng.gamma(looks, 1.0 / looks, (rows, cols)) - nesz
    sigma0 = np.where(observed > 0, observed, np.nan).astype(np.float32)
    phi, inc = phi.astype(np.float32), inc.astype(np.float32)
    retrieved = wind_speed_block(phi, inc, sigma0_db_block(sigma0)).astype(np.float32)
    retrieved[np.isnan(sigma0)] = np.nan
    return retrieved, phi, inc, sigma0, nesz, np.isfinite(sigma0).astype(np.int32), looks


def cost(pixels_count):
    rng = np.random.default_rng(7)
    cols = 25_000
    speed, phi, inc, sigma0, nesz, count, looks = chunk(max(1, pixels_count // cols), cols, rng)

    def before():
        known = np.isfinite(speed) & (speed < 26.0)
        at = np.nonzero(known)
        u = uncertainty.sigma0_uncertainty(sigma0[at], nesz[at], count[at], looks)
        out = np.full(speed.shape, np.nan, dtype=np.float32)
        out[at] = uncertainty.exact_wind_speed_uncertainty(speed[at][None], phi[at][None], inc[at][None],
                                                           sigma0[at][None], u[None], False)[0]
        return out

    def after():
        return uncertainty.block_wind_speed_uncertainty(speed, phi, inc, sigma0, nesz, count, looks, False)

    start = time.process_time()
    uncertainty.speed_table()
    print(f"table built: {time.process_time() - start:.2f} s CPU")
    for name, step in (("before (exact)", before), ("after (table)", after)):
        best = []
        for _ in range(3):
            start = time.process_time()
            step()
            best.append(time.process_time() - start)
        print(f"{name}: {min(best):.3f} s CPU per chunk of {speed.size} pixels (best of 3: "
              + ", ".join(f"{b:.3f}" for b in best) + ")")
    for name, step in (("before (exact)", before), ("after (table)", after)):
        tracemalloc.start()
        step()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"{name}: {peak / 1e6:.0f} MB of arrays at the peak (tracemalloc)")
    a, b = before(), after()
    ok = np.isfinite(a)
    d = np.abs(a[ok].astype(np.float64) - b[ok])
    print(f"chunk: within max(0.02, 2 %) {100 * (d <= np.maximum(0.02, 0.02 * a[ok])).mean():.4f} % of "
          f"{ok.sum()} pixels, max |d| {d.max():.3f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pixels", type=int, default=500_000, help="pixels drawn per kind (accuracy)")
    parser.add_argument("--chunk-pixels", type=int, default=2_000_000)
    parser.add_argument("--no-cost", action="store_true")
    parser.add_argument("--no-accuracy", action="store_true")
    args = parser.parse_args()
    if not args.no_accuracy:
        accuracy(args.pixels)
    if not args.no_cost:
        cost(args.chunk_pixels)
