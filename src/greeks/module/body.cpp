// The module body: its import statements, the method objects and __test__, in source order.
#include "greeks/module/pickling.hpp"
#include "greeks/module/setup.hpp"
#include "greeks/runtime/imports.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks {

namespace {

using runtime::Ref;

// Source lines of the body's statements, as tracebacks of their failures show them.
// clang-format off: a table of lines reads best packed
enum Line { line_pickling = 1, line_test = 1, line_import_numpy = 4, line_import_norm = 6,
            line_import_nsepython, line_import_pandas, line_import_datetime, line_import_time,
            line_import_json };
// clang-format on

int fail_at(int line) {
    runtime::add_traceback(messages::init_failed, runtime::source_file, line);
    return -1;
}

// `import <module> as <name>`
int import_as(PyObject* module_name, PyObject* name, int line) {
    Ref module = Ref::steal(runtime::import_module(module_name, state.dict));
    if (!module || PyDict_SetItem(state.dict, name, module.get()) < 0) return fail_at(line);
    return 0;
}

// `from <module> import <name>`
int import_name_from(PyObject* module_name, PyObject* name, int line) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!fromlist) return fail_at(line);
    Ref module = Ref::steal(runtime::import_module_for(module_name, fromlist.get(), state.dict));
    if (!module) return fail_at(line);
    Ref value = Ref::steal(runtime::import_from(module.get(), name));
    if (!value || PyDict_SetItem(state.dict, name, value.get()) < 0) return fail_at(line);
    return 0;
}

// `from <module> import *`: the exported pairs are bound in order; the class name is refused.
int import_star(PyObject* module, PyObject* module_name, int line) {
    Ref star = Ref::steal(PyUnicode_InternFromString("*"));
    Ref fromlist = star ? Ref::steal(PyTuple_Pack(1, star.get())) : Ref();
    if (!fromlist) return fail_at(line);
    Ref imported = Ref::steal(runtime::import_module_for(module_name, fromlist.get(), state.dict));
    if (!imported) return fail_at(line);
    Ref pairs = Ref::steal(runtime::star_import_names(imported.get()));
    if (!pairs) return fail_at(line);
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(pairs.get(), &pos, &name, &value)) {
        if (PyUnicode_Check(name) && PyUnicode_Compare(name, state.text.class_name) == 0) {
            PyErr_Format(PyExc_TypeError, messages::cannot_overwrite_type, PyUnicode_AsUTF8(name));
            return fail_at(line);
        }
        if (PyObject_SetAttr(module, name, value) < 0) return fail_at(line);
    }
    return 0;
}

// Stores a new function object for `def` in the class dict under its name.
int store_method(const runtime::MethodDef& def, PyObject* defaults, int line) {
    Ref function =
        Ref::steal(runtime::new_function(def, state.text.sys_modules_key, defaults, &KestravaType));
    if (!function || PyDict_SetItemString(KestravaType.tp_dict, def.name, function.get()) < 0)
        return fail_at(line);
    PyType_Modified(&KestravaType);
    return 0;
}

int store_methods() {
    for (const KestravaMethod& method : kestrava_methods) {
        PyObject* defaults = method.defaults ? *method.defaults : nullptr;
        if (store_method(method.def, defaults, method.def.first_line) < 0) return -1;
    }
    return 0;
}

int store_pickling_functions() {
    if (store_method(pickling::reduce_method, nullptr, line_pickling) < 0) return -1;
    if (store_method(pickling::setstate_method, nullptr, line_pickling) < 0) return -1;
    Ref unpickle = Ref::steal(runtime::new_function(pickling::unpickle_method,
                                                    state.text.sys_modules_key, nullptr, nullptr));
    if (!unpickle || PyDict_SetItem(state.dict, state.text.unpickle_function, unpickle.get()) < 0)
        return fail_at(line_pickling);
    return 0;
}

}  // namespace

int run_module_body(PyObject* module) {
    const ModuleState::Texts& t = state.text;
    if (import_as(t.numpy_module, t.np, line_import_numpy) < 0) return -1;
    if (import_name_from(t.scipy_stats_module, t.norm, line_import_norm) < 0) return -1;
    if (import_star(module, t.nsepython_module, line_import_nsepython) < 0) return -1;
    if (import_as(t.pandas_module, t.pd, line_import_pandas) < 0) return -1;
    if (import_name_from(t.datetime, t.datetime, line_import_datetime) < 0) return -1;
    if (import_as(t.time, t.time, line_import_time) < 0) return -1;
    if (import_as(t.json, t.json, line_import_json) < 0) return -1;
    if (store_methods() < 0) return -1;
    if (store_pickling_functions() < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(state.dict, t.test_dict, test.get()) < 0) return fail_at(line_test);
    return 0;
}

}  // namespace greeks
