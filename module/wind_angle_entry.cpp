#include "era5/wind_angle.hpp"
#include <iterator>

#include "module/entries.hpp"
#include "module/grid_entry.hpp"

namespace quorvane {
namespace {

const char* const localNames[] = {"wind_U10", "wind_V10", "out_wind_angle", "wind_U10_view",
                                  "wind_V10_view"};

void compute(const grid::GridView<float>* inputs, grid::GridView<float> out_wind_angle) {
    era5::ERA5_windAngle_parallel(inputs[0], inputs[1], out_wind_angle);
}

const GridEntryLayout<float> layout = {&windAngleEntry, &interface::kWindAngleLines, compute};

PyObject* body(PyObject* const* arguments) { return runGridEntry(layout, arguments); }

}  // namespace

const EntryDefinition windAngleEntry = {
    "python_ERA5_windAngle", "Quorvane.python_ERA5_windAngle",
    interface::kWindAngleLines.definition, 2, localNames, std::size(localNames), body,
};

}  // namespace quorvane
