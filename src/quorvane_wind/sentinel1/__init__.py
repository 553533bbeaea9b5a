"""Sentinel-1 Level-1 GRD products (IW and EW, `.SAFE` folder or `.zip`) as
calibrated, noise-corrected sigma0 with its geometry.

The XML files are decoded by xarray-sentinel (manifest, annotation,
calibration and geolocation grid through its own readers, noise vectors
through its schema-aware tag parser); what it does not do is written here,
one job per module, each importing only those before it:

- `safe`: the product's files in a folder or zip, by the manifest's names
  in any case, and no reference that leaves the product;
- `measurement`: the GeoTIFF read by windows through one open dataset per
  process, a zipped one unpacked once per process, its CRC checked;
- `calibration`: the LUTs and sigma0 = (DN^2 - noise) / A^2, thermal noise
  as the range LUT times the azimuth LUT of every azimuth block, kept of
  any sign for averages, with the pixels that are measurements;
- `border`: the border noise of products older than IPF 2.90, masked from
  the image's edges inwards;
- `geolocation`: incidence, latitude, longitude and look azimuth at any
  pixel from the geolocation grid;
- `scene`: the scene's metadata (`GrdScene`, `read_grd_metadata`), with
  the IPF version and the equivalent number of looks;
- `dataset`: the lazy Dataset of `open_s1_grd`.

The product's grid of averaging blocks is not the reader's business: it is
`quorvane_wind.grid`.
"""

from .border import BorderNoise, has_border_noise
from .calibration import (AzimuthNoise, AzimuthNoiseBlock, Calibrated, LineVectorLut, calibrate_block,
                          calibrate_window, positive_sigma0)
from .dataset import geometry_dataset, open_s1_grd, scene_attributes, scene_dataset
from .geolocation import Geolocation
from .measurement import Measurement, TiffWindows, default_chunks
from .safe import SafeFiles, product_name
from .scene import GrdScene, azimuth_times, read_grd_metadata

__all__ = [
    "AzimuthNoise", "AzimuthNoiseBlock", "BorderNoise", "Calibrated", "Geolocation", "GrdScene",
    "LineVectorLut", "Measurement", "SafeFiles", "TiffWindows", "azimuth_times", "calibrate_block",
    "calibrate_window", "default_chunks", "geometry_dataset", "has_border_noise", "open_s1_grd",
    "positive_sigma0", "product_name", "read_grd_metadata", "scene_attributes", "scene_dataset",
]
