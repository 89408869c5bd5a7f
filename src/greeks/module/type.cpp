// The Kestrava type: allocation, __init__, the symbol attribute and deallocation.
#include "greeks/module/setup.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks {

namespace {

constexpr int symbol_line = 14;
constexpr int init_line = 33;

PyObject* kestrava_new(PyTypeObject* type, PyObject*, PyObject*) {
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // object's own creation refuses an abstract class with the interpreter's message.
        runtime::Ref no_args = runtime::Ref::steal(PyTuple_New(0));
        if (!no_args) return nullptr;
        return PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
    }
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    Kestrava* self = as_kestrava(obj);
    self->ops = &kestrava_ops;
    self->symbol = Py_NewRef(Py_None);
    return obj;
}

int kestrava_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    static PyObject* names[1] = {};
    if (!names[0]) names[0] = state.text.symbol_name;
    PyObject* symbol = nullptr;
    if (runtime::bind_tuple_and_dict("__init__", names, 1, 1, args, kwargs, &symbol) < 0 ||
        !runtime::check_argument_type(symbol, &PyUnicode_Type, "symbol")) {
        add_traceback("greeks.greeks.Kestrava.__init__", init_line);
        return -1;
    }
    Py_SETREF(as_kestrava(obj)->symbol, Py_NewRef(symbol));
    return 0;
}

void kestrava_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_finalize && type->tp_dealloc == kestrava_dealloc &&
        !(PyType_IS_GC(type) && PyObject_GC_IsFinalized(obj))) {
        if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
    }
    Py_CLEAR(as_kestrava(obj)->symbol);
    type->tp_free(obj);
}

PyObject* symbol_get(PyObject* obj, void*) { return Py_NewRef(as_kestrava(obj)->symbol); }

int symbol_set(PyObject* obj, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (!runtime::check_stored_type(value, &PyUnicode_Type, "unicode")) {
        add_traceback("greeks.greeks.Kestrava.symbol.__set__", symbol_line);
        return -1;
    }
    Py_SETREF(as_kestrava(obj)->symbol, Py_NewRef(value));
    return 0;
}

PyGetSetDef kestrava_getset[] = {
    {"symbol", symbol_get, symbol_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// clang-format off: the head macro supplies its own trailing comma.
PyTypeObject KestravaType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "greeks.greeks.Kestrava",
    .tp_basicsize = sizeof(Kestrava),
    .tp_dealloc = kestrava_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_getset = kestrava_getset,
    .tp_init = kestrava_init,
    .tp_new = kestrava_new,
};
// clang-format on

int ready_kestrava_type() {
    if (PyType_Ready(&KestravaType) < 0) return -1;
    runtime::Ref table = runtime::Ref::steal(
        PyCapsule_New(const_cast<KestravaOps*>(&kestrava_ops), nullptr, nullptr));
    if (!table || PyDict_SetItemString(KestravaType.tp_dict, "__pyx_vtable__", table.get()) < 0)
        return -1;
    PyType_Modified(&KestravaType);
    return 0;
}

}  // namespace greeks
