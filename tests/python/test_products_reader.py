"""The Sentinel-1 GRD reader and the retrieval on its grid, against products
with a known wind written by quorvane_wind.testing.s1_grd: calibration, the
three (IW) and five (EW) azimuth noise blocks, older noise vectors, the
per-pixel look direction, averaging (unbiased near the noise floor), the
border noise of older products, zips and names."""

import dataclasses
import json
import os
import pickle
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pytest
import xarray as xr

from products_fixtures import copy_product
from quorvane_wind.errors import InputError, ProcessingWarning
from quorvane_wind.conventions import INCIDENCE_OUTSIDE_MODEL, INVALID_SIGMA0, LOW_SIGNAL
from quorvane_wind.product import make_wind_product
from quorvane_wind.retrieval import cmod5n_wind_speed, relative_wind_direction, sigma0_to_db
from quorvane_wind import open_s1_grd_averaged
from quorvane_wind.grid import scene_grid
from quorvane_wind.sentinel1 import LineVectorLut, open_s1_grd, product_name, read_grd_metadata
from quorvane_wind.sentinel1.border import has_border_noise
from quorvane_wind.sentinel1.geolocation import geolocation_from_gcp
from quorvane_wind.sentinel1.scene import equivalent_looks

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
    # Low signal (the lightest winds at far range) only informs.
    assert (ds["mask"].values & ~np.uint8(LOW_SIGNAL)).max() == 0 and np.isfinite(speed).all()
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
    np.testing.assert_allclose(ds["incidence_angle"].values, truth.incidence, atol=1e-5)
    np.testing.assert_allclose(ds["latitude"].values, truth.latitude, atol=1e-9)
    np.testing.assert_allclose(ds["longitude"].values, truth.longitude, atol=1e-9)
    assert ds.attrs["mean_look_direction"] == pytest.approx((cfg.heading_deg + 90.0) % 360.0)
    assert ds.attrs["sentinel1_mode"] == "IW" and ds.attrs["sentinel1_polarisation"] == "VV"
    assert ds["time"].values[0] == np.datetime64(cfg.start, "ns")


def test_ew_product_with_five_noise_blocks_and_incidence_below_the_model(products, s1fx):
    ds = open_s1_grd(products.ew).compute()
    ratio = ds["sigma0"].values / products.ew_truth.sigma0
    assert len(s1fx.sub_swath_bounds(products.ew_cfg)) == 5
    assert np.abs(ratio - 1.0).max() < 2e-3
    assert ds.attrs["sentinel1_mode"] == "EW"
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
    for name in ("sigma0", "incidence_angle", "latitude", "longitude", "look_direction"):
        np.testing.assert_array_equal(folder[name].values, zipped[name].values)
    assert zipped.attrs["sentinel1_product"] == folder.attrs["sentinel1_product"]


def test_averaging_keeps_the_edge_blocks_with_geometry_at_their_real_centres(products, s1fx):
    """400 m pixels: 2800 m is 7 x 7, which leaves blocks of 2 lines and of
    6 pixels at the far edges; they are averaged over the pixels they have."""
    cfg = products.clean_cfg
    native = open_s1_grd(products.clean)["sigma0"].values.astype(np.float64)
    coarse = open_s1_grd_averaged(products.clean, 2800, chunks=50).compute()
    starts_l, starts_p = np.arange(0, cfg.lines, 7), np.arange(0, cfg.samples, 7)
    assert coarse.sizes == {"line": starts_l.size, "pixel": starts_p.size}
    expected = np.array([[native[i:i + 7, j:j + 7].mean() for j in starts_p] for i in starts_l])
    np.testing.assert_allclose(coarse["sigma0"].values, expected, rtol=1e-6)
    centres_l = (starts_l + np.minimum(starts_l + 7, cfg.lines) - 1) / 2.0
    centres_p = (starts_p + np.minimum(starts_p + 7, cfg.samples) - 1) / 2.0
    assert centres_l[-1] == 238.5 and centres_p[-1] == 296.5
    np.testing.assert_array_equal(coarse["line"].values, centres_l)
    lat, lon, inc = s1fx.geometry(cfg, centres_l, centres_p)
    np.testing.assert_allclose(coarse["latitude"].values, lat, atol=1e-9)
    np.testing.assert_allclose(coarse["longitude"].values, lon, atol=1e-9)
    np.testing.assert_allclose(coarse["incidence_angle"].values, inc, atol=1e-5)
    look = s1fx.look_azimuth_truth(dataclasses.replace(cfg, pixel_look=True), centres_l, centres_p)
    np.testing.assert_allclose(coarse["look_direction"].values, look, atol=1e-4)
    # The recorded resolution is the block's: 1000 m asked on 400 m pixels is 800 m.
    assert coarse.attrs["spatial_resolution"] == "2800 m"
    assert open_s1_grd_averaged(products.clean, 1000).attrs["spatial_resolution"] == "800 m"


def test_block_means_near_the_noise_floor_keep_the_pixels_below_it(s1fx, tmp_path):
    """Speckle (4.4 looks) on signal and noise alike, winds of 1 to 7 m/s
    under a -22 dB noise floor: true signal-to-noise ratios from -8 to +9 dB
    over 1 km blocks of 10 x 10 pixels. A block mean of the pixels above the
    noise alone is biased high by +0.2, +0.5, +1.0 and +1.9 dB in the bands
    from +4 down to -4 dB; over every valid pixel it is within 0.3 dB, and
    no block of positive SNR is lost. Each block counts its 100 pixels."""
    cfg = s1fx.GrdConfig(lines=300, samples=300, azimuth_spacing_m=100.0, range_spacing_m=100.0,
                         polarisations=("VV",), looks=4.4, speckle_noise=True, nesz_db=-22.0, seed=7)
    speed = np.broadcast_to(np.linspace(1.0, 7.0, cfg.lines)[:, None], cfg.shape).round(2)
    path, truth = s1fx.write_grd_product(tmp_path, cfg, speed=np.ascontiguousarray(speed))
    rows, cols = np.arange(cfg.lines), np.arange(cfg.samples)
    nesz = s1fx.noise_at_pixels(cfg, rows, cols) / s1fx.calibration_lut(cfg, rows, cols) ** 2

    def blocks(x):
        return x.reshape(cfg.lines // 10, 10, cfg.samples // 10, 10).mean(axis=(1, 3))

    true = blocks(truth.sigma0)
    snr = 10 * np.log10(true / blocks(nesz))
    native = open_s1_grd(path)["sigma0"].values
    assert 0.1 < np.isnan(native).mean() < 0.4        # many pixels below the noise: NaN at native resolution
    mean = open_s1_grd_averaged(path, 1000)["sigma0"].values.astype(np.float64)
    assert np.isfinite(mean[snr >= 0]).all()
    for low in (-4, -2, 0, 2):
        band = (snr >= low) & (snr < low + 2) & np.isfinite(mean)
        assert band.sum() > 80
        bias = 10 * np.log10(mean[band].sum() / true[band].sum())
        assert abs(bias) < 0.3, (low, bias)
    grid = scene_grid(read_grd_metadata(path), 1000, chunks=(100, 300))
    counts = np.concatenate([grid.blocks(i, 0).valid_count for i in range(3)])
    assert counts.dtype == np.int32 and (counts == 100).all()
    native_grid = scene_grid(read_grd_metadata(path), "native", chunks=(100, 300)).blocks(0, 0)
    assert (native_grid.valid_count == 1).all() and np.isnan(native_grid.sigma0).any()


def test_border_noise_of_products_before_ipf_2_90_is_masked_and_the_interior_untouched(s1fx, tmp_path):
    """Strips of very low DNs along the four edges (the near- and far-range
    ones changing width along azimuth) are no measurement in a product of
    IPF 002.72, in chunks that hold the edges and in chunks that must read
    them; the same DNs in a product of IPF 003.31 are all measurements, and
    every other pixel reads the same in both. The IPF version and the
    equivalent number of looks are recorded."""
    cfg = s1fx.GrdConfig(lines=48, samples=60, calibration_constant=30000.0, nesz_db=-26.0,
                         ipf_version="002.72", border_noise=(6, 4, 3, 2))
    old, _ = s1fx.write_grd_product(tmp_path / "old", cfg)
    new, _ = s1fx.write_grd_product(tmp_path / "new", dataclasses.replace(cfg, ipf_version="003.31"))
    strips = s1fx.border_noise_pixels(cfg, np.arange(cfg.lines), np.arange(cfg.samples))
    assert strips[:, 3].sum() > strips[:, 5].sum() > 5 and not strips[10:-10, 8:-8].any()
    scenes = {name: read_grd_metadata(path) for name, path in (("old", old), ("new", new))}
    assert scenes["old"].ipf_version == "002.72" and has_border_noise("002.72")

    def valid(scene, chunks):
        grid = scene_grid(scene, "native", chunks=chunks)
        return np.block([[grid.blocks(i, j).valid_count for j in range(len(grid.pixel_bounds))]
                         for i in range(len(grid.line_bounds))])

    # Chunks of 8 x 7 pixels read the strips of the edges they do not hold.
    for chunks in ((8, 7), (-1, -1)):
        np.testing.assert_array_equal(valid(scenes["old"], chunks) == 0, strips)
    assert (valid(scenes["new"], (8, 7)) == 1).all()

    sigma0 = {name: open_s1_grd(path)["sigma0"].values for name, path in (("old", old), ("new", new))}
    assert np.isnan(sigma0["old"][strips]).all() and np.isfinite(sigma0["old"][~strips]).all()
    np.testing.assert_array_equal(sigma0["old"][~strips], sigma0["new"][~strips])
    # Blocks of 6 x 6 pixels (2400 m): the old product's edge blocks are the
    # mean of their interior pixels; the new one's take in the strips, whose
    # noise-corrected values are far below zero.
    averaged = {name: open_s1_grd_averaged(path, 2400)["sigma0"].values for name, path in (("old", old), ("new", new))}
    interior = np.where(strips, 0.0, sigma0["new"].astype(np.float64))
    count = (~strips).reshape(8, 6, 10, 6).sum(axis=(1, 3))
    expected = interior.reshape(8, 6, 10, 6).sum(axis=(1, 3)) / np.maximum(count, 1)
    expected[count * 2 < 36] = np.nan
    np.testing.assert_allclose(averaged["old"], expected, rtol=1e-6)
    edge = np.zeros((8, 10), dtype=bool)
    edge[[0, -1], :] = edge[:, [0, -1]] = True
    assert not (averaged["new"][edge] >= 0.9 * expected[edge]).any()
    np.testing.assert_array_equal(averaged["old"][~edge], averaged["new"][~edge])
    # From IPF 2.90 the strips are zeros, ESA's fill value: no measurement either.
    import rasterio

    filled = copy_product(new, tmp_path / "filled")
    with rasterio.open(next((filled / "measurement").glob("*-vv-*")), "r+") as dst:
        dn = dst.read(1)
        dn[strips] = 0
        dst.write(dn, 1)
    np.testing.assert_array_equal(open_s1_grd_averaged(filled, 2400)["sigma0"].values, averaged["old"])

    attrs = open_s1_grd(old).attrs
    assert attrs["ipf_version"] == "002.72" and attrs["equivalent_number_of_looks"] == 4.4
    assert not any(has_border_noise(v) for v in ("002.90", "2.9", "003.31", None, "x"))
    assert has_border_noise("2.8") and has_border_noise("002.53")
    assert equivalent_looks("S1B_EW_GRDM_1SDH_X", "EW", 40.0) == 10.7
    assert equivalent_looks("renamed", "IW", 40.0) == 81.8 and equivalent_looks("renamed", "IW", 400.0) is None


@pytest.mark.parametrize("lat, lon", [(45.0, 10.0), (76.0, 179.9)])
def test_look_direction_per_pixel_from_the_geolocation_grid_on_the_sphere(s1fx, tmp_path, lat, lon):
    """A swath 150-270 km right of a great-circle track, at mid latitude and
    at 76 N across the antimeridian: the look direction turns across the
    swath by degrees (meridian convergence). The reader's look azimuth is
    the truth's, and through it the known wind comes back; heading + 90
    degrees would miss it."""
    cfg = s1fx.GrdConfig(lines=60, samples=150, azimuth_spacing_m=800.0, range_spacing_m=800.0,
                         geometry="sphere", centre_lat=lat, centre_lon=lon, heading_deg=-12.0,
                         track_offset_km=210.0, calibration_constant=30000.0, nesz_db=-26.0)
    path, truth = s1fx.write_grd_product(tmp_path, cfg)
    ds = open_s1_grd(path).compute()
    error = (ds["look_direction"].values - truth.look_azimuth + 180.0) % 360.0 - 180.0
    assert np.abs(error).max() < 1e-3
    assert ((ds["look_direction"].values >= 0.0) & (ds["look_direction"].values < 360.0)).all()
    convergence = (truth.look_azimuth - cfg.look_azimuth + 180.0) % 360.0 - 180.0
    assert np.ptp(convergence) > (1.0 if lat < 60 else 4.0)

    direction = xr.DataArray(np.radians(truth.direction), dims=("line", "pixel"))
    sigma0_db = xr.apply_ufunc(sigma0_to_db, ds["sigma0"])

    def speed_error(look):
        relative = relative_wind_direction(direction, look)
        speed = cmod5n_wind_speed(relative, ds["incidence_angle"], sigma0_db).values
        return np.abs(speed - truth.speed).max()

    assert speed_error(ds["look_direction"]) <= STEP * 1.001
    assert speed_error(cfg.look_azimuth) > 0.1


def test_noise_of_older_products_and_products_without_noise_vectors(products, s1fx, tmp_path):
    """Older noise XML (noiseVector/noiseLut, no azimuth LUT) is removed,
    with a warning; a product without noise vectors is read with a warning
    and says so;
    two LUT vectors on one line do not make that line NaN."""
    base = dict(lines=40, samples=60, calibration_constant=30000.0, nesz_db=-26.0)
    old_cfg = s1fx.GrdConfig(noise_layout="range", **base)
    old, old_truth = s1fx.write_grd_product(tmp_path / "old", old_cfg)
    with pytest.warns(ProcessingWarning, match=r"older layout \(range vectors only.*without its variation"):
        ds = open_s1_grd(old).compute()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ProcessingWarning)
        open_s1_grd(products.clean)
    assert np.abs(ds["sigma0"].values / old_truth.sigma0 - 1.0).max() < 2e-3
    assert ds.attrs["thermal_noise_removal"].startswith("range LUT")

    bare, bare_truth = s1fx.write_grd_product(tmp_path / "bare", dataclasses.replace(old_cfg, noise_layout="none"))
    with pytest.warns(ProcessingWarning, match="no noise vectors"):
        ds = open_s1_grd(bare).compute()
    assert ds.attrs["thermal_noise_removal"].startswith("none")
    assert (ds["sigma0"].values > bare_truth.sigma0).all()

    lut = LineVectorLut([0, 10, 10], [[0, 9]] * 3, [[1.0, 1.0], [3.0, 3.0], [5.0, 5.0]])
    np.testing.assert_allclose(lut(np.arange(16), [0.0])[:, 0], np.r_[1 + 0.2 * np.arange(11), [3.0] * 5])


def _damage(zip_path, member):
    """Flips one byte in the middle of a member's stored data."""
    with zipfile.ZipFile(zip_path) as archive:
        info = next(i for i in archive.infolist() if i.filename.endswith(member))
    with open(zip_path, "r+b") as f:
        f.seek(info.header_offset + 26)
        name_length, extra_length = np.frombuffer(f.read(4), dtype="<u2")
        f.seek(info.header_offset + 30 + int(name_length) + int(extra_length) + info.compress_size // 2)
        byte = f.read(1)[0]
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([byte ^ 0x5A]))


@pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
def test_damaged_zip_member_fails_the_input_naming_it(products, s1fx, tmp_path, compression):
    path = s1fx.zip_product(products.clean, tmp_path / "damaged.zip", compression=compression)
    measurement = next(p.name for p in (products.clean / "measurement").iterdir() if "-vv-" in p.name)
    _damage(path, measurement)
    with pytest.raises(InputError, match=rf"measurement {measurement} is damaged") as err:
        open_s1_grd(path).compute()
    assert "\n" not in str(err.value)


def test_zipped_measurement_is_unpacked_once_per_process_and_removed_at_exit(products, tmp_path):
    """The window reads pickle to another process (as to dask workers),
    which unpacks the member once for all its windows into its temporary
    folder and leaves nothing behind."""
    sigma0 = open_s1_grd(products.clean_zip, chunks=(16, 100))["sigma0"].data
    (tmp_path / "graph.pickle").write_bytes(pickle.dumps(sigma0))
    script = (
        "import glob, json, os, pickle, sys\n"
        "sigma0 = pickle.loads(open(sys.argv[1], 'rb').read())\n"
        "total = float(sigma0.sum(dtype='f8').compute(scheduler='threads'))\n"
        "copies = glob.glob(os.path.join(os.environ['TMPDIR'], 'quorvane-s1-*'))\n"
        "print(json.dumps([total, len(copies)]))\n")
    env = dict(os.environ, TMPDIR=str(tmp_path), PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "graph.pickle")],
                         capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    total, copies = json.loads(run.stdout.splitlines()[-1])
    assert copies == 1 and sigma0.size > 16 * 100 * 10
    assert total == pytest.approx(float(open_s1_grd(products.clean)["sigma0"].data.sum(dtype="f8")), rel=1e-12)
    assert not list(tmp_path.glob("quorvane-s1-*"))


def test_names_in_any_case_and_references_outside_the_product(products, s1fx, tmp_path):
    assert product_name("/data/S1A_IW_X.SAFE.ZIP") == "S1A_IW_X" == product_name("S1A_IW_X.safe/")
    upper = s1fx.zip_product(products.clean, tmp_path / (products.clean.name[:-5] + ".ZIP"),
                             rename=str.upper)
    with zipfile.ZipFile(upper) as archive:
        assert all(name == name.upper() for name in archive.namelist())
    ds = open_s1_grd(upper)
    assert ds.attrs["sentinel1_product"] == products.clean.name[:-5]
    np.testing.assert_array_equal(ds["sigma0"].values, open_s1_grd(products.clean)["sigma0"].values)

    outside = copy_product(products.clean, tmp_path / "outside")
    manifest = outside / "manifest.safe"
    manifest.write_text(manifest.read_text().replace('href="./annotation/calibration/noise-',
                                                     'href="../../outside/noise-'))
    with pytest.raises(InputError, match=r"manifest reference \.\./\.\./outside/noise-\S+ leaves the product"):
        open_s1_grd(outside)


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
    assert open_s1_grd(products.hh, polarisation="HH").attrs["sentinel1_polarisation"] == "HH"


def test_a_measurement_folder_linked_in_is_read_and_a_link_loop_ends(products, tmp_path):
    """A product whose measurement/ is a symbolic link to a folder elsewhere
    (and which holds a link back to its own parent) reads as the original."""
    import shutil

    product = tmp_path / products.clean.name
    shutil.copytree(products.clean, product, ignore=shutil.ignore_patterns("measurement"))
    shutil.copytree(products.clean / "measurement", tmp_path / "elsewhere")
    (product / "measurement").symlink_to(tmp_path / "elsewhere", target_is_directory=True)
    (product / "annotation" / "loop").symlink_to(product, target_is_directory=True)
    linked = open_s1_grd(product)["sigma0"].values
    np.testing.assert_array_equal(linked, open_s1_grd(products.clean)["sigma0"].values)


@pytest.mark.parametrize("which", ["iw", "ew"])
def test_metadata_is_what_xarray_sentinels_schema_decode_gives(products, s1fx, tmp_path, which):
    """The reader finds the few elements it needs with ElementTree; every
    value must be the one xarray-sentinel's schema decode of the same files
    gives, to the bit (the calibration LUT parsed as float32, as the library
    does: the IW product's default level, 640, makes LUT values that float32
    does not hold exactly), or products would change."""
    from xarray_sentinel import esa_safe, sentinel1

    path = products.ew if which == "ew" else s1fx.write_grd_product(tmp_path / "iw", s1fx.GrdConfig(
        lines=40, samples=60))[0]
    scene = read_grd_metadata(path, "VV")
    annotation, = path.glob("annotation/s1?-*-vv-*.xml")
    calibration, = path.glob("annotation/calibration/calibration-*-vv-*.xml")
    noise, = path.glob("annotation/calibration/noise-*-vv-*.xml")

    common, _ = esa_safe.parse_manifest_sentinel1(str(path / "manifest.safe"))
    assert (scene.mission, scene.mode, scene.orbit_pass) == (f"S1{common['number']}", common["mode"], common["pass"])
    assert (scene.attrs["absolute_orbit"], scene.attrs["relative_orbit"]) == (common["orbit_number"],
                                                                              common["relative_orbit_number"])
    info = esa_safe.parse_tag(str(annotation), "//productInformation")
    image = esa_safe.parse_tag(str(annotation), "//imageInformation")
    assert scene.heading == info["platformHeading"]
    assert scene.shape == (image["numberOfLines"], image["numberOfSamples"])
    assert (scene.first_line_time, scene.last_line_time) == (np.datetime64(image["productFirstLineUtcTime"], "ns"),
                                                             np.datetime64(image["productLastLineUtcTime"], "ns"))
    assert (scene.azimuth_time_interval, scene.range_pixel_spacing, scene.azimuth_pixel_spacing) == (
        image["azimuthTimeInterval"], image["rangePixelSpacing"], image["azimuthPixelSpacing"])

    gcp = sentinel1.open_gcp_dataset(str(annotation))
    for mine, theirs in [("lines", "line"), ("pixels", "pixel"), ("latitude", "latitude"),
                         ("incidence", "incidenceAngle")]:
        np.testing.assert_array_equal(getattr(scene.geolocation, mine), gcp[theirs].values)
    np.testing.assert_array_equal(scene.geolocation.longitude, geolocation_from_gcp(gcp).longitude)   # unwrapped

    cal = sentinel1.open_calibration_dataset(str(calibration))
    np.testing.assert_array_equal(scene.calibration.lines, cal["line"].values)
    for pixels, values, theirs in zip(scene.calibration.pixels, scene.calibration.values, cal["sigmaNought"].values):
        np.testing.assert_array_equal(pixels, cal["pixel"].values)
        np.testing.assert_array_equal(values, theirs)

    ranges = esa_safe.parse_tag_as_list(str(noise), "//noiseRangeVector", "noise")
    assert scene.noise_range is not None and len(scene.noise_range.lines) == len(ranges) > 1
    for line, pixels, values, v in zip(scene.noise_range.lines, scene.noise_range.pixels, scene.noise_range.values,
                                       ranges):
        assert line == v["line"]
        np.testing.assert_array_equal(pixels, np.fromstring(v["pixel"]["$"], sep=" "))
        np.testing.assert_array_equal(values, np.fromstring(v["noiseRangeLut"]["$"], sep=" "))
    azimuths = esa_safe.parse_tag_as_list(str(noise), "//noiseAzimuthVector", "noise")
    assert len(scene.noise_azimuth.blocks) == len(azimuths) >= 3
    for block, v in zip(scene.noise_azimuth.blocks, azimuths):
        assert (block.first_line, block.last_line, block.first_sample, block.last_sample) == (
            v["firstAzimuthLine"], v["lastAzimuthLine"], v["firstRangeSample"], v["lastRangeSample"])
        np.testing.assert_array_equal(block.lines, np.fromstring(v["line"]["$"], sep=" "))
        np.testing.assert_array_equal(block.lut, np.fromstring(v["noiseAzimuthLut"]["$"], sep=" "))
