#include "greeks/runtime/imports.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks::runtime {

namespace {

// True when the module's __spec__._initializing is true; lookup failures count as false.
bool is_initialising(PyObject* module) {
    Ref module_spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    if (!module_spec) {
        PyErr_Clear();
        return false;
    }
    Ref flag = Ref::steal(PyObject_GetAttrString(module_spec.get(), "_initializing"));
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    const int truth = PyObject_IsTrue(flag.get());  // may run Python code
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

}  // namespace

PyObject* import_module_for(PyObject* name, PyObject* fromlist, PyObject* globals) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return PyImport_ImportModuleLevelObject(name, globals, locals.get(), fromlist, 0);
}

PyObject* import_module(PyObject* name, PyObject* globals) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module && !is_initialising(module.get())) return module.release();
    if (PyErr_Occurred()) return nullptr;
    Ref imported = Ref::steal(import_module_for(name, nullptr, globals));
    if (!imported) return nullptr;
    // `import a.b` gives the top package; the body only imports top-level names, so the
    // package is the module itself.
    return imported.release();
}

PyObject* import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (module_name) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (full_name) {
            value = PyImport_GetModule(full_name.get());
            if (value) return value;
        }
    }
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, messages::cannot_import_name, name);
    return nullptr;
}

PyObject* star_import_names(PyObject* module) {
    Ref names = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    bool skip_private = false;
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        Ref dict = Ref::steal(PyObject_GetAttrString(module, "__dict__"));
        if (!dict) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_SetString(PyExc_ImportError, messages::star_import_without_names);
            return nullptr;
        }
        names = Ref::steal(PyMapping_Keys(dict.get()));  // may run Python code
        if (!names) return nullptr;
        skip_private = true;
    }
    Ref pairs = Ref::steal(PyDict_New());
    if (!pairs) return nullptr;
    // Read the names by index until the sequence ends: it may be any sequence, and it may
    // change while attribute lookups run Python code.
    for (Py_ssize_t i = 0;; ++i) {
        Ref name = Ref::steal(PySequence_GetItem(names.get(), i));
        if (!name) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return nullptr;
            PyErr_Clear();
            break;
        }
        if (skip_private && PyUnicode_Check(name.get()) && PyUnicode_GET_LENGTH(name.get()) > 0 &&
            PyUnicode_READ_CHAR(name.get(), 0) == '_') {
            continue;
        }
        Ref value = Ref::steal(PyObject_GetAttr(module, name.get()));  // may run Python code
        if (!value || PyDict_SetItem(pairs.get(), name.get(), value.get()) < 0) return nullptr;
    }
    return pairs.release();
}

}  // namespace greeks::runtime
