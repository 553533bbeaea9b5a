"""Quicklook PNG of a written wind product: wind speed in image geometry,
masked pixels in grey, with a colour bar. Drawn from a decimated read of
the NetCDF file, so its memory does not grow with the scene."""

import numpy as np

from .atomic import remove_partial_files, write_atomically
from .product import LAND, NO_WIND_BITS

# A picture needs no more pixels than this (a few MB per field).
QUICKLOOK_PIXELS = 2_000_000


def decimated(variable, step):
    """Every `step`-th line and pixel of a 2-D netCDF4 variable, read in
    bands of whole lines (strided reads of compressed variables are slow in
    netCDF-C, and a band holds only a few file chunks)."""
    rows, _ = variable.shape
    band = step * max(1, 256 // step)
    parts = [np.asarray(variable[start:min(start + band, rows), :])[::step, ::step]
             for start in range(0, rows, band)]
    return np.concatenate(parts, axis=0) if parts else np.empty((0, 0))


def write_quicklook(product_path, path, max_pixels=QUICKLOOK_PIXELS):
    """Draws the product at `product_path` (a written NetCDF file) to the
    PNG `path`, atomically, decimated to at most about `max_pixels`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import netCDF4

    with netCDF4.Dataset(product_path) as nc:
        nc.set_auto_mask(False)
        rows, cols = nc.variables["wind_speed"].shape
        step = max(1, int(np.ceil(np.sqrt(rows * cols / max_pixels))))
        speed = decimated(nc.variables["wind_speed"], step).astype(np.float32)
        mask = decimated(nc.variables["mask"], step)
        title = f"{nc.getncattr('sentinel1_product')}\n{nc.getncattr('time_coverage_start')}"
    # Land dark grey, other pixels without wind light grey.
    background = np.full(speed.shape + (3,), 1.0, dtype=np.float32)
    background[(mask & NO_WIND_BITS) != 0] = 0.8
    background[(mask & LAND) != 0] = 0.45
    rows, cols = speed.shape
    extent = (-0.5 * step, (cols - 0.5) * step, (rows - 0.5) * step, -0.5 * step)
    fig, ax = plt.subplots(figsize=(8.0, max(3.0, 8.0 * rows / max(cols, 1))), dpi=100)
    ax.imshow(background, interpolation="nearest", aspect="equal", extent=extent)
    image = ax.imshow(np.ma.masked_invalid(speed), cmap="viridis", vmin=0.0,
                      vmax=max(5.0, float(np.nanpercentile(speed, 99.5)) if np.isfinite(speed).any() else 20.0),
                      interpolation="nearest", aspect="equal", extent=extent)
    fig.colorbar(image, ax=ax, label="wind speed at 10 m (m/s)", shrink=0.8)
    ax.set_title(f"{title}  (grey: no wind; dark grey: land)", fontsize=8)
    ax.set_xlabel("pixel (range)")
    ax.set_ylabel("line (azimuth)")
    fig.tight_layout()
    try:
        remove_partial_files(path)
        write_atomically(path, lambda tmp: fig.savefig(tmp, format="png"))
    finally:
        plt.close(fig)
