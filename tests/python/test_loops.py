"""quorvane_wind._loops, the products layer's native pass over the pixels:
the blocks it makes equal, bit for bit, those of the NumPy formulation
(`quorvane_wind.testing.block_reference`), whose sums follow NumPy's own
order; and its arguments are checked before any pixel is read. The same on
products written in the SAFE layout: test_products_loops.py."""

from types import SimpleNamespace

import numpy as np
import pytest

from quorvane_wind import _loops
from quorvane_wind.grid import native_blocks
from quorvane_wind.sentinel1 import AzimuthNoise, AzimuthNoiseBlock, LineVectorLut
from quorvane_wind.testing.block_reference import reference_blocks


def _pairwise(values):
    """NumPy's pairwise sum as the pass (sigma0/pairwise_sum.hpp) writes it."""
    n = len(values)
    if n < 8:
        total = 0.0
        for v in values:
            total += v
        return total
    if n <= 128:
        r = list(values[:8])
        i = 8
        while i < n - n % 8:
            for k in range(8):
                r[k] += values[i + k]
            i += 8
        total = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]))
        for v in values[i:]:
            total += v
        return total
    half = n // 2
    half -= half % 8
    return _pairwise(values[:half]) + _pairwise(values[half:])


def test_numpy_add_reduceat_sums_in_the_order_the_pass_reproduces():
    """The first value plus the pairwise sum of the others, along a strided
    axis (lines) and a contiguous one (pixels), in each regime (below 8, to
    128, beyond); values spread over 16 orders of magnitude, so that a left
    to right sum differs from it often."""
    rng = np.random.default_rng(5)
    left_to_right_differs = 0
    for n in [*range(1, 20), 63, 64, 100, 127, 128, 129, 130, 137, 200, 257, 300]:
        for _ in range(8):
            x = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n)
            expected = x[0] + _pairwise(list(x[1:])) if n > 1 else x[0]
            lines = np.add.reduceat(np.stack([x, -x, 2 * x], axis=1), [0], axis=0)[0, 0]
            two = np.concatenate([x, x[::-1]])
            pixels = np.add.reduceat(np.stack([two, -two]), [0, n], axis=1)[0, 0]
            assert lines == expected and pixels == expected, n
            plain = 0.0
            for v in x:
                plain += v
            left_to_right_differs += plain != expected
    assert left_to_right_differs > 100


class _Edges:
    """Border noise given by its edges, in the two forms the reference and the
    pass take (as `sentinel1.BorderNoise`)."""

    def __init__(self, shape, rng):
        lines, pixels = shape
        self.arrays = (rng.integers(-2, 5, lines), pixels - rng.integers(0, 5, lines),
                       rng.integers(0, 4, pixels), lines - rng.integers(0, 4, pixels))

    def edges(self, dn, rows, cols):
        near_end, far_start, top_end, bottom_start = self.arrays
        r0, c0 = int(rows[0]), int(cols[0])
        return (near_end[r0:r0 + rows.size] - c0, far_start[r0:r0 + rows.size] - c0,
                top_end[c0:c0 + cols.size] - r0, bottom_start[c0:c0 + cols.size] - r0)

    def mask(self, dn, rows, cols):
        near_end, far_start, top_end, bottom_start = self.edges(dn, rows, cols)
        r, c = np.arange(rows.size)[:, None], np.arange(cols.size)[None, :]
        return (c < near_end[:, None]) | (c >= far_start[:, None]) | (r < top_end) | (r >= bottom_start)


def _scene(lines, pixels, rng, vectors, noise):
    """The LUTs of a scene: calibration vectors at `vectors` lines (one: a
    table of one vector), range noise (or none) and three azimuth noise
    blocks, the last overlapping the others."""
    def lut(levels, count):
        at = np.linspace(-5, lines + 5, count).round()
        grid = [np.sort(np.r_[0, rng.choice(np.arange(1, pixels - 1), 6, replace=False), pixels - 1])
                for _ in range(count)]
        return LineVectorLut(at, grid, [levels * (1 + rng.random(g.size)) for g in grid])

    blocks = [AzimuthNoiseBlock(0, lines // 2, 0, pixels // 2, np.array([0.0, lines]), np.array([0.8, 1.2])),
              AzimuthNoiseBlock(lines // 3, lines, pixels // 3, pixels - 1, np.array([0.0, lines]),
                                np.array([1.3, 0.7])),
              AzimuthNoiseBlock(lines // 4, lines // 2, pixels // 4, pixels // 2, np.array([0.0, lines]),
                                np.array([1.0, 1.1]))]
    return SimpleNamespace(calibration=lut(400.0, vectors), noise_range=lut(1.5e5, 4) if noise else None,
                           noise_azimuth=AzimuthNoise(blocks))


@pytest.mark.parametrize("vectors, noise", [(5, True), (1, True), (3, False)])
def test_blocks_equal_the_numpy_formulation_bit_for_bit(vectors, noise):
    """Every output, for factors of each regime of the pairwise sum and odd
    ones, windows at the scene's corner and inside it (partial blocks at
    their far edges), noise near the signal (values of both signs), fill,
    border noise, land (a coast and scattered pixels, blocks all land among
    them), missing noise vectors (NaN NESZ)."""
    rng = np.random.default_rng(vectors)
    lines, pixels = 230, 270
    scene = _scene(lines, pixels, rng, vectors, noise)
    dn_all = np.sqrt(rng.gamma(4.4, 1.0, (lines, pixels)) * 6e4).astype(np.uint16)
    dn_all[rng.random(dn_all.shape) < 0.02] = 0       # ESA's fill
    coast = np.arange(pixels)[None, :] > 150 + np.arange(lines)[:, None] // 3
    land_all = coast | (rng.random((lines, pixels)) < 0.05)
    border = _Edges((lines, pixels), rng)
    for (r0, r1), (c0, c1) in (((0, lines), (0, pixels)), ((17, 201), (5, 250))):
        dn = dn_all[r0:r1, c0:c1]
        for factors in ((1, 1), (2, 3), (9, 1), (7, 13), (20, 20), (100, 100), (131, 9)):
            for edges, land in ((None, None), (border, land_all[r0:r1, c0:c1])):
                with_fraction = land is not None or factors == (20, 20)
                got = native_blocks(scene, dn, (r0, c0), factors, edges, land, with_fraction)
                want = reference_blocks(scene, dn, (r0, c0), factors, edges, land, with_fraction)
                for what, a, b in zip(("sigma0", "nesz", "land_fraction", "valid_count"), got, want):
                    context = ((r0, c0), factors, land is not None, what)
                    if b is None:
                        assert a is None, context
                        continue
                    assert a.dtype == b.dtype and a.shape == b.shape, context
                    assert a.tobytes() == b.tobytes(), context
                if not noise:
                    assert np.isnan(got[1]).all()
                if factors == (20, 20) and land is not None:
                    assert (got[2] == 1.0).any() and np.isnan(got[0][got[2] == 1.0]).all()
                if factors == (2, 3) and noise:
                    assert (got[0] > 0).any() and np.isnan(got[0]).any()


def _arguments(height=4, width=5):
    dn = np.arange(1, height * width + 1, dtype=np.uint16).reshape(height, width)
    lut = (np.full((2, width), 500.0), np.zeros(height, np.int64), np.ones(height, np.int64),
           np.full(height, 0.5), True)
    azimuth = (np.array([[0, height]], np.int64), np.array([[1, 3]], np.int64), np.ones((1, height)))
    return dn, lut, azimuth


def test_block_pass_refuses_wrong_arguments_with_clear_errors():
    dn, lut, azimuth = _arguments()
    sigma0, nesz, fraction, count = _loops.block_pass(dn, (2, 2), lut, lut, azimuth, with_land_fraction=True)
    assert sigma0.shape == nesz.shape == fraction.shape == count.shape == (2, 3)
    assert sigma0.dtype == np.float32 and count.dtype == np.int32 and (fraction == 0).all()
    with pytest.raises(TypeError, match=r"dn: expected an array of uint16 \(or what casts to it safely\), got numpy.float64"):
        _loops.block_pass(dn.astype(np.float64), (2, 2), lut, None, azimuth)
    with pytest.raises(ValueError, match=r"factors: expected at least 1 x 1 pixels, got \(0, 2\)"):
        _loops.block_pass(dn, (0, 2), lut, None, azimuth)
    with pytest.raises(TypeError, match="calibration: expected \\(vectors, lo_index"):
        _loops.block_pass(dn, (2, 2), lut[:4], None, azimuth)
    with pytest.raises(ValueError, match=r"noise_range: expected shape \(n, 5\), got \(2, 4\)"):
        _loops.block_pass(dn, (2, 2), lut, (lut[0][:, :4],) + lut[1:], azimuth)
    with pytest.raises(ValueError, match="calibration: line 3 takes vectors 0 and 2 of 2"):
        _loops.block_pass(dn, (2, 2), (lut[0], lut[1], np.array([1, 1, 1, 2]), lut[3], True), None, azimuth)
    with pytest.raises(ValueError, match="noise_azimuth: block 0 is not within the window's 4 x 5 pixels"):
        _loops.block_pass(dn, (2, 2), lut, lut, (azimuth[0], np.array([[1, 6]]), azimuth[2]))
    with pytest.raises(ValueError, match=r"land: expected shape \(4, 5\)"):
        _loops.block_pass(dn, (2, 2), lut, lut, azimuth, land=np.zeros((4, 4), bool))
    with pytest.raises(ValueError, match=r"border: expected shape \(5,\), got \(4,\)"):
        edges = np.zeros(4, np.int64)
        _loops.block_pass(dn, (2, 2), lut, lut, azimuth, border=(edges, edges, edges, edges))
