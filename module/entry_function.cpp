#include "module/entry_function.hpp"

#include <cstddef>

#include "module/argument_binding.hpp"
#include "module/interface.hpp"
#include "module/py_ref.hpp"
#include "module/traceback.hpp"

namespace quorvane {
namespace {

struct EntryFunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const EntryDefinition* definition;
    PyObject* parameter_names[kMaxParameters];  // borrowed, interned for the process
    PyObject* name;          // __name__ and __qualname__
    PyObject* code;          // __code__
    PyObject* globals;       // __globals__
    PyObject* annotations;   // __annotations__, made on first access
};

PyTypeObject* entryFunctionType = nullptr;

EntryFunctionObject* asEntry(PyObject* object) {
    return reinterpret_cast<EntryFunctionObject*>(object);
}

PyObject* callEntry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    EntryFunctionObject* self = asEntry(callable);
    const EntryDefinition& definition = *self->definition;
    py::Ref bound[kMaxParameters];
    if (!bindArguments(definition, self->parameter_names, args, PyVectorcall_NARGS(nargsf), kwnames,
                       bound)) {
        return nullptr;
    }
    PyObject* arguments[kMaxParameters] = {};
    for (Py_ssize_t i = 0; i < definition.parameter_count; ++i) arguments[i] = bound[i].get();
    return definition.body(arguments);
}

int traverseEntry(PyObject* object, visitproc visit, void* arg) {
    EntryFunctionObject* self = asEntry(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->name);
    Py_VISIT(self->code);
    Py_VISIT(self->globals);
    Py_VISIT(self->annotations);
    return 0;
}

int clearEntry(PyObject* object) {
    EntryFunctionObject* self = asEntry(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->code);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->annotations);
    return 0;
}

void deallocEntry(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    clearEntry(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* reprEntry(PyObject* object) {
    return PyUnicode_FromFormat("<function %U at %p>", asEntry(object)->name, object);
}

// Pickled by reference: the module attribute of this name is the object itself.
PyObject* reduceEntry(PyObject* object, PyObject*) { return Py_NewRef(asEntry(object)->name); }

PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* getAnnotations(PyObject* object, void*) {
    EntryFunctionObject* self = asEntry(object);
    if (self->annotations == nullptr) {
        self->annotations = PyDict_New();
        if (self->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(self->annotations);
}

PyMethodDef entryMethods[] = {
    {"__reduce__", reduceEntry, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef entryMembers[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(EntryFunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(EntryFunctionObject, name), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(EntryFunctionObject, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(EntryFunctionObject, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(EntryFunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef entryGetSets[] = {
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__defaults__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {"__annotations__", getAnnotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entrySlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(reprEntry)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverseEntry)},
    {Py_tp_clear, reinterpret_cast<void*>(clearEntry)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocEntry)},
    {Py_tp_methods, entryMethods},
    {Py_tp_members, entryMembers},
    {Py_tp_getset, entryGetSets},
    {0, nullptr},
};

// The dotted name gives the type, and through it every instance, the
// __module__ "Quorvane", whatever name the module was imported under.
PyType_Spec entrySpec = {
    "Quorvane.entry_function",
    sizeof(EntryFunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    entrySlots,
};

// A tuple of new strings made from names[0 .. count).
PyObject* stringTuple(const char* const* names, Py_ssize_t count) {
    py::Ref tuple = py::Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    return tuple.release();
}

}  // namespace

int initEntryFunctionType() { return py::createTypeOnce(entrySpec, entryFunctionType); }

py::Ref newEntryCode(const EntryDefinition& definition) {
    // An empty code object carries file, name and line; replace() gives it the
    // argument count, the local names and the flags of a plain function.
    py::Ref empty = py::Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(interface::kTracebackFileName, definition.name, definition.first_line)));
    if (!empty) return {};
    py::Ref local_names =
        py::Ref::steal(stringTuple(definition.local_names, definition.local_count));
    if (!local_names) return {};
    py::Ref replace = py::Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return {};
    py::Ref changes = py::Ref::steal(Py_BuildValue(
        "{s:n,s:n,s:n,s:i,s:O}", "co_argcount", definition.parameter_count, "co_nlocals",
        definition.local_count, "co_posonlyargcount", Py_ssize_t{0}, "co_flags",
        CO_OPTIMIZED | CO_NEWLOCALS, "co_varnames", local_names.get()));
    if (!changes) return {};
    py::Ref no_arguments = py::Ref::steal(PyTuple_New(0));
    if (!no_arguments) return {};
    return py::Ref::steal(PyObject_Call(replace.get(), no_arguments.get(), changes.get()));
}

py::Ref newEntryFunction(const EntryDefinition& definition, PyObject* code, PyObject* globals,
                         PyObject* const* parameter_names) {
    if (entryFunctionType == nullptr) {
        PyErr_SetString(PyExc_SystemError, "entry function type not initialised");
        return {};
    }
    py::Ref name = py::Ref::steal(PyUnicode_InternFromString(definition.name));
    if (!name) return {};
    py::Ref object = py::Ref::steal(entryFunctionType->tp_alloc(entryFunctionType, 0));
    if (!object) return {};
    EntryFunctionObject* self = asEntry(object.get());
    self->vectorcall = callEntry;
    self->definition = &definition;
    for (Py_ssize_t i = 0; i < definition.parameter_count; ++i) {
        self->parameter_names[i] = parameter_names[i];
    }
    self->name = name.release();
    self->code = Py_NewRef(code);
    self->globals = Py_NewRef(globals);
    return object;
}

}  // namespace quorvane
