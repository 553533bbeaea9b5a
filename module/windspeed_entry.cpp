#include "cmod5n/cmod5n.hpp"
#include <iterator>

#include "module/entries.hpp"
#include "module/grid_entry.hpp"

namespace quorvane {
namespace {

const char* const localNames[] = {"wind_dir",      "inc_angle",      "sigma0",     "out_speed",
                                  "wind_dir_view", "inc_angle_view", "sigma0_view"};

void compute(const grid::GridView<float>* inputs, grid::GridView<double> out_speed) {
    cmod5n::windspeedCmod5n_parallel(inputs[0], inputs[1], inputs[2], out_speed);
}

const GridEntryLayout<double> layout = {&windspeedEntry, &interface::kWindspeedLines, compute};

PyObject* body(PyObject* const* arguments) { return runGridEntry(layout, arguments); }

}  // namespace

const EntryDefinition windspeedEntry = {
    "python_windspeedCmod5n", "Quorvane.python_windspeedCmod5n",
    interface::kWindspeedLines.definition, 3, localNames, std::size(localNames), body,
};

}  // namespace quorvane
