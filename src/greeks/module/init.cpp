// Module initialisation: the exported entry point and the two steps of multi-phase init.
#include "greeks/module/setup.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks {

namespace {

// The line that start-up failures outside the module body show.
constexpr int startup_line = 1;

// ---- create step ----------------------------------------------------------------------------

// Copies the ModuleSpec attribute <from> into the module dict as <to>; one the ModuleSpec
// lacks is skipped.
int copy_spec_attribute(PyObject* module_spec, PyObject* dict, const char* from, const char* to,
                        bool allow_none) {
    runtime::Ref value = runtime::Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = interpreter;
    } else if (state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError, messages::interpreter_change);
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    runtime::Ref name = runtime::Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    runtime::Ref module = runtime::Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    const struct {
        const char *from, *to;
        bool allow_none;
    } attributes[] = {{"loader", "__loader__", true},
                      {"origin", "__file__", true},
                      {"parent", "__package__", true},
                      {"submodule_search_locations", "__path__", false}};
    for (const auto& a : attributes)
        if (copy_spec_attribute(module_spec, dict, a.from, a.to, a.allow_none) < 0) return nullptr;
    return module.release();
}

// ---- execution step -------------------------------------------------------------------------

int check_interpreter_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == runtime::compiled_major && minor == runtime::compiled_minor) return 0;
    char text[200];
    PyOS_snprintf(text, sizeof text, messages::version_mismatch, runtime::compiled_major,
                  runtime::compiled_minor, "greeks.greeks", "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

int register_in_sys_modules(PyObject* module) {
    // The interpreter's own module table, which is always a dict.
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, state.text.sys_modules_key);
    if (present < 0) return -1;
    return present ? 0 : PyDict_SetItem(modules, state.text.sys_modules_key, module);
}

int fetch_builtin(PyObject** slot, PyObject* name) {
    PyObject* value = runtime::lookup_builtin(state.builtins, name);
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

int bind_class(PyObject* module) {
    if (ready_kestrava_type() < 0) return -1;
    if (PyObject_SetAttr(module, state.text.class_name,
                         reinterpret_cast<PyObject*>(&KestravaType)) < 0) {
        return -1;
    }
    return install_pickling();
}

// What import checks and builds once the constants exist: the numpy gate, the module in
// sys.modules, the cached builtins, the fixed tuples, the class and its pickling, the size checks
// of the imported types.
int run_startup_checks(PyObject* module) {
    if (check_numpy_interface() < 0) return -1;
    if (register_in_sys_modules(module) < 0) return -1;
    if (fetch_builtin(&state.print, state.text.print) < 0) return -1;
    if (fetch_builtin(&state.keyboard_interrupt, state.text.keyboard_interrupt) < 0) return -1;
    if (fetch_builtin(&state.import_error, state.text.import_error) < 0) return -1;
    if (create_tuples() < 0) return -1;
    if (bind_class(module) < 0) return -1;
    return check_imported_types();
}

// The module's exec slot, in order: builtins, the interpreter check, the function type, the
// constants, then the start-up checks. Failures from the numpy gate on get an
// "init greeks.greeks" traceback entry.
int run_exec_steps(PyObject* module) {
    state.module = Py_NewRef(module);
    state.dict = PyModule_GetDict(module);
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) return -1;
    Py_XSETREF(state.builtins, Py_NewRef(builtins));  // a retried import fetches it again
    // The builtins are bound before the text constants exist, so this name is spelled out.
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
    if (check_interpreter_version() < 0) return -1;
    if (runtime::ready_function_type() < 0) return -1;
    if (create_constants() < 0) return -1;
    if (run_startup_checks(module) < 0) {
        runtime::add_traceback(messages::init_failed, runtime::source_file, startup_line);
        return -1;
    }
    return run_module_body(module);  // adds its own traceback entries
}

int module_exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, messages::reinitialisation);
        return -1;
    }
    if (run_exec_steps(module) == 0) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, messages::init_failed);
    // Back to unloaded, so that a later import runs both steps again.
    Py_CLEAR(state.module);
    state.dict = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "greeks",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = no_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace greeks

extern "C" PyMODINIT_FUNC PyInit_greeks(void) { return PyModuleDef_Init(&greeks::module_def); }
