// The module definition of quorvane_wind._loops: its method table and the
// NumPy C-API import of its exec slot.
#include <Python.h>

#include "module/numpy_api.hpp"
#include "products_module/functions.hpp"

namespace quorvane::loops {
namespace {

int execModule(PyObject*) { return importNumpyCApi(); }

template <class Function>
PyCFunction cFunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef moduleMethods[] = {
    {"block_pass", cFunction(blockPass), METH_VARARGS | METH_KEYWORDS, kBlockPassDoc},
    {"speed_uncertainty", cFunction(speedUncertainty), METH_VARARGS | METH_KEYWORDS, kSpeedUncertaintyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    // NumPy, whose C API the functions use, supports one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef moduleDefinition = {
    PyModuleDef_HEAD_INIT,
    "quorvane_wind._loops",
    "Native loops of the products layer over the pixels of a scene.",
    0,
    moduleMethods,
    moduleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvane::loops

PyMODINIT_FUNC PyInit__loops() { return PyModuleDef_Init(&quorvane::loops::moduleDefinition); }
