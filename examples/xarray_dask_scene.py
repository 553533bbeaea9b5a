#!/usr/bin/env python3
"""Wind retrieval on chunked xarray DataArrays with dask.

The synthetic scene of quorvane_wind.testing.sar_scene becomes an xarray Dataset split into
chunks; the ERA5 direction, the relative direction and the CMOD5.N speed are
lazy `xarray.apply_ufunc(..., dask="parallelized")` computations
(quorvane_xarray.py) that dask runs chunk by chunk, on local threads, on a
local cluster of worker processes, or on a cluster of several machines. The
result is checked against one call of the module on the whole grid.

    python examples/xarray_dask_scene.py                      # local threads
    python examples/xarray_dask_scene.py --local-cluster 2    # 2 worker processes
    python examples/xarray_dask_scene.py --scheduler tcp://head-node:8786
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import xarray as xr

import Quorvane
import quorvane_xarray as qx
from quorvane_wind.testing.sar_scene import SceneConfig, relative_direction_deg, synthesize_scene

HERE = Path(__file__).resolve().parent


def scene_dataset(cfg, chunk):
    """The scene as a chunked Dataset: the inputs a retrieval has (sigma0,
    incidence along range only, ERA5 winds on the pixels) and the truth."""
    s = synthesize_scene(cfg)
    dims = ("azimuth", "range")
    ds = xr.Dataset(
        {
            "sigma0": (dims, s.sigma0, {"units": "dB"}),
            "incidence": (("range",), s.inc_angle[0].copy(), {"units": "degree"}),
            "u10": (dims, s.u10, {"units": "m s-1"}),
            "v10": (dims, s.v10, {"units": "m s-1"}),
            "true_speed": (dims, s.true_speed, {"units": "m s-1"}),
        },
        coords={"azimuth": ("azimuth", s.azimuth_km, {"units": "km"}),
                "range": ("range", s.range_km, {"units": "km"}),
                "lat": (dims, s.lat), "lon": (dims, s.lon)},
        attrs={"look_azimuth_deg": cfg.look_azimuth_deg},
    )
    return ds.chunk({"azimuth": chunk, "range": chunk})


def retrieve(ds):
    """Lazy wind direction and speed for a scene Dataset."""
    direction = qx.era5_wind_direction(ds.u10, ds.v10)
    relative = qx.relative_wind_direction(direction, ds.attrs["look_azimuth_deg"])
    speed = qx.cmod5n_wind_speed(relative, ds.incidence, ds.sigma0)
    return xr.Dataset({"wind_from_direction": direction, "relative_direction": relative,
                       "wind_speed": speed})


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pixel-size", type=float, default=500.0, metavar="METRES",
                   help="pixel spacing of the scene (default 500 m: 500 x 340 pixels)")
    p.add_argument("--chunk", type=int, default=128, help="chunk edge in pixels (default 128)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of a running dask scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--local-cluster", type=int, metavar="N",
                       help="start a local cluster of N single-threaded worker processes")
    args = p.parse_args(argv)

    client = cluster = None
    if args.scheduler or args.local_cluster:
        from distributed import Client, LocalCluster
        if args.scheduler:
            client = Client(args.scheduler)
        else:
            cluster = LocalCluster(n_workers=args.local_cluster, threads_per_worker=1,
                                   host="127.0.0.1", dashboard_address=None)
            client = Client(cluster)
        # The workers import the block functions under the examples' name; Quorvane
        # and quorvane_wind (the `products` extra) must be installed there.
        client.upload_file(str(HERE / "quorvane_xarray.py"))
        print(f"dask cluster: {len(client.scheduler_info()['workers'])} workers")

    try:
        ds = scene_dataset(SceneConfig(pixel_size_m=args.pixel_size), args.chunk)
        print(f"scene {dict(ds.sizes)}, chunks {ds.sigma0.data.chunksize}, "
              f"{ds.sigma0.data.npartitions} chunks per variable")
        lazy = retrieve(ds)
        t0 = time.perf_counter()
        result = lazy.compute()
        elapsed = time.perf_counter() - t0
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()

    # The same retrieval in one call per function on the whole grid.
    u, v = ds.u10.values, ds.v10.values
    direction = Quorvane.python_ERA5_windAngle(u, v)
    rel = relative_direction_deg(np.degrees(direction.astype(np.float64)),
                                 ds.attrs["look_azimuth_deg"]).astype(np.float32)
    inc = np.broadcast_to(ds.incidence.values, u.shape).copy()
    speed = Quorvane.python_windspeedCmod5n(rel, inc, ds.sigma0.values)
    same = (np.array_equal(result.wind_from_direction.values, direction, equal_nan=True)
            and np.array_equal(result.wind_speed.values, speed))

    err = result.wind_speed - ds.true_speed
    n = result.wind_speed.size
    print(f"retrieved {n:,} pixels in {elapsed:.2f} s ({n / elapsed:,.0f} pixels/s)")
    print(f"speed error: bias {float(err.mean()):+.3f} m/s, RMSE {float(np.sqrt((err ** 2).mean())):.3f} m/s")
    print("chunked result equals one call on the whole grid:", "yes" if same else "NO")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
