#include "greeks/runtime/guard.hpp"
#include "greeks/runtime/traceback.hpp"

namespace greeks::runtime {

int print_line(PyObject* print, PyObject* text) {
    Ref result = Ref::steal(PyObject_CallOneArg(print, text));  // may run Python code
    return result ? 0 : -1;
}

int print_handled_error(PyObject* print, PyObject* prefix, const char* function, int line) {
    add_traceback(function, source_file, line);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    // While the line is built and printed the exception counts as being handled, so that a
    // failure here is chained to it as it would be inside an except clause.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(error.get());
    int status = -1;
    Ref empty_spec = Ref::steal(PyUnicode_New(0, 0));
    if (empty_spec) {
        Ref reason =
            Ref::steal(PyObject_Format(error.get(), empty_spec.get()));  // may run Python code
        if (reason) {
            Ref text = Ref::steal(PyUnicode_Concat(prefix, reason.get()));
            if (text) status = print_line(print, text.get());
        }
    }
    PyErr_SetHandledException(outer.get());
    if (status < 0) add_traceback(function, source_file, line);
    return status;
}

}  // namespace greeks::runtime
