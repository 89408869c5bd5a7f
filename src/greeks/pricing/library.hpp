// Calls of the numeric libraries the pricing code uses through module globals.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::pricing {

// New reference to <module global>.<function>(x), with the global looked up now and x passed
// as one Python float. Null with an exception set on failure. May run Python code.
inline PyObject* call_library(PyObject* global, PyObject* function, double x) {
    runtime::Ref module = runtime::Ref::steal(get_global(global));
    if (!module) return nullptr;
    runtime::Ref callable = runtime::Ref::steal(PyObject_GetAttr(module.get(), function));
    if (!callable) return nullptr;
    runtime::Ref argument = runtime::Ref::steal(PyFloat_FromDouble(x));
    if (!argument) return nullptr;
    return PyObject_CallOneArg(callable.get(), argument.get());
}

}  // namespace greeks::pricing
