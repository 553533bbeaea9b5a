import inspect
import os
import types

import numpy as np
import pytest

import Quorvane

# Session fixtures of the products tests (products and ERA5 files they write).
pytest_plugins = ["products_fixtures"]

# Set by scripts/sanitize.sh when the module under test is the sanitized build.
SANITIZED = os.environ.get("QUORVANE_SANITIZED") == "1"


def quorvane_entries(exc_info):
    """(function name, line) of every traceback entry the module added."""
    entries = []
    tb = exc_info.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "Quorvane":
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


@pytest.fixture
def stand_in_np():
    """Replaces the module global `np` by a namespace that counts calls of
    `empty` and `asarray`; restores numpy afterwards."""
    calls = {"empty": 0, "asarray": 0}

    def empty(*args, **kwargs):
        calls["empty"] += 1
        return np.empty(*args, **kwargs)

    def asarray(*args, **kwargs):
        calls["asarray"] += 1
        return np.asarray(*args, **kwargs)

    stand_in = types.SimpleNamespace(
        empty=empty, asarray=asarray, float32=np.float32, float64=np.float64
    )
    stand_in.calls = calls
    Quorvane.np = stand_in
    try:
        yield stand_in
    finally:
        Quorvane.np = np




class Exporter(np.ndarray):
    """An array whose buffer requests are answered through Python: read-only
    requests get `checked`, writable ones `viewed` (unless `sequence` is set:
    then the n-th request gets sequence[n], the last one after that)."""

    def __buffer__(self, flags):
        self.requests += 1
        if self.sequence is not None:
            return memoryview(self.sequence[min(self.requests, len(self.sequence)) - 1])
        writable = flags & inspect.BufferFlags.WRITABLE
        return memoryview(self.viewed if writable else self.checked)


def exporter(checked, viewed=None, sequence=None):
    made = checked.view(Exporter)
    made.checked, made.viewed, made.sequence, made.requests = checked, viewed, sequence, 0
    return made
