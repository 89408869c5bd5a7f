#include "greeks/runtime/lookup.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks::runtime {

PyObject* lookup_builtin(PyObject* builtins, PyObject* name) {
    PyObject* value = PyObject_GetAttr(builtins, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, messages::name_not_defined, name);
    }
    return value;
}

PyObject* lookup_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);  // may run Python code
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    // Without a namespace (a failed import left the module unloaded, while its class stays
    // reachable through object.__subclasses__()), every name falls through to the builtins.
    if (globals) {
        PyObject* value = PyDict_GetItemWithError(globals, name);  // may run Python code
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    return lookup_builtin(builtins, name);
}

}  // namespace greeks::runtime
