// The common road of both entries: type checks, array buffer checks, shape
// agreement, allocation of the result, views, the parallel loop with the
// interpreter lock released, and the hand-back of the result, each failure
// reported at its own source line.
#pragma once

#include <Python.h>

#include "grid/grid_view.hpp"
#include "module/buffer_format.hpp"
#include "module/entry_function.hpp"
#include "module/interface.hpp"
#include "module/module_state.hpp"

namespace quorvane {

// Result (float or double) also names the dtype np.empty is asked for.
template <class Result>
struct GridEntryLayout {
    const EntryDefinition* definition;        // parameters are its first local names
    const interface::EntryLines* lines;       // where each step's failures are reported
    // The parallel loop: inputs in parameter order, then the result view.
    void (*compute)(const grid::GridView<float>* inputs, grid::GridView<Result> result);
};

// Runs an entry on its bound arguments (borrowed). New reference or null.
template <class Result>
PyObject* runGridEntry(const GridEntryLayout<Result>& layout, PyObject* const* arguments);

}  // namespace quorvane
