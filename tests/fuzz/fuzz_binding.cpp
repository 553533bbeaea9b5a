// libFuzzer harness of argument binding and the argument checks of both
// entries, run through an embedded interpreter against the module built with
// the sanitizers.
//
// Each input is decoded into one call made straight through the vectorcall
// protocol, which lets through what the interpreter's own call syntax would
// refuse earlier (repeated keywords, non-string keywords): the entry chosen,
// the positional arguments and the keyword names and values, each drawn from
// a pool of good and bad objects, and the module global `np` replaced, now and
// then, by a stand-in that misbehaves. Some arrays of the pool export their
// buffer through Python and answer each request with the next of their
// buffers (another shape, stride, format or a read-only one), starting at a
// point the input chooses; one stand-in's np.empty returns such an array, and
// others a slice of a larger parent whose margin must stay as it was. Every
// call must
//  - either return a plain, C-contiguous, writable ndarray of the entry's
//    dtype, shaped like one of the arrays passed, with values in the entry's
//    range, or raise one of the documented exception types (or the stand-in's
//    own), and never both or neither;
//  - leave the reference count of every pool object as it found it;
//  - leave the inputs' contents and the parents' margins untouched.
//
// The interpreter finds numpy and the module through PYTHONPATH (set by
// scripts/fuzz.sh).
#include <Python.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kPoolCode = R"PY(
import types
import numpy as np
from numpy.lib.stride_tricks import as_strided
import Quorvane

class FuzzError(Exception):
    pass

class Sub(np.ndarray):
    pass

class Name(str):
    pass

class RefusingName(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        raise FuzzError("comparison refused")

rng = np.random.default_rng(20240601)

def cheap(shape):
    # sigma0 this low stops every pixel's search at the first candidates,
    # whichever argument the array ends up bound to.
    return rng.uniform(-90.0, -50.0, size=shape).astype(np.float32)

wide = cheap((4, 8))
read_only = cheap((2, 3))
read_only.flags.writeable = False
raw = np.zeros(2 * 3 * 4 + 1, np.uint8)
unaligned = raw[1:].view(np.float32).reshape(2, 3)
unaligned[...] = cheap((2, 3))
record = np.dtype({"names": ["x"], "formats": ["<f4"], "itemsize": 8})

class Shifting(np.ndarray):
    """Answers the n-th buffer request with answers[(start + n) % len(answers)]."""
    def __buffer__(self, flags):
        self.requests += 1
        return memoryview(self.answers[self.requests % len(self.answers)])

def shifting(answers):
    made = answers[0].view(Shifting)
    made.answers, made.requests = answers, 0
    return made

def frozen(a):
    a.flags.writeable = False
    return a

wide_answers = cheap((6, 12))
shifting_arrays = [
    shifting([cheap((2, 3)), cheap((3, 4)), cheap((1, 1)), wide_answers[::2, ::4]]),
    shifting([cheap((2, 3)), wide_answers[::-3, ::-4], cheap((0, 3)), cheap((2, 3)).T.copy().T]),
    shifting([cheap((2, 3)), np.zeros((2, 3)), frozen(cheap((2, 3))), cheap((2, 3, 1))]),
    shifting([cheap((1, 1)), cheap((3, 4)), cheap((2, 3)), np.asfortranarray(cheap((3, 4)))]),
]

def rewind(starts):
    for made, start in zip(shifting_arrays, starts):
        made.requests = start

parents = []

def in_parent(shape, dtype):
    # A canary margin of 2 elements round the grid np.empty was asked for.
    parent = np.full((shape[0] + 4, shape[1] + 4), -777.0, dtype)
    parents.append(parent)
    return parent[2:2 + shape[0], 2:2 + shape[1]]

def shifting_in_parent(shape, dtype):
    inner = in_parent(shape, dtype)
    parent = parents[-1]
    return shifting([inner, parent, parent[1:-1, 1:-1], inner[::-1, :]])

def margins_untouched():
    intact = all(
        (p[:2] == -777.0).all() and (p[-2:] == -777.0).all() and
        (p[:, :2] == -777.0).all() and (p[:, -2:] == -777.0).all() for p in parents)
    parents.clear()
    return intact

arrays = [
    cheap((2, 3)), cheap((2, 3)), cheap((3, 4)), cheap((1, 1)), cheap((0, 3)), cheap((3, 0)),
    cheap((0, 0)), wide[::2, ::3], wide[::-1, :], wide[:, ::-1], wide[::-2, ::-3],
    np.asfortranarray(cheap((2, 3))), cheap((3, 2)).T,
    as_strided(cheap((1, 1)), shape=(2, 3), strides=(0, 0), writeable=True),
    as_strided(cheap((1, 3)), shape=(4, 3), strides=(0, 4), writeable=True),
    unaligned, cheap((2, 3)).view(Sub), read_only,
    cheap((2, 3)).astype(">f4"), np.zeros((2, 3)), np.zeros((2, 3), np.int64),
    np.zeros((2, 3), np.int32), np.zeros((2, 3), np.float16), np.zeros((2, 3), object),
    np.zeros((2, 3), "U2"), np.zeros((2, 3), "S2"), np.zeros((2, 3), bool),
    np.zeros((2, 3), np.complex64), np.zeros((2, 3), record), np.zeros((2, 3), "M8[s]"),
    cheap(3), cheap((2, 2, 2)), cheap(()), np.float32(-60.0), None, [[-60.0]], -60.0, "wind_dir",
    *shifting_arrays,
]
answers = [b for s in shifting_arrays for b in s.answers]
snapshots = [(a, a.copy()) for a in arrays + answers
             if isinstance(a, np.ndarray) and a.dtype.kind == "f"]

names = [
    "wind_dir", "inc_angle", "sigma0", "wind_U10", "wind_V10",
    "".join(["wind", "_dir"]), "".join(["sig", "ma0"]), "".join(["wind", "_V10"]),
    Name("inc_angle"), Name("wind_U10"), RefusingName("wind_dir"), RefusingName("zzz"),
    "u", "", "wind_dir ", "\u00e9t\u00e9", 1, b"sigma0", None,
]

functions = [Quorvane.python_windspeedCmod5n, Quorvane.python_ERA5_windAngle]

def refuse(*args, **kwargs):
    raise FuzzError("refused")

def stand_in(**changes):
    attributes = dict(empty=np.empty, asarray=np.asarray, float32=np.float32, float64=np.float64)
    attributes.update(changes)
    return types.SimpleNamespace(**{k: v for k, v in attributes.items() if v is not None})

def read_only_empty(shape, dtype):
    out = np.zeros(shape, dtype)
    out.flags.writeable = False
    return out

DELETE = object()
# Their results are slices of a larger parent, not C-ordered blocks of their own.
parent_variants = [stand_in(empty=in_parent), stand_in(empty=shifting_in_parent)]
np_variants = [
    np, DELETE, stand_in(empty=None), stand_in(float32=None), stand_in(float64=None),
    stand_in(asarray=None), stand_in(empty=refuse), stand_in(asarray=refuse),
    stand_in(empty=lambda shape, dtype: np.empty((1, 1), dtype)),
    stand_in(empty=lambda shape, dtype: np.empty((9, 9), dtype)),
    stand_in(empty=lambda shape, dtype: np.empty(shape, np.float16)),
    stand_in(empty=lambda shape, dtype: np.empty(shape + (1,), dtype)),
    stand_in(empty=read_only_empty), stand_in(empty=lambda shape, dtype: [0.0]),
    *parent_variants,
    stand_in(asarray=lambda obj: obj),  # hands back the exporter itself
]

allowed = (TypeError, ValueError, BufferError, NameError, AttributeError, FuzzError)

def check_result(result, which, passed, variant):
    if variant is np_variants[-1]:
        # The entry returns whatever np.asarray gives: here the exporter of the result.
        if type(result) is not memoryview or result.readonly:
            return "the exporter is not a writable memoryview"
        result = np.asarray(result)
    elif type(result) is not np.ndarray:
        return "result is not a plain ndarray"
    if result.dtype != (np.float64 if which == 0 else np.float32):
        return "result has the wrong dtype"
    if result.ndim != 2 or not result.flags.writeable:
        return "result is not a writable grid"
    if variant not in parent_variants and not result.flags.c_contiguous:
        return "result is not C-ordered"
    shapes = [a.shape for a in passed if isinstance(a, np.ndarray)]
    shapes += [b.shape for a in passed if isinstance(a, Shifting) for b in a.answers]
    if result.shape not in shapes:
        return "result is shaped like no argument"
    if which == 0 and not np.all((result >= 0.0) & (result <= 26.0)):
        return "wind speed outside [0, 26]"
    if which == 1 and not np.all(np.abs(result) <= np.float32(np.pi)):
        return "wind angle outside [-pi, pi]"
    return None

def inputs_untouched():
    return all(np.array_equal(a, copy) for a, copy in snapshots)
)PY";

struct Pool {
    PyObject* module = nullptr;       // Quorvane
    PyObject* real_numpy = nullptr;
    PyObject* delete_marker = nullptr;
    PyObject* allowed = nullptr;
    PyObject* check_result = nullptr;
    PyObject* inputs_untouched = nullptr;
    PyObject* rewind = nullptr;
    PyObject* margins_untouched = nullptr;
    std::size_t shifting_count = 0;
    std::vector<PyObject*> functions, arrays, names, np_variants;
    std::vector<PyObject*> watched;   // everything whose reference count must not move
};

Pool pool;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "fuzz_binding: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

std::vector<PyObject*> listItems(PyObject* globals, const char* name) {
    PyObject* list = PyDict_GetItemString(globals, name);
    if (list == nullptr || !PyList_Check(list)) die("pool list missing");
    std::vector<PyObject*> items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) items.push_back(PyList_GET_ITEM(list, i));
    return items;
}

PyObject* global(PyObject* globals, const char* name) {
    PyObject* value = PyDict_GetItemString(globals, name);
    if (value == nullptr) die("pool global missing");
    return value;
}

void setUp() {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;  // libFuzzer keeps its own
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) die("the interpreter did not start");

    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* done = PyRun_String(kPoolCode, Py_file_input, globals, globals);
    if (done == nullptr) die("the pool could not be made (is PYTHONPATH set?)");
    Py_DECREF(done);
    // globals is kept for the life of the process: the pool lives in it.
    pool.module = global(globals, "Quorvane");
    pool.real_numpy = global(globals, "np");
    pool.delete_marker = global(globals, "DELETE");
    pool.allowed = global(globals, "allowed");
    pool.check_result = global(globals, "check_result");
    pool.inputs_untouched = global(globals, "inputs_untouched");
    pool.rewind = global(globals, "rewind");
    pool.margins_untouched = global(globals, "margins_untouched");
    pool.shifting_count = listItems(globals, "shifting_arrays").size();
    pool.functions = listItems(globals, "functions");
    pool.arrays = listItems(globals, "arrays");
    pool.names = listItems(globals, "names");
    pool.np_variants = listItems(globals, "np_variants");
    for (const auto* group : {&pool.functions, &pool.arrays, &pool.names, &pool.np_variants}) {
        pool.watched.insert(pool.watched.end(), group->begin(), group->end());
    }
}

template <typename T>
T pick(FuzzedDataProvider& input, const std::vector<T>& items) {
    return items[input.ConsumeIntegralInRange<std::size_t>(0, items.size() - 1)];
}

void setNumpy(PyObject* variant) {
    if (variant == pool.delete_marker) {
        if (PyObject_DelAttrString(pool.module, "np") < 0) die("could not remove np");
    } else if (PyObject_SetAttrString(pool.module, "np", variant) < 0) {
        die("could not rebind np");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t which = input.ConsumeIntegralInRange<std::size_t>(0, pool.functions.size() - 1);
    PyObject* function = pool.functions[which];
    // Mostly the real numpy; a misbehaving stand-in one call in four.
    PyObject* np_variant = input.ConsumeIntegralInRange<int>(0, 3) != 0 ? pool.real_numpy
                                                                         : pick(input, pool.np_variants);
    const std::size_t positional = input.ConsumeIntegralInRange<std::size_t>(0, 4);
    const std::size_t keywords = input.ConsumeIntegralInRange<std::size_t>(0, 4);
    const bool empty_kwnames = input.ConsumeBool();
    const std::string starts = input.ConsumeBytesAsString(pool.shifting_count);

    std::vector<PyObject*> stack;
    for (std::size_t i = 0; i < positional; ++i) stack.push_back(pick(input, pool.arrays));
    std::vector<PyObject*> keyword_names;
    for (std::size_t i = 0; i < keywords; ++i) {
        keyword_names.push_back(pick(input, pool.names));
        stack.push_back(pick(input, pool.arrays));
    }

    std::vector<Py_ssize_t> counts;
    for (PyObject* object : pool.watched) counts.push_back(Py_REFCNT(object));

    PyObject* kwnames = nullptr;
    if (keywords > 0 || empty_kwnames) {
        kwnames = PyTuple_New(static_cast<Py_ssize_t>(keywords));
        if (kwnames == nullptr) die("no memory for the keyword names");
        for (std::size_t i = 0; i < keywords; ++i) {
            PyTuple_SET_ITEM(kwnames, static_cast<Py_ssize_t>(i), Py_NewRef(keyword_names[i]));
        }
    }
    PyObject* passed = PyTuple_New(static_cast<Py_ssize_t>(stack.size()));
    if (passed == nullptr) die("no memory for the argument tuple");
    for (std::size_t i = 0; i < stack.size(); ++i) {
        PyTuple_SET_ITEM(passed, static_cast<Py_ssize_t>(i), Py_NewRef(stack[i]));
    }

    PyObject* start_bytes =
        PyBytes_FromStringAndSize(starts.data(), static_cast<Py_ssize_t>(starts.size()));
    PyObject* rewound = start_bytes ? PyObject_CallOneArg(pool.rewind, start_bytes) : nullptr;
    if (rewound == nullptr) die("could not rewind the shifting arrays");
    Py_DECREF(rewound);
    Py_DECREF(start_bytes);
    setNumpy(np_variant);
    PyObject* result = PyObject_Vectorcall(function, stack.data(), positional, kwnames);
    PyObject* raised = PyErr_GetRaisedException();
    setNumpy(pool.real_numpy);

    if (result != nullptr) {
        if (raised != nullptr) die("a result was returned with an exception set");
        PyObject* problem = PyObject_CallFunction(pool.check_result, "OnOO", result,
                                                  static_cast<Py_ssize_t>(which), passed, np_variant);
        if (problem == nullptr) die("checking the result raised");
        if (problem != Py_None) {
            std::fprintf(stderr, "fuzz_binding: %s\n", PyUnicode_AsUTF8(problem));
            PyObject_Print(result, stderr, 0);
            die("bad result");
        }
        Py_DECREF(problem);
        Py_DECREF(result);
        result = Py_None;  // remembered as "returned", no longer owned
    } else {
        if (raised == nullptr) die("no result and no exception");
        if (!PyErr_GivenExceptionMatches(raised, pool.allowed)) {
            PyErr_SetRaisedException(raised);
            die("an undocumented exception was raised");
        }
        Py_DECREF(raised);
    }
    Py_DECREF(passed);
    Py_XDECREF(kwnames);

    PyObject* margins = PyObject_CallNoArgs(pool.margins_untouched);
    if (margins != Py_True) die("a parent's margin round the result was written to");
    Py_DECREF(margins);
    for (std::size_t i = 0; i < pool.watched.size(); ++i) {
        if (Py_REFCNT(pool.watched[i]) != counts[i]) {
            PyObject_Print(pool.watched[i], stderr, 0);
            std::fprintf(stderr, "\nreference count %zd before the call, %zd after\n", counts[i],
                         Py_REFCNT(pool.watched[i]));
            die("a reference count moved");
        }
    }
    if (result != nullptr) {  // only a call that ran the loop read the inputs
        PyObject* untouched = PyObject_CallNoArgs(pool.inputs_untouched);
        if (untouched != Py_True) die("an input array was written to");
        Py_DECREF(untouched);
    }
    return 0;
}
