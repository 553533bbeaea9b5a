"""The command on full scenes, reporting half: bench/SCENES.md from the
results file of bench/scenes.py alone.

    .venv/bin/python bench/scenes_report.py [--results FILE] [--out FILE]
"""

import argparse
import json
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PEAK_LIMIT_MB = 1536


def _run(results, scene, name):
    return next((r for r in results["runs"] if r["scene"] == scene and r["name"] == name), None)


def _target(rows, what, actual, limit, unit="x"):
    met = actual is not None and actual <= limit
    shown = "not measured" if actual is None else f"{actual:.2f}{unit}"
    rows.append(f"| {what} | {shown} | {limit:g}{unit} | {'met' if met else 'not met'} |")


def report(results):
    lines = [
        "# Full scenes: the command against the floors of its stages",
        "",
        f"Run of {results['date']} on {results['cpu']} ({results['cores']} cores)"
        + (" with the reduced scenes of --quick" if results.get("quick") else "")
        + (f" on the existing product {Path(results['source']).name}"
           if results.get("source", "made") != "made" else "")
        + f"; other processes used {results['load']['other_cores']:.2f} cores on average "
        + f"(load average {results['load']['loadavg_start']:.1f} at the start, "
        + f"{results['load']['loadavg_end']:.1f} at the end).",
        "Written by `bench/scenes_report.py` from `bench/scenes.json` (`./scripts/bench.sh --scenes`).",
        "",
    ]
    targets = ["| Target | Measured | Limit | |", "|---|---|---|---|"]
    for scene, info in results["scenes"].items():
        f = info["floors"]
        lines += [f"## {scene}: {info['shape'][0]} x {info['shape'][1]} pixels "
                  f"({info['measurement_mb']:.0f} MB VV measurement)", "",
                  "| Floor | Seconds |", "|---|---|"]
        names = {"read_s": "read the VV measurement (rasterio, by bands of lines)",
                 "inflate_s": "inflate the zipped measurement (`unzip -p`)",
                 "arithmetic_s": "calibration arithmetic (DN^2 - noise) / A^2, LUT arrays made beforehand "
                                 "(NumPy, one thread)",
                 "kernel_s": "kernel on every pixel (all cores)",
                 "write_s": f"write the native product's bytes at the disk's rate "
                            f"({results.get('disk_mb_s', float('nan')):.0f} MB/s, sequential write + fsync)",
                 "startup_s": "process start-up with imports",
                 "land_s": "land mask of the 1 km grid (fresh process)"}
        lines += [f"| {names.get(k, k)} | {v:.2f} |" for k, v in f.items() if k.endswith("_s")]
        if "land_mb" in f:
            lines.append(f"| (land mask: resident memory growth {f['land_mb']:.1f} MB) | |")
        lines += ["", "| Run | Wall s | CPU s | Peak MB | Output MB | First output s | Load average before, after |",
                  "|---|---|---|---|---|---|---|"]
        for r in results["runs"]:
            if r["scene"] == scene:
                first = "-" if r["first_output_s"] is None else f"{r['first_output_s']:.1f}"
                load = (f"{r['loadavg_before']:.1f}, {r['loadavg_after']:.1f}" if "loadavg_before" in r
                        else "-")
                lines.append(f"| {r['name']} | {r['wall_s']:.1f} | {r['cpu_s']:.1f} | {r['peak_mb']:.0f} "
                             f"| {r['output_mb']:.0f} | {first} | {load} |")
        lines.append("")

        km = _run(results, scene, "folder, 1 km, land mask")
        if km:
            _target(targets, f"{scene} 1 km, land mask: run / (read + arithmetic)",
                    km["wall_s"] / (f["read_s"] + f["arithmetic_s"]), 1.5)
        native = _run(results, scene, "folder, native, land mask")
        if native and "write_s" in f:
            floor = f["read_s"] + f["arithmetic_s"] + f["kernel_s"] + f["write_s"]
            _target(targets, f"{scene} native: run / (read + arithmetic + kernel + disk write)",
                    native["wall_s"] / floor, 2.0)
        for kind in ("1 km", "native"):
            folder, zipped = (_run(results, scene, f"{w}, {kind}, land mask") for w in ("folder", "zip"))
            if folder and zipped and "inflate_s" in f:
                _target(targets, f"{scene} zip at {kind}: wall / (folder wall + inflation floor)",
                        zipped["wall_s"] / (folder["wall_s"] + f["inflate_s"]), 1.2)
        if "land_s" in f:
            _target(targets, f"{scene} land mask seconds", f["land_s"], 0.5, " s")
            _target(targets, f"{scene} land mask memory", f["land_mb"], 100, " MB")

    serial = _run(results, "IW GRDH", "4 scenes, 1 km, serial")
    two = _run(results, "IW GRDH", "4 scenes, 1 km, --workers 2")
    one = _run(results, "IW GRDH", "4 scenes, 1 km, --workers 1")
    if serial and two:
        _target(targets, "4 scenes: --workers 2 wall / serial wall", two["wall_s"] / serial["wall_s"], 1.0)
    if one and two:
        _target(targets, "4 scenes: 2 x one-worker throughput / two-worker throughput",
                2 * two["wall_s"] / one["wall_s"], 1.1)
    peak = max((r["peak_mb"] for r in results["runs"]), default=None)
    _target(targets, "peak memory of any run (process tree)", peak, PEAK_LIMIT_MB, " MB")
    lines += ["## Targets", ""] + targets + [""]

    geo = results.get("geolocation")
    if geo:
        lines += [(f"## Latitude and longitude: ways of storing them ({geo['lines']} x {geo['pixels']} pixels "
                   f"of the IW scene at native resolution, {geo['raw_float64_mb']:.0f} MB raw in float64)"), "",
                  ("| Storage | MB on disk | Write s (CPU s) | xarray: coordinates of wind_speed, "
                   "`.plot(x=\"longitude\", y=\"latitude\")` | GDAL netCDF driver: geolocation arrays |"),
                  "|---|---|---|---|---|"]
        for option, g in geo["options"].items():
            coords = ", ".join(g["xarray_coords"]) or "none"
            gdal = "X_DATASET, Y_DATASET" if g["gdal_geolocation"] else "none"
            size = f"{g['mb']:.1f}" if g["mb"] >= 0.1 else f"{g['mb'] * 1024:.1f} kB"
            error = f" (rounding at most {g['max_error_m']:.2f} m)" if "max_error_m" in g else ""
            lines.append(f"| {option}{error} | {size} | {g['write_s']:.2f} ({g.get('write_cpu_s', float('nan')):.2f}) "
                         f"| {coords}; {g['xarray_plot']} | {gdal} |")
        lines.append("")

    for kind, prof in results.get("profile", {}).items():
        lines += [f"## Where the time goes: IW GRDH at {kind}", "",
                  f"One in-process run on dask's threads: {prof['wall_s']:.1f} s wall, "
                  f"{prof['all_task_seconds']:.1f} s in tasks. Task seconds by name:", "",
                  "| Task | Seconds |", "|---|---|"]
        lines += [f"| `{name}` | {sec:.1f} |" for name, sec in prof["task_seconds"].items()]
        lines.append("")
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--results", type=Path, default=ROOT / "bench" / "scenes.json")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "SCENES.md")
    args = p.parse_args(argv)
    args.out.write_text(report(json.loads(args.results.read_text())))
    print(f"report in {args.out}")


if __name__ == "__main__":
    main()
