"""Times writing a native product alone, the way `write_product` writes it
and the way it wrote it before (xarray's `to_netcdf` through netCDF-C, HDF5
compressing behind its lock), on a Dataset of the full IW scene's shape and
chunks (16,700 x 25,500 pixels, bands of 78 lines) whose values are a real
native product's, tiled (`--from`, any native product, e.g. of the small
scene in /work/data/vv).

    .venv/bin/python bench/product_write.py --from SMALL.nc --out OUT.nc \\
        --way netcdf-c|zlib|isal|values [--lines N] [--threads N]

`values` computes the blocks and drops them (the cost of the values alone,
in every other way too). One way per process, so that the peak resident
memory printed (ru_maxrss) is that way's. Prints one JSON line: wall and CPU
seconds (all threads), peak RSS, output size.
"""

import argparse
import json
import os
import resource
import sys
import time

import dask
import dask.array as da
import numpy as np
import xarray as xr


def tiled(small: xr.Dataset, lines: int, pixels: int, band: int) -> xr.Dataset:
    """A product Dataset of lines x pixels whose 2-D values repeat those of
    `small`, in dask bands of `band` lines, attributes and 1-D coordinates
    as a real product's."""
    height, width = small.sizes["line"], small.sizes["pixel"]
    variables = {}
    for name, var in small.variables.items():
        if var.dims != ("line", "pixel"):
            continue
        values = var.values

        def block(block_info=None, values=values):
            (r0, r1), (c0, c1) = block_info[None]["array-location"]
            rows = np.arange(r0, r1) % height
            cols = np.arange(c0, c1) % width
            return values[rows][:, cols]

        chunks = ((band,) * (lines // band) + ((lines % band,) if lines % band else ()), (pixels,))
        data = da.map_blocks(block, chunks=chunks, dtype=values.dtype, meta=np.empty((0, 0), values.dtype))
        variables[name] = xr.Variable(var.dims, data, var.attrs)
    line = np.arange(lines, dtype=np.float64)
    time_ = small["time"].values[0] + (np.arange(lines) * np.timedelta64(1500, "us"))
    pixel = np.arange(pixels, dtype=np.float64)
    coords = {"line": ("line", line, small["line"].attrs), "pixel": ("pixel", pixel, small["pixel"].attrs),
              "time": ("line", time_, small["time"].attrs),
              "latitude": variables.pop("latitude"), "longitude": variables.pop("longitude")}
    for name in small.coords:
        if small[name].ndim == 0:
            coords[name] = small[name].variable
    data_vars = dict(variables)
    for name in small.data_vars:
        if small[name].ndim == 0:
            data_vars[name] = small[name].variable
    return xr.Dataset(data_vars, coords, small.attrs)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--from", dest="source", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--way", choices=["netcdf-c", "zlib", "isal", "values"], required=True)
    parser.add_argument("--lines", type=int, default=16_700)
    parser.add_argument("--pixels", type=int, default=25_500)
    parser.add_argument("--band", type=int, default=78)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)

    import netCDF4

    from quorvane_wind import hdf5_chunks
    from quorvane_wind.netcdf import netcdf_encoding, write_netcdf

    with xr.open_dataset(args.source) as opened:
        small = opened.load()
    ds = tiled(small, args.lines, args.pixels, args.band)
    wall, cpu = time.perf_counter(), time.process_time()
    with dask.config.set(scheduler="threads", num_workers=args.threads):
        if args.way == "values":
            da.store([v.data for v in ds.variables.values() if v.chunks is not None],
                     [_Drop() for v in ds.variables.values() if v.chunks is not None], lock=False)
        elif args.way == "netcdf-c":
            # As write_product did before: HDF5's chunk cache at 8 MB.
            cache = netCDF4.get_chunk_cache()
            netCDF4.set_chunk_cache(8 << 20, cache[1], 1.0)
            ds.to_netcdf(args.out, engine="netcdf4", format="NETCDF4", encoding=netcdf_encoding(ds))
        else:
            write_netcdf(ds, args.out, compress=getattr(hdf5_chunks, f"{args.way}_compress"))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(json.dumps({"way": args.way, "wall_s": round(wall, 2), "cpu_s": round(cpu, 2),
                      "peak_rss_mb": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024),
                      "bytes": os.path.getsize(args.out) if args.way != "values" else 0,
                      "load": os.getloadavg()[0]}))
    return 0


class _Drop:
    def __setitem__(self, key: object, value: object) -> None:
        pass


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
