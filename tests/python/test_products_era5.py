"""ERA5 files of both CDS layouts: normalisation, the ERA5/ERA5T version
dimension, bilinear interpolation across the 0/360 seam, linear
interpolation in time, files of several grids and split in time, gaps in
time, memory independent of the files' length, coverage errors that name
scene and files, the sea-ice fraction near land, and the index of many files
that a scene reads only two of."""

import pickle
from functools import partial

import numpy as np
import pytest
import xarray as xr

from quorvane_wind.era5 import collocate_era5, era5_instant, index_era5, open_era5
from quorvane_wind.errors import CoverageError, InputError


def points(lat, lon):
    lat = xr.DataArray(np.asarray(lat, dtype=np.float64).reshape(1, -1), dims=("line", "pixel"))
    lon = xr.DataArray(np.asarray(lon, dtype=np.float64).reshape(1, -1), dims=("line", "pixel"))
    return lat, lon


def collocated(era5, lat, lon, time):
    wind = collocate_era5(era5, *points(lat, lon), np.datetime64(time))
    return wind["u10"].values.ravel(), wind["v10"].values.ravel()


@pytest.mark.parametrize("layout", ["era5_cds", "era5_legacy"])
def test_both_layouts_normalise_and_interpolate_to_the_known_field(products, s1fx, layout):
    era5 = open_era5([getattr(products, layout)])
    wind = s1fx.Era5Field()
    lat = np.array([51.3, 52.0, 52.77, 53.5])
    lon = np.array([-20.6, -19.25, -20.0, -21.9])
    # Between two hours, inside the ERA5T part of the legacy file and on
    # the ERA5 part: u and v are affine in space and time, so exact.
    for time in ("2021-04-01T05:26:36", "2021-04-01T06:40:00", "2021-04-01T03:15:00"):
        u, v = collocated(era5, lat, lon, time)
        u_true, v_true = wind.uv(lat, lon, np.datetime64(time))
        tol = 1e-5 if layout == "era5_cds" else 2e-3          # packed shorts
        assert u.dtype == v.dtype == np.float32
        np.testing.assert_allclose(u, u_true, atol=tol)
        np.testing.assert_allclose(v, v_true, atol=tol)
    # A Dataset as opened by xarray serves as well, and dask pixels stay lazy.
    raw = xr.open_dataset(getattr(products, layout))
    lat_, lon_ = (p.chunk({"pixel": 2}) for p in points(lat, lon))
    import cf_xarray  # noqa: F401  (the .cf accessor)

    collocated_ds = collocate_era5(raw, lat_, lon_, np.datetime64(time))
    assert collocated_ds["u10"].chunks == ((1,), (2, 2))
    assert collocated_ds.attrs["source_files"] == [f"{layout}.nc"]
    assert collocated_ds.cf["eastward_wind"].name == "u10" and collocated_ds["v10"].attrs["units"] == "m s-1"
    np.testing.assert_allclose(collocated_ds["v10"].values.ravel(), v_true, atol=tol)


def test_legacy_expver_dimension_takes_each_hour_from_the_version_that_has_it(products):
    raw = xr.open_dataset(products.era5_legacy)
    assert raw.sizes["expver"] == 2 and raw["u10"].encoding["dtype"] == np.int16
    assert "scale_factor" in raw["u10"].encoding and "add_offset" in raw["u10"].encoding
    import netCDF4
    with netCDF4.Dataset(products.era5_legacy) as nc:
        assert nc.data_model == "NETCDF3_64BIT_OFFSET"
    assert bool(raw["u10"].isel(time=-1, expver=0).isnull().all())     # last hours: ERA5T only
    era5 = open_era5([products.era5_legacy])
    u, _ = collocated(era5, [52.0], [-20.0], "2021-04-01T06:30:00")
    assert np.isfinite(u).all()


def test_seam_of_a_global_grid_and_longitude_conventions(products, s1fx, tmp_path):
    """A field continuous across Greenwich, on a 0..359 grid: points on
    either side of 0 (given as -0.5 or 359.5) interpolate between the
    columns 359 and 0 exactly; a regional file in -180..180 works too."""
    wind = s1fx.Era5Field(lat0=2.0, lon0=0.0)
    path = s1fx.write_era5_cds(tmp_path / "global.nc", wind=wind, step=1.0)
    era5 = open_era5(path)
    time = "2021-04-01T05:30:00"
    lat = np.array([2.0, 2.3, 1.6, 2.0])
    lon = np.array([-0.5, 359.5, 0.25, -0.99])
    u, v = collocated(era5, lat, lon, time)
    u_true, v_true = wind.uv(lat, lon, np.datetime64(time))
    np.testing.assert_allclose(u, u_true, atol=1e-5)
    np.testing.assert_allclose(v, v_true, atol=1e-5)
    regional = s1fx.write_era5_legacy(tmp_path / "regional.nc", wind=wind, step=0.25,
                                      lat_range=(-5.0, 10.0), lon_range=(-10.0, 10.0))
    u, v = collocated(open_era5(regional), lat, lon, time)
    np.testing.assert_allclose(u, u_true, atol=2e-3)


def test_files_split_in_time_join_but_a_gap_between_their_times_is_an_error(s1fx, tmp_path):
    wind = s1fx.Era5Field()
    first = s1fx.write_era5_cds(tmp_path / "a.nc", wind, s1fx.era5_times("2021-04-01T03:00", 3), step=1.0)
    second = s1fx.write_era5_cds(tmp_path / "b.nc", wind, s1fx.era5_times("2021-04-01T05:00", 3), step=1.0)
    era5 = open_era5([second, first])
    assert len(era5.grids) == 1 and era5.grids[0].time.size == 5      # 05:00 is in both
    when = np.datetime64("2021-04-01T04:30")
    collocated_ds = collocate_era5(era5, *points([52.0], [-20.0]), when)
    np.testing.assert_allclose(collocated_ds["u10"].values.ravel(), wind.uv(52.0, -20.0, when)[0], atol=1e-5)
    assert collocated_ds.attrs["source_files"] == ["a.nc", "b.nc"]
    # Hourly files of 30 March and 3 April leave 1 April uncovered; a time
    # on an ERA5 hour needs that hour alone, even next to the gap.
    kw = dict(wind=wind, step=0.5, lat_range=(45.0, 60.0), lon_range=(-30.0, -10.0))
    march = s1fx.write_era5_legacy(tmp_path / "0330.nc", times=s1fx.era5_times("2021-03-30T00:00", 24), **kw)
    april = s1fx.write_era5_legacy(tmp_path / "0403.nc", times=s1fx.era5_times("2021-04-03T00:00", 24), **kw)
    era5 = open_era5([march, april])
    with pytest.raises(CoverageError) as gap:
        collocated(era5, [52.0], [-20.0], "2021-04-01T05:26:36")
    message = str(gap.value)
    assert "2021-04-01T05:26:36" in message and "2021-03-30T23:00 and 2021-04-03T00:00" in message
    assert "0330.nc" in message and "0403.nc" in message and "\n" not in message
    u, _ = collocated(era5, [52.0], [-20.0], "2021-03-30T23:00")
    np.testing.assert_allclose(u, wind.uv(52.0, -20.0, np.datetime64("2021-03-30T23:00"))[0], atol=2e-3)
    # A file thinned to 6-hourly steps has no gap between them.
    six = s1fx.write_era5_legacy(tmp_path / "6h.nc", times=s1fx.era5_times("2021-04-01T00:00", 12)[::6], **kw)
    u, _ = collocated(open_era5(six), [52.0], [-20.0], "2021-04-01T05:26:36")
    np.testing.assert_allclose(u, wind.uv(52.0, -20.0, np.datetime64("2021-04-01T05:26:36"))[0], atol=2e-3)
    # Files of one time each have no step of their own: ERA5's hour is the
    # step, so the same days are refused as the hourly files are, and two
    # such files an hour apart bracket a scene.
    single = [s1fx.write_era5_cds(tmp_path / f"one_{k}.nc", times=np.array([np.datetime64(time)]), **kw)
              for k, time in enumerate(("2021-03-30T12:00", "2021-04-03T12:00", "2021-04-03T13:00"))]
    with pytest.raises(CoverageError) as gap:
        collocated(open_era5(single[:2]), [52.0], [-20.0], "2021-04-01T05:26:36")
    assert "time in a gap between 2021-03-30T12:00 and 2021-04-03T12:00, 96 h apart against a step of 1 h" \
        in str(gap.value)
    u, _ = collocated(open_era5(single), [52.0], [-20.0], "2021-04-03T12:20")
    np.testing.assert_allclose(u, wind.uv(52.0, -20.0, np.datetime64("2021-04-03T12:20"))[0], atol=1e-5)


def test_regional_files_of_several_grids_each_scene_reads_a_grid_that_covers_it(s1fx, tmp_path):
    """A coarse global file of two hours, a fine Atlantic grid split in two
    files, and a grid across the antimeridian: each scene is interpolated
    from a grid that covers its area and hours (the finest first)."""
    wind = s1fx.Era5Field()
    coarse = s1fx.write_era5_cds(tmp_path / "global.nc", wind, s1fx.era5_times("2021-04-01T03:00", 2), step=1.0)
    kw = dict(wind=wind, step=0.25, lat_range=(45.0, 60.0), lon_range=(-30.0, -10.0))
    early = s1fx.write_era5_legacy(tmp_path / "atl_a.nc", times=s1fx.era5_times("2021-04-01T03:00", 3), **kw)
    late = s1fx.write_era5_cds(tmp_path / "atl_b.nc", times=s1fx.era5_times("2021-04-01T06:00", 2), **kw)
    pacific = s1fx.write_era5_cds(tmp_path / "pacific.nc", wind, step=0.5, lat_range=(-10.0, 0.0),
                                  lon_range=(170.0, 190.0))
    era5 = open_era5([coarse, early, late, pacific])
    assert len(era5.grids) == 3
    for lat, lon, time, used in ((52.0, -20.0, "2021-04-01T05:30", ["atl_a.nc", "atl_b.nc"]),
                                 (52.0, -20.0, "2021-04-01T03:30", ["atl_a.nc"]),
                                 (10.0, 100.0, "2021-04-01T03:30", ["global.nc"]),
                                 (-5.0, -179.6, "2021-04-01T06:30", ["pacific.nc"])):
        collocated_ds = collocate_era5(era5, *points([lat, lat + 0.3], [lon, lon - 0.3]), np.datetime64(time))
        u_true, v_true = wind.uv([lat, lat + 0.3], [lon, lon - 0.3], np.datetime64(time))
        np.testing.assert_allclose(collocated_ds["u10"].values.ravel(), u_true, atol=2e-3)
        np.testing.assert_allclose(collocated_ds["v10"].values.ravel(), v_true, atol=2e-3)
        assert collocated_ds.attrs["source_files"] == used
    with pytest.raises(CoverageError) as none:
        collocated(era5, [5.0, 5.0], [179.75, -179.75], "2021-04-01T06:30")
    message = str(none.value)
    assert "longitude 179.75 to -179.75 (across the antimeridian)" in message
    assert "longitude 170 to -170.5 (across the antimeridian)" in message
    for name in ("global.nc", "atl_a.nc", "atl_b.nc", "pacific.nc"):
        assert name in message


@pytest.mark.parametrize("layout", ["legacy", "cds_unchunked"])
def test_memory_of_a_collocation_does_not_grow_with_the_hours_in_the_file(s1fx, tmp_path, layout):
    """A month of hours in one unchunked file costs no more than two hours:
    only the bracketing hours are read (tracemalloc sees NumPy's buffers)."""
    import tracemalloc

    write = s1fx.write_era5_legacy if layout == "legacy" else partial(s1fx.write_era5_cds, chunked=False)
    lat, lon = points(np.linspace(51.0, 53.0, 200), np.linspace(-21.0, -19.0, 200))
    peaks = []
    for hours in (2, 744):
        path = write(tmp_path / f"{hours}.nc", times=s1fx.era5_times("2021-04-01T00:00", hours), step=0.5,
                     lat_range=(42.0, 62.0), lon_range=(-30.0, -10.0))
        tracemalloc.start()
        try:
            collocate_era5(open_era5([path]), lat, lon, np.datetime64("2021-04-01T00:30")).compute()
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    one_hour = 41 * 41 * 2 * 4                      # u10 and v10 of one hour as float32
    assert peaks[1] - peaks[0] < 20 * one_hour, peaks


def test_scene_outside_the_files_is_an_error_naming_both(products, s1fx, tmp_path):
    era5 = open_era5([products.era5_cds])
    with pytest.raises(CoverageError) as late:
        collocated(era5, [52.0], [-20.0], "2021-04-02T12:00:00")
    message = str(late.value)
    assert "2021-04-02T12:00:00" in message and "2021-04-01T03:00 to 2021-04-01T07:00" in message
    assert "era5_cds.nc" in message
    regional = s1fx.write_era5_cds(tmp_path / "baltic.nc", step=0.5, lat_range=(53.0, 66.0),
                                   lon_range=(9.0, 31.0))
    with pytest.raises(CoverageError) as away:
        collocated(open_era5(regional), [52.0], [-20.0], "2021-04-01T05:00:00")
    message = str(away.value)
    assert "latitude 52.00 to 52.00" in message and "latitude 53 to 66" in message and "baltic.nc" in message


def test_unreadable_or_incomplete_era5_files(tmp_path):
    with pytest.raises(InputError, match="no such file"):
        open_era5([tmp_path / "missing.nc"])
    junk = tmp_path / "junk.nc"
    junk.write_bytes(b"not a netcdf file")
    with pytest.raises(InputError, match="junk.nc: cannot be read as NetCDF"):
        open_era5([junk])
    no_wind = tmp_path / "t2m.nc"
    xr.Dataset({"t2m": (("time",), [280.0])}, coords={"time": [np.datetime64("2021-04-01")]}).to_netcdf(no_wind)
    with pytest.raises(InputError, match="t2m.nc: has no u10, v10"):
        open_era5([no_wind])


@pytest.mark.parametrize("layout", ["cds", "legacy"])
def test_sea_ice_fraction_between_hours_and_near_land(s1fx, tmp_path, layout):
    """siconc affine in latitude, longitude and time, missing on one land
    node and on the four nodes of a land cell: exact away from land; near
    the land node from the corners that have a value (weights renormalised);
    NaN in the land cell. Sea ice from only one of the two hours read is
    unknown."""
    def siconc(lat, lon, time):
        hours = (time - np.datetime64("2021-04-01T05:00")) / np.timedelta64(3600, "s")
        f = 0.5 + 0.05 * (lat - 70.0) + 0.01 * (lon + 10.0) + 0.02 * hours
        land = ((lat == 71.0) & (lon == -10.0)) | (np.isin(lat, (72.0, 72.5)) & np.isin(lon, (-5.0, -4.5)))
        return np.where(land, np.nan, f)

    write = s1fx.write_era5_cds if layout == "cds" else s1fx.write_era5_legacy
    kw = dict(step=0.5, lat_range=(65.0, 75.0), lon_range=(-20.0, 0.0))
    path = write(tmp_path / "ice.nc", siconc=siconc, **kw)
    time = np.datetime64("2021-04-01T05:30")

    def f(lat, lon):
        return float(siconc(np.float64(lat), np.float64(lon), time))

    lat = [70.3, 71.2, 71.25, 72.2, 66.0]
    lon = [-12.2, -10.0, -10.25, -4.8, -19.0]
    expected = [f(70.3, -12.2),
                f(71.5, -10.0),                   # on the land node's meridian: its neighbour alone
                np.mean([f(71.0, -10.5), f(71.5, -10.5), f(71.5, -10.0)]),    # three equal weights
                np.nan,                           # no corner with a value
                f(66.0, -19.0)]
    tol = 1e-6 if layout == "cds" else 1e-4       # packed shorts
    wind = collocate_era5(open_era5(path), *points(lat, lon), time)
    assert wind["siconc"].dtype == np.float32
    assert wind["siconc"].attrs["standard_name"] == "sea_ice_area_fraction" and wind["siconc"].attrs["units"] == "1"
    np.testing.assert_allclose(wind["siconc"].values.ravel(), expected, atol=tol)
    u_true, _ = s1fx.Era5Field().uv(lat, lon, time)
    np.testing.assert_allclose(wind["u10"].values.ravel(), u_true, atol=1e-5 if layout == "cds" else 2e-3)
    # Hours after 07:00 from a file without siconc: 07:30 reads one file of
    # each, 08:30 only the one without.
    later = s1fx.write_era5_cds(tmp_path / "later.nc", times=s1fx.era5_times("2021-04-01T08:00", 2),
                                siconc=None, **kw)
    era5 = open_era5([path, later])
    for when, has in (("2021-04-01T06:30", True), ("2021-04-01T07:30", False), ("2021-04-01T08:30", False)):
        instant, _ = era5_instant(era5, np.datetime64(when, "ns"), (lat, lon))
        assert instant.has_sea_ice is has
        assert np.isnan(instant.sea_ice_fraction(lat, lon)).all() is not has
        assert ("siconc" in collocate_era5(era5, *points(lat, lon), np.datetime64(when))) is has


def test_index_of_daily_files_pickles_small_and_a_scene_opens_only_the_files_around_it(s1fx, tmp_path):
    """Ten daily files indexed once: the index pickles small before and
    after a read, and a scene opens only the files whose times bracket it
    (the others are replaced by junk after indexing)."""
    wind = s1fx.Era5Field()
    kw = dict(wind=wind, step=0.25, lat_range=(45.0, 60.0), lon_range=(-30.0, -10.0))
    days = [f"2021-04-{d:02d}" for d in range(1, 11)]
    paths = [(s1fx.write_era5_cds if k % 2 else s1fx.write_era5_legacy)(
        tmp_path / f"{day}.nc", times=s1fx.era5_times(f"{day}T00:00", 24), **kw) for k, day in enumerate(days)]
    index = index_era5(paths)
    assert len(index.grids) == 1 and index.grids[0].time.size == 240
    blob = pickle.dumps(index)
    assert len(blob) < 20_000, len(blob)          # 61 x 81 grid: axes once (13.8 kB measured), 240 times
    for path in paths[:3] + paths[5:]:
        path.write_bytes(b"not a netcdf file")
    copy = pickle.loads(blob)
    lat, lon = [52.0, 53.1], [-20.0, -21.3]
    for time, used in (("2021-04-04T23:30", ["2021-04-04.nc", "2021-04-05.nc"]),
                       ("2021-04-05T11:10", ["2021-04-05.nc"])):
        when = np.datetime64(time, "ns")
        instant, files = era5_instant(copy, when, (lat, lon))
        assert files == used
        np.testing.assert_allclose(instant.interpolate(lat, lon)[0], wind.uv(lat, lon, when)[0], atol=2e-3)
    again = pickle.loads(pickle.dumps(copy))       # a used index pickles without its open files
    assert len(pickle.dumps(copy)) == len(blob)
    with pytest.raises(InputError, match="2021-04-06.nc: cannot be read as NetCDF"):
        era5_instant(again, np.datetime64("2021-04-06T12:00", "ns"), (lat, lon))
    s1fx.write_era5_cds(paths[4], times=s1fx.era5_times("2021-04-05T00:00", 12), **kw)
    with pytest.raises(InputError, match="2021-04-05.nc: changed since it was indexed"):
        era5_instant(again, np.datetime64("2021-04-05T11:10", "ns"), (lat, lon))
