"""The native pass (`grid.native_blocks`) on products written in the SAFE
layout: the same blocks, bit for bit, as the NumPy formulation
(`quorvane_wind.testing.block_reference`), with the reader's own LUTs and
border noise."""

import dataclasses
import warnings

import numpy as np
import pytest

from quorvane_wind.errors import ProcessingWarning
from quorvane_wind.grid import native_blocks
from quorvane_wind.sentinel1 import TiffWindows, read_grd_metadata
from quorvane_wind.testing import s1_grd
from quorvane_wind.testing.block_reference import reference_blocks


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    """Speckled products near the noise floor: with border noise (IPF 2.72),
    with range noise vectors only, without noise vectors."""
    root = tmp_path_factory.mktemp("loops")
    base = s1_grd.GrdConfig(lines=230, samples=270, looks=4.4, speckle_noise=True, nesz_db=-18.0,
                            ipf_version="002.72", border_noise=(6, 4, 3, 2))
    out = {}
    for name, cfg in (("border", base),
                      ("range", dataclasses.replace(base, noise_layout="range", border_noise=(0, 0, 0, 0),
                                                    ipf_version="003.31")),
                      ("none", dataclasses.replace(base, noise_layout="none", border_noise=(0, 0, 0, 0),
                                                   ipf_version="003.31"))):
        path, _ = s1_grd.write_grd_product(root / name, cfg)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ProcessingWarning)    # the older noise layouts, as meant
            scene = read_grd_metadata(path)
        measurement, _ = scene.open_measurement()
        out[name] = (scene, measurement)
    return out


@pytest.mark.parametrize("name", ["border", "range", "none"])
def test_blocks_of_products_equal_the_numpy_formulation_bit_for_bit(scenes, name):
    """Every output, for factors of each regime and odd ones, windows at the
    scene's corner and inside it (partial blocks at their far edges), land
    (a coast and scattered pixels, blocks all land among them) and fill."""
    scene, measurement = scenes[name]
    border = scene.border_noise(measurement)
    assert (border is not None) == (name == "border")
    dn_all = TiffWindows(measurement, scene.shape)[:, :]
    rng = np.random.default_rng(3)
    dn_all[rng.random(dn_all.shape) < 0.02] = 0       # ESA's fill
    lines, samples = scene.shape
    coast = np.arange(samples)[None, :] > 150 + np.arange(lines)[:, None] // 3
    land_all = coast | (rng.random(scene.shape) < 0.05)
    for (r0, r1), (c0, c1) in (((0, lines), (0, samples)), ((17, 201), (5, 250))):
        dn = dn_all[r0:r1, c0:c1]
        for factors in ((1, 1), (2, 3), (9, 1), (7, 13), (20, 20), (100, 100), (131, 9)):
            for land in (None, land_all[r0:r1, c0:c1]):
                with_fraction = land is not None or factors == (20, 20)
                got = native_blocks(scene, dn, (r0, c0), factors, border, land, with_fraction)
                want = reference_blocks(scene, dn, (r0, c0), factors, border, land, with_fraction)
                for what, a, b in zip(("sigma0", "nesz", "land_fraction", "valid_count"), got, want):
                    context = (name, (r0, c0), factors, land is not None, what)
                    if b is None:
                        assert a is None, context
                        continue
                    assert a.dtype == b.dtype and a.shape == b.shape, context
                    assert a.tobytes() == b.tobytes(), context
                sigma0 = got[0]
                if name == "none":
                    assert np.isnan(got[1]).all()
                if factors == (20, 20) and land is not None:
                    assert np.isnan(sigma0[got[2] == 1.0]).all() and (got[2] == 1.0).any()
