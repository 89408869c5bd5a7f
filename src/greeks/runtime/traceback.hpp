// Traceback entries for exceptions that leave, or are caught in, the module's code.
#pragma once

#include "greeks/runtime/compat.hpp"

namespace greeks::runtime {

// The file name of the module's own statements in traceback entries and code objects.
inline constexpr const char* source_file = "greeks\\greeks";
// The file name of the pickling functions.
inline constexpr const char* pickling_source_file = "<stringsource>";

// Adds an entry named `function` at `file`:`line` to the pending exception's traceback.
// Keeps the exception pending; never fails in a way the caller has to handle.
void add_traceback(const char* function, const char* file, int line);

}  // namespace greeks::runtime
