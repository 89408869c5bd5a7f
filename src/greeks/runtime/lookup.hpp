// Name lookup as the module's statements do it: the module namespace, then the builtins.
#pragma once

#include "greeks/runtime/ref.hpp"

namespace greeks::runtime {

// New reference to `name` from `globals`, or else from the `builtins` module. NameError
// "name '...' is not defined" when neither has it. A colliding dict key may run Python code.
PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

// New reference to the builtin `name`, with the same NameError when it is missing.
PyObject* lookup_builtin(PyObject* builtins, PyObject* name);

// Borrowed reference to dict[key] of an exact dict, or null with KeyError(key) (or the lookup's
// own error) set, as a subscript gives. A colliding dict key may run Python code.
PyObject* lookup_item(PyObject* dict, PyObject* key);

}  // namespace greeks::runtime
