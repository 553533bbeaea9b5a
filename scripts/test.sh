#!/usr/bin/env bash
# Runs the tests: the C++ unit tests of the numerical core (GoogleTest through
# CTest) and the Python tests of the module (pytest), a few minutes once
# built. Installs what it needs first.
#
#   ./scripts/test.sh [--hardening] [pytest arguments...]
#
# --hardening adds shortened runs of the hardening checks afterwards: the
# sanitizer run (scripts/sanitize.sh), both fuzz harnesses (scripts/fuzz.sh)
# and valgrind memcheck (scripts/valgrind.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exit_if_help_asked "$@"

hardening=0
pytest_args=()
for arg in "$@"; do
    case $arg in
        --hardening) hardening=1 ;;
        *) pytest_args+=("$arg") ;;
    esac
done

need_debian_packages g++ make pkg-config libsleef-dev libgtest-dev qemu-user
make_venv "$QUORVANE_ROOT/requirements/test.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

echo "== C++ unit tests"
cmake -S "$QUORVANE_ROOT" -B "$QUORVANE_ROOT/build/cpp-tests" -G Ninja \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$QUORVANE_ROOT/build/cpp-tests"
ctest --test-dir "$QUORVANE_ROOT/build/cpp-tests" --output-on-failure -j "$(nproc)"

echo "== Python module"
install_project
"$PY" -m pytest -q "$QUORVANE_ROOT/tests/python" ${pytest_args[@]+"${pytest_args[@]}"}

if [ "$hardening" -eq 1 ]; then
    echo "== Hardening (shortened runs; the full ones are in the README)"
    "$QUORVANE_ROOT/scripts/sanitize.sh"
    "$QUORVANE_ROOT/scripts/fuzz.sh" --runs 1000000 --seconds 20
    "$QUORVANE_ROOT/scripts/valgrind.sh"
fi
