"""Compares wind products made before and after a change: every variable's
values (bit for bit, NaN where NaN), dtype, chunking, filters and
attributes, and the global attributes but the creation times.

    .venv/bin/python bench/compare_products.py BEFORE AFTER

BEFORE and AFTER are two product files, or two folders whose *.nc files are
compared by name. Exit status 1 when anything differs, with one line per
difference.
"""

import sys
from pathlib import Path

import netCDF4
import numpy as np

# Attributes that change from one run to the next by design.
RUN_ATTRIBUTES = {"date_created", "date_modified", "date_issued", "history"}


def _attributes(obj, skip=()):
    return {k: obj.getncattr(k) for k in obj.ncattrs() if k not in skip}


def _same(a, b):
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def compare(before, after):
    """The differences between two product files, as lines."""
    out = []
    with netCDF4.Dataset(before) as a, netCDF4.Dataset(after) as b:
        for where, x, y in (("global", _attributes(a, RUN_ATTRIBUTES), _attributes(b, RUN_ATTRIBUTES)),):
            for key in sorted(set(x) | set(y)):
                if key not in x or key not in y or not _same(x[key], y[key]):
                    out.append(f"{where} attribute {key}: {x.get(key)!r} != {y.get(key)!r}")
        if set(a.variables) != set(b.variables):
            out.append(f"variables {sorted(a.variables)} != {sorted(b.variables)}")
        for name in sorted(set(a.variables) & set(b.variables)):
            va, vb = a.variables[name], b.variables[name]
            va.set_auto_maskandscale(False)
            vb.set_auto_maskandscale(False)
            if va.dtype != vb.dtype or va.dimensions != vb.dimensions:
                out.append(f"{name}: {va.dtype}{va.dimensions} != {vb.dtype}{vb.dimensions}")
                continue
            if va.chunking() != vb.chunking() or va.filters() != vb.filters():
                out.append(f"{name}: storage {va.chunking()} {va.filters()} != {vb.chunking()} {vb.filters()}")
            xa, xb = _attributes(va), _attributes(vb)
            for key in sorted(set(xa) | set(xb)):
                if key not in xa or key not in xb or not _same(xa[key], xb[key]):
                    out.append(f"{name} attribute {key}: {xa.get(key)!r} != {xb.get(key)!r}")
            # Bands of lines, so that native products fit in memory.
            rows = va.shape[0] if va.ndim else 1
            step = max(1, 4_000_000 // max(1, int(np.prod(va.shape[1:])) if va.ndim > 1 else 1))
            for first in range(0, rows, step):
                da = va[first:first + step] if va.ndim else va[...]
                db = vb[first:first + step] if vb.ndim else vb[...]
                if np.asarray(da).tobytes() != np.asarray(db).tobytes():
                    out.append(f"{name}: values differ from line {first}")
                    break
    return out


def main(argv):
    before, after = map(Path, argv)
    pairs = ([(before, after)] if before.is_file() else
             [(p, after / p.relative_to(before)) for p in sorted(before.rglob("*.nc"))])
    failed = False
    for x, y in pairs:
        if not y.exists():
            print(f"{y}: missing")
            failed = True
            continue
        diffs = compare(x, y)
        print(f"{x.relative_to(before) if before.is_dir() else x.name}: {'identical' if not diffs else f'{len(diffs)} differences'}")
        for line in diffs:
            print(f"  {line}")
        failed |= bool(diffs)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
