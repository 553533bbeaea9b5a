"""Session fixtures of the products tests: Sentinel-1 GRD products and ERA5
files written by quorvane_wind.testing.s1_grd into a temporary folder."""

import shutil
from pathlib import Path
from types import SimpleNamespace

import pytest


@pytest.fixture(scope="session")
def s1fx():
    """The fixture writer module, quorvane_wind.testing.s1_grd (its helpers,
    such as `geometry` and `calibration_lut`, as well as the writers)."""
    from quorvane_wind.testing import s1_grd

    return s1_grd


@pytest.fixture(scope="session")
def products(tmp_path_factory, s1fx):
    """Products and ERA5 files shared by the products tests (read-only: a
    test that damages a product copies it first).

    - `clean`: noise-free IW product over the North Atlantic (no speckle,
      large calibration LUT so that DN rounding stays below the ladder step),
      `clean_truth` its known fields, `clean_zip` a zipped copy;
    - `era5_cds` / `era5_legacy`: global 1-degree ERA5 files of the current
      and the legacy layout (the legacy one mixing ERA5 and ERA5T);
    - `hh`: a product with HH and HV only; `ew`: an EW product (5 sub-swaths)
      whose near range is below the incidence range of CMOD5.N;
    - `coast`: a product across the Dutch coast (sea in the west)."""
    root = tmp_path_factory.mktemp("s1")
    cfg = s1fx.GrdConfig(calibration_constant=30000.0, nesz_db=-26.0)
    clean, truth = s1fx.write_grd_product(root / "clean", cfg)
    out = SimpleNamespace(root=root, clean=clean, clean_truth=truth, clean_cfg=cfg)
    (root / "zip").mkdir()
    out.clean_zip = s1fx.zip_product(clean, root / "zip" / (clean.name[:-5] + ".zip"))
    out.era5_cds = s1fx.write_era5_cds(root / "era5_cds.nc", step=1.0)
    out.era5_legacy = s1fx.write_era5_legacy(root / "era5_legacy.nc", step=1.0, era5t_hours=2)
    out.hh, _ = s1fx.write_grd_product(root / "hh", s1fx.GrdConfig(
        polarisations=("HH", "HV"), lines=40, samples=50))
    out.ew_cfg = s1fx.GrdConfig(mode="EW", lines=60, samples=150, range_spacing_m=800.0,
                                azimuth_spacing_m=800.0, incidence_near=16.0, incidence_far=47.0,
                                calibration_constant=30000.0, nesz_db=-26.0)
    out.ew, out.ew_truth = s1fx.write_grd_product(root / "ew", out.ew_cfg)
    out.coast_cfg = s1fx.GrdConfig(lines=80, samples=90, azimuth_spacing_m=1000.0,
                                   range_spacing_m=1000.0, centre_lat=52.4, centre_lon=4.3,
                                   heading_deg=-90.0)
    out.coast, _ = s1fx.write_grd_product(root / "coast", out.coast_cfg)
    return out


def copy_product(src, dest_folder, name=None):
    """A copy of a .SAFE folder (or a zip) under `dest_folder`, optionally
    renamed (the name gives the output name)."""
    dest_folder = Path(dest_folder)
    dest_folder.mkdir(parents=True, exist_ok=True)
    dest = dest_folder / (name or Path(src).name)
    if Path(src).is_dir():
        shutil.copytree(src, dest)
    else:
        shutil.copy2(src, dest)
    return dest
