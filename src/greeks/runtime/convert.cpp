#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

#include <climits>

namespace greeks::runtime {

int to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return 0;
    }
    const double value = PyFloat_AsDouble(obj);  // may run Python code
    if (value == -1.0 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

namespace {

int int32_from_long(PyObject* number, int* out) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, messages::int_too_large);
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

}  // namespace

int to_int32(PyObject* obj, int* out) {
    if (PyLong_Check(obj)) return int32_from_long(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, messages::integer_required);
        return -1;
    }
    Ref converted = Ref::steal(number->nb_int(obj));  // may run Python code
    if (!converted) return -1;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, messages::int_returned_non_int,
                     Py_TYPE(converted.get())->tp_name);
        return -1;
    }
    return int32_from_long(converted.get(), out);
}

bool check_argument_type(PyObject* obj, PyTypeObject* type, const char* param_name) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, messages::arg_type, param_name, type->tp_name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool check_stored_type(PyObject* obj, PyTypeObject* type, const char* declared) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, messages::expected_type, declared, Py_TYPE(obj)->tp_name);
    return false;
}

PyObject* format_value(PyObject* obj, PyObject* format_spec) {
    if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
    return PyObject_Format(obj, format_spec);  // may run Python code
}

PyObject* join_texts(PyObject* const* parts, Py_ssize_t count) {
    Ref sequence = Ref::steal(PyTuple_New(count));
    if (!sequence) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(sequence.get(), i, Py_NewRef(parts[i]));
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return nullptr;
    return PyUnicode_Join(empty.get(), sequence.get());
}

}  // namespace greeks::runtime
