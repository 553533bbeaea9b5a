#!/usr/bin/env bash
# Builds the module and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++), runs the C++ unit tests, then the Python
# test suite against the sanitized module, the ASan runtime preloaded into the
# (uninstrumented) interpreter; both modules, Quorvane and quorvane_wind._loops,
# sanitized. Any finding fails the run. The packaging tests
# are left out: they build and install wheels of their own, unsanitized. So
# are the products tests: pure Python reading and writing files, whose calls of
# the module are the ones the module's own tests make.
#
#   scripts/sanitize.sh [pytest arguments...]
#
# Leak detection is off: the interpreter keeps much of what it allocates until
# exit, by design. PYTHONMALLOC=malloc sends every Python object through the
# sanitizer's allocator, so the module's accesses to them are checked too.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exit_if_help_asked "$@"

need_debian_packages g++ make pkg-config libsleef-dev libgtest-dev libasan8 libubsan1
make_venv "$QUORVANE_ROOT/requirements/hardening.txt"
export PATH=$QUORVANE_VENV/bin:$PATH

build=$QUORVANE_ROOT/build/asan
echo "== sanitized build (address, undefined) in $build"
cmake -S "$QUORVANE_ROOT" -B "$build" -G Ninja \
      -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$PY" \
      -DQUORVANE_SANITIZE=address,undefined -DQUORVANE_BUILD_TESTS=ON >/dev/null
cmake --build "$build"

libasan=$(g++ -print-file-name=libasan.so)
[ -f "$libasan" ] || die "libasan.so not found (g++ -print-file-name=libasan.so gave $libasan)"
# The C++ runtime is preloaded too: the interpreter is a C program, and unless
# libstdc++ is there when the ASan runtime starts, ASan cannot find the real
# __cxa_throw and aborts at the first C++ exception any extension throws.
libstdcxx=$(g++ -print-file-name=libstdc++.so)
preload="$libasan $libstdcxx"

# Reports go to files: pytest captures the standard error of the tests, and
# an aborting finding would take the captured text down with it.
reports=$build/reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$reports/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
export QUORVANE_SANITIZED=1

findings() {
    if [ -n "$(ls -A "$reports")" ]; then
        cat "$reports"/* | head -n 200
        die "sanitizer findings (reports in $reports)"
    fi
}

# The setup must be live: an overflowing read through ctypes (memcpy, which
# ASan intercepts) has to be reported.
canary=$build/canary
rm -rf "$canary"
mkdir -p "$canary"
if LD_PRELOAD=$preload PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:log_path=$canary/asan "$PY" -c '
import ctypes
block = ctypes.create_string_buffer(1000)
ctypes.string_at(ctypes.addressof(block), 1100)' 2>/dev/null ||
   ! grep -qs 'heap-buffer-overflow' "$canary"/asan.*; then
    die "AddressSanitizer is not active in the interpreter: an overflow went unreported"
fi

echo "== C++ unit tests under the sanitizers"
ctest --test-dir "$build" --output-on-failure -j 2 >"$build/ctest.log" 2>&1 ||
    { cat "$build/ctest.log"; findings; die "the C++ unit tests failed under the sanitizers"; }
findings
grep -E 'tests passed|Total Test time' "$build/ctest.log"

echo "== Python tests under the sanitizers"
module_dir=$build/module
# The second module, quorvane_wind._loops, lives inside the products
# package: a copy of the package's sources with the sanitized module in it
# goes before the installed one.
package_dir=$build/python
rm -rf "$package_dir"
mkdir -p "$package_dir"
cp -r "$QUORVANE_ROOT/src/quorvane_wind" "$package_dir/"
cp "$build"/products_module/_loops.*.so "$package_dir/quorvane_wind/"
loaded=$(LD_PRELOAD=$preload PYTHONPATH=$module_dir:$package_dir "$PY" -c '
import Quorvane, quorvane_wind._loops as loops
print(Quorvane.__file__, loops.__file__)')
read -r first second <<<"$loaded"
case $first in
    "$module_dir"/*) ;;
    *) die "the sanitized module was not the one imported (got $first)" ;;
esac
case $second in
    "$package_dir"/quorvane_wind/*) ;;
    *) die "the sanitized quorvane_wind._loops was not the one imported (got $second)" ;;
esac
status=0
LD_PRELOAD=$preload PYTHONMALLOC=malloc PYTHONPATH=$module_dir:$package_dir \
    "$PY" -m pytest -q -p no:cacheprovider "$QUORVANE_ROOT/tests/python" \
    --ignore-glob='*test_packaging*' --ignore-glob='*test_products_*' "$@" || status=$?
findings
[ $status -eq 0 ] || die "the Python tests failed under the sanitizers (exit $status)"
echo "sanitizers: no finding"
