"""Beyond VV over the open sea: HH products through the polarisation ratio,
the noise-equivalent sigma0 and its low-signal bit, land left out of the
sigma0 averages near coasts and the coastal band. The expected values come
from the fixture writer's own formulas and from the global-land-mask
package, not from the products layer."""


import numpy as np
import pytest
import xarray as xr

from quorvane_wind.cli import main
from quorvane_wind.conventions import COASTAL_BAND, CONVERTED_FROM_HH, LAND, LOW_SIGNAL
from quorvane_wind.product import make_wind_product, output_name
from quorvane_wind.sentinel1 import open_s1_grd

STEP = 0.01


@pytest.fixture(scope="module")
def hh_products(tmp_path_factory, s1fx):
    """Noise-free HH + HV products (IW and EW) whose HH DNs are the known
    wind's VV sigma0 divided by the fixture's polarisation ratio, and their
    zips."""
    root = tmp_path_factory.mktemp("hh")
    out = {}
    for mode, extra in (("IW", dict(lines=50, samples=70)),
                        ("EW", dict(lines=60, samples=150, range_spacing_m=800.0, azimuth_spacing_m=800.0,
                                    incidence_near=16.0, incidence_far=47.0))):
        cfg = s1fx.GrdConfig(mode=mode, polarisations=("HH", "HV"), calibration_constant=30000.0,
                             nesz_db=-26.0, **extra)
        path, truth = s1fx.write_grd_product(root / mode, cfg)
        (root / f"{mode}-zip").mkdir()
        out[mode] = (path, s1fx.zip_product(path, root / f"{mode}-zip" / (path.name[:-5] + ".zip")), truth)
    return out


@pytest.mark.parametrize("mode", ["IW", "EW"])
@pytest.mark.parametrize("zipped", [False, True], ids=["folder", "zip"])
def test_hh_round_trip_through_the_polarisation_ratio(hh_products, products, s1fx, mode, zipped):
    folder, zipped_path, truth = hh_products[mode]
    ds = make_wind_product(zipped_path if zipped else folder, [products.era5_cds], resolution="native",
                           land=False).compute()
    speed = ds["wind_speed"].values.astype(np.float64)
    inside = ds["incidence_angle"].values >= 18.0       # EW's near range is outside the model
    assert inside.mean() > 0.8 and np.isfinite(speed[inside]).all()
    diff = speed[inside] - truth.speed[inside]
    assert np.abs(diff).max() <= STEP * 1.001, (diff.min(), diff.max())
    # The sigma0 written is the HH one (1 to 6 dB below VV here; DN rounding
    # costs a few 1e-3 on the darkest pixels).
    ratio = truth.sigma0[inside] / ds["sigma0"].values[inside]
    np.testing.assert_allclose(ratio, s1fx.vv_hh_ratio(truth.incidence[inside]), rtol=5e-3)
    assert ((ds["mask"].values & CONVERTED_FROM_HH) != 0).all()
    assert ds.attrs["sentinel1_polarisation"] == "HH" and "Thompson" in ds.attrs["polarisation_ratio_reference"]
    assert "1 + 0.6 tan^2" in ds.attrs["polarisation_conversion"]


def test_hh_only_product_in_the_command(hh_products, products, tmp_path, capsys):
    """VV asked of an HH-only product fails with one line; auto converts HH
    and records the options, so that other options fail to reuse it."""
    folder = hh_products["IW"][0]
    common = [str(folder), "--era5", str(products.era5_cds), "--output-dir", str(tmp_path), "--no-land-mask"]
    assert main(common + ["--polarisation", "VV"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "no VV polarisation" in err[0] and "HH" in err[0]
    assert main(common) == 0
    with xr.open_dataset(tmp_path / output_name(folder)) as ds:
        assert "polarisation=auto" in ds.attrs["quorvane_options"]
        assert ds.attrs["sentinel1_polarisation"] == "HH"
        flags = ds["mask"].attrs
        assert list(flags["flag_masks"]) == [1, 2, 4, 8, 16, 32, 64, 128, 256]
        assert len(flags["flag_meanings"].split()) == 9 and ds["mask"].dtype == np.uint16
    capsys.readouterr()
    assert main(common + ["--coast-distance", "3"]) == 1
    assert "coast distance km 8" in capsys.readouterr().err


@pytest.mark.parametrize("resolution, factor", [("native", 1), (1000, 10)])
def test_nesz_from_the_luts_and_the_low_signal_rule(products, s1fx, tmp_path, resolution, factor):
    """A speckled scene of light winds on 100 m pixels: NESZ is the mean of
    noise / A^2 of the fixture's LUT formulas over each block; the bit is
    set exactly where sigma0 < 2.6 x NESZ, whatever the block size;
    flagged pixels keep their speed."""
    multiple = 2.6
    cfg = s1fx.GrdConfig(lines=60, samples=80, azimuth_spacing_m=100.0, range_spacing_m=100.0,
                         looks=4.4, seed=5)
    speed = s1fx.truth_speed(cfg, np.arange(cfg.lines), np.arange(cfg.samples), low=0.5, high=9.0)
    path, _ = s1fx.write_grd_product(tmp_path, cfg, speed=speed)
    ds = make_wind_product(path, [products.era5_cds], resolution=resolution, land=False).compute()
    rows, cols = np.arange(cfg.lines), np.arange(cfg.samples)
    nesz = s1fx.noise_at_pixels(cfg, rows, cols) / s1fx.calibration_lut(cfg, rows, cols) ** 2
    nesz = nesz.reshape(cfg.lines // factor, factor, cfg.samples // factor, factor).mean(axis=(1, 3))
    np.testing.assert_allclose(ds["nesz"].values, nesz, rtol=1e-5)

    assert ds["mask"].attrs["low_signal_nesz_multiple"] == multiple
    sigma0 = ds["sigma0"].values.astype(np.float64)
    expected = sigma0 < multiple * ds["nesz"].values.astype(np.float64)
    low = (ds["mask"].values & LOW_SIGNAL) != 0
    np.testing.assert_array_equal(low, expected)
    assert 0.05 < low.mean() < 0.95
    assert np.isfinite(ds["wind_speed"].values[low & np.isfinite(sigma0)]).all()


def test_coast_land_left_out_of_the_averages_fraction_and_band(products, s1fx, tmp_path):
    """100 m pixels across the Dutch coast at IJmuiden, land made bright
    (25 m/s) and the sea calm (4 m/s): each 1 km block's sigma0 is the mean
    of its sea pixels only (land per pixel from global-land-mask), the land
    fraction is the share of its land pixels, and the coastal band holds
    exactly the sea pixels whose land-mask cell lies within 3.4 km of a land
    cell."""
    from global_land_mask import globe

    cfg = s1fx.GrdConfig(lines=150, samples=200, azimuth_spacing_m=100.0, range_spacing_m=100.0,
                         centre_lat=52.40, centre_lon=4.55, heading_deg=-90.0)
    lat, lon, _ = s1fx.geometry(cfg, np.arange(cfg.lines), np.arange(cfg.samples))
    speed = np.where(globe.is_land(lat, lon), 25.0, 4.0)
    path, _ = s1fx.write_grd_product(tmp_path, cfg, speed=speed)
    ds = make_wind_product(path, [products.era5_cds], resolution=1000, coast_distance_km=3.4).compute()

    native = open_s1_grd(path).compute()
    land = globe.is_land(native["latitude"].values, native["longitude"].values)
    sigma0 = native["sigma0"].values.astype(np.float64)

    def blocks(a):
        return a.reshape(cfg.lines // 10, 10, cfg.samples // 10, 10).sum(axis=(1, 3))

    sea_count = blocks(~land)
    with np.errstate(invalid="ignore", divide="ignore"):
        sea_mean = np.where(sea_count > 0, blocks(np.where(land, 0.0, sigma0)) / sea_count, np.nan)
    fraction = blocks(land) / 100.0
    mixed = (fraction > 0.1) & (fraction < 0.9)
    assert mixed.sum() >= 5
    np.testing.assert_allclose(ds["land_fraction"].values, fraction, rtol=1e-6)
    np.testing.assert_allclose(ds["sigma0"].values, sea_mean, rtol=2e-6)
    # The same blocks averaged with their land would be several times brighter.
    assert (blocks(sigma0)[mixed] / 100.0 > 2.0 * sea_mean[mixed]).all()

    # The band, on the 1 km and the native grid, from the package's land at
    # the cell centres around the scene.
    native_product = make_wind_product(path, [products.era5_cds], resolution="native",
                                       coast_distance_km=3.4).compute()
    for product in (ds, native_product):
        band, land_cell = coastal_band_of_cells(globe, product["latitude"].values,
                                                product["longitude"].values, 3.4)
        mask = product["mask"].values
        np.testing.assert_array_equal((mask & COASTAL_BAND) != 0, band)
        np.testing.assert_array_equal((mask & LAND) != 0, land_cell)
        assert band.any() and (~land_cell & ~band).any()
    assert ds["mask"].attrs["coast_distance_km"] == 3.4


def coastal_band_of_cells(globe, lat, lon, distance_km):
    """Whether each point's land-mask cell is a sea cell within `distance_km`
    of a land cell (between cell centres; east-west scaled by the cosine of
    the sea cell's latitude), by brute force; and whether it is land."""
    step = 1.0 / 120.0
    ci = np.floor((90.0 - lat) / step).astype(int)
    cj = np.floor((lon + 180.0) / step).astype(int)
    ii, jj = np.mgrid[ci.min() - 6: ci.max() + 7, cj.min() - 10: cj.max() + 11]
    cell_land = globe.is_land(90.0 - (ii + 0.5) * step, -180.0 + (jj + 0.5) * step)
    li, lj = ii[cell_land], jj[cell_land]
    band = np.zeros(lat.shape, dtype=bool)
    land = np.zeros(lat.shape, dtype=bool)
    cells, where = np.unique(np.stack([ci.ravel(), cj.ravel()], axis=1), axis=0, return_inverse=True)
    for n, (i, j) in enumerate(cells):
        at = (where.ravel() == n).reshape(lat.shape)
        if cell_land[i - ii[0, 0], j - jj[0, 0]]:
            land[at] = True
            continue
        dy = np.radians((li - i) * step)
        dx = np.radians((lj - j) * step) * np.cos(np.radians(90.0 - (i + 0.5) * step))
        band[at] = 6371.0 * np.sqrt(dy ** 2 + dx ** 2).min() <= distance_km
    return band, land


def test_calm_and_icy_era5_take_the_wind_away(products, s1fx, tmp_path):
    """ERA5 without a direction (u10 = v10 = 0) gives every pixel the
    no-ancillary-wind bit and no speed (not 26 m/s at the model's limit);
    ERA5 sea ice at or above 0.15 gives the sea-ice bit and no speed, the
    open water around it keeps its winds; a scene at 52 N with ERA5 files
    without sea ice is made with one warning saying so."""
    from quorvane_wind.conventions import NO_ANCILLARY_WIND, SEA_ICE, SPEED_AT_MODEL_LIMIT
    from quorvane_wind.errors import ProcessingWarning

    calm = s1fx.Era5Field(u0=0.0, v0=0.0, du_dlat=0.0, du_dlon=0.0, dv_dlat=0.0, dv_dlon=0.0,
                          du_dhour=0.0, dv_dhour=0.0)
    calm_file = s1fx.write_era5_cds(tmp_path / "calm.nc", calm, step=1.0,
                                    siconc=lambda lat, lon, t: np.zeros_like(lat))
    ds = make_wind_product(products.clean, calm_file, resolution=1000, land=False).compute()
    mask = ds["mask"].values
    assert ((mask & NO_ANCILLARY_WIND) != 0).all() and not (mask & SPEED_AT_MODEL_LIMIT).any()
    assert np.isnan(ds["wind_speed"].values).all() and np.isnan(ds["wind_speed_uncertainty"].values).all()

    # Ice fraction affine in latitude, so that the bilinear interpolation
    # is exact: 0.15 at 52.0 N.
    def icy(lat, lon, t):
        return np.clip(0.15 + 2.0 * (lat - 52.0), 0.0, 1.0)

    ice_file = s1fx.write_era5_cds(tmp_path / "ice.nc", step=0.25, lat_range=(50.0, 54.0),
                                   lon_range=(330.0, 350.0), siconc=icy)
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds = make_wind_product(products.clean, ice_file, resolution=1000, land=False).compute()
        no_ice_file = s1fx.write_era5_cds(tmp_path / "no_ice.nc", step=1.0, siconc=None)
        without = make_wind_product(products.clean, no_ice_file, resolution=1000, land=False)
    ice_warnings = [w for w in caught if issubclass(w.category, ProcessingWarning) and "sea-ice" in str(w.message)]
    assert len(ice_warnings) == 1 and "siconc" in str(ice_warnings[0].message)
    assert "none" in without.attrs["sea_ice_source"] and "siconc" in ds.attrs["sea_ice_source"]
    lat = ds["latitude"].values
    iced = (ds["mask"].values & SEA_ICE) != 0
    clear = np.abs(lat - 52.0) > 1e-4
    np.testing.assert_array_equal(iced[clear], (lat >= 52.0)[clear])
    assert 0.2 < iced.mean() < 0.8
    assert np.isnan(ds["wind_speed"].values[iced]).all() and np.isfinite(ds["wind_speed"].values[~iced]).all()
    assert ds["mask"].attrs["sea_ice_fraction_threshold"] == 0.15


@pytest.mark.parametrize("pixels, lowest_band", [(1, -2.0), (20, -4.0), (400, -4.0)])
def test_wind_speed_uncertainty_covers_two_thirds_of_the_errors(pixels, lowest_band):
    """The stated uncertainty against errors made independently of the
    products layer: winds, directions and incidences drawn at random, sigma0
    from the NumPy forward model, speckle of `pixels` pixels of 4.4 looks on
    signal plus noise, the noise floor off by 1 dB, the calibration by 1/3 dB
    and the ERA5 direction by 20 degrees (standard deviations), the noise
    subtracted as annotated. In each 2 dB band of signal-to-noise ratio the
    1-sigma uncertainty covers 60 % to 76 % of the errors (a normal error:
    68 %), at native resolution from -2 dB (below it most pixels are not
    positive and cannot be inverted)."""
    from quorvane_wind import uncertainty
    from quorvane_wind.retrieval import sigma0_to_db, wind_speed_block
    from quorvane_wind.testing.cmod5n_forward import sigma0_cmod5n

    rng = np.random.default_rng(7)
    n, looks = 60_000, 4.4
    speed = rng.uniform(2.0, 15.0, n)
    phi = rng.uniform(-180.0, 180.0, n)
    inc = rng.uniform(30.0, 46.0, n)
    snr_db = rng.uniform(-4.0, 8.0, n)
    truth = 10.0 ** (sigma0_cmod5n(speed, phi, inc) / 10.0)
    nesz = truth / 10.0 ** (snr_db / 10.0)
    off = lambda db: 10.0 ** (rng.normal(0.0, db, n) / 10.0)  # noqa: E731
    observed = ((truth + nesz * off(uncertainty.NESZ_UNCERTAINTY_DB)) * off(uncertainty.CALIBRATION_UNCERTAINTY_DB)
                * rng.gamma(pixels * looks, 1.0 / (pixels * looks), n) - nesz)
    era5_phi = np.mod(phi + rng.normal(0.0, uncertainty.DIRECTION_UNCERTAINTY_DEG, n) + 180.0, 360.0) - 180.0
    grid = lambda a: np.asarray(a, dtype=np.float32)[None]  # noqa: E731
    retrieved = wind_speed_block(grid(era5_phi), grid(inc), grid(sigma0_to_db(observed)))[0]
    u_sigma0 = uncertainty.sigma0_uncertainty(observed, nesz, np.full(n, pixels), looks)
    stated = uncertainty.wind_speed_uncertainty(grid(retrieved), grid(era5_phi), grid(inc), grid(observed),
                                                grid(u_sigma0), hh=False)[0]
    covered = np.abs(retrieved - speed) <= stated
    valid = (observed > 0) & (retrieved > 0.0) & (retrieved < 26.0)
    for low in np.arange(lowest_band, 8.0, 2.0):
        band = valid & (snr_db >= low) & (snr_db < low + 2.0)
        assert band.sum() > 3000
        assert 0.60 <= covered[band].mean() <= 0.76, (low, covered[band].mean())


@pytest.mark.parametrize("hh", [False, True], ids=["VV", "HH"])
def test_wind_speed_uncertainty_from_the_table_agrees_with_the_exact_inversions(hh):
    """The table's uncertainty against the exact inversions' on speckled
    pixels (IW and EW incidences, 4.4 and 2.7 looks, single pixels and
    blocks of 100, winds of 0.2 to 25 m/s from any direction): within
    max(0.02 m/s, 2 %) for 99.9 % of the pixels of each kind. Pixels the
    table declines (incidence outside it) take the exact value, bit for
    bit; a speed that is NaN or at the top has none; sigma0's uncertainty
    computed in the table's pass from the blocks' noise and counts gives
    the same bits. A call with few speeds takes the exact inversions."""
    from quorvane_wind import uncertainty
    from quorvane_wind.retrieval import hh_to_vv, polarisation_ratio, sigma0_db_block, wind_speed_block
    from quorvane_wind.testing.cmod5n_forward import sigma0_cmod5n

    rng = np.random.default_rng(11)
    n = 20_000
    for (low, high), looks in (((29.5, 46.0), 4.4), ((16.5, 47.0), 2.7)):
        for pixels in (1, 100):
            speed = np.minimum(rng.weibull(2.0, n) * 8.5, 25.0) + 0.2
            phi = rng.uniform(-180.0, 180.0, n)
            inc = rng.uniform(low, high, n)
            truth = 10.0 ** (sigma0_cmod5n(speed, phi, inc) / 10.0) / (polarisation_ratio(inc) if hh else 1.0)
            nesz = 10.0 ** (rng.uniform(-26.0, -20.0, n) / 10.0)
            observed = (truth + nesz) * rng.gamma(pixels * looks, 1.0 / (pixels * looks), n) - nesz
            keep = observed > 0.0
            phi, inc, observed, nesz = (a[keep].astype(np.float32)[None] for a in (phi, inc, observed, nesz))
            retrieved = wind_speed_block(phi, inc, sigma0_db_block(hh_to_vv(observed, inc) if hh else observed))
            u = uncertainty.sigma0_uncertainty(observed, nesz, np.full(observed.shape, pixels), looks)
            speed32 = retrieved.astype(np.float32)
            args = (phi, inc, observed, u, hh)
            table = uncertainty.wind_speed_uncertainty(speed32, *args, table=True)
            exact = uncertainty.exact_wind_speed_uncertainty(speed32, *args)
            # Few speeds: the exact inversions themselves.
            few = tuple(a[:, :2000] for a in (speed32, phi, inc, observed, u))
            np.testing.assert_array_equal(uncertainty.wind_speed_uncertainty(*few, hh),
                                          np.where(few[0] < 26.0, exact[:, :2000], np.nan))
            assert np.isnan(table[speed32 >= 26.0]).all()
            below = speed32 < 26.0
            close = np.abs(table[below] - exact[below]) <= np.maximum(0.02, 0.02 * exact[below])
            assert close.mean() >= 0.999, (low, pixels, close.mean())
            outside = below & ((inc < 18.0) | (inc > 58.0))
            assert outside.sum() > 100 or low > 18.0
            np.testing.assert_array_equal(table[outside], exact[outside])
            # sigma0's uncertainty in the table's pass: the same bits.
            np.testing.assert_array_equal(uncertainty.block_wind_speed_uncertainty(
                speed32, phi, inc, observed, nesz, np.full(observed.shape, pixels, dtype=np.int32), looks, hh,
                table=True), table)
    nan_speed = uncertainty.wind_speed_uncertainty(np.float32([[np.nan, 26.0, 8.0]]), np.float32([[10.0] * 3]),
                                                   np.float32([[35.0] * 3]), np.float32([[0.05] * 3]),
                                                   np.array([[0.01] * 3]), hh, table=True)
    assert np.isnan(nan_speed[0, :2]).all() and np.isfinite(nan_speed[0, 2])
    # sigma0 minus its uncertainty positive only in float64: not the mirror.
    phi, inc, s = np.float32([[10.0]]), np.float32([[35.0]]), np.float32([[0.05]])
    centre = wind_speed_block(phi, inc, sigma0_db_block(hh_to_vv(s, inc) if hh else s)).astype(np.float32)
    tie = (centre, phi, inc, s)
    u_tie = np.float64(np.float32(0.05)) * (1.0 - 1e-9)
    np.testing.assert_allclose(uncertainty.wind_speed_uncertainty(*tie, np.array([[u_tie]]), hh, table=True),
                               uncertainty.exact_wind_speed_uncertainty(*tie, np.array([[u_tie]]), hh), atol=0.02)


def test_product_uncertainty_covers_two_thirds_of_a_speckled_scenes_errors(s1fx, tmp_path):
    """A speckled product (4.4 looks on signal and noise, NESZ -20 dB) of
    known winds of 2 to 14 m/s from every direction, each 1 km cell with its own errors of what
    the product is told (ERA5 direction off by 20 degrees, calibration by
    1/3 dB, the noise floor by 1 dB): the stated uncertainty covers 60 % to
    76 % of the errors in each 2 dB band of true signal-to-noise ratio, at
    native resolution (from -2 dB) and at 1 km (from -4 dB)."""
    cfg = s1fx.GrdConfig(lines=600, samples=600, azimuth_spacing_m=100.0, range_spacing_m=100.0,
                         polarisations=("VV",), looks=4.4, speckle_noise=True, nesz_db=-20.0, seed=6,
                         direction_error_deg=20.0, calibration_error_db=1.0 / 3.0, nesz_error_db=1.0,
                         error_cell=10)
    cells = np.random.default_rng(6).uniform(2.0, 14.0, (60, 60)).round(2)
    speed = np.kron(cells, np.ones((10, 10)))
    # ERA5 turning through every direction across the scene (0.5 degree).
    wind = s1fx.Era5Field(u0=0.0, v0=0.0, du_dlat=0.0, du_dlon=20.0, dv_dlat=20.0, dv_dlon=0.0)
    era5 = s1fx.write_era5_cds(tmp_path / "era5.nc", wind, step=0.25, lat_range=(50.0, 54.0),
                               lon_range=(330.0, 350.0))
    path, truth = s1fx.write_grd_product(tmp_path, cfg, wind, speed=speed)
    rows, cols = np.arange(cfg.lines), np.arange(cfg.samples)
    nesz = s1fx.noise_at_pixels(cfg, rows, cols) / s1fx.calibration_lut(cfg, rows, cols) ** 2

    def blocks(x):
        return x.reshape(60, 10, 60, 10).mean(axis=(1, 3))

    for resolution, true_speed, snr, lowest in (
            ("native", speed, 10 * np.log10(truth.sigma0 / nesz), -2),
            (1000, cells, 10 * np.log10(blocks(truth.sigma0) / blocks(nesz)), -4)):
        ds = make_wind_product(path, era5, resolution=resolution, land=False).compute()
        wind, stated = ds["wind_speed"].values, ds["wind_speed_uncertainty"].values
        assert np.isnan(stated[np.isnan(wind) | (wind >= 26.0)]).all() and (stated[np.isfinite(stated)] > 0).all()
        covered = np.abs(wind - true_speed) <= stated
        for low in range(lowest, 10, 2):
            band = np.isfinite(wind) & (snr >= low) & (snr < low + 2)
            assert band.sum() >= 150, (resolution, low)
            assert 0.60 <= covered[band].mean() <= 0.76, (resolution, low, covered[band].mean())
