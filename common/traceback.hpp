// Traceback entries for native code.
#pragma once

namespace qv {

// Adds an entry to the traceback of the exception being raised, naming
// `funcname`, the module's source path and `line`.
void add_traceback(const char* funcname, int line) noexcept;

}  // namespace qv
