// Conversions of typed parameters and values, and the exact-type tests.
#pragma once

#include "greeks/runtime/ref.hpp"

namespace greeks::runtime {

// A double parameter: an exact float is read directly, anything else goes through the
// interpreter's float conversion (which may run Python code). -1 with an exception set on failure.
int to_double(PyObject* obj, double* out);

// A 32-bit int parameter: an int is taken as it is, anything else through its __int__
// (may run Python code). -1 with TypeError or OverflowError set on failure.
int to_int32(PyObject* obj, int* out);

// A parameter declared with a builtin type: exactly `type` or None. False with the
// "Argument ... has incorrect type" TypeError set otherwise.
bool check_argument_type(PyObject* obj, PyTypeObject* type, const char* param_name);

// A value stored where a builtin type is declared: exactly `type` or None. False with the
// "Expected ..., got ..." TypeError set otherwise; `declared` is the name the message shows.
bool check_stored_type(PyObject* obj, PyTypeObject* type, const char* declared);

// New reference to the text of `obj` as a console line shows it: a str unchanged, anything else
// through format(obj, format_spec). May run Python code.
PyObject* format_value(PyObject* obj, PyObject* format_spec);

// New reference to the concatenation of `count` texts.
PyObject* join_texts(PyObject* const* parts, Py_ssize_t count);

// Ints small enough for the interpreter's compact form (|value| < 2**30 here), read without
// a call; every such value is exactly a double.
inline bool is_small_int(PyObject* exact_int) {
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int));
}
inline Py_ssize_t small_int_value(PyObject* exact_int) {
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(exact_int));
}

}  // namespace greeks::runtime
