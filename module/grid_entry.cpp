#include "module/grid_entry.hpp"

#include "module/gil.hpp"
#include "module/grid_buffers.hpp"
#include "module/interface.hpp"
#include "module/py_ref.hpp"
#include "module/traceback.hpp"

namespace quorvane {
namespace {

// The buffers and views one call holds, and the order in which a failed call
// gives them back: the checked buffers with the exception set aside, then the
// traceback entry, then the views.
template <class Result>
class EntryResources {
public:
    explicit EntryResources(const GridEntryLayout<Result>& layout) : layout_(layout) {}
    EntryResources(const EntryResources&) = delete;
    EntryResources& operator=(const EntryResources&) = delete;

    HeldBuffer checked[kMaxParameters];
    HeldGridView<Result> result;
    HeldGridView<float> inputs[kMaxParameters];

    PyObject* fail(int line) {
        {
            py::StashedError pending;
            releaseChecked();
        }
        addTracebackEntry(layout_.definition->traceback_name, line);
        releaseViews();
        return nullptr;
    }

    PyObject* finish(PyObject* value) {
        releaseChecked();
        releaseViews();
        return value;
    }

private:
    void releaseChecked() {
        for (HeldBuffer& buffer : checked) buffer.release();
    }
    void releaseViews() {
        result.release();
        for (HeldGridView<float>& view : inputs) view.release();
    }

    const GridEntryLayout<Result>& layout_;
};

// np.empty((rows, columns), dtype=np.<dtype>), converted to the result view,
// which must cover exactly the requested grid.
template <class Result>
bool allocateResult(Py_ssize_t rows, Py_ssize_t columns, HeldGridView<Result>& out) {
    const InternedNames& names = moduleState.names;
    py::Ref np = lookupNumpy();
    if (!np) return false;
    py::Ref empty = py::Ref::steal(PyObject_GetAttr(np.get(), names.empty));
    if (!empty) return false;
    py::Ref shape = py::Ref::steal(Py_BuildValue("(nn)", rows, columns));
    if (!shape) return false;
    np = lookupNumpy();
    if (!np) return false;
    PyObject* dtype_name = sizeof(Result) == 8 ? names.float64 : names.float32;
    py::Ref dtype = py::Ref::steal(PyObject_GetAttr(np.get(), dtype_name));
    if (!dtype) return false;
    PyObject* call_args[] = {shape.get(), dtype.get()};
    py::Ref keywords = py::Ref::steal(PyTuple_Pack(1, names.dtype));
    if (!keywords) return false;
    py::Ref array = py::Ref::steal(PyObject_Vectorcall(empty.get(), call_args, 1, keywords.get()));
    if (!array) return false;
    if (!convertToGridView(array.get(), out)) return false;
    if (out.view.rows() != rows || out.view.columns() != columns) {
        PyErr_Format(PyExc_ValueError, interface::kResultShape,
                     static_cast<Py_ssize_t>(out.view.rows()),
                     static_cast<Py_ssize_t>(out.view.columns()), rows, columns);
        out.release();
        return false;
    }
    return true;
}

// A view is made by a second buffer request, and an exporter written in Python
// may answer it with another buffer than the one checked before: every input
// view must still cover the checked grid, or the loop would read past it.
bool coversCheckedGrid(const grid::GridView<float>& view, Py_ssize_t rows, Py_ssize_t columns,
                       const char* name, const char* first_name) {
    if (view.rows() >= rows && view.columns() >= columns) return true;
    PyErr_Format(PyExc_ValueError, interface::kSmallerViewShape, name,
                 static_cast<Py_ssize_t>(view.rows()), static_cast<Py_ssize_t>(view.columns()),
                 rows, columns, first_name);
    return false;
}

// The loops take their extents from the first input view: every input goes
// to them cut to the checked grid, which the result view matches exactly.
grid::GridView<float> withExtents(grid::GridView<float> view, Py_ssize_t rows, Py_ssize_t columns) {
    view.extent[0] = rows;
    view.extent[1] = columns;
    return view;
}

}  // namespace

template <class Result>
PyObject* runGridEntry(const GridEntryLayout<Result>& layout, PyObject* const* arguments) {
    const EntryDefinition& definition = *layout.definition;
    const Py_ssize_t count = definition.parameter_count;
    const char* const* parameter_names = definition.local_names;

    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!checkArrayType(arguments[i], parameter_names[i])) return nullptr;
    }

    EntryResources<Result> held(layout);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!checkArrayBuffer(arguments[i], kFloatDescriptor, held.checked[i])) {
            return held.fail(layout.lines->definition);
        }
    }
    // Every later argument is read at the first one's rows and columns.
    const Py_ssize_t rows = held.checked[0].extent(0);
    const Py_ssize_t columns = held.checked[0].extent(1);
    for (Py_ssize_t i = 1; i < count; ++i) {
        const HeldBuffer& other = held.checked[i];
        if (other.extent(0) < rows || other.extent(1) < columns) {
            PyErr_Format(PyExc_ValueError, interface::kSmallerShape, parameter_names[i],
                         other.extent(0), other.extent(1), rows, columns, parameter_names[0]);
            return held.fail(layout.lines->definition);
        }
    }

    if (!allocateResult(rows, columns, held.result)) return held.fail(layout.lines->allocate);

    grid::GridView<float> input_views[kMaxParameters];
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!convertToGridView(arguments[i], held.inputs[i]) ||
            !coversCheckedGrid(held.inputs[i].view, rows, columns, parameter_names[i],
                               parameter_names[0])) {
            return held.fail(layout.lines->views[i]);
        }
        input_views[i] = withExtents(held.inputs[i].view, rows, columns);
    }

    {
        ReleasedInterpreterLock unlocked;
        layout.compute(input_views, held.result.view);
    }

    PyObject* value = exportResult(held.result);
    if (!value) return held.fail(layout.lines->wrap);
    return held.finish(value);
}

template PyObject* runGridEntry(const GridEntryLayout<float>&, PyObject* const*);
template PyObject* runGridEntry(const GridEntryLayout<double>&, PyObject* const*);

}  // namespace quorvane
