"""Number formats and the chart of the benchmark report (bench/report.py)."""

import numpy as np


def scaled(x, units, base_unit):
    """x in the largest of `units` ((factor, name), largest first) that it
    reaches, else in `base_unit`."""
    for factor, name in units:
        if x >= factor:
            return f"{x / factor:.2f} {name}"
    return f"{x:.1f} {base_unit}"


def fmt_rate(x):
    return scaled(x, ((1e9, "G"), (1e6, "M"), (1e3, "k")), "")


def fmt_ns(ns):
    return scaled(ns, ((1e6, "ms"), (1e3, "µs")), "ns")


def nthreads(t):
    return f"{t} thread" if t == 1 else f"{t} threads"


def verdict(ok):
    return "**met**" if ok else "**not met**"


def make_chart(path, speed_rows, direction_rows, title, hundred_times_reference):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(14, 6.5), gridspec_kw={"width_ratios": [1.25, 1]})
    names = [r["name"] for r in speed_rows]
    values = [r["per_core"] for r in speed_rows]
    colours = [r["colour"] for r in speed_rows]
    y = np.arange(len(names))
    ax1.barh(y, values, color=colours)
    ax1.set_xscale("log")
    ax1.set_yticks(y, names, fontsize=8)
    ax1.invert_yaxis()
    ax1.set_xlabel("pixels per second per core (log scale)")
    ax1.set_title("Wind speed retrieval, realistic scene")
    for yi, v in zip(y, values):
        ax1.text(v * 1.08, yi, fmt_rate(v).strip(), va="center", fontsize=7)
    ax1.set_xlim(min(values) / 3, max(values) * 8)
    ax1.axvline(hundred_times_reference, color="k", linestyle="--", linewidth=0.8)
    ax1.text(hundred_times_reference, len(names) - 0.4, " 100 x reference", fontsize=7, va="bottom")
    ax1.grid(axis="x", which="both", alpha=0.3)

    names = [r["name"] for r in direction_rows]
    values = [r["ns_per_pixel"] for r in direction_rows]
    colours = [r["colour"] for r in direction_rows]
    y = np.arange(len(names))
    ax2.barh(y, values, color=colours)
    ax2.set_yticks(y, names, fontsize=8)
    ax2.invert_yaxis()
    ax2.set_xlabel("wall time per pixel (ns), lower is faster")
    ax2.set_title("Wind direction grid")
    for yi, v in zip(y, values):
        ax2.text(v * 1.01, yi, f"{v:.2f}", va="center", fontsize=7)
    ax2.set_xlim(0, max(values) * 1.2)
    ax2.grid(axis="x", alpha=0.3)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
