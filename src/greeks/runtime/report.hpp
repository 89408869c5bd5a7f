// The guard of the data and pricing methods: an `except Exception as e` that prints one line.
#pragma once

#include "greeks/runtime/ref.hpp"

namespace greeks::runtime {

// Handles the exception pending at the end of a guarded region of `function` at `line`.
// The exception gets its traceback entry first. An Exception is printed through `print` as
// `prefix` followed by format(e, "") and cleared: returns 0, and the caller returns its failure
// value. Anything else (KeyboardInterrupt, SystemExit) stays pending, as does a failure of the
// printing itself: returns -1.
int print_handled_error(PyObject* print, PyObject* prefix, const char* function, int line);

// Calls `print` with the one argument `text`. -1 with an exception set on failure.
int print_line(PyObject* print, PyObject* text);

}  // namespace greeks::runtime
