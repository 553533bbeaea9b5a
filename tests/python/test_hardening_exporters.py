"""Arrays that export their buffer through Python (`__buffer__`) and answer
each request differently: whatever they hand out, a call reads and writes
only inside the buffers it checked, and fails at the argument's view line
when a later buffer does not cover the grid checked before."""
import numpy as np
import pytest

import Quorvane
from conftest import exporter, quorvane_entries
from interface import (ANGLE, ENTRY_NAME, LINES, PARAMETERS, SPEED, dtype_mismatch, result_shape,
                       smaller_view_shape, wrong_dimensions)


# entry, its parameters, the view line of each parameter, allocation line
ENTRIES = {
    name: (getattr(Quorvane, name), PARAMETERS[name], LINES[name]["views"], LINES[name]["allocate"])
    for name in (SPEED, ANGLE)
}
SHAPE = (4, 5)


def inputs(rng):
    return {
        "wind_dir": rng.uniform(-180, 180, SHAPE).astype(np.float32),
        "inc_angle": rng.uniform(20, 45, SHAPE).astype(np.float32),
        "sigma0": rng.uniform(-25, -5, SHAPE).astype(np.float32),
        "wind_U10": rng.uniform(-15, 15, SHAPE).astype(np.float32),
        "wind_V10": rng.uniform(-15, 15, SHAPE).astype(np.float32),
    }


def with_canary(shape, dtype=np.float32, margin=2):
    """A slice of a larger parent filled with a value no result contains."""
    parent = np.full((shape[0] + 2 * margin, shape[1] + 2 * margin), -777.0, dtype)
    return parent, parent[margin:margin + shape[0], margin:margin + shape[1]]


def later_buffer(kind, rng):
    if kind == "larger":
        return rng.uniform(20, 40, (SHAPE[0] + 3, SHAPE[1] + 4)).astype(np.float32)
    if kind == "strided":
        wide = rng.uniform(20, 40, (2 * SHAPE[0], 3 * SHAPE[1])).astype(np.float32)
        return wide[::-2, ::3]
    if kind == "column-major":
        return np.asfortranarray(rng.uniform(20, 40, SHAPE).astype(np.float32))
    if kind == "fewer rows":
        return rng.uniform(20, 40, (SHAPE[0] - 1, SHAPE[1] + 5)).astype(np.float32)
    if kind == "one element":
        return np.full((1, 1), 30.0, np.float32)
    if kind == "float64":
        return np.full(SHAPE, 30.0)
    if kind == "3-D":
        return np.full(SHAPE + (1,), 30.0, np.float32)
    if kind == "read-only":
        frozen = np.full(SHAPE, 30.0, np.float32)
        frozen.flags.writeable = False
        return frozen
    raise AssertionError(kind)


# kind -> (exception, its message for a parameter of an entry)
FAILURES = {
    "fewer rows": (ValueError, lambda entry, name: smaller_view_shape(
        name, (3, 10), SHAPE, PARAMETERS[entry][0])),
    "one element": (ValueError, lambda entry, name: smaller_view_shape(
        name, (1, 1), SHAPE, PARAMETERS[entry][0])),
    "float64": (ValueError, lambda entry, name: dtype_mismatch("'double'")),
    "3-D": (ValueError, lambda entry, name: wrong_dimensions(3)),
    "read-only": (BufferError, lambda entry, name: "memoryview: underlying buffer is not writable"),
}


def stand_in_np(empty):
    class Namespace:
        float32, float64, asarray = np.float32, np.float64, np.asarray

    Namespace.empty = staticmethod(empty)
    return Namespace


@pytest.fixture
def module_np():
    yield lambda value: setattr(Quorvane, "np", value)
    Quorvane.np = np


def outside_of(parent, shape):
    margin = (parent.shape[0] - shape[0]) // 2
    outside = np.ones(parent.shape, bool)
    outside[margin:margin + shape[0], margin:margin + shape[1]] = False
    return outside


@pytest.mark.parametrize("kind", ["larger", "strided", "column-major", *FAILURES])
@pytest.mark.parametrize("entry_name", list(ENTRIES))
def test_inputs_whose_writable_buffer_differs(entry_name, kind, module_np):
    entry, names, view_lines, _ = ENTRIES[entry_name]
    rng = np.random.default_rng(7)
    parents = []

    def in_parent(shape, dtype):
        parent, inner = with_canary(shape, dtype)
        parents.append(parent)
        return inner

    for position, name in enumerate(names):
        module_np(stand_in_np(in_parent))
        arguments = {n: inputs(rng)[n] for n in names}
        later = later_buffer(kind, rng)
        watched = [arguments[n].copy() for n in names] + [later.copy()]
        call = dict(arguments, **{name: exporter(arguments[name], viewed=later)})
        if kind in FAILURES:
            error, message = FAILURES[kind]
            with pytest.raises(error) as info:
                entry(**call)
            assert str(info.value) == message(entry_name, name)
            assert quorvane_entries(info) == [(ENTRY_NAME[entry_name], view_lines[position])]
        else:
            # The loop reads the buffer it holds, at the checked grid's extent.
            result = entry(**call)
            module_np(np)
            expected = entry(**dict(arguments, **{name: np.ascontiguousarray(later[:4, :5])}))
            assert result.shape == SHAPE
            assert result.tobytes() == expected.tobytes()
        for before, after in zip(watched, [arguments[n] for n in names] + [later]):
            assert before.tobytes() == after.tobytes()
        assert (parents[-1][outside_of(parents[-1], SHAPE)] == -777.0).all()


@pytest.mark.parametrize("entry_name", list(ENTRIES))
def test_results_in_memory_np_empty_did_not_allocate(entry_name, module_np):
    entry, names, _, allocate_line = ENTRIES[entry_name]
    arguments = {n: inputs(np.random.default_rng(3))[n] for n in names}
    expected = entry(**arguments)
    parents = []

    def in_parent(shape, dtype):
        parent, inner = with_canary(shape, dtype)
        parents.append(parent)
        return inner

    def through_python(shape, dtype):
        # Answers the one request the call makes with the right grid, any
        # request after that with a larger block of the same parent.
        parent, inner = with_canary(shape, dtype, margin=1)
        parents.append(parent)
        return exporter(inner, sequence=[inner, parent])

    def exports_larger(shape, dtype):
        parent, inner = with_canary(shape, dtype, margin=1)
        parents.append(parent)
        return exporter(inner, viewed=parent)

    for empty in (in_parent, through_python):
        module_np(stand_in_np(empty))
        result = entry(**arguments)
        assert type(result) is np.ndarray and not result.flags.owndata
        assert result.tobytes() == expected.tobytes()
        parent = parents[-1]
        assert np.shares_memory(result, parent)
        outside = outside_of(parent, SHAPE)
        assert (parent[outside] == -777.0).all()
        result[...] = 0  # the returned array is writable memory of that parent
        assert (parent[~outside] == 0).all()

    module_np(stand_in_np(exports_larger))
    with pytest.raises(ValueError) as info:
        entry(**arguments)
    assert str(info.value) == result_shape((6, 7), SHAPE)
    assert quorvane_entries(info) == [(ENTRY_NAME[entry_name], allocate_line)]
    assert (parents[-1] == -777.0).all()


def test_result_keeps_the_buffer_it_was_written_through_alive():
    import gc
    import weakref

    rng = np.random.default_rng(5)
    for entry, names, _, _ in ENTRIES.values():
        arguments = {n: inputs(rng)[n] for n in names}
        allocated = []

        def empty(shape, dtype):
            allocated.append(np.empty(shape, dtype))
            return exporter(allocated[-1], sequence=[allocated[-1]])

        Quorvane.np = stand_in_np(empty)
        try:
            result = entry(**arguments)
        finally:
            Quorvane.np = np
        alive = weakref.ref(allocated.pop())
        gc.collect()
        assert alive() is not None and np.shares_memory(result, alive())
        assert result.tobytes() == entry(**arguments).tobytes()
        del result
        gc.collect()
        assert alive() is None
