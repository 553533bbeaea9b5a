"""What the fork server of --workers loads once for all the workers it
forks (`workers.start_fork_server`): the libraries an input's product
needs. Forked after this, a worker's first input costs what its others do
(measured on a 1 km scene: 1.10 s of CPU for the first input of a worker
that had imported the product modules alone, 0.31 s for its second).
xarray-sentinel is imported because xarray loads it as one of its backends
when a file is opened; its XML schemas are no longer built (the reader uses
ElementTree, `sentinel1.safe`)."""

import Quorvane  # noqa: F401
import distributed  # noqa: F401  (xarray's writer asks for dask's scheduler)
import netCDF4  # noqa: F401
import rasterio  # noqa: F401
import threadpoolctl  # noqa: F401
import xarray_sentinel  # noqa: F401

from . import batch, chunk, grid, landmask, netcdf, product, storage, uncertainty  # noqa: F401
