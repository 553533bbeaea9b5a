// The module's two Python-callable entries.
#pragma once

#include "module/entry_function.hpp"

namespace quorvane {

extern const EntryDefinition windAngleEntry;   // python_ERA5_windAngle, line 150
extern const EntryDefinition windspeedEntry;   // python_windspeedCmod5n, line 160

}  // namespace quorvane
