#!/usr/bin/env bash
# Benchmarks: every wind speed method side by side on one synthetic realistic
# scene (the C-library reference scan and Quorvane's search in C++, the module
# on one thread and on all, a NumPy bisection, a Numba ladder scan) and the
# direction grid against NumPy. Measures (bench/measure.py, which writes every
# figure to bench/results.json), then reports (bench/report.py, which writes
# bench/RESULTS.md and bench/results.png from that file).
#
#   ./scripts/bench.sh [--quick] [--max-wait SECONDS] [--no-numba] [--report-only]
#                      [--results FILE] [--out DIR] [measure.py options]
#
#   ./scripts/bench.sh --scenes [--report-only] [bench/scenes.py options]
#
# --scenes runs the benchmark of the quorvane-wind command on full-size
# scenes instead (bench/scenes.py writes bench/scenes.json, from which
# bench/scenes_report.py writes bench/SCENES.md): full IW GRDH and EW GRDM
# products, folder and zip, made once into build/bench-scenes (about 6 GB),
# the command with each option and the floors of its stages; about an hour.
# --report-only writes the report again from an existing results file.
# --results and --out choose the results file and the report's folder (for a
# trial run that leaves bench/ alone). Sets up what it needs first: Debian
# packages (compiler, SLEEF, Google Benchmark), the virtual environment .venv
# with requirements/bench.txt, the module, the C++ benchmarks in build/bench,
# and for the Numba comparison a second virtual environment
# build/bench-numba-venv (skipped with a note if Numba cannot be installed).
# Waits for other processes to go quiet before measuring (at most --max-wait
# seconds, default 600) and records the load.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exit_if_help_asked "$@"

use_numba=1
report_only=0
scenes=0
results=$QUORVANE_ROOT/bench/results.json
out=$QUORVANE_ROOT/bench
measure_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --no-numba) use_numba=0; shift ;;
        --scenes) scenes=1; shift ;;
        --report-only) report_only=1; shift ;;
        --results) results=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        *) measure_args+=("$1"); shift ;;
    esac
done

# The report needs only the virtual environment (matplotlib for the chart).
make_venv "$QUORVANE_ROOT/requirements/bench.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

if [ "$scenes" -eq 1 ]; then
    if [ "$report_only" -eq 0 ]; then
        need_debian_packages g++ make pkg-config libsleef-dev unzip
        make_venv "$QUORVANE_ROOT/requirements/main.txt"
        install_project
        echo "== Measuring the command on full scenes"
        "$PY" "$QUORVANE_ROOT/bench/scenes.py" ${measure_args[@]+"${measure_args[@]}"}
    fi
    echo "== Reporting"
    exec "$PY" "$QUORVANE_ROOT/bench/scenes_report.py"
fi

if [ "$report_only" -eq 0 ]; then
    need_debian_packages g++ make pkg-config libsleef-dev libbenchmark-dev
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

    echo "== Measuring"
    "$PY" "$QUORVANE_ROOT/bench/measure.py" --build-dir "$QUORVANE_ROOT/build/bench" --results "$results" \
          ${numba_args[@]+"${numba_args[@]}"} ${measure_args[@]+"${measure_args[@]}"}
fi

echo "== Reporting"
"$PY" "$QUORVANE_ROOT/bench/report.py" --results "$results" --out "$out"
