#!/usr/bin/env bash
# The main job: a Sentinel-1 GRD product (3.2 million pixels, real SAFE
# layout) and an ERA5 file with a known wind, turned into CF wind products by
# the quorvane-wind command; prints the error against the known field and
# where the NetCDF products and quicklooks are. Sets up everything it needs
# first (Debian compiler packages, the virtual environment .venv, the module
# and the products layer), then runs examples/products_demo.py with the
# arguments given here, for example
#
#   ./scripts/main.sh --out /tmp/wind --lines 1000 --samples 800
#
# ./scripts/main.sh --help prints this and, once .venv exists, the options,
# without setting anything up. The synthetic-scene demo of the module alone is
# examples/sar_wind_retrieval.py.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

for arg in "$@"; do
    case $arg in
        -h|--help)
            print_usage
            if [ -x "$QUORVANE_VENV/bin/python" ]; then
                echo
                exec "$QUORVANE_VENV/bin/python" "$QUORVANE_ROOT/examples/products_demo.py" --help
            fi
            exit 0 ;;
    esac
done

need_debian_packages g++ make pkg-config libsleef-dev
make_venv "$QUORVANE_ROOT/requirements/main.txt"
export PATH=$QUORVANE_VENV/bin:$PATH
install_project
exec "$PY" "$QUORVANE_ROOT/examples/products_demo.py" "$@"
