"""The Sentinel-1 GRD reader and the retrieval on its grid, against products
with a known wind written by examples/s1_grd_fixture.py: calibration, the
three (IW) and five (EW) azimuth noise blocks, geometry, averaging, zips."""

import numpy as np
import pytest

from quorvane_wind.errors import InputError
from quorvane_wind.product import INCIDENCE_OUTSIDE_MODEL, INVALID_SIGMA0, make_wind_product
from quorvane_wind.sentinel1 import open_s1_grd, open_s1_grd_averaged

STEP = 0.01


@pytest.mark.parametrize("layout", ["era5_cds", "era5_legacy"])
def test_noise_free_round_trip_recovers_the_known_wind_to_the_ladder_step(products, layout):
    """DNs made from a known speed and the ERA5 direction, with thermal
    noise added through the LUTs: the product's speed is the truth (on the
    ladder) or, where DN rounding tips the tie, the next step up, on every
    pixel, with either ERA5 layout (speeds are stored as float32)."""
    truth = products.clean_truth
    ds = make_wind_product(products.clean, [getattr(products, layout)], resolution="native",
                           land=False).compute()
    speed = ds["wind_speed"].values.astype(np.float64)
    assert ds["mask"].values.max() == 0 and np.isfinite(speed).all()
    diff = speed - truth.speed
    assert diff.min() >= -STEP * 1e-3 and diff.max() <= STEP * 1.001, (diff.min(), diff.max())
    direction_error = (ds["wind_from_direction"].values - truth.direction + 180.0) % 360.0 - 180.0
    # The legacy file's packed shorts round u and v to about 1e-4 m/s.
    assert np.abs(direction_error).max() < (1e-3 if layout == "era5_cds" else 2e-2)


def test_sigma0_and_geometry_from_calibration_noise_blocks_and_geolocation_grid(products, s1fx):
    truth = products.clean_truth
    ds = open_s1_grd(products.clean).compute()
    ratio = ds["sigma0"].values / truth.sigma0
    cfg = products.clean_cfg
    # Each sub-swath has its own azimuth noise: a reader that applied one
    # block everywhere (or none) would miss by the noise level in the others.
    for first, last in s1fx.sub_swath_bounds(cfg):
        assert np.abs(ratio[:, first:last + 1] - 1.0).max() < 2e-3
    np.testing.assert_allclose(ds["incidence"].values, truth.incidence, atol=1e-5)
    np.testing.assert_allclose(ds["latitude"].values, truth.latitude, atol=1e-9)
    np.testing.assert_allclose(ds["longitude"].values, truth.longitude, atol=1e-9)
    assert ds.attrs["look_azimuth"] == pytest.approx((cfg.heading_deg + 90.0) % 360.0)
    assert ds.attrs["mode"] == "IW" and ds.attrs["polarisation"] == "VV"
    assert ds["azimuth_time"].values[0] == np.datetime64(cfg.start, "ns")


def test_ew_product_with_five_noise_blocks_and_incidence_below_the_model(products, s1fx):
    ds = open_s1_grd(products.ew).compute()
    ratio = ds["sigma0"].values / products.ew_truth.sigma0
    assert len(s1fx.sub_swath_bounds(products.ew_cfg)) == 5
    assert np.abs(ratio - 1.0).max() < 2e-3
    assert ds.attrs["mode"] == "EW"
    # Near range from 16 degrees: below 18 the pixels are flagged, no speed.
    wind = make_wind_product(products.ew, [products.era5_cds], resolution="native", land=False).compute()
    low = wind["incidence_angle"].values < 18.0
    flagged = (wind["mask"].values & INCIDENCE_OUTSIDE_MODEL) != 0
    assert low.any() and not low.all()
    np.testing.assert_array_equal(flagged, low)
    assert np.isnan(wind["wind_speed"].values[low]).all() and np.isfinite(wind["wind_speed"].values[~low]).all()


def test_zip_reads_the_same_as_the_folder(products):
    folder = open_s1_grd(products.clean, chunks=64)
    zipped = open_s1_grd(products.clean_zip, chunks=100)
    for name in ("sigma0", "incidence", "latitude", "longitude"):
        np.testing.assert_array_equal(folder[name].values, zipped[name].values)
    assert zipped.attrs["product_name"] == folder.attrs["product_name"]


def test_averaging_is_linear_mean_of_sigma0_with_geometry_at_block_centres(products, s1fx):
    cfg = products.clean_cfg                     # 400 m pixels: 1200 m is 3 x 3
    native = open_s1_grd(products.clean)["sigma0"].values.astype(np.float64)
    coarse = open_s1_grd_averaged(products.clean, 1200, chunks=50).compute()
    rows, cols = cfg.lines // 3, cfg.samples // 3
    assert coarse.sizes == {"line": rows, "pixel": cols}
    expected = native[: rows * 3, : cols * 3].reshape(rows, 3, cols, 3).mean(axis=(1, 3))
    np.testing.assert_allclose(coarse["sigma0"].values, expected, rtol=1e-6)
    centres_l = np.arange(rows) * 3 + 1.0
    centres_p = np.arange(cols) * 3 + 1.0
    np.testing.assert_array_equal(coarse["line"].values, centres_l)
    lat, lon, inc = s1fx.geometry(cfg, centres_l, centres_p)
    np.testing.assert_allclose(coarse["latitude"].values, lat, atol=1e-9)
    np.testing.assert_allclose(coarse["longitude"].values, lon, atol=1e-9)
    np.testing.assert_allclose(coarse["incidence"].values, inc, atol=1e-5)


def test_non_positive_sigma0_after_noise_removal_is_invalid_not_an_error(products, s1fx, tmp_path):
    """A calm stripe: the model gives (almost) nothing, DNs are the noise
    alone, and after noise removal some pixels are zero or negative. They
    become NaN and are flagged; the rest of the scene is retrieved."""
    cfg = s1fx.GrdConfig(lines=40, samples=60)
    speed = s1fx.truth_speed(cfg, np.arange(cfg.lines), np.arange(cfg.samples))
    speed[:, :20] = 0.0
    path, _ = s1fx.write_grd_product(tmp_path, cfg, speed=speed)
    ds = make_wind_product(path, [products.era5_cds], resolution="native", land=False).compute()
    invalid = (ds["mask"].values & INVALID_SIGMA0) != 0
    assert invalid[:, :20].mean() > 0.3 and not invalid[:, 20:].any()
    assert np.isnan(ds["wind_speed"].values[invalid]).all()
    assert np.isnan(ds["sigma0"].values[invalid]).all()
    assert np.isfinite(ds["wind_speed"].values[:, 20:]).all()


def test_products_without_vv_missing_or_not_safe_name_the_reason(products, tmp_path):
    with pytest.raises(InputError, match=r"no VV polarisation.*HH, HV.*CMOD5.N is a model for VV"):
        open_s1_grd(products.hh)
    with pytest.raises(InputError, match="no such file"):
        open_s1_grd(tmp_path / "missing.SAFE")
    empty = tmp_path / "empty.SAFE"
    empty.mkdir()
    with pytest.raises(InputError, match="no manifest.safe"):
        open_s1_grd(empty)
    assert open_s1_grd(products.hh, polarisation="HH").attrs["polarisation"] == "HH"
