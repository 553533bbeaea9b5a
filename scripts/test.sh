#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the numerical core (GoogleTest through
# CTest) and the Python tests of the module (pytest). Installs what it needs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

need_debian_packages g++ make pkg-config libsleef-dev libgtest-dev
make_venv "$QUORVANE_ROOT/requirements/test.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

echo "== C++ unit tests"
cmake -S "$QUORVANE_ROOT" -B "$QUORVANE_ROOT/build/cpp-tests" -G Ninja \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$QUORVANE_ROOT/build/cpp-tests"
ctest --test-dir "$QUORVANE_ROOT/build/cpp-tests" --output-on-failure -j "$(nproc)"

echo "== Python module"
install_project
"$PY" -m pytest -q "$QUORVANE_ROOT/tests/python" "$@"

echo "== Hardening (shortened runs; the full ones are in the README)"
"$QUORVANE_ROOT/scripts/sanitize.sh"
"$QUORVANE_ROOT/scripts/fuzz.sh" --runs 1000000 --seconds 20
"$QUORVANE_ROOT/scripts/valgrind.sh"
