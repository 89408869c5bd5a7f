// Argument binding: positional and keyword arguments onto a fixed parameter list, with the
// interpreter-style messages of every failure.
#include "greeks/runtime/function.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks::runtime {

namespace {

int raise_count_error(const char* func_name, int nparams, int nrequired, Py_ssize_t given) {
    const bool exact = nrequired == nparams;
    const bool too_few = given < nrequired;
    const Py_ssize_t expected = too_few ? nrequired : nparams;
    const char* bound = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, messages::arg_count, func_name, bound, expected,
                 expected == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter named `key`, or -1. Keyword names are text here, so the comparison
// never runs Python code.
int find_param(PyObject* key, PyObject* const* names, int nparams) {
    for (int i = 0; i < nparams; ++i)
        if (names[i] == key) return i;
    for (int i = 0; i < nparams; ++i)
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    return -1;
}

// Value of the keyword `name` among the call's keywords, or null.
PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(name, key) == 0) return kwvalues[i];
    }
    return nullptr;
}

}  // namespace

int bind_arguments(const char* func_name, PyObject* const* names, int nparams, int nrequired,
                   PyObject* defaults, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    if (nargs > nparams) return raise_count_error(func_name, nparams, nrequired, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t consumed = 0;
    for (int i = static_cast<int>(nargs); i < nparams; ++i) {
        PyObject* value = nkw ? find_keyword(names[i], kwnames, kwvalues) : nullptr;
        if (value) {
            out[i] = value;
            ++consumed;
        } else if (i < nrequired) {
            // A required parameter missing: the count given is how many came before it.
            return raise_count_error(func_name, nparams, nrequired, i);
        } else {
            out[i] = PyTuple_GET_ITEM(defaults, i - nrequired);
        }
    }
    if (consumed == nkw) return 0;

    // Some keyword was not taken: name the first offender, in the call's order.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, messages::keywords_not_text, func_name);
            return -1;
        }
        const int index = find_param(key, names, nparams);
        if (index >= nargs) continue;
        if (index >= 0)
            PyErr_Format(PyExc_TypeError, messages::repeated_keyword, func_name, key);
        else
            PyErr_Format(PyExc_TypeError, messages::unexpected_keyword, func_name, key);
        return -1;
    }
    return 0;
}

int bind_tuple_and_dict(const char* func_name, PyObject* const* names, int nparams, int nrequired,
                        PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        return bind_arguments(func_name, names, nparams, nrequired, nullptr,
                              &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    }
    // Lay the call out as a vectorcall would: positional values, then keyword values.
    // The tuple keeps every value alive while the bound pointers are in use.
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    if (!kwnames || !stack) return -1;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value) && k < nkw) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(stack.get(), nargs + k, Py_NewRef(value));
        ++k;
    }
    if (bind_arguments(func_name, names, nparams, nrequired, nullptr,
                       &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get(), out) < 0) {
        return -1;
    }
    // The bound values are also held by the caller's tuple and dict for the whole call.
    return 0;
}

}  // namespace greeks::runtime
