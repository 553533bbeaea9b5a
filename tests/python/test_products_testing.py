"""quorvane_wind.testing as a package: what importing it loads."""
import json
import os
import subprocess
import sys
import textwrap


def test_import_loads_numpy_only_and_the_package_does_not_load_it():
    # A fresh interpreter: this one has loaded the readers and writers already.
    probe = textwrap.dedent("""
        import json, sys
        import quorvane_wind
        by_package = "quorvane_wind.testing" in sys.modules
        import quorvane_wind.testing as t
        heavy = [m for m in ("rasterio", "netCDF4", "xarray", "dask", "Quorvane") if m in sys.modules]
        homes = {name: getattr(t, name).__module__ for name in t.__all__}
        print(json.dumps({"by_package": by_package, "heavy": heavy, "homes": homes,
                          "public": sorted(n for n in vars(t) if not n.startswith("_"))}))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = json.loads(subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                                    text=True, check=True).stdout)
    assert out["by_package"] is False
    assert out["heavy"] == []
    assert {"write_grd_product", "write_era5_cds", "write_era5_legacy", "zip_product", "GrdConfig",
            "Era5Field", "synthesize_scene", "SceneConfig", "sigma0_cmod5n"} <= set(out["homes"])
    assert all(home.startswith("quorvane_wind.testing.") for home in out["homes"].values()), out["homes"]
    # The names exported and the submodules, nothing else.
    assert set(out["public"]) == set(out["homes"]) | {"s1_grd", "sar_scene", "cmod5n_forward"}
