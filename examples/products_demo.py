#!/usr/bin/env python3
"""The main job: a Sentinel-1 GRD product and an ERA5 file with a known
wind, turned into CF wind products by the `quorvane-wind` command.

1. Write a GRD product in the real SAFE layout (quorvane_wind.testing): by
   default 2000 lines x 1600 pixels of 50 m (100 km x 80 km, 3.2 million
   pixels) over the North Atlantic, incidence 30.7 to 46 degrees, DNs from
   a known wind speed field (smooth swirls plus kilometre-scale gusts) and
   the ERA5 direction through the CMOD5.N forward model, with thermal noise
   and speckle; and an ERA5 file of the current CDS layout (0.25 degree,
   hourly) whose u10/v10 give the direction.
2. Run `quorvane-wind` on them twice: at the default 1 km resolution and at
   the native pixels, both with quicklooks.
3. Compare each product with the known field and print the error, the
   times and where the outputs are.

Run it through ./scripts/main.sh, which sets up the environment first, or
directly with the project's virtual environment:

    .venv/bin/python examples/products_demo.py --out output
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", type=Path, default=Path("output"), metavar="DIR",
                   help="folder for the inputs, the products and summary.txt (default ./output)")
    p.add_argument("--lines", type=int, default=2000, help="lines of the product (default 2000)")
    p.add_argument("--samples", type=int, default=1600, help="pixels per line (default 1600)")
    p.add_argument("--pixel-size", type=float, default=50.0, metavar="METRES",
                   help="pixel spacing (default 50 m)")
    p.add_argument("--looks", type=float, default=20.0,
                   help="equivalent number of looks of the speckle (default 20)")
    p.add_argument("--seed", type=int, default=7, help="random seed of gusts and speckle")
    args = p.parse_args(argv)
    if min(args.lines, args.samples) < 40 or args.pixel_size <= 0 or args.looks <= 0:
        p.error("--lines and --samples must be at least 40, --pixel-size and --looks positive")
    return args


# --help is answered before NumPy and quorvane_wind are imported, so that it
# works before the project is installed (./scripts/main.sh --help).
if __name__ == "__main__" and {"-h", "--help"} & set(sys.argv[1:]):
    parse_args(sys.argv[1:])

import numpy as np  # noqa: E402

from quorvane_wind.testing import s1_grd as fx  # noqa: E402
from quorvane_wind.testing.sar_scene import gaussian_random_field  # noqa: E402


def known_speed(cfg, seed):
    """Smooth swirls from 3 to 19 m/s times gusts of 6 % at 1.5 km scale,
    rounded to the retrieval's 0.01 m/s ladder."""
    rows, cols = np.arange(cfg.lines), np.arange(cfg.samples)
    smooth = fx.truth_speed(cfg, rows, cols)
    rng = np.random.default_rng(seed)
    gusts = gaussian_random_field(cfg.shape, cfg.range_spacing_m / 1000.0, 1.5, rng)
    return np.round(np.clip(smooth * (1.0 + 0.06 * gusts), 0.5, 25.0) * 100.0) / 100.0


def error_line(label, truth, retrieved):
    ok = np.isfinite(retrieved)
    err = retrieved[ok] - truth[ok]
    return (f"{label}: {ok.sum():,} pixels with wind of {ok.size:,}; error bias {err.mean():+.3f} m/s, "
            f"RMS {np.sqrt(np.mean(err ** 2)):.3f} m/s, 95 % within {np.percentile(np.abs(err), 95):.3f} m/s")


def main(argv=None):
    args = parse_args(argv)
    import xarray as xr

    out = args.out.resolve()
    inputs, products = out / "inputs", out / "products"
    inputs.mkdir(parents=True, exist_ok=True)
    cfg = fx.GrdConfig(lines=args.lines, samples=args.samples, azimuth_spacing_m=args.pixel_size,
                       range_spacing_m=args.pixel_size, looks=args.looks, seed=args.seed,
                       gcp_lines=12, gcp_pixels=21)
    wind = fx.Era5Field()

    print(f"Writing a {cfg.lines} x {cfg.samples} GRD product ({cfg.lines * cfg.samples / 1e6:.1f} "
          f"million pixels of {cfg.range_spacing_m:g} m) and an ERA5 file to {inputs}", flush=True)
    t0 = time.perf_counter()
    speed = known_speed(cfg, args.seed)
    safe, truth = fx.write_grd_product(inputs, cfg, wind, speed=speed)
    era5 = fx.write_era5_cds(inputs / "era5_20210401_u10_v10.nc", wind,
                             times=fx.era5_times("2021-04-01T00:00", 24), step=0.25,
                             lat_range=(45.0, 60.0), lon_range=(-30.0, -10.0))
    t_inputs = time.perf_counter() - t0

    command = [str(Path(sys.executable).parent / "quorvane-wind")]
    runs = {}
    for label, resolution in (("1km", "1000"), ("native", "native")):
        folder = products / label
        argv = [*command, str(safe), "--era5", str(era5), "--output-dir", str(folder),
                "--resolution", resolution, "--quicklook", "--overwrite"]
        print("$ " + " ".join(argv[:1] + [a.replace(str(out) + "/", "") for a in argv[1:]]), flush=True)
        t0 = time.perf_counter()
        done = subprocess.run(argv)
        runs[label] = (folder, time.perf_counter() - t0)
        if done.returncode != 0:
            print(f"quorvane-wind failed (exit status {done.returncode})", file=sys.stderr)
            return done.returncode

    lines = [f"Inputs: {safe.name} ({cfg.lines} x {cfg.samples} pixels of {cfg.range_spacing_m:g} m, "
             f"{cfg.looks:g}-look speckle, thermal noise) and {era5.name}, written in {t_inputs:.1f} s",
             f"Known wind speed: {truth.speed.min():.2f} to {truth.speed.max():.2f} m/s, "
             f"mean {truth.speed.mean():.2f} m/s"]
    for label, (folder, seconds) in runs.items():
        nc = next(folder.glob("*_wind.nc"))
        with xr.open_dataset(nc) as ds:
            retrieved = ds["wind_speed"].values.astype(np.float64)
            if label == "native":
                expected = truth.speed[: retrieved.shape[0], : retrieved.shape[1]]
            else:
                # The known speed averaged over the same blocks as sigma0.
                fl = int(round(float(ds["line"].values[1] - ds["line"].values[0])))
                fp = int(round(float(ds["pixel"].values[1] - ds["pixel"].values[0])))
                n, m = retrieved.shape
                expected = truth.speed[: n * fl, : m * fp].reshape(n, fl, m, fp).mean(axis=(1, 3))
        lines.append(f"{label} product, {retrieved.shape[0]} x {retrieved.shape[1]} pixels, "
                     f"made in {seconds:.1f} s (command start to exit)")
        lines.append("  " + error_line("wind speed against the known field", expected, retrieved))
        lines.append(f"  {nc}")
        lines.append(f"  {nc.with_suffix('.png')}")
    summary = "\n".join(lines) + "\n"
    (out / "summary.txt").write_text(summary)
    print(summary + f"Summary: {out / 'summary.txt'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
