#!/usr/bin/env bash
# The main job: a synthetic C-band SAR scene, its wind retrieved end to end with
# Quorvane, figures and a summary. Sets up everything it needs first (Debian
# compiler packages, the virtual environment .venv, the module), then runs
# examples/sar_wind_retrieval.py with the arguments given here, for example
#
#   ./scripts/main.sh --pixel-size 200 --out /tmp/scene
#
# ./scripts/main.sh --help lists the options, without setting anything up.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

for arg in "$@"; do
    case $arg in
        -h|--help)
            print_usage
            echo
            python=$(find_python312 || command -v python3) || die "no Python found to show the options"
            exec "$python" "$QUORVANE_ROOT/examples/sar_wind_retrieval.py" --help ;;
    esac
done

need_debian_packages g++ make pkg-config libsleef-dev
make_venv "$QUORVANE_ROOT/requirements/main.txt"
export PATH=$QUORVANE_VENV/bin:$PATH
install_project
exec "$PY" "$QUORVANE_ROOT/examples/sar_wind_retrieval.py" "$@"
