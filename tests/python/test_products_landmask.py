"""The land mask: a memory-mapped cache of the GLOBE grid that answers as
the global-land-mask package does, made once and shared by processes."""

import subprocess
import sys

import numpy as np


def test_cached_land_bits_answer_as_the_package_and_stay_small(tmp_path, monkeypatch):
    monkeypatch.setenv("QUORVANE_CACHE", str(tmp_path / "cache"))
    probe = ("import resource, numpy as np\n"
             "from quorvane_wind.landmask import land_mask_block\n"
             "lat, lon = np.meshgrid(np.linspace(50, 52, 200), np.linspace(2, 6, 400), indexing='ij')\n"
             "assert land_mask_block(lat, lon).any()\n"
             "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")
    made = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, made.stderr
    assert [p.suffix for p in (tmp_path / "cache").iterdir()] == [".npy"]
    again = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=300)
    bare = subprocess.run([sys.executable, "-c", "import resource, numpy, xarray\n"
                           "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"],
                          capture_output=True, text=True, timeout=300)
    assert int(again.stdout) - int(bare.stdout) < 100 * 1024   # kB

    from global_land_mask import globe

    from quorvane_wind.landmask import land_mask_block

    rng = np.random.default_rng(5)
    lat = np.concatenate([rng.uniform(-90, 90, 400_000), [90, -90, 89.995, -89.999, 0, 52.4]])
    lon = np.concatenate([rng.uniform(-180, 180, 400_000), [180, -180, 179.999, -179.999, 0, 4.3]])
    # Points on the grid's own lines, where truncation decides the cell.
    lat = np.concatenate([lat, 90 - np.arange(0, 21600, 7) / 120.0])
    lon = np.concatenate([lon, -180 + np.arange(0, 43200, 14)[: 21600 // 7 + 1] / 120.0])
    np.testing.assert_array_equal(land_mask_block(lat, lon), globe.is_land(lat, lon))
    assert land_mask_block(lat, lon).mean() > 0.2
