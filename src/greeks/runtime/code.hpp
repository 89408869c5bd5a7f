// Code objects: what a method's __code__ shows.
#pragma once

#include "greeks/runtime/function.hpp"

namespace greeks::runtime {

// New reference to a code object carrying the parameter and local names, the file name and the
// first line of `def`; it holds no bytecode. Null with an exception set on failure.
PyObject* new_code(const MethodDef& def);

}  // namespace greeks::runtime
