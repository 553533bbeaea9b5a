"""Quorvane with the tools around it: the NumPy forward model of quorvane_wind.testing,
the synthetic scene, xarray with dask, a dask.distributed cluster and
threadpoolctl."""
import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import Quorvane
from quorvane_wind import retrieval as qx
from quorvane_wind.testing.cmod5n_forward import (
    LADDER_SIZE, MAX_SPEED, ladder_index, ladder_speed, sigma0_cmod5n)
from quorvane_wind.testing.sar_scene import (
    SceneConfig, bilinear_latlon, relative_direction_deg, synthesize_scene,
    wind_components, wind_from_direction_deg)

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    """The script examples/<name>.py as a module, without putting examples/
    on the import path."""
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

speed = Quorvane.python_windspeedCmod5n
angle = Quorvane.python_ERA5_windAngle

# Model values closer than this to the observation are ties: a few units in the
# last place of the math library decide them, in NumPy as in the module.
TIE_DB = 1e-9


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture(scope="module")
def scene():
    """A small scene: 100 x 68 pixels of 2.5 km."""
    return synthesize_scene(SceneConfig(pixel_size_m=2500.0, seed=3))


@pytest.fixture(scope="module")
def scene_inputs(scene):
    direction = angle(scene.u10, scene.v10)
    rel = relative_direction_deg(np.degrees(direction.astype(np.float64)),
                                 scene.look_azimuth_deg).astype(np.float32)
    return scene.u10, scene.v10, rel, scene.inc_angle, scene.sigma0


def random_pixels(n, seed):
    """Directions, incidences and observations over the model's whole domain:
    sigma0 from the model at random speeds (some beyond 26 m/s) plus noise."""
    rng = np.random.default_rng(seed)
    d = rng.uniform(-360, 360, n).astype(np.float32)
    i = rng.uniform(10, 62, n).astype(np.float32)
    v = rng.uniform(0, 28, n)
    s = (sigma0_cmod5n(v, d, i) + rng.normal(0, 1.0, n)).astype(np.float32)
    return d, i, s


class TestForwardModelAgainstModule:
    """The NumPy model and the module's retrieval describe the same function."""

    def test_retrieved_speed_brackets_the_observation(self):
        d, i, s = random_pixels(3000, seed=11)
        v = speed(d[None, :], i[None, :], s[None, :])[0]
        k = ladder_index(v)
        assert np.array_equal(ladder_speed(k), v)          # on the ladder, as products
        at = sigma0_cmod5n(v, d, i) - s
        below = sigma0_cmod5n(ladder_speed(np.maximum(k - 1, 0)), d, i) - s
        clear_at = np.abs(at) > TIE_DB
        clear_below = (np.abs(below) > TIE_DB) | np.isnan(below)
        reached = v < MAX_SPEED
        # model(v) >= sigma0 wherever the ladder was not exhausted ...
        assert np.all(at[reached & clear_at] >= 0)
        # ... and the candidate below had not reached it yet.
        first = k > 0
        assert not np.any(below[first & clear_below] >= 0)
        assert reached.sum() > 2500 and first.sum() > 2500

    def test_first_qualifying_candidate_over_the_whole_ladder(self):
        d, i, s = random_pixels(150, seed=12)
        ladder = ladder_speed(np.arange(LADDER_SIZE))
        diff = sigma0_cmod5n(ladder[None, :], d[:, None], i[:, None]) - s[:, None]
        qualifies = diff >= 0                       # NaN never qualifies
        expected = np.where(qualifies.any(axis=1), ladder[np.argmax(qualifies, axis=1)], MAX_SPEED)
        got = speed(d[None, :], i[None, :], s[None, :])[0]
        ties = (np.abs(diff) < TIE_DB).any(axis=1)
        assert np.array_equal(got[~ties], expected[~ties])
        assert (~ties).sum() > 140

    def test_model_shape(self):
        v = ladder_speed(np.arange(100, 2000))
        # Sigma0 grows with speed for a fixed geometry at these speeds.
        for inc in (20.0, 35.0, 50.0):
            assert np.all(np.diff(sigma0_cmod5n(v, 0.0, inc)) > 0)
        # Upwind above downwind above crosswind at moderate winds; symmetric in direction.
        up, down, cross = (sigma0_cmod5n(10.0, d, 35.0) for d in (0.0, 180.0, 90.0))
        assert up > down > cross
        assert sigma0_cmod5n(10.0, 60.0, 35.0) == sigma0_cmod5n(10.0, -60.0, 35.0)
        # Weaker return at steeper incidence; incidences below 16 act as 16.
        assert sigma0_cmod5n(10.0, 0.0, 30.0) > sigma0_cmod5n(10.0, 0.0, 45.0)
        assert sigma0_cmod5n(7.0, 30.0, 5.0) == sigma0_cmod5n(7.0, 30.0, 16.0)
        # Zero wind gives no return where the S0 branch applies.
        assert sigma0_cmod5n(0.0, 0.0, 30.0) == -np.inf


class TestSyntheticScene:
    def test_geometry(self, scene):
        cfg = scene.config
        assert scene.sigma0.shape == (100, 68) == scene.inc_angle.shape == scene.u10.shape
        assert all(a.dtype == np.float32 for a in (scene.sigma0, scene.inc_angle, scene.u10, scene.v10))
        inc = scene.inc_angle
        assert np.allclose(inc[:, 0], cfg.incidence_near_deg) and np.allclose(inc[:, -1], cfg.incidence_far_deg)
        assert np.all(np.diff(inc, axis=1) > 0) and np.all(inc == inc[:1])
        assert np.all(np.isfinite(scene.sigma0))
        assert np.allclose(np.diff(scene.era5_lat), -0.25) and np.allclose(np.diff(scene.era5_lon), 0.25)
        assert scene.era5_lat[-1] < scene.lat.min() and scene.lat.max() < scene.era5_lat[0]
        assert scene.era5_lon[0] < scene.lon.min() and scene.lon.max() < scene.era5_lon[-1]

    def test_weather_has_structure(self, scene):
        s = scene.true_speed
        assert s.min() < 3.0 and np.percentile(s, 99) > 18.0      # calm centre and strong winds
        spread = np.ptp(np.degrees(np.arctan2(-scene.u10, -scene.v10)) % 360)
        assert spread > 90.0                                     # front and vortex turn the wind

    def test_bilinear_interpolation_reproduces_linear_fields(self):
        glat = np.arange(60.0, 49.75, -0.25)
        glon = np.arange(-30.0, -19.75, 0.25)
        la, lo = np.meshgrid(glat, glon, indexing="ij")
        field = 3.0 * la - 2.0 * lo + 0.5
        rng = np.random.default_rng(0)
        plat, plon = rng.uniform(50, 60, 500), rng.uniform(-30, -20, 500)
        assert np.allclose(bilinear_latlon(field, glat, glon, plat, plon), 3 * plat - 2 * plon + 0.5)
        with pytest.raises(ValueError):
            bilinear_latlon(field, glat, glon, np.array([61.0]), np.array([-25.0]))

    def test_direction_conventions_agree_with_the_module(self):
        rng = np.random.default_rng(5)
        from_dir = rng.uniform(0, 360, (40, 30))
        u, v = wind_components(rng.uniform(1, 25, from_dir.shape), from_dir)
        u, v = u.astype(np.float32), v.astype(np.float32)
        module_deg = np.degrees(angle(u, v).astype(np.float64)) % 360.0
        gap = relative_direction_deg(module_deg, wind_from_direction_deg(u, v))
        assert np.max(np.abs(gap)) < 1e-4
        assert np.max(np.abs(relative_direction_deg(module_deg, from_dir))) < 1e-3
        rel = relative_direction_deg(np.array([78.0, 258.0, 168.0, -12.0]), 78.0)
        assert np.array_equal(rel, [0.0, 180.0, 90.0, -90.0])   # upwind, downwind, crosswind


def whole_grid(scene_inputs):
    u, v, rel, inc, sig = scene_inputs
    return angle(u, v), speed(rel, inc, sig)


def as_dataarrays(scene_inputs, chunks):
    import xarray as xr

    u, v, rel, inc, sig = scene_inputs
    dims = ("azimuth", "range")
    arrays = [xr.DataArray(a, dims=dims) for a in (u, v, rel, inc, sig)]
    if chunks is not None:
        arrays = [a.chunk(chunks) for a in arrays]
    return arrays


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


class TestXarrayDask:
    def test_chunked_results_equal_one_call(self, scene_inputs):
        import dask

        expected_angle, expected_speed = whole_grid(scene_inputs)
        u, v, rel, inc, sig = as_dataarrays(scene_inputs, {"azimuth": 17, "range": 30})
        lazy_angle = qx.era5_wind_direction(u, v)
        lazy_speed = qx.cmod5n_wind_speed(rel, inc, sig)
        assert lazy_speed.chunks == ((17,) * 5 + (15,), (30, 30, 8))
        with dask.config.set(scheduler="threads", num_workers=2):
            got_angle, got_speed = dask.compute(lazy_angle, lazy_speed)
        assert got_speed.attrs["units"] == "m s-1" and got_angle.attrs["units"] == "rad"
        assert same_bits(got_angle.values, expected_angle)
        assert same_bits(got_speed.values, expected_speed)

    def test_broadcast_read_only_and_float64_blocks(self, scene_inputs):
        import dask
        import dask.array as da
        import xarray as xr

        _, expected_speed = whole_grid(scene_inputs)
        _, _, rel, inc, sig = scene_inputs
        # Incidence along range only, sigma0 from a read-only float64 array: the
        # blocks handed to the module would be (1, n), read-only and float64.
        inc_1d = xr.DataArray(inc[0].copy(), dims="range").chunk({"range": 30})
        frozen = sig.astype(np.float64)
        frozen.flags.writeable = False
        sig_ro = xr.DataArray(da.from_array(frozen, chunks=(25, 30)), dims=("azimuth", "range"))
        rel_da = xr.DataArray(rel, dims=("azimuth", "range")).chunk({"azimuth": 25, "range": 30})
        with dask.config.set(scheduler="sync"):
            got = qx.cmod5n_wind_speed(rel_da, inc_1d, sig_ro).compute()
        assert got.dims == ("azimuth", "range")
        assert same_bits(got.values, expected_speed)
        # The module itself refuses such pieces; the block functions exist for that.
        with pytest.raises(ValueError, match="read-only"):
            speed(rel, inc, _read_only(sig))

    def test_numpy_backed_dataarrays(self, scene_inputs):
        expected_angle, expected_speed = whole_grid(scene_inputs)
        u, v, rel, inc, sig = as_dataarrays(scene_inputs, None)
        assert same_bits(qx.era5_wind_direction(u, v).values, expected_angle)
        assert same_bits(qx.cmod5n_wind_speed(rel, inc, sig).values, expected_speed)



def test_distributed_cluster_matches_one_call(scene, scene_inputs):
    """Two worker processes on loopback compute the chunked scene."""
    import dask
    import xarray as xr
    from distributed import Client, LocalCluster

    expected_angle, expected_speed = whole_grid(scene_inputs)
    u, v, _, inc, sig = as_dataarrays(scene_inputs, {"azimuth": 20, "range": 34})
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        client.upload_file(str(EXAMPLES / "quorvane_xarray.py"))
        direction = qx.era5_wind_direction(u, v)
        rel = qx.relative_wind_direction(direction, scene.look_azimuth_deg)
        wind = qx.cmod5n_wind_speed(rel, inc, sig)
        got_angle, got_speed = dask.compute(direction, wind)
        pids = client.run(lambda: __import__("os").getpid())
        assert len(set(pids.values())) == 2
    assert cluster.status.name == "closed"
    assert same_bits(got_angle.values, expected_angle)
    assert same_bits(got_speed.values, expected_speed)
    assert isinstance(got_speed, xr.DataArray)


class TestOpenMPThreads:
    def test_threadpoolctl_finds_the_modules_openmp_runtime(self):
        # In a fresh interpreter: the OpenMP runtime appears with the import of
        # Quorvane, not before (NumPy alone brings none).
        probe = textwrap.dedent("""
            import json, numpy
            from threadpoolctl import threadpool_info
            def openmp():
                return sorted(i["filepath"] for i in threadpool_info() if i["user_api"] == "openmp")
            before = openmp()
            import Quorvane
            after = openmp()
            maps = open("/proc/self/maps").read()
            print(json.dumps({"before": before, "after": after,
                              "mapped": [p for p in after if p in maps]}))
        """)
        out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
        import json
        seen = json.loads(out.stdout)
        new = sorted(set(seen["after"]) - set(seen["before"]))
        assert new, seen
        assert all(p in seen["mapped"] for p in new)

    def test_one_thread_gives_identical_results(self, scene_inputs):
        from threadpoolctl import threadpool_info, threadpool_limits

        expected_angle, expected_speed = whole_grid(scene_inputs)
        with threadpool_limits(limits=1, user_api="openmp"):
            limited = [i["num_threads"] for i in threadpool_info() if i["user_api"] == "openmp"]
            got_angle, got_speed = whole_grid(scene_inputs)
        assert limited and set(limited) == {1}
        assert same_bits(got_angle, expected_angle)
        assert same_bits(got_speed, expected_speed)


def test_main_job_writes_figures_and_summary(tmp_path, capsys):
    import re

    sar_wind_retrieval = load_example("sar_wind_retrieval")

    out = tmp_path / "scene"
    assert sar_wind_retrieval.main(["--pixel-size", "5000", "--out", str(out), "--no-progress"]) == 0
    names = ["sigma0.png", "wind_direction.png", "wind_speed.png",
             "truth_vs_retrieved.png", "error_histogram.png"]
    for name in names:
        data = (out / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10_000, name
    summary = (out / "summary.txt").read_text()
    assert summary in capsys.readouterr().out
    assert "50 x 34 = 1,700 pixels" in summary
    rate = re.search(r"wind speed\s+[\d.]+ s\s+\(([\d,]+) pixels/s\)", summary)
    assert rate and int(rate.group(1).replace(",", "")) > 0
    rmse = float(re.search(r"RMSE ([\d.]+)", summary).group(1))
    assert 0.3 < rmse < 3.0
    noise_free = float(re.search(r"true direction: ([\d.]+) m/s", summary).group(1))
    assert noise_free <= 0.0100001
