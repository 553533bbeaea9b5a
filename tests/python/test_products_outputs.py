"""The extra outputs of a product: the quicklook map (north up, east right,
the real coastline where the land is drawn, fixed colour scale, what a
report needs around it), the GeoTIFF (its CRS, layout, units and values
against the product's), a scene across the antimeridian, a failing disk,
and the command's options for them."""

import json
import shutil
import subprocess
import sys
import warnings

import matplotlib
import numpy as np
import pytest
import xarray as xr
from matplotlib.colors import to_rgb
from PIL import Image

from quorvane_wind.cli import main
from quorvane_wind.conventions import LAND
from quorvane_wind.netcdf import output_name
from quorvane_wind.quicklook import COLOURMAP, LAND_COLOUR, MAP_KEY, draw_map, read_decimated


@pytest.fixture(scope="module")
def passes(tmp_path_factory, s1fx):
    """A descending and an ascending scene across the Dutch coast (80 x 90
    pixels of 1 km, sea in the west) and one across the antimeridian (HH,
    open sea), with their products, quicklooks and GeoTIFFs."""
    root = tmp_path_factory.mktemp("outputs")
    era5 = s1fx.write_era5_cds(root / "era5.nc", step=1.0)
    scenes = {}
    for name, heading, lat, lon in (("descending", -165.0, 52.4, 4.3), ("ascending", -15.0, 52.4, 4.3),
                                    ("antimeridian", -15.0, -30.0, 179.9)):
        cfg = s1fx.GrdConfig(lines=80, samples=90, azimuth_spacing_m=1000.0, range_spacing_m=1000.0,
                             centre_lat=lat, centre_lon=lon, heading_deg=heading,
                             polarisations=("HH", "HV") if name == "antimeridian" else ("VV", "VH"))
        scenes[name], _ = s1fx.write_grd_product(root / name, cfg)
    out = root / "out"
    assert main([str(scenes[n]) for n in ("descending", "ascending")]
                + ["--era5", str(era5), "--output-dir", str(out), "--quicklook", "--geotiff"]) == 0
    assert main([str(scenes["antimeridian"]), "--era5", str(era5), "--output-dir", str(out),
                 "--quicklook", "--geotiff", "--no-land-mask"]) == 0
    return {name: out / output_name(path) for name, path in scenes.items()} | {"era5": era5}


def patch_at(png, lon, lat):
    """The RGB colours of the quicklook's 7 x 7 pixels at a place, located
    through its map frame."""
    image = Image.open(png)
    frame = json.loads(image.text[MAP_KEY])
    left, top, right, bottom = frame["axes_box"]
    (west, east), (south, north) = frame["xlim"], frame["ylim"]
    assert west < east and south < north       # east on the right, north up
    col = int(left + (lon - west) / (east - west) * (right - left))
    row = int(top + (north - lat) / (north - south) * (bottom - top))
    return np.asarray(image.convert("RGB"))[row - 3:row + 4, col - 3:col + 4].reshape(-1, 3) / 255.0


def is_colour(png, lon, lat, colour):
    """Whether most of the patch at a place has this colour."""
    return np.mean(np.abs(patch_at(png, lon, lat) - to_rgb(colour)).max(axis=1) < 0.02) > 0.5


def drawn_speed(png, lon, lat, speed_range=(0.0, 25.0)):
    """The wind speed whose colour the quicklook draws at a place, read back
    through the colour scale (over the patch's pixels of that scale: an
    arrow may cross the place)."""
    colours = matplotlib.colormaps[COLOURMAP](np.linspace(0.0, 1.0, 256))[:, :3]
    distance = np.abs(patch_at(png, lon, lat)[:, None, :] - colours[None]).max(axis=2)
    of_scale = distance.min(axis=1) < 0.01
    assert of_scale.sum() >= 10
    low, high = speed_range
    return low + float(np.median(distance[of_scale].argmin(axis=1))) / 255.0 * (high - low)


def product_speeds(product, lon, lat, km=1.5):
    """The product's wind speeds within `km` of a place: (lowest, highest)."""
    with xr.open_dataset(product) as ds:
        east = (ds["longitude"].values - lon + 180.0) % 360.0 - 180.0
        north = ds["latitude"].values - lat
        near = np.hypot(east * np.cos(np.radians(lat)), north) * 111.2 < km
        speeds = ds["wind_speed"].values[near]
    assert speeds.size and np.isfinite(speeds).all()
    return speeds.min(), speeds.max()


def assert_drawn_speed(png, product, lon, lat, speed_range=(0.0, 25.0)):
    low, high = product_speeds(product, lon, lat)
    step = (speed_range[1] - speed_range[0]) / 255.0
    assert low - 1.5 * step <= drawn_speed(png, lon, lat, speed_range) <= high + 1.5 * step


@pytest.mark.parametrize("name", ["descending", "ascending"])
def test_quicklook_is_a_north_up_map_with_the_real_coastline(passes, name):
    product = passes[name]
    png = product.with_suffix(".png")
    sea, land = (3.9, 52.45), (4.75, 52.3)
    assert_drawn_speed(png, product, *sea)
    assert is_colour(png, *land, LAND_COLOUR)
    # West to east along 52.4 N: the North Sea, then the coast near IJmuiden
    # (4.55 E), drawn in the land colour or the coastline's black.
    for lon in np.arange(3.9, 4.9, 0.005):
        if is_colour(png, lon, 52.4, LAND_COLOUR) or is_colour(png, lon, 52.4, "black"):
            break
    assert 4.45 < lon < 4.65


def geotiff_against_product(tif, product, window):
    """The GeoTIFF's bands at the product's pixel centres, and over the
    `window` x `window` neighbourhood of each: the product's lowest and
    highest wind speed (where all of it has wind) and its mask (where it is
    one value); neighbourhoods over the scene's edge have neither."""
    import rasterio
    from rasterio.warp import transform
    from scipy.ndimage import maximum_filter, minimum_filter, uniform_filter

    with xr.open_dataset(product) as ds:
        lat, lon = ds["latitude"].values, ds["longitude"].values
        speed, mask = ds["wind_speed"].values, ds["mask"].values.astype(np.float32)
    complete = uniform_filter(np.isfinite(speed).astype(float), window, mode="constant") > 1 - 1e-9
    filled = np.where(np.isfinite(speed), speed, 0.0)
    low, high = minimum_filter(filled, window), maximum_filter(filled, window)
    uniform = minimum_filter(mask, window, mode="constant", cval=-1) == maximum_filter(mask, window)
    with rasterio.open(tif) as r:
        xs, ys = transform("EPSG:4326", r.crs, ((lon + 180) % 360 - 180).ravel().tolist(),
                           lat.ravel().tolist())
        bands = np.array(list(r.sample(zip(xs, ys)))).reshape(lat.shape + (2,))
    return bands, low, high, complete, mask, uniform


@pytest.mark.parametrize("name, crs", [("descending", "EPSG:32631"), ("antimeridian", None)])
def test_geotiff_opens_in_utm_with_the_products_wind_and_mask(passes, name, crs, tmp_path):
    import rasterio

    from quorvane_wind.geotiff import write_geotiff

    product = passes[name]
    tif = product.with_suffix(".tif")
    with rasterio.open(tif) as r:
        assert r.descriptions == ("wind_speed", "mask") and r.dtypes == ("float32", "float32")
        assert r.units == ("m s-1", None)
        assert np.isnan(r.nodata) and r.tags(ns="IMAGE_STRUCTURE")["LAYOUT"] == "COG"
        assert r.crs.to_string() in ({crs} if crs else {"EPSG:32760", "EPSG:32701"})
        assert abs(r.res[0] - 1000.0) < 30 and r.width * r.res[0] < 200_000
    # A GeoTIFF pixel's centre is within 0.7 product pixels of the
    # product's pixel centre it holds, and bilinear weights reach one pixel
    # further: the 5 x 5 neighbourhood bounds its value.
    bands, low, high, inside, mask, uniform = geotiff_against_product(tif, product, 5)
    assert inside.sum() > 2500
    within = (bands[..., 0] >= low - 1e-3) & (bands[..., 0] <= high + 1e-3)
    assert within[inside].all()
    assert (bands[..., 1] == mask)[uniform].all() and ((mask[uniform].astype(int) & LAND) != 0).any() == (
        name != "antimeridian")

    # Averaged over 2 x 2 blocks when the product is larger than allowed.
    averaged = tmp_path / "averaged.tif"
    write_geotiff(product, averaged, max_pixels=80 * 90 // 4)
    with rasterio.open(averaged) as r:
        assert abs(r.res[0] - 2000.0) < 60
    bands, low, high, inside, mask, uniform = geotiff_against_product(averaged, product, 9)
    within = (bands[..., 0] >= low - 1e-3) & (bands[..., 0] <= high + 1e-3)
    assert inside.sum() > 2000 and within[inside].all()


def test_antimeridian_quicklook_is_one_piece(passes):
    product = passes["antimeridian"]
    frame = json.loads(Image.open(product.with_suffix(".png")).text[MAP_KEY])
    assert 179.0 < frame["xlim"][0] < 180.0 < frame["xlim"][1] < 181.0
    for lon in (179.7, 180.1):
        assert_drawn_speed(product.with_suffix(".png"), product, lon, -30.0)


def test_options_reuse_and_a_failed_geotiff(passes, tmp_path, capsys):
    product = passes["ascending"]
    for bad in ("5", "10,5", "a,b", "0,inf"):
        with pytest.raises(SystemExit) as exit_info:
            main(["in.SAFE", "--era5", str(passes["era5"]), "--output-dir", str(tmp_path),
                  "--quicklook-range", bad])
        assert exit_info.value.code == 2
    capsys.readouterr()
    source = next(product.parents[1].glob("ascending/*.SAFE"))
    reused = tmp_path / "reused"
    reused.mkdir()
    shutil.copy(product, reused)
    common = [str(source), "--era5", str(passes["era5"]), "--output-dir", str(reused)]
    # A range alone asks for the quicklook; both extras are drawn from the
    # existing product.
    assert main(common + ["--geotiff", "--quicklook-range", "10,15"]) == 0
    out = capsys.readouterr().out
    png, tif = reused / product.with_suffix(".png").name, reused / product.with_suffix(".tif").name
    assert "skipped" in out and f"written {png}" in out and f"written {tif}" in out
    assert_drawn_speed(png, product, 3.9, 52.45, (10.0, 15.0))

    failed = tmp_path / "failed"
    (failed / tif.name / "in-the-way").mkdir(parents=True)
    assert main([str(source), "--era5", str(passes["era5"]), "--output-dir", str(failed), "--geotiff"]) == 1
    captured = capsys.readouterr()
    assert "1 written" in captured.out and (failed / product.name).is_file()
    assert captured.err.strip().startswith(f"quorvane-wind: {source}: GeoTIFF {failed / tif.name} not written")


def legend_and_arrows(fields, fig, ax):
    """The legend's labels, and the decimated pixel under each ERA5 arrow
    (as a row, column index pair)."""
    from matplotlib.quiver import Quiver

    labels = [t.get_text() for legend in fig.legends for t in legend.texts]
    arrows = [c for c in ax.collections if isinstance(c, Quiver)]
    at = np.empty((2, 0), dtype=int)
    if arrows:
        far = np.hypot(fields["longitude"].ravel()[:, None] - arrows[0].X[None],
                       fields["latitude"].ravel()[:, None] - arrows[0].Y[None])
        assert far.min(axis=0).max() < 1e-9
        at = np.array(np.unravel_index(far.argmin(axis=0), fields["longitude"].shape))
    return labels, at


def test_quicklook_says_what_it_shows_for_a_report(passes, s1fx, tmp_path):
    import matplotlib.pyplot as plt

    from quorvane_wind.conventions import NO_WIND_BITS, SPEED_AT_MODEL_LIMIT
    from quorvane_wind.quicklook import write_quicklook

    shown = {}
    for name in ("descending", "antimeridian"):
        fields = read_decimated(passes[name])
        fig, ax = draw_map(fields)
        labels, arrows = legend_and_arrows(fields, fig, ax)
        texts = " ".join(t.get_text() for t in fig.texts)
        plt.close(fig)
        # "no wind" named exactly when a sea pixel has none.
        no_wind = ((fields["mask"] & NO_WIND_BITS) != 0) & ((fields["mask"] & LAND) == 0)
        assert ("no wind" in labels) == no_wind.any()
        shown[name] = (ax.get_title(), [label for label in labels if label != "no wind"], texts)
        # Arrows over the sea only, many of them.
        assert arrows.shape[1] >= 20 and not (fields["mask"][tuple(arrows)] & LAND).any()
        assert not (fields["mask"] & SPEED_AT_MODEL_LIMIT).any()
    title, labels, texts = shown["descending"]
    assert "wind speed, 2021-04-01 05:26 UTC, descending pass, native pixels of 1000 x 1000 m" in title
    assert "HH" not in title and labels == ["land", "coastline", "ERA5 wind direction"]
    assert "Contains modified Copernicus Sentinel data 2021" in texts
    assert "Contains modified Copernicus Climate Change Service information 2021" in texts
    title, labels, _ = shown["antimeridian"]     # open sea, no land mask
    assert "ascending pass" in title and "converted from HH" in title
    assert labels == ["ERA5 wind direction"]
    assert min(Image.open(passes["descending"].with_suffix(".png")).info["dpi"]) > 199

    # A scene of a single block draws without a warning, as a cell of its size.
    scene, _ = s1fx.write_grd_product(tmp_path / "one", s1fx.GrdConfig(
        lines=8, samples=9, azimuth_spacing_m=100.0, range_spacing_m=100.0))
    assert main([str(scene), "--era5", str(passes["era5"]), "--output-dir", str(tmp_path)]) == 0
    product = tmp_path / output_name(scene)
    with xr.open_dataset(product) as ds:
        assert ds["wind_speed"].shape == (1, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        write_quicklook(product, tmp_path / "one.png")
    frame = json.loads(Image.open(tmp_path / "one.png").text[MAP_KEY])
    assert 0.008 < np.diff(frame["ylim"])[0] < 0.01      # 1 km of latitude
    # A quarter in from the corner, off the arrow at the middle.
    assert_drawn_speed(tmp_path / "one.png", product, np.average(frame["xlim"], weights=(3, 1)),
                       np.average(frame["ylim"], weights=(3, 1)))


def test_a_mask_bit_above_eight_reaches_the_geotiff_and_the_quicklook(passes, tmp_path, monkeypatch):
    """Sea ice (bit 256, a mask of uint16) on the first 30 lines of a
    product: the GeoTIFF keeps the bit, the quicklook names it and draws no
    arrow on it."""
    import matplotlib.pyplot as plt

    from quorvane_wind import quicklook
    from quorvane_wind.geotiff import write_geotiff

    iced = tmp_path / "iced.nc"
    with xr.open_dataset(passes["descending"]) as ds:
        ds = ds.load()
    ice = np.zeros(ds["mask"].shape, dtype=bool)
    ice[:30] = (ds["mask"].values[:30] & LAND) == 0
    ds["mask"] = ds["mask"].astype(np.uint16) | np.where(ice, 256, 0).astype(np.uint16)
    ds["wind_speed"] = ds["wind_speed"].where(~ice)
    ds.to_netcdf(iced)
    write_geotiff(iced, tmp_path / "iced.tif")
    bands, _, _, _, mask, uniform = geotiff_against_product(tmp_path / "iced.tif", iced, 5)
    assert (bands[..., 1] == mask)[uniform].all() and (bands[..., 1][uniform & ice].astype(int) & 256 != 0).sum() > 500

    monkeypatch.setattr(quicklook, "SEA_ICE", 256)
    fields = read_decimated(iced)
    fig, ax = draw_map(fields)
    labels, arrows = legend_and_arrows(fields, fig, ax)
    plt.close(fig)
    assert [label for label in labels if label != "no wind"] == ["land", "sea ice", "coastline",
                                                                 "ERA5 wind direction"]
    assert arrows.shape[1] >= 10 and not (fields["mask"][tuple(arrows)] & (LAND | 256)).any()


# Draws the quicklook and the GeoTIFF of a product where no file may grow
# past 8 kB (a disk that fails a write, as a full one does).
FAILING_DISK = """import resource, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
from quorvane_wind.batch import draw_geotiff, draw_quicklook
print(draw_quicklook(sys.argv[1]))
print(draw_geotiff(sys.argv[1]))
"""


def test_a_failing_disk_is_one_line_per_output_and_nothing_else(passes, tmp_path):
    product = tmp_path / passes["descending"].name
    shutil.copy(passes["descending"], product)
    drawn = subprocess.run([sys.executable, "-c", FAILING_DISK, str(product)], capture_output=True,
                           text=True, timeout=300)
    assert drawn.returncode == 0 and drawn.stderr == ""
    assert drawn.stdout.splitlines() == [
        f"quicklook {tmp_path / product.name.replace('.nc', '.png')} not written ([Errno 27] File too large)",
        f"GeoTIFF {tmp_path / product.name.replace('.nc', '.tif')} not written ([Errno 27] File too large)"]
    assert [p.name for p in tmp_path.iterdir()] == [product.name]


def test_native_products_store_the_geolocation_in_float32(passes, s1fx, tmp_path):
    """At native resolution latitude and longitude are stored in float32
    (in float64 they would be a third of a native product's bytes): the
    float32 rounding of the values computed in float64, across the
    antimeridian too, and every other field as computed; at 1 km float64."""
    import netCDF4

    from quorvane_wind import make_wind_product, write_product

    cfg = s1fx.GrdConfig(lines=40, samples=50, azimuth_spacing_m=1000.0, range_spacing_m=1000.0,
                         centre_lat=-30.0, centre_lon=179.9, heading_deg=-15.0)
    safe, _ = s1fx.write_grd_product(tmp_path / "scene", cfg)
    for resolution, dtype in (("native", np.float32), (1000.0, np.float64)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = make_wind_product(safe, [passes["era5"]], resolution=resolution, land=False).compute()
        path = tmp_path / f"{resolution}.nc"
        write_product(ds, path)
        with netCDF4.Dataset(path) as nc:
            for name in ("latitude", "longitude"):
                assert nc[name].dtype == dtype
                assert np.array_equal(nc[name][:].data, ds[name].values.astype(dtype))
            assert np.array_equal(nc["wind_speed"][:].filled(np.nan), ds["wind_speed"].values, equal_nan=True)
        assert np.ptp(ds["longitude"].values) > 300.0          # across the antimeridian


def test_chunks_compressed_in_threads_make_the_file_netcdf_c_makes_and_every_reader_reads_it(passes, s1fx,
                                                                                                tmp_path):
    """`write_product` (chunks compressed on the computing threads, written
    with direct chunk writes into the file netCDF-C made) gives, variable by
    variable, the file xarray writes through netCDF-C (values bit for bit,
    dtype, chunks, filters, attributes: bench/compare_products.py), whether
    the Dataset is in dask bands of whole chunks with edge chunks on both
    sides, in memory, in bands across file chunks, or computed by a
    distributed client; netCDF-C, xarray's
    netcdf4 and h5netcdf engines and GDAL read it, and neither HDF5 library
    keeps it open."""
    import importlib.util
    import os
    from pathlib import Path

    import rasterio

    from quorvane_wind import make_wind_product, write_product
    from quorvane_wind.netcdf import netcdf_encoding

    spec = importlib.util.spec_from_file_location(
        "compare_products", Path(__file__).parents[2] / "bench" / "compare_products.py")
    compare_products = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(compare_products)

    cfg = s1fx.GrdConfig(lines=200, samples=150, looks=4.0)
    safe, _ = s1fx.write_grd_product(tmp_path / "scene", cfg)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        bands = make_wind_product(safe, [passes["era5"]], resolution="native", land=False, chunks=(48, 64))
        variants = {"bands": bands, "memory": bands.compute(), "across": bands.chunk({"line": (30, 70, 100)})}
        for name, ds in variants.items():
            reference, path = tmp_path / f"{name}-netcdf-c.nc", tmp_path / f"{name}.nc"
            ds.to_netcdf(reference, engine="netcdf4", format="NETCDF4", encoding=netcdf_encoding(ds))
            write_product(ds, path)
            assert compare_products.compare(reference, path) == [], name
    # A distributed client as dask's scheduler: the open file cannot travel
    # to its workers, so netCDF-C writes it as before.
    from distributed import Client

    with Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None):
        write_product(bands, tmp_path / "distributed.nc")
    assert compare_products.compare(tmp_path / "bands-netcdf-c.nc", tmp_path / "distributed.nc") == []
    with xr.open_dataset(path, engine="netcdf4") as c, xr.open_dataset(path, engine="h5netcdf") as h5:
        xr.testing.assert_identical(c, h5)
        assert c["latitude"].dtype == np.float32 and c["wind_speed"].encoding["chunksizes"] == (30, 64)
        np.testing.assert_array_equal(c["wind_speed"].values, bands["wind_speed"].values)
        np.testing.assert_array_equal(c["mask"].values, bands["mask"].values)
    read = {}
    for which in (reference, path):
        with rasterio.open(f'NETCDF:"{which}":wind_speed') as gdal:
            assert gdal.shape == (200, 150)
            read[which] = gdal.read(1)
    assert np.array_equal(read[path], read[reference], equal_nan=True)
    assert any(np.array_equal(read[path], flip(bands["wind_speed"].values), equal_nan=True)
               for flip in (np.asarray, np.flipud))
    held = [os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")]
    assert not any(p.startswith(str(tmp_path)) and p.endswith(".nc") for p in held), held
