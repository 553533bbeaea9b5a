// Traceback entries for failures raised inside the module.
#pragma once

namespace quorvane {

// Appends an entry for function_name, file "Quorvane", at the given line, to
// the traceback of the pending exception. Uses the module namespace as the
// frame's globals. If the entry cannot be made, the pending exception stays
// as it is.
void addTracebackEntry(const char* function_name, int line);

}  // namespace quorvane
