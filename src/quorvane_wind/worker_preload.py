"""What the fork server of --workers loads once for all the workers it
forks (`workers.start_fork_server`): the libraries an input's product
needs, and the XML schemas of the Sentinel-1 annotations, which
xarray-sentinel builds on first use (about 0.5 s of CPU each). Forked
after this, a worker's first input costs what its others do (measured
on a 1 km scene: 1.10 s of CPU for the first input of a worker that
had imported the product modules alone, 0.31 s for its second)."""

import Quorvane  # noqa: F401
import distributed  # noqa: F401  (xarray's writer asks for dask's scheduler)
import netCDF4  # noqa: F401
import rasterio  # noqa: F401
import threadpoolctl  # noqa: F401
from xarray_sentinel import esa_safe

from . import batch, chunk, grid, landmask, netcdf, product, storage, uncertainty  # noqa: F401

for schema in ("annotation", "calibration", "noise"):
    esa_safe.cached_sentinel1_schemas(schema)
