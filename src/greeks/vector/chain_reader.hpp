// Reading the rows of an option chain into columns, one entry per leg (a row's call or put side).
#pragma once

#include "greeks/runtime/compat.hpp"

namespace greeks::vector {

// read_legs(rows, layout, strike, day, is_call, values, origin) -> (legs, skipped, not options).
// Python entry; see chain_reader.cpp.
PyObject* read_legs_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace greeks::vector
