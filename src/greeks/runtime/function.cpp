// The function-object type of the module's methods.
#include "greeks/runtime/function.hpp"
#include "greeks/runtime/code.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"
#include "greeks/runtime/traceback.hpp"

#include <cstddef>

namespace greeks::runtime {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyTypeObject* self_type;  // static type, lives as long as the process
    PyObject* param_names;    // tuple of interned parameter names, for binding
    PyObject* defaults;       // tuple or None
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* annotations;  // dict, empty unless a caller stores one
};

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

// The builtin type a parameter of each kind must be exactly (or None), in the order of Kind.
PyTypeObject* const declared_types[] = {nullptr,         nullptr,      nullptr,
                                        &PyUnicode_Type, &PyDict_Type, &PyList_Type};

// Converts the bound arguments as `def` declares them: numbers first, then the builtin types,
// each in parameter order. -1 with an exception set on failure.
int convert_arguments(const MethodDef& def, PyObject* const* bound, Arguments* out) {
    for (int i = 0; i < def.nparams(); ++i) {
        out->object[i] = bound[i];
        const Kind kind = def.params[i].kind;
        if (kind == Kind::real && to_double(bound[i], &out->real[i]) < 0) return -1;
        if (kind == Kind::int32 && to_int32(bound[i], &out->int32[i]) < 0) return -1;
    }
    for (int i = 0; i < def.nparams(); ++i) {
        PyTypeObject* type = declared_types[static_cast<int>(def.params[i].kind)];
        if (type && !check_argument_type(bound[i], type, def.params[i].name)) return -1;
    }
    return 0;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* func = as_function(callable);
    const MethodDef& def = *func->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (def.takes_self) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, messages::needs_an_argument, def.name);
            return nullptr;
        }
        self = args[0];
        ++args;
        --nargs;
        // The bodies read the instance's fields, so nothing else may reach them.
        if (!PyObject_TypeCheck(self, func->self_type)) {
            PyErr_Format(PyExc_TypeError, messages::wrong_self, def.name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
    }
    PyObject* bound[max_params] = {};
    const Py_ssize_t ndefaults = func->defaults == Py_None ? 0 : PyTuple_GET_SIZE(func->defaults);
    const int nrequired = def.nparams() - static_cast<int>(ndefaults);
    Arguments arguments;
    if (bind_arguments(def.name, &PyTuple_GET_ITEM(func->param_names, 0), def.nparams(), nrequired,
                       func->defaults, args, nargs, kwnames, bound) < 0 ||
        convert_arguments(def, bound, &arguments) < 0) {
        add_traceback(def.traceback_name, def.filename, def.first_line);
        return nullptr;
    }
    return def.body(self, arguments);
}

PyObject* function_call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(callable, args, kwargs);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* func = as_function(self);
    Py_VISIT(func->param_names);
    Py_VISIT(func->defaults);
    Py_VISIT(func->name);
    Py_VISIT(func->qualname);
    Py_VISIT(func->module);
    Py_VISIT(func->doc);
    Py_VISIT(func->code);
    Py_VISIT(func->annotations);
    return 0;
}

int function_clear(PyObject* self) {
    Function* func = as_function(self);
    Py_CLEAR(func->param_names);
    Py_CLEAR(func->defaults);
    Py_CLEAR(func->name);
    Py_CLEAR(func->qualname);
    Py_CLEAR(func->module);
    Py_CLEAR(func->doc);
    Py_CLEAR(func->code);
    Py_CLEAR(func->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

// Functions pickle by reference: pickle reads the text as a qualified name in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- attributes -----------------------------------------------------------------------------

PyObject* get_field(PyObject* self, void* offset) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                    reinterpret_cast<std::ptrdiff_t>(offset));
    return Py_NewRef(value);
}

// __name__ and __qualname__ accept only text, as a Python function's do.
int set_text_field(PyObject* self, PyObject* value, void* offset, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                   reinterpret_cast<std::ptrdiff_t>(offset));
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void* offset) {
    return set_text_field(self, value, offset, messages::name_not_text);
}

int set_qualname(PyObject* self, PyObject* value, void* offset) {
    return set_text_field(self, value, offset, messages::qualname_not_text);
}

// __doc__ and __module__ take any object; deleting stores None.
int set_any_field(PyObject* self, PyObject* value, void* offset) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                   reinterpret_cast<std::ptrdiff_t>(offset));
    Py_SETREF(*slot, Py_NewRef(value ? value : Py_None));
    return 0;
}

// __annotations__ takes a dict only, as a Python function's does.
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, messages::annotations_not_dict);
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

// No method has keyword-only parameters; inspect reads None here as a Python function's.
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

void* field(std::size_t offset) { return reinterpret_cast<void*>(offset); }

PyGetSetDef function_getset[] = {
    {"__name__", get_field, set_name, nullptr, field(offsetof(Function, name))},
    {"__qualname__", get_field, set_qualname, nullptr, field(offsetof(Function, qualname))},
    {"__module__", get_field, set_any_field, nullptr, field(offsetof(Function, module))},
    {"__doc__", get_field, set_any_field, nullptr, field(offsetof(Function, doc))},
    {"__defaults__", get_field, nullptr, nullptr, field(offsetof(Function, defaults))},
    {"__code__", get_field, nullptr, nullptr, field(offsetof(Function, code))},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_field, set_annotations, nullptr,
     field(offsetof(Function, annotations))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// clang-format off: the head macro supplies its own trailing comma.
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "greeks.greeks.function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = function_call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};
// clang-format on

// New reference to the tuple of interned parameter names of `def`.
PyObject* interned_names(const Param* params, int count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (int i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(params[i].name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    return tuple.release();
}

}  // namespace

int ready_function_type() { return PyType_Ready(&FunctionType); }

PyObject* new_function(const MethodDef& def, PyObject* module_name, PyObject* defaults,
                       PyTypeObject* self_type) {
    Ref names = Ref::steal(interned_names(def.params, def.nparams()));
    if (!names) return nullptr;
    Ref code = Ref::steal(new_code(def));
    if (!code) return nullptr;
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(def.qualname));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    Ref annotations = Ref::steal(PyDict_New());
    if (!name || !qualname || !doc || !annotations) return nullptr;

    Function* func = PyObject_GC_New(Function, &FunctionType);
    if (!func) return nullptr;
    func->vectorcall = function_vectorcall;
    func->def = &def;
    func->self_type = self_type;
    func->param_names = names.release();
    func->defaults = Py_NewRef(defaults ? defaults : Py_None);
    func->name = name.release();
    func->qualname = qualname.release();
    func->module = Py_NewRef(module_name);
    func->doc = doc.release();
    func->code = code.release();
    func->annotations = annotations.release();
    PyObject_GC_Track(func);
    return reinterpret_cast<PyObject*>(func);
}

bool is_function_with_body(PyObject* obj, MethodBody body) {
    return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->def->body == body;
}

}  // namespace greeks::runtime
