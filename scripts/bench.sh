#!/usr/bin/env bash
# Benchmarks: every wind speed method side by side on one synthetic realistic
# scene (the C-library reference scan and Quorvane's search in C++, the module
# on one thread and on all, a NumPy bisection, a Numba ladder scan) and the
# direction grid against NumPy. Writes bench/RESULTS.md and bench/results.png.
#
#   ./scripts/bench.sh [--quick] [--max-wait SECONDS] [--no-numba] [run_bench.py options]
#
# Sets up what it needs first: Debian packages (compiler, SLEEF, Google
# Benchmark), the virtual environment .venv with requirements/bench.txt, the
# module, the C++ benchmarks in build/bench, and for the Numba comparison a
# second virtual environment build/bench-numba-venv (skipped with a note if
# Numba cannot be installed). Waits for other processes to go quiet before
# measuring (at most --max-wait seconds, default 600) and reports the load.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

use_numba=1
args=()
for arg in "$@"; do
    case "$arg" in
        --no-numba) use_numba=0 ;;
        *) args+=("$arg") ;;
    esac
done

need_debian_packages g++ make pkg-config libsleef-dev libbenchmark-dev
make_venv "$QUORVANE_ROOT/requirements/bench.txt"
export PATH=$QUORVANE_VENV/bin:$PATH
install_project

echo "== Building the C++ benchmarks (build/bench)"
cmake -S "$QUORVANE_ROOT" -B "$QUORVANE_ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$QUORVANE_ROOT/build/bench" --target bench_kernels bench_exactness bench_scene

numba_args=()
if [ "$use_numba" -eq 1 ]; then
    numba_venv=$QUORVANE_ROOT/build/bench-numba-venv
    if [ ! -x "$numba_venv/bin/python" ]; then
        python=$(find_python312) || die "Python 3.12 not found"
        "$python" -m venv "$numba_venv" || die "could not create $numba_venv"
    fi
    if "$numba_venv/bin/python" -m pip install -q -r "$QUORVANE_ROOT/requirements/bench-numba.txt" &&
       "$numba_venv/bin/python" -c 'import numba' 2>/dev/null; then
        numba_args=(--numba-python "$numba_venv/bin/python")
    else
        echo "note: Numba could not be installed; the Numba comparison is skipped"
    fi
fi

echo "== Running the benchmarks"
exec "$PY" "$QUORVANE_ROOT/bench/run_bench.py" --build-dir "$QUORVANE_ROOT/build/bench" \
     ${numba_args[@]+"${numba_args[@]}"} ${args[@]+"${args[@]}"}
