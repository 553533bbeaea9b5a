"""The land mask: a memory-mapped cache of the GLOBE grid that answers as
the global-land-mask package does, made once and shared by processes."""

import os
import shutil
import subprocess
import sys

import numpy as np

# Makes (or maps) the cache and prints the peak memory and the inode of the
# file it mapped; with WORK in the environment it says on stderr when the
# cache's decompression starts, after what it logged until then.
PROBE = """import logging, os, resource, sys, numpy as np
logging.basicConfig(level=logging.INFO, format="%(name)s %(levelname)s %(message)s")
from quorvane_wind import landmask
if os.environ.get("WORK"):
    write = landmask._write_land_bits
    def traced(*args):
        print("WORK", file=sys.stderr, flush=True)
        write(*args)
    landmask._write_land_bits = traced
lat, lon = np.meshgrid(np.linspace(50, 52, 200), np.linspace(2, 6, 400), indexing='ij')
assert landmask.land_mask_block(lat, lon).any()
inode = next(int(line.split()[4]) for line in open("/proc/self/maps") if "globe-land-bits" in line)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, inode)
"""


def test_cache_name_follows_the_archives_content_not_its_dates(tmp_path):
    from quorvane_wind.landmask import _package_archive, cache_name

    copy = shutil.copy(_package_archive(), tmp_path / "archive.npz")
    name = cache_name(copy)
    os.utime(copy, (1e9, 1e9))
    assert cache_name(copy) == name
    with open(copy, "r+b") as archive:       # one byte in the middle changed
        archive.seek(os.path.getsize(copy) // 2)
        byte = archive.read(1)
        archive.seek(-1, os.SEEK_CUR)
        archive.write(bytes([byte[0] ^ 1]))
    assert cache_name(copy) != name


def test_cached_land_bits_answer_as_the_package_and_stay_small(tmp_path, monkeypatch):
    cache = tmp_path / "cache"
    monkeypatch.setenv("QUORVANE_CACHE", str(cache))
    # Copies of older keys and a dead maker's temporary file go; other files stay.
    cache.mkdir()
    stale = ["globe-land-bits-2518022-1796722632.npy", "globe-land-bits-1-0123456789abcdef0123.npy",
             ".globe-land-bits-1-0123456789abcdef0123.npy.0123456789ab.part"]
    for name in stale + ["notes.txt"]:
        (cache / name).write_bytes(b"x")
    # Two processes finding no cache at once: one makes it, both map it.
    env = dict(os.environ, WORK="1")
    makers = [subprocess.Popen([sys.executable, "-c", PROBE], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True) for _ in range(2)]
    made = [maker.communicate(timeout=600) + (maker.returncode,) for maker in makers]
    assert [code for _, _, code in made] == [0, 0], made
    (cached,) = [p for p in cache.iterdir() if p.name != "notes.txt"]
    assert cached.suffix == ".npy" and cached.stat().st_size > 100e6
    assert {int(out.split()[1]) for out, _, _ in made} == {cached.stat().st_ino}
    work = [err for _, err, _ in made if "WORK" in err]
    assert len(work) == 1 and sum(err.count("WORK") for _, err, _ in made) == 1
    said = work[0][:work[0].index("WORK")]
    assert f"quorvane_wind.landmask INFO land mask: making its cache {cached}" in said
    again = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, timeout=300)
    assert again.returncode == 0 and again.stderr == "", again.stderr
    bare = subprocess.run([sys.executable, "-c", "import resource, numpy, xarray\n"
                           "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"],
                          capture_output=True, text=True, timeout=300)
    assert int(again.stdout.split()[0]) - int(bare.stdout) < 100 * 1024   # kB

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
