// Code objects through the interpreter's unstable constructor, kept behind this one function.
#include "greeks/runtime/code.hpp"

namespace greeks::runtime {

PyObject* new_code(const MethodDef& def) {
    const int nargs = def.nparams() + (def.takes_self ? 1 : 0);
    const int nvars = nargs + def.nlocals();
    Ref varnames = Ref::steal(PyTuple_New(nvars));
    if (!varnames) return nullptr;
    int slot = 0;
    auto add = [&](const char* text) {
        PyObject* name = PyUnicode_InternFromString(text);
        if (!name) return false;
        PyTuple_SET_ITEM(varnames.get(), slot++, name);
        return true;
    };
    if (def.takes_self && !add("self")) return nullptr;
    for (int i = 0; i < def.nparams(); ++i)
        if (!add(def.params[i].name)) return nullptr;
    for (int i = 0; i < def.nlocals(); ++i)
        if (!add(def.locals[i])) return nullptr;

    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref filename = Ref::steal(PyUnicode_FromString(def.filename));
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(def.qualname));
    if (!empty_bytes || !empty_tuple || !filename || !name || !qualname) return nullptr;

    PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
        nargs, 0, 0, nvars, 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(), empty_tuple.get(),
        empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(), filename.get(),
        name.get(), qualname.get(), def.first_line, empty_bytes.get(), empty_bytes.get());
    return reinterpret_cast<PyObject*>(code);
}

}  // namespace greeks::runtime
