// Calls of the numeric libraries the pricing code uses through module globals.
#pragma once

#include "greeks/module/module.hpp"
#include "greeks/runtime/convert.hpp"

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

// ---- Python-level arithmetic that stops at the first failure --------------------------------
// Each step throws PythonFailed when its C API call failed (the exception is then set); the
// guarded entry catches it once. Every library call looks its module global up afresh.

struct PythonFailed {};

inline runtime::Ref checked(PyObject* obj) {
    if (!obj) throw PythonFailed{};
    return runtime::Ref::steal(obj);
}

inline runtime::Ref number(double x) { return checked(PyFloat_FromDouble(x)); }
inline runtime::Ref sqrt_of(double x) {
    return checked(call_library(state.text.np, state.text.sqrt, x));
}

// Python's binary operators; may run Python code.
inline runtime::Ref add(const runtime::Ref& a, PyObject* b) {
    return checked(PyNumber_Add(a.get(), b));
}
inline runtime::Ref subtract(const runtime::Ref& a, PyObject* b) {
    return checked(PyNumber_Subtract(a.get(), b));
}
inline runtime::Ref multiply(const runtime::Ref& a, const runtime::Ref& b) {
    return checked(PyNumber_Multiply(a.get(), b.get()));
}
inline runtime::Ref divide(const runtime::Ref& a, PyObject* b) {
    return checked(PyNumber_TrueDivide(a.get(), b));
}

inline double as_double(const runtime::Ref& value) {
    double out = 0.0;
    if (runtime::to_double(value.get(), &out) < 0) throw PythonFailed{};
    return out;
}

}  // namespace greeks::pricing
