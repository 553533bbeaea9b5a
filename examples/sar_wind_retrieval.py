#!/usr/bin/env python3
"""End-to-end wind retrieval on a synthetic Sentinel-1-like scene.

1. Synthesise the scene (quorvane_wind.testing.sar_scene): a 250 km x 170 km swath, incidence
   29 to 46 degrees across it, a front and a cyclone over a background flow,
   sigma0 from CMOD5.N with speckle, ERA5-like U10/V10 on a 0.25 degree grid
   interpolated to the pixels.
2. Wind direction from the interpolated ERA5 winds with
   Quorvane.python_ERA5_windAngle, made relative to the radar look direction.
3. Wind speed with Quorvane.python_windspeedCmod5n, block of rows by block of
   rows, with a progress bar.
4. Figures (PNG) and a text summary in the output folder.

Run it through ./scripts/main.sh, which sets up the environment first, or
directly with the project's virtual environment:

    python examples/sar_wind_retrieval.py --pixel-size 500 --out output
"""

import argparse
import os
import sys
import time
from pathlib import Path


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pixel-size", type=float, default=100.0, metavar="METRES",
                   help="pixel spacing of the scene (default 100 m: 2500 x 1700 pixels)")
    p.add_argument("--scale", type=float, default=1.0,
                   help="fraction of the 250 km x 170 km swath to simulate (default 1)")
    p.add_argument("--out", type=Path, default=Path("output"), metavar="DIR",
                   help="folder for the figures and summary.txt (default ./output)")
    p.add_argument("--looks", type=float, default=50.0,
                   help="equivalent number of looks of the speckle (default 50)")
    p.add_argument("--seed", type=int, default=7, help="random seed of the scene")
    p.add_argument("--block-rows", type=int, default=64,
                   help="rows per call of the retrieval (default 64)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.pixel_size <= 0 or not (0 < args.scale <= 10) or args.block_rows <= 0:
        p.error("--pixel-size, --scale and --block-rows must be positive (--scale at most 10)")
    return args


# --help is answered before NumPy and the module are imported, so that it
# works before they are installed (./scripts/main.sh --help).
if __name__ == "__main__" and {"-h", "--help"} & set(sys.argv[1:]):
    parse_args(sys.argv[1:])

import numpy as np  # noqa: E402

import Quorvane  # noqa: E402
from quorvane_wind.testing.cmod5n_forward import MAX_SPEED, sigma0_cmod5n  # noqa: E402
from quorvane_wind.testing.sar_scene import (  # noqa: E402
    SceneConfig, relative_direction_deg, synthesize_scene)


def openmp_threads():
    """Threads the module's OpenMP loops will use, as threadpoolctl sees them."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    counts = [i["num_threads"] for i in threadpool_info() if i.get("user_api") == "openmp"]
    return max(counts) if counts else None


def retrieve_in_blocks(rel_dir, inc, sigma0, block_rows, progress=True):
    """Wind speed of the whole scene, `block_rows` rows per module call.
    Row slices of C-ordered arrays are writable views: nothing is copied."""
    rows, cols = rel_dir.shape
    speed = np.empty((rows, cols), dtype=np.float64)
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=rows * cols, unit="px", unit_scale=True, desc="wind speed",
                   file=sys.stderr, mininterval=0.5, smoothing=0.1)
    for r0 in range(0, rows, block_rows):
        r1 = min(rows, r0 + block_rows)
        speed[r0:r1] = Quorvane.python_windspeedCmod5n(rel_dir[r0:r1], inc[r0:r1], sigma0[r0:r1])
        if bar is not None:
            bar.update((r1 - r0) * cols)
    if bar is not None:
        bar.close()
    return speed


def error_statistics(truth, retrieved):
    err = retrieved - truth
    return {
        "bias": float(err.mean()),
        "rmse": float(np.sqrt(np.mean(err ** 2))),
        "std": float(err.std()),
        "mae": float(np.mean(np.abs(err))),
        "median": float(np.median(err)),
        "p05": float(np.percentile(err, 5)),
        "p95": float(np.percentile(err, 95)),
        "corr": float(np.corrcoef(truth.ravel(), retrieved.ravel())[0, 1]),
        "within_1": float(np.mean(np.abs(err) <= 1.0)),
        "within_2": float(np.mean(np.abs(err) <= 2.0)),
    }


def noise_free_check(scene, n, rng):
    """Inverts the noise-free model sigma0 of `n` random pixels (true direction,
    no speckle): the retrieved speed must be the true speed rounded up to the
    0.01 m/s ladder. Returns the largest |retrieved - truth| in m/s."""
    rows, cols = scene.sigma0.shape
    idx = rng.choice(rows * cols, size=min(n, rows * cols), replace=False)
    truth = scene.true_speed.ravel()[idx]
    keep = truth < MAX_SPEED - 0.05
    idx, truth = idx[keep], truth[keep]
    rel = relative_direction_deg(scene.true_direction.ravel()[idx],
                                 scene.look_azimuth_deg).astype(np.float32)[None, :]
    inc = scene.inc_angle.ravel()[idx][None, :]
    # The observation is the model sigma0 at the true speed (for the float32
    # geometry the module sees), rounded down to float32 so that it never
    # exceeds the model there.
    model = sigma0_cmod5n(truth[None, :], rel, inc)
    sig = model.astype(np.float32)
    sig = np.where(sig > model, np.nextafter(sig, np.float32(-np.inf)), sig)
    got = Quorvane.python_windspeedCmod5n(rel, inc, sig)[0]
    return float(np.max(np.abs(got - truth))) if got.size else 0.0


def make_figures(scene, era5_dir, speed, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    az, rg = scene.azimuth_km, scene.range_km
    extent = (0.0, rg[-1] - rg[0], 0.0, az[-1] - az[0])
    cfg = scene.config
    geometry = (f"heading {cfg.heading_deg:.0f}\u00b0, radar looks to {cfg.look_azimuth_deg:.0f}\u00b0, "
                f"incidence {cfg.incidence_near_deg:.0f}\u2013{cfg.incidence_far_deg:.0f}\u00b0")
    files = []

    def image(ax, data, **kw):
        im = ax.imshow(data, origin="lower", extent=extent, interpolation="antialiased", **kw)
        ax.set_xlabel("ground range from near edge (km)")
        ax.set_ylabel("azimuth (km)")
        return im

    def save(fig, name):
        path = out / name
        fig.savefig(path, dpi=110)
        plt.close(fig)
        files.append(path)

    # 1. sigma0
    fig, ax = plt.subplots(figsize=(7.5, 8.5), layout="constrained")
    lo, hi = np.percentile(scene.sigma0, [1, 99])
    im = image(ax, scene.sigma0, cmap="gray", vmin=lo, vmax=hi)
    fig.colorbar(im, ax=ax, label="sigma0 (dB)", shrink=0.8)
    ax.set_title(f"Observed sigma0 (VV, CMOD5.N + speckle, {cfg.looks:g} looks)\n{geometry}", fontsize=9)
    save(fig, "sigma0.png")

    # 2. wind direction from ERA5, with arrows of the ERA5 wind in image axes
    fig, ax = plt.subplots(figsize=(7.5, 8.5), layout="constrained")
    im = image(ax, np.degrees(era5_dir) % 360.0, cmap="twilight", vmin=0, vmax=360)
    fig.colorbar(im, ax=ax, label="wind from (degrees clockwise from north)", shrink=0.8)
    step_r = max(1, scene.u10.shape[0] // 18)
    step_c = max(1, scene.u10.shape[1] // 12)
    u = scene.u10[::step_r, ::step_c].astype(np.float64)
    v = scene.v10[::step_r, ::step_c].astype(np.float64)
    h, look = np.radians(cfg.heading_deg), np.radians(cfg.look_azimuth_deg)
    along_range = u * np.sin(look) + v * np.cos(look)
    along_track = u * np.sin(h) + v * np.cos(h)
    X, Y = np.meshgrid(rg[::step_c] - rg[0], az[::step_r] - az[0])
    ax.quiver(X, Y, along_range, along_track, color="k", alpha=0.7, scale=400, width=0.003)
    ax.set_title("Wind direction from ERA5 U10/V10 (python_ERA5_windAngle)\n"
                 f"arrows: wind vector in image axes; relative direction = from-direction \u2212 {cfg.look_azimuth_deg:.0f}\u00b0",
                 fontsize=9)
    save(fig, "wind_direction.png")

    # 3. retrieved wind speed beside the truth
    fig, axes = plt.subplots(1, 2, figsize=(12, 8), layout="constrained", sharey=True)
    vmax = float(np.percentile(scene.true_speed, 99.5))
    for ax, data, title in ((axes[0], scene.true_speed, "True wind speed"),
                            (axes[1], speed, "Retrieved wind speed (python_windspeedCmod5n)")):
        im = image(ax, data, cmap="viridis", vmin=0, vmax=vmax)
        ax.set_title(title, fontsize=10)
    axes[1].set_ylabel("")
    fig.colorbar(im, ax=axes, label="wind speed (m/s)", shrink=0.8)
    save(fig, "wind_speed.png")

    # 4. truth against retrieval
    fig, ax = plt.subplots(figsize=(6.5, 6), layout="constrained")
    top = max(MAX_SPEED, float(np.ceil(scene.true_speed.max())))
    bins = (np.linspace(0, top, int(top * 5) + 1), np.linspace(0, MAX_SPEED + 0.2, 132))
    _, _, _, im = ax.hist2d(scene.true_speed.ravel(), speed.ravel(), bins=bins,
                            norm=LogNorm(), cmap="magma_r")
    ax.plot([0, MAX_SPEED], [0, MAX_SPEED], "c--", lw=1, label="1:1")
    ax.axhline(MAX_SPEED, color="0.5", lw=0.6, ls=":", label="26 m/s ceiling")
    ax.set_xlabel("true wind speed (m/s)")
    ax.set_ylabel("retrieved wind speed (m/s)")
    ax.set_aspect("equal")
    ax.legend(loc="upper left")
    fig.colorbar(im, ax=ax, label="pixels", shrink=0.8)
    ax.set_title("Retrieved against true wind speed", fontsize=10)
    save(fig, "truth_vs_retrieved.png")

    # 5. error histogram
    err = (speed - scene.true_speed).ravel()
    fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
    ax.hist(err, bins=np.linspace(-6, 6, 241), color="steelblue")
    ax.axvline(0, color="k", lw=0.8)
    ax.set_xlabel("retrieved \u2212 true wind speed (m/s)")
    ax.set_ylabel("pixels")
    ax.set_title(f"Retrieval error: bias {err.mean():+.2f} m/s, std {err.std():.2f} m/s, "
                 f"RMSE {np.sqrt(np.mean(err ** 2)):.2f} m/s", fontsize=10)
    save(fig, "error_histogram.png")
    return files


def speed_bin_table(truth, retrieved):
    lines = ["  true speed (m/s)   pixels      bias    RMSE"]
    for lo, hi in ((0, 3), (3, 6), (6, 10), (10, 15), (15, 20), (20, 26)):
        sel = (truth >= lo) & (truth < hi)
        n = int(sel.sum())
        if n == 0:
            continue
        e = retrieved[sel] - truth[sel]
        lines.append(f"  {lo:5.0f} to {hi:3.0f}      {n:9d}  {e.mean():+7.2f}  {np.sqrt(np.mean(e ** 2)):6.2f}")
    return lines


def main(argv=None):
    args = parse_args(argv)
    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    t_start = time.perf_counter()

    cfg = SceneConfig(pixel_size_m=args.pixel_size, azimuth_km=250.0 * args.scale,
                      range_km=170.0 * args.scale, looks=args.looks, seed=args.seed)
    rows, cols = cfg.shape
    print(f"Synthesising a {cfg.azimuth_km:g} km x {cfg.range_km:g} km scene at "
          f"{cfg.pixel_size_m:g} m: {rows} x {cols} = {rows * cols:,} pixels", flush=True)
    t0 = time.perf_counter()
    scene = synthesize_scene(cfg)
    t_synth = time.perf_counter() - t0

    t0 = time.perf_counter()
    era5_dir = Quorvane.python_ERA5_windAngle(scene.u10, scene.v10)
    rel_dir = relative_direction_deg(np.degrees(era5_dir.astype(np.float64)),
                                     cfg.look_azimuth_deg).astype(np.float32)
    t_dir = time.perf_counter() - t0

    threads = openmp_threads()
    print(f"Retrieving wind speed ({threads or '?'} OpenMP threads, "
          f"{args.block_rows} rows per call)", flush=True)
    t0 = time.perf_counter()
    speed = retrieve_in_blocks(rel_dir, scene.inc_angle, scene.sigma0, args.block_rows,
                               progress=not args.no_progress)
    t_speed = time.perf_counter() - t0

    stats = error_statistics(scene.true_speed, speed)
    max_noise_free = noise_free_check(scene, 20000, np.random.default_rng(args.seed + 1))

    t0 = time.perf_counter()
    files = make_figures(scene, era5_dir, speed, out)
    t_fig = time.perf_counter() - t0

    npx = rows * cols
    dir_err = relative_direction_deg(np.degrees(era5_dir.astype(np.float64)), scene.true_direction)
    lines = [
        "Quorvane: CMOD5.N wind retrieval on a synthetic C-band SAR scene",
        "",
        f"scene            {cfg.azimuth_km:g} km x {cfg.range_km:g} km at {cfg.pixel_size_m:g} m pixels: "
        f"{rows} x {cols} = {npx:,} pixels",
        f"geometry         heading {cfg.heading_deg:g} deg, look azimuth {cfg.look_azimuth_deg:g} deg, "
        f"incidence {scene.inc_angle.min():.1f} to {scene.inc_angle.max():.1f} deg",
        f"wind (truth)     {scene.true_speed.min():.2f} to {scene.true_speed.max():.2f} m/s, "
        f"mean {scene.true_speed.mean():.2f} m/s; speckle {cfg.looks:g} looks; seed {cfg.seed}",
        f"ERA5 grid        {scene.era5_u10.shape[0]} x {scene.era5_u10.shape[1]} points at 0.25 deg; "
        f"direction error vs truth: RMS {np.sqrt(np.mean(dir_err ** 2)):.1f} deg",
        "",
        f"OpenMP threads   {threads if threads is not None else 'unknown'} "
        f"(cores available: {len(os.sched_getaffinity(0))})",
        f"synthesis        {t_synth:8.2f} s",
        f"wind direction   {t_dir:8.2f} s   ({npx / max(t_dir, 1e-9):,.0f} pixels/s, incl. relative angle)",
        f"wind speed       {t_speed:8.2f} s   ({npx / max(t_speed, 1e-9):,.0f} pixels/s)",
        f"figures          {t_fig:8.2f} s",
        f"total            {time.perf_counter() - t_start:8.2f} s",
        "",
        "retrieved - true wind speed (m/s)",
        f"  bias {stats['bias']:+.3f}   RMSE {stats['rmse']:.3f}   std {stats['std']:.3f}   "
        f"MAE {stats['mae']:.3f}   median {stats['median']:+.3f}",
        f"  5th..95th percentile {stats['p05']:+.2f} .. {stats['p95']:+.2f}   "
        f"correlation {stats['corr']:.4f}",
        f"  within 1 m/s {100 * stats['within_1']:.1f} %   within 2 m/s {100 * stats['within_2']:.1f} %",
        f"  pixels at the 26 m/s ceiling {int(np.sum(speed >= MAX_SPEED)):,}   "
        f"at 0 m/s {int(np.sum(speed == 0.0)):,}",
        *speed_bin_table(scene.true_speed, speed),
        f"noise-free check  largest |retrieved - true| on 20,000 pixels without speckle, "
        f"true direction: {max_noise_free:.4f} m/s (ladder step 0.01)",
        "",
        "files: " + ", ".join(p.name for p in files),
    ]
    summary = "\n".join(lines) + "\n"
    (out / "summary.txt").write_text(summary)
    print(summary, end="")
    print(f"Wrote {len(files)} figures and summary.txt to {out.resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
