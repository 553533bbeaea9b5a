"""A small run of quorvane_wind._loops.block_pass for valgrind's memcheck
(imported from the build folder as `_loops`): blocks of several shapes with
and without noise, border and land, per pixel, and each kind of refused
argument once. Prints what it checked."""
import numpy as np

import _loops

rng = np.random.default_rng(1)
height, width = 37, 29
dn = rng.integers(0, 3000, (height, width)).astype(np.uint16)
vectors = 300.0 + rng.random((3, width))
index = np.arange(height, dtype=np.int64) * 2 // height
lut = (vectors, index, index + 1, rng.random(height), True)
single = (vectors[:1], np.zeros(height, np.int64), np.zeros(height, np.int64), np.zeros(height), False)
azimuth = (np.array([[0, height], [5, 20]], np.int64), np.array([[0, 20], [10, width]], np.int64),
           0.5 + rng.random((2, height)))
border = (np.full(height, 2, np.int64), np.full(height, width - 3, np.int64), np.ones(width, np.int64),
          np.full(width, height - 1, np.int64))
land = rng.random((height, width)) < 0.2
runs = 0
for factors in ((1, 1), (3, 4), (10, 10), (37, 29)):
    for noise in (lut, None):
        for edges in (None, border):
            for mask in (None, land):
                sigma0, nesz, fraction, count = _loops.block_pass(dn, factors, single if edges else lut, noise,
                                                                  azimuth, edges, mask, mask is not None)
                assert sigma0.shape == count.shape == (-(-height // factors[0]), -(-width // factors[1]))
                assert (fraction is None) == (mask is None or factors == (1, 1))
                runs += 1

failures = [
    lambda: _loops.block_pass(dn.astype(np.float64), (2, 2), lut, None, azimuth),
    lambda: _loops.block_pass(dn, (0, 2), lut, None, azimuth),
    lambda: _loops.block_pass(dn, (2, 2), lut[:3], None, azimuth),
    lambda: _loops.block_pass(dn, (2, 2), (vectors, index, index + 2, lut[3], True), None, azimuth),
    lambda: _loops.block_pass(dn, (2, 2), lut, lut, (azimuth[0], azimuth[1] + width, azimuth[2])),
    lambda: _loops.block_pass(dn, (2, 2), lut, lut, azimuth, border[:3]),
    lambda: _loops.block_pass(dn, (2, 2), lut, lut, azimuth, None, land[:, :3]),
    lambda: _loops.block_pass(dn, (2, 2)),
]
for failure in failures:
    try:
        failure()
    except (TypeError, ValueError):
        pass
    else:
        raise AssertionError("accepted")
print(f"block_pass: {runs} runs, {len(failures)} refusals")
