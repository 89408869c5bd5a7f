// Python subclasses' overrides of the overridable operations, as module code calls them.
#include "greeks/module/module.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks {

namespace {

using runtime::Ref;

// New reference to the override of `name` on `self`, or null: with no exception set the own
// body runs, with one set the lookup failed.
PyObject* find_override(Kestrava* self, PyObject* name, runtime::MethodBody own_body) {
    PyTypeObject* type = Py_TYPE(self);
    // The class itself can hold no override: it is immutable and its instances have no dict.
    if (type->tp_dictoffset == 0 &&
        !(type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT))) {
        return nullptr;
    }
    Ref found = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name));  // may run Python code
    if (!found || runtime::is_function_with_body(found.get(), own_body)) return nullptr;
    return found.release();
}

int failed_in(const runtime::MethodDef& def) {
    add_traceback(def.traceback_name, def.first_line);
    return -1;
}

}  // namespace

int run_override(Kestrava* self, PyObject* name, const runtime::MethodDef& def,
                 PyObject* const* args, std::size_t nargs, PyObject** result, bool gives_dict) {
    Ref override = Ref::steal(find_override(self, name, def.body));
    if (!override) return PyErr_Occurred() ? failed_in(def) : 0;
    *result = PyObject_Vectorcall(override.get(), args, nargs, nullptr);  // may run Python code
    if (*result && gives_dict && !runtime::check_stored_type(*result, &PyDict_Type, "dict"))
        Py_CLEAR(*result);
    return *result ? 1 : failed_in(def);
}

}  // namespace greeks
