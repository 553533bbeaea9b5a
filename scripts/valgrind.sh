#!/usr/bin/env bash
# Runs a small program that calls both entries (results in several layouts and
# each kind of failure), then one that calls the products layer's second
# module, quorvane_wind._loops, under valgrind's memcheck, with the interpreter's
# suppressions of tests/valgrind/python.supp, against a build of the module
# with debug information. Fails on any memory error that is not suppressed,
# and on any leaked block allocated from the module's code. The interpreter's
# own blocks left allocated at exit are not the module's and are not counted.
#
#   scripts/valgrind.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exit_if_help_asked "$@"

need_debian_packages g++ make pkg-config libsleef-dev valgrind
make_venv "$QUORVANE_ROOT/requirements/hardening.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

build=$QUORVANE_ROOT/build/valgrind
echo "== build with debug information in $build"
cmake -S "$QUORVANE_ROOT" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$build" --target Quorvane _loops

memcheck() {  # memcheck PROGRAM MODULE_DIR LOG
    local log=$3 status=0
    echo "== memcheck of tests/valgrind/$1 (log: $log)"
    PYTHONMALLOC=malloc PYTHONPATH=$2 \
        valgrind --tool=memcheck --error-exitcode=99 --num-callers=40 \
                 --suppressions="$QUORVANE_ROOT/tests/valgrind/python.supp" \
                 --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=none \
                 --log-file="$log" \
                 "$PY" "$QUORVANE_ROOT/tests/valgrind/$1" || status=$?
    check_log "$log" "$status"
}

check_log() {  # check_log LOG STATUS
    local log=$1 status=$2 errors module_leaks suppressed
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        grep -A 30 -E '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|Mismatched|Source and)' "$log" | head -n 120 || true
        die "memcheck found $errors error(s) (exit $status); full log in $log"
    fi
    # A leaked block whose allocation passed through the module's shared library
    # or its sources is the module's.
    module_leaks=$(awk '/lost in loss record/ {record=1; text=""} record {text=text $0 "\n"}
                        record && /^==[0-9]+== $/ {if (text ~ /Quorvane\.cpython|_loops\.cpython|\/module\/|\/products_module\/|\/sigma0\/|\/grid\/|\/simd\/|\/cmod5n\/|\/era5\//) n++; record=0}
                        END {print n+0}' "$log")
    if [ "$module_leaks" -ne 0 ]; then
        die "memcheck found $module_leaks leaked block(s) allocated from the module; see $log"
    fi
    suppressed=$(sed -n 's/.*ERROR SUMMARY: .*suppressed: \([0-9]*\) from.*/\1/p' "$log" | tail -n 1)
    echo "memcheck: $errors errors ($suppressed suppressed, all in the interpreter), no leak from the module"
}

memcheck small_run.py "$build/module" "$build/memcheck.log"
memcheck loops_run.py "$build/products_module" "$build/memcheck-loops.log"
