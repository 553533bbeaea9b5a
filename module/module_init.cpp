// The module definition, its create and exec slots, and the process-wide
// state they fill in.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "module/entries.hpp"
#include "module/entry_function.hpp"
#include "module/interface.hpp"
#include "module/module_state.hpp"
#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"
#include "module/result_buffer.hpp"
#include "module/traceback.hpp"
#include "simd/cpu_features.hpp"

namespace quorvane {

ModuleState moduleState;

namespace {

using interface::kImportNumpyLine;
using interface::kInitFunctionName;
using interface::kInitLine;
using interface::kModuleName;

// Sizes of the C structures behind the imported types, as the headers of this
// build (CPython 3.12, NumPy 2.x targeting the 1.23 C API, LP64) declare them.
// The checks below use sizeof itself; these only record the expected numbers.
static_assert(sizeof(void*) != 8 || sizeof(PyHeapTypeObject) == 920);
static_assert(sizeof(void*) != 8 || sizeof(PyArray_Descr) == 32);
static_assert(sizeof(void*) != 8 || sizeof(PyArrayIterObject) == 2632);
static_assert(sizeof(void*) != 8 || sizeof(PyArrayMultiIterObject) == 560);
static_assert(sizeof(void*) != 8 || sizeof(PyArrayObject_fields) == 96);
static_assert(sizeof(void*) != 8 || sizeof(PyObject) == 16);
static_assert(sizeof(void*) != 8 || sizeof(PyUFuncObject) == 232);

enum class SizePolicy { ignore, warn };

struct TypeImport {
    const char* module;
    const char* name;
    Py_ssize_t expected_size;
    SizePolicy policy;
};

constexpr TypeImport kTypeImports[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), SizePolicy::warn},
    {"numpy", "dtype", sizeof(PyArray_Descr), SizePolicy::ignore},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), SizePolicy::ignore},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizePolicy::ignore},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), SizePolicy::ignore},
    {"numpy", "generic", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "number", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "integer", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "signedinteger", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "unsignedinteger", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "inexact", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "floating", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "complexfloating", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "flexible", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "character", sizeof(PyObject), SizePolicy::warn},
    {"numpy", "ufunc", sizeof(PyUFuncObject), SizePolicy::ignore},
};
constexpr std::size_t kTypeImportCount = sizeof(kTypeImports) / sizeof(kTypeImports[0]);
constexpr std::size_t kNdarrayIndex = 4;

// The imported types, held for the life of the process.
PyTypeObject* importedTypes[kTypeImportCount] = {};

constexpr const char* kBuiltinNames[] = {
    "range", "__import__", "ValueError", "MemoryError", "enumerate", "TypeError",
    "AssertionError", "Ellipsis", "id", "IndexError", "ImportError",
};


// --- create -------------------------------------------------------------

// Copies spec.<attribute> into the module namespace as key. A missing
// attribute is skipped; so is None unless none_allowed.
int copySpecAttribute(PyObject* spec, PyObject* dict, const char* attribute, const char* key,
                      bool none_allowed) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !none_allowed) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* createModule(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (moduleState.interpreter_id == -1) {
        moduleState.interpreter_id = id;
    } else if (moduleState.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, interface::kSecondInterpreter);
        return nullptr;
    }
    if (moduleState.module != nullptr) return Py_NewRef(moduleState.module);

    py::Ref name = py::Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    py::Ref module = py::Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copySpecAttribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copySpecAttribute(spec, dict, "origin", "__file__", true) < 0 ||
        copySpecAttribute(spec, dict, "parent", "__package__", true) < 0 ||
        copySpecAttribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// --- exec ---------------------------------------------------------------

int checkInterpreterVersion() {
    const unsigned long runtime_major = (Py_Version >> 24) & 0xff;
    const unsigned long runtime_minor = (Py_Version >> 16) & 0xff;
    if (runtime_major == 3 && runtime_minor == 12) return 0;
    char message[200];
    std::snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, kModuleName, "does not match", static_cast<int>(runtime_major),
                  static_cast<int>(runtime_minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// An interned name with its hash computed; null with an exception set.
py::Ref internName(const char* text) {
    py::Ref name = py::Ref::steal(PyUnicode_InternFromString(text));
    if (name && PyObject_Hash(name.get()) == -1) return {};
    return name;
}

int internNames() {
    InternedNames& n = moduleState.names;
    const struct {
        PyObject*& slot;
        const char* text;
    } names[] = {
        {n.wind_U10, "wind_U10"}, {n.wind_V10, "wind_V10"},   {n.wind_dir, "wind_dir"},
        {n.inc_angle, "inc_angle"}, {n.sigma0, "sigma0"},     {n.np, "np"},
        {n.empty, "empty"},       {n.dtype, "dtype"},         {n.float32, "float32"},
        {n.float64, "float64"},   {n.asarray, "asarray"},
    };
    for (const auto& entry : names) {
        if (entry.slot != nullptr) continue;
        py::Ref name = internName(entry.text);
        if (!name) return -1;
        entry.slot = name.release();  // kept for the life of the process
    }
    return 0;
}

// QUORVANE_ISA, when set and not empty, pins the instruction set of every
// kernel, so that results are those of that set's math family on any machine
// that has it; a name this CPU cannot run is refused rather than replaced.
int pinInstructionSet() {
    const char* text = std::getenv(interface::kIsaVariable);
    if (text == nullptr || *text == '\0') return 0;
    std::string runs;
    for (const simd::Isa isa : simd::kAllIsas) {
        if (!simd::supports(isa)) continue;
        if (!runs.empty()) runs += ", ";
        runs += simd::name(isa);
    }
    simd::Isa isa;
    if (!simd::isaNamed(text, isa)) {
        PyErr_Format(PyExc_ImportError, interface::kUnknownIsa, text, runs.c_str());
        return -1;
    }
    if (!simd::pin(isa)) {
        PyErr_Format(PyExc_ImportError, interface::kUnsupportedIsa, text, text, runs.c_str());
        return -1;
    }
    return 0;
}

// Sets the C-API ImportError in place of whatever the NumPy C-API import raised.
int importNumpy() {
    if (importNumpyCApi() == 0) return 0;
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, interface::kNumpyImportError);
    return -1;
}

// Makes the module reachable as sys.modules["Quorvane"] when it was imported
// under another name. Sets added when this call made the entry.
int registerBareName(PyObject* module, bool& added) {
    PyObject* modules = PyImport_GetModuleDict();
    py::Ref key = py::Ref::steal(PyUnicode_FromString(kModuleName));
    if (!key) return -1;
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    if (PyDict_SetItem(modules, key.get(), module) < 0) return -1;
    added = true;
    return 0;
}

// Takes the bare-name entry out again after a failed execution, if it still
// refers to this module; the pending exception is left as it is.
void unregisterBareName(PyObject* module) {
    py::StashedError stashed;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemString(modules, kModuleName);
    if (entry == module && PyDict_DelItemString(modules, kModuleName) < 0) PyErr_Clear();
}

int lookUpBuiltins(PyObject* builtins) {
    for (const char* text : kBuiltinNames) {
        py::Ref name = py::Ref::steal(PyUnicode_InternFromString(text));
        if (!name) return -1;
        py::Ref value = py::Ref::steal(PyObject_GetAttr(builtins, name.get()));
        if (value) continue;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, interface::kNameNotDefined, name.get());
        return -1;
    }
    return 0;
}

PyTypeObject* importType(PyObject* module, const TypeImport& entry) {
    py::Ref object = py::Ref::steal(PyObject_GetAttrString(module, entry.name));
    if (!object) return nullptr;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, interface::kNotATypeObject, entry.module,
                     entry.name);
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(object.get());
    const Py_ssize_t basic_size = type->tp_basicsize;
    Py_ssize_t item_size = type->tp_itemsize;
    if (item_size != 0) {
        // A variable-size type counts at least one alignment unit of items.
        Py_ssize_t alignment = entry.expected_size % 8;
        if (alignment == 0) alignment = 8;
        if (item_size < alignment) item_size = alignment;
    }
    const Py_ssize_t actual_size = basic_size + item_size;
    if (actual_size < entry.expected_size) {
        PyErr_Format(PyExc_ValueError, interface::kSizeChanged, entry.module, entry.name,
                     entry.expected_size, actual_size);
        return nullptr;
    }
    if (entry.policy == SizePolicy::warn && basic_size > entry.expected_size) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0, interface::kSizeChanged, entry.module,
                             entry.name, entry.expected_size, basic_size) < 0) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(object.release());
}

int importTypes() {
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    py::Ref numpy = py::Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (std::size_t i = 0; i < kTypeImportCount; ++i) {
        const TypeImport& entry = kTypeImports[i];
        PyObject* module = entry.module[0] == 'b' ? builtins.get() : numpy.get();
        PyTypeObject* type = importType(module, entry);
        if (type == nullptr) return -1;
        PyTypeObject* old = importedTypes[i];
        importedTypes[i] = type;
        Py_XDECREF(old);
    }
    moduleState.ndarray_type = importedTypes[kNdarrayIndex];
    return 0;
}

// `import numpy as np`: the module in sys.modules unless it is still being
// initialised, otherwise an ordinary absolute import.
py::Ref importNumpyModule() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* numpy = PyDict_GetItemString(modules, "numpy");
    if (numpy != nullptr && numpy != Py_None) {
        py::Ref spec = py::Ref::steal(PyObject_GetAttrString(numpy, "__spec__"));
        int initializing = 0;
        if (spec && spec.get() != Py_None) {
            py::Ref flag = py::Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
            initializing = flag ? PyObject_IsTrue(flag.get()) : 0;
            if (initializing < 0) return {};
        }
        PyErr_Clear();
        if (initializing == 0) return py::Ref::borrow(numpy);
    }
    // As the import statement does: builtins.__import__ with the module
    // namespace as globals and locals, no from-list, level 0.
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) return {};
    py::Ref import = py::Ref::steal(PyObject_GetAttrString(builtins, "__import__"));
    if (!import) return {};
    py::Ref name = py::Ref::steal(PyUnicode_FromString("numpy"));
    if (!name) return {};
    py::Ref level = py::Ref::steal(PyLong_FromLong(0));
    if (!level) return {};
    return py::Ref::steal(PyObject_CallFunctionObjArgs(import.get(), name.get(), moduleState.dict,
                                                       moduleState.dict, Py_None, level.get(),
                                                       nullptr));
}

// Stores value under name in the module namespace; a null value (a failed
// call that made it) fails with that call's exception.
int storeGlobal(const char* name, const py::Ref& value) {
    if (!value) return -1;
    return PyDict_SetItemString(moduleState.dict, name, value.get());
}

// Exec steps from the NumPy C-API import on; a failure returns the line to
// report, with the exception set.
int execBody(PyObject* module, bool& bare_name_added, int& failure_line) {
    failure_line = kInitLine;
    if (pinInstructionSet() < 0) return -1;
    if (importNumpy() < 0) return -1;
    if (initEntryFunctionType() < 0 || initResultBufferType() < 0) return -1;
    if (registerBareName(module, bare_name_added) < 0) return -1;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr || lookUpBuiltins(builtins) < 0) return -1;

    py::Ref wind_angle_code = newEntryCode(windAngleEntry);
    if (!wind_angle_code) return -1;
    py::Ref windspeed_code = newEntryCode(windspeedEntry);
    if (!windspeed_code) return -1;

    if (importTypes() < 0) return -1;

    failure_line = kImportNumpyLine;
    if (storeGlobal("np", importNumpyModule()) < 0) return -1;

    const InternedNames& n = moduleState.names;
    failure_line = windAngleEntry.first_line;
    PyObject* const wind_angle_parameters[] = {n.wind_U10, n.wind_V10};
    if (storeGlobal(windAngleEntry.name,
                    newEntryFunction(windAngleEntry, wind_angle_code.get(), moduleState.dict,
                                     wind_angle_parameters)) < 0) {
        return -1;
    }

    failure_line = windspeedEntry.first_line;
    PyObject* const windspeed_parameters[] = {n.wind_dir, n.inc_angle, n.sigma0};
    if (storeGlobal(windspeedEntry.name,
                    newEntryFunction(windspeedEntry, windspeed_code.get(), moduleState.dict,
                                     windspeed_parameters)) < 0) {
        return -1;
    }

    failure_line = kInitLine;
    return storeGlobal("__test__", py::Ref::steal(PyDict_New()));
}

int execModule(PyObject* module) {
    if (moduleState.module != nullptr) {
        if (moduleState.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, interface::kAlreadyImported);
        return -1;
    }

    moduleState.module = Py_NewRef(module);
    moduleState.dict = PyModule_GetDict(module);

    bool bare_name_added = false;
    bool with_frame = false;
    int failure_line = kInitLine;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins != nullptr && PyObject_SetAttrString(module, "__builtins__", builtins) == 0 &&
        checkInterpreterVersion() == 0 && internNames() == 0) {
        with_frame = true;
        if (execBody(module, bare_name_added, failure_line) == 0) return 0;
    }

    if (with_frame && PyErr_Occurred()) addTracebackEntry(kInitFunctionName, failure_line);
    if (bare_name_added) unregisterBareName(module);
    Py_CLEAR(moduleState.module);
    moduleState.dict = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitFunctionName);
    return -1;
}

PyMethodDef moduleMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,
    0,
    moduleMethods,
    moduleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_Quorvane() { return PyModuleDef_Init(&quorvane::moduleDefinition); }
