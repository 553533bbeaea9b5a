#!/usr/bin/env bash
# Fuzzes the buffer format-string rule and argument binding with libFuzzer
# (Debian's clang 14), everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the corpus kept in tests/fuzz/corpus.
#
#   scripts/fuzz.sh [--runs N] [--seconds S]
#
# Each harness runs until N executions (default 1000000) or S seconds (default:
# no limit), whichever comes first, and the number of executions is printed.
# Any crash, sanitizer finding or broken property fails the run; libFuzzer
# then leaves the input that did it in build/fuzz/ (crash-*). New inputs the
# fuzzer finds go to build/fuzz/corpus-*, not into the repository; merge them
# in with  build/fuzz/tests/fuzz/fuzz_<name> -merge=1 tests/fuzz/corpus/<name> build/fuzz/corpus-<name>
# (for the binding harness with the PYTHONPATH and ASAN_OPTIONS set below).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exit_if_help_asked "$@"

runs=1000000
seconds=0
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        *) die "unknown argument: $1 (expected --runs N or --seconds S)" ;;
    esac
done

need_debian_packages clang-14 libclang-rt-14-dev libomp-14-dev pkg-config libsleef-dev
make_venv "$QUORVANE_ROOT/requirements/hardening.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

build=$QUORVANE_ROOT/build/fuzz
echo "== fuzz build (clang 14, libFuzzer, address, undefined) in $build"
cmake -S "$QUORVANE_ROOT" -B "$build" -G Ninja \
      -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$PY" \
      -DQUORVANE_SANITIZE=address,undefined -DQUORVANE_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target fuzz_buffer_format fuzz_binding Quorvane

site_packages=$("$PY" -c 'import numpy, os; print(os.path.dirname(os.path.dirname(numpy.__file__)))')
export PYTHONPATH=$build/module:$site_packages
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

total=0
for name in buffer_format binding; do
    work=$build/corpus-$name
    mkdir -p "$work"
    log=$build/fuzz-$name.log
    if [ "$seconds" -gt 0 ]; then limit=" or $seconds s"; else limit=""; fi
    echo "== fuzz_$name: up to $runs executions$limit"
    status=0
    (cd "$build" && "$build/tests/fuzz/fuzz_$name" -runs="$runs" -max_total_time="$seconds" \
        -detect_leaks=0 -print_final_stats=1 -max_len=256 \
        "$work" "$QUORVANE_ROOT/tests/fuzz/corpus/$name") >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        tail -n 60 "$log"
        die "fuzz_$name failed (exit $status); full log in $log"
    fi
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    seconds_taken=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    echo "fuzz_$name: $executed executions in ${seconds_taken:-?} s, no finding"
    total=$((total + executed))
done
echo "fuzzing: $total executions in all, no finding"
