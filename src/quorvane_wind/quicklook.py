"""Quicklook PNG of a wind product: wind speed in image geometry, masked
pixels in grey, with a colour bar."""

import numpy as np

from .product import LAND, NO_WIND_BITS, write_atomically


def write_quicklook(ds, path):
    """Draws `ds` (a product Dataset, loaded or lazy) to the PNG `path`,
    atomically."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    speed = np.asarray(ds["wind_speed"].values, dtype=np.float32)
    mask = np.asarray(ds["mask"].values)
    # Land dark grey, other pixels without wind light grey.
    background = np.full(speed.shape + (3,), 1.0, dtype=np.float32)
    background[(mask & NO_WIND_BITS) != 0] = 0.8
    background[(mask & LAND) != 0] = 0.45
    rows, cols = speed.shape
    fig, ax = plt.subplots(figsize=(8.0, max(3.0, 8.0 * rows / max(cols, 1))), dpi=100)
    ax.imshow(background, interpolation="nearest", aspect="equal")
    image = ax.imshow(np.ma.masked_invalid(speed), cmap="viridis", vmin=0.0,
                      vmax=max(5.0, float(np.nanpercentile(speed, 99.5)) if np.isfinite(speed).any() else 20.0),
                      interpolation="nearest", aspect="equal")
    fig.colorbar(image, ax=ax, label="wind speed at 10 m (m/s)", shrink=0.8)
    ax.set_title(f"{ds.attrs.get('sentinel1_product', '')}\n{ds.attrs.get('time_coverage_start', '')}"
                 "  (grey: no wind; dark grey: land)", fontsize=8)
    ax.set_xlabel("pixel (range)")
    ax.set_ylabel("line (azimuth)")
    fig.tight_layout()
    try:
        write_atomically(path, lambda tmp: fig.savefig(tmp, format="png"))
    finally:
        plt.close(fig)
