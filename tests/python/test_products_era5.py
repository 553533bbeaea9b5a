"""ERA5 files of both CDS layouts: normalisation, the ERA5/ERA5T version
dimension, bilinear interpolation across the 0/360 seam, linear
interpolation in time, and coverage errors that name scene and files."""

import numpy as np
import pytest
import xarray as xr

from quorvane_wind.era5 import collocate_era5, open_era5
from quorvane_wind.errors import CoverageError, InputError


def points(lat, lon):
    lat = xr.DataArray(np.asarray(lat, dtype=np.float64).reshape(1, -1), dims=("line", "pixel"))
    lon = xr.DataArray(np.asarray(lon, dtype=np.float64).reshape(1, -1), dims=("line", "pixel"))
    return lat, lon


def collocated(era5, lat, lon, time):
    u, v = collocate_era5(era5, *points(lat, lon), np.datetime64(time))
    return u.values.ravel(), v.values.ravel()


@pytest.mark.parametrize("layout", ["era5_cds", "era5_legacy"])
def test_both_layouts_normalise_and_interpolate_to_the_known_field(products, s1fx, layout):
    era5 = open_era5([getattr(products, layout)])
    assert era5["latitude"].values[0] < era5["latitude"].values[-1]
    assert set(era5.data_vars) == {"u10", "v10"} and "time" in era5.dims
    wind = s1fx.Era5Field()
    lat = np.array([51.3, 52.0, 52.77, 53.5])
    lon = np.array([-20.6, -19.25, -20.0, -21.9])
    # Between two hours, inside the ERA5T part of the legacy file and on
    # the ERA5 part: u and v are affine in space and time, so exact.
    for time in ("2021-04-01T05:26:36", "2021-04-01T06:40:00", "2021-04-01T03:15:00"):
        u, v = collocated(era5, lat, lon, time)
        u_true, v_true = wind.uv(lat, lon, np.datetime64(time))
        tol = 1e-5 if layout == "era5_cds" else 2e-3          # packed shorts
        np.testing.assert_allclose(u, u_true, atol=tol)
        np.testing.assert_allclose(v, v_true, atol=tol)


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


def test_files_split_in_time_are_joined(products, s1fx, tmp_path):
    wind = s1fx.Era5Field()
    first = s1fx.write_era5_cds(tmp_path / "a.nc", wind, s1fx.era5_times("2021-04-01T03:00", 3), step=1.0)
    second = s1fx.write_era5_cds(tmp_path / "b.nc", wind, s1fx.era5_times("2021-04-01T05:00", 3), step=1.0)
    era5 = open_era5([second, first])
    assert era5.sizes["time"] == 5                 # 05:00 is in both
    u, _ = collocated(era5, [52.0], [-20.0], "2021-04-01T04:30:00")
    np.testing.assert_allclose(u, wind.uv(52.0, -20.0, np.datetime64("2021-04-01T04:30"))[0], atol=1e-5)


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
