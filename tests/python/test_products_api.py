"""The Python API of the products layer: bad arguments refused with a
message naming the argument, the forms of `chunks` xarray users pass, a
parsed scene or an opened one (or a window of it) in place of a path, the
package's public names and its stage messages."""

import logging

import numpy as np
import pytest
import xarray as xr

import quorvane_wind
from quorvane_wind import make_wind_product, open_s1_grd, read_grd_metadata, write_product


@pytest.mark.parametrize("argument, error, words", [
    ({"resolution": "1km"}, ValueError, ["resolution", "'1km'", "without a unit"]),
    ({"resolution": -5}, ValueError, ["positive number of metres", "-5"]),
    ({"resolution": float("inf")}, ValueError, ["positive number of metres"]),
    ({"resolution": 100}, ValueError, ["finer than the product's pixels", "400 m azimuth", "'native'"]),
    ({"resolution": [1000]}, TypeError, ["resolution", "list"]),
    ({"chunks": "big"}, ValueError, ["chunks", "'big'", "'auto'"]),
    ({"chunks": {"line": 50, "row": 3}}, ValueError, ["'row'", "'line', 'pixel'"]),
    ({"chunks": (64, 0)}, ValueError, ["chunks[1] (cols)", "not 0"]),
    ({"chunks": (1, 2, 3)}, ValueError, ["(rows, cols) pair"]),
    ({"chunks": 2.5}, TypeError, ["chunks", "2.5"]),
    ({"era5": None}, TypeError, ["era5 must be ERA5 NetCDF path(s)", "NoneType"]),
    ({"era5": ["a.nc", 3]}, TypeError, ["int 3 among the paths"]),
    ({"polarisation": "VH"}, ValueError, ["polarisation must be one of 'auto', 'VV', 'HH'", "'VH'"]),
    ({"polarisation": None}, TypeError, ["polarisation", "None"]),
    ({"coast_distance_km": "8"}, TypeError, ["coast_distance_km", "'8'"]),
    ({"s1_path": 3}, TypeError, ["s1_path", "GrdScene", "not int"]),
    ({"s1_path": xr.Dataset()}, ValueError, ["open_s1_grd returns", "no sentinel1_path attribute"]),
])
def test_bad_arguments_are_refused_naming_the_argument(products, argument, error, words):
    arguments = {"s1_path": products.clean, "era5": [products.era5_cds], **argument}
    with pytest.raises(error) as caught:
        make_wind_product(**arguments)
    for word in words:
        assert word in str(caught.value), (word, str(caught.value))


def test_chunk_forms_parsed_scene_public_names_and_stage_messages(products, tmp_path, caplog):
    shape = (240, 300)
    chunks = {str(form): open_s1_grd(products.clean, chunks=form)["sigma0"].chunks
              for form in ("auto", None, 64, (64, 64), (64, -1), {"line": 64}, {"line": 64, "pixel": -1},
                           {"pixel": 100})}
    assert chunks["auto"] == chunks["None"] == ((240,), (300,))       # the default: whole lines
    assert chunks["64"] == chunks["(64, 64)"] == ((64, 64, 64, 48), (64, 64, 64, 64, 44))
    assert chunks["(64, -1)"] == chunks[str({"line": 64})] == chunks[str({"line": 64, "pixel": -1})] \
        == ((64, 64, 64, 48), (shape[1],))
    assert chunks[str({"pixel": 100})] == ((240,), (100, 100, 100))

    era5 = [products.era5_cds]
    with caplog.at_level(logging.INFO, logger="quorvane_wind"):
        scene = read_grd_metadata(products.clean)
        from_scene = make_wind_product(scene, era5, resolution=1200, land=False, chunks={"line": 90})
        write_product(from_scene, tmp_path / "wind.nc")
    from_path = make_wind_product(products.clean, era5, resolution="1200", land=False, chunks=(90, "auto"))
    assert from_scene["wind_speed"].chunks == from_path["wind_speed"].chunks == ((30, 30, 20), (100,))
    written = xr.open_dataset(tmp_path / "wind.nc")
    for name in ("wind_speed", "mask", "sigma0", "latitude"):
        np.testing.assert_array_equal(written[name].values, from_path[name].values)
    assert written.attrs["quorvane_options"] == from_path.attrs["quorvane_options"]
    written.close()
    with pytest.raises(ValueError, match="differs from the scene's"):
        make_wind_product(scene, era5, polarisation="HH")
    messages = [r.getMessage() for r in caplog.records if r.name.startswith("quorvane_wind")]
    for stage in ("metadata read", "ERA5 grid (step 1 degree) chosen", "3 x 1 chunks of 90 x 300 pixels",
                  "product written"):
        assert any(stage in m for m in messages), (stage, messages)

    public = {name for name in dir(quorvane_wind) if not name.startswith("_")}
    assert public == set(quorvane_wind.__all__) - {"__version__"}
    assert all(getattr(quorvane_wind, name) is not None for name in quorvane_wind.__all__)
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        quorvane_wind.nothing


def test_an_opened_scene_or_a_window_of_it_makes_the_product_of_those_pixels(products):
    era5 = [products.era5_cds]
    scene = open_s1_grd(products.clean)
    whole = make_wind_product(products.clean, era5, resolution="native").compute()
    from_scene = make_wind_product(scene, era5, resolution="native").compute()
    xr.testing.assert_identical(from_scene.drop_attrs(), whole.drop_attrs())
    # The scene and the product give the same quantities the same names and attributes.
    for name in ("sigma0", "incidence_angle", "look_direction", "latitude", "longitude", "time",
                 "platform_heading", "line", "pixel"):
        assert scene[name].attrs == whole[name].attrs, name
    assert all(scene.attrs[k] == whole.attrs[k] for k in ("sentinel1_product", "sentinel1_mode",
                                                         "sentinel1_polarisation", "orbit_pass"))

    lines, pixels = slice(37, 150), slice(101, 260)
    window = scene.isel(line=lines, pixel=pixels)
    native = make_wind_product(window, era5, resolution="native").compute()
    xr.testing.assert_identical(native.drop_attrs(), whole.isel(line=lines, pixel=pixels).drop_attrs())
    assert native.attrs["sentinel1_window"] == "lines 37 to 149, pixels 101 to 259"
    assert native.attrs["time_coverage_start"].startswith(str(scene["time"].values[37])[:23])
    # ERA5 at the scene's middle time, as for the whole product: a window's
    # values are the whole product's.
    assert native.attrs["era5_time"] == whole.attrs["era5_time"]
    assert whole.attrs["geospatial_lat_min"] < native.attrs["geospatial_lat_min"]
    # Blocks start at the window's first line and pixel: 1200 m is 3 x 3 pixels.
    coarse = make_wind_product(window, era5, resolution=1200, land=False).compute()
    np.testing.assert_array_equal(coarse["line"].values[:2], [38.0, 41.0])
    assert coarse.sizes == {"line": 38, "pixel": 53} and coarse["line"].values[-1] == 148.5
    sigma0 = scene["sigma0"].values[37:40, 101:104]
    assert coarse["sigma0"].values[0, 0] == pytest.approx(sigma0.mean(dtype=np.float64), rel=1e-6)

    for wrong, words in ((scene.isel(line=slice(0, 100, 2)), "line coordinate must be a contiguous range"),
                         (scene.isel(line=slice(2000, 6000)), "selection of lines is empty"),
                         (scene.drop_vars("pixel"), "pixel coordinate must be a contiguous range"),
                         (quorvane_wind.open_s1_grd_averaged(products.clean, 1200), "not an averaged one")):
        with pytest.raises(ValueError, match=words):
            make_wind_product(wrong, era5)
