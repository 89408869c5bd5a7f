// Pickling: the reduce and set-state methods, the module-level unpickling function, and their
// installation on the class at import.
#include "greeks/module/pickling.hpp"
#include "greeks/module/setup.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/imports.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks {

namespace {

using runtime::Ref;

const char* const reduce_where = pickling::reduce_method.traceback_name;
const char* const setstate_where = pickling::setstate_method.traceback_name;
constexpr const char* unpickle_where = "greeks.greeks.__pyx_unpickle_Kestrava";
constexpr const char* apply_state_where = "greeks.greeks.__pyx_unpickle_Kestrava__set_state";

// Lines of the pickling source.
constexpr int line_unpickle = 1;
constexpr int line_checksum = 4;
constexpr int line_create = 6;
constexpr int line_state_type = 8;
constexpr int line_apply = 9;
constexpr int line_state_symbol = 12;
constexpr int line_state_dict = 13;
constexpr int line_reduce = 1;
constexpr int line_reduce_dict = 6;
constexpr int line_reduce_global = 10;
constexpr int line_setstate = 16;
constexpr int line_setstate_apply = 17;

PyObject* fail_at(const char* where, int line) {
    runtime::add_traceback(where, runtime::pickling_source_file, line);
    return nullptr;
}

int state_failed_at(int line) {
    fail_at(apply_state_where, line);
    return -1;
}

// Applies a state tuple (or None) to `obj`: symbol first, then a subclass instance's dict.
// Returns -1 with an exception set on failure; the symbol stays set if the dict update fails.
int apply_state(Kestrava* obj, PyObject* saved) {
    if (saved == Py_None || PyTuple_GET_SIZE(saved) == 0) {
        PyErr_SetString(
            saved == Py_None ? PyExc_TypeError : PyExc_IndexError,
            saved == Py_None ? messages::none_not_subscriptable : messages::tuple_index);
        return state_failed_at(line_state_symbol);
    }
    PyObject* symbol = PyTuple_GET_ITEM(saved, 0);
    if (!runtime::check_stored_type(symbol, &PyUnicode_Type, "unicode"))
        return state_failed_at(line_state_symbol);
    Py_SETREF(obj->symbol, Py_NewRef(symbol));
    PyObject* self = reinterpret_cast<PyObject*>(obj);
    if (PyTuple_GET_SIZE(saved) > 1 && PyObject_HasAttr(self, state.text.dict_attr)) {
        Ref dict = Ref::steal(PyObject_GetAttr(self, state.text.dict_attr));
        Ref result = dict ? Ref::steal(PyObject_CallMethodOneArg(dict.get(), state.text.update,
                                                                 PyTuple_GET_ITEM(saved, 1)))
                          : Ref();  // may run Python code
        if (!result) return state_failed_at(line_state_dict);
    }
    return 0;
}

// ---- __reduce_cython__ ----------------------------------------------------------------------

// New reference to getattr(obj, "__dict__", None): only an AttributeError counts as absent.
PyObject* instance_dict_or_none(PyObject* obj) {
    PyObject* dict = PyObject_GetAttr(obj, state.text.dict_attr);  // may run Python code
    if (dict || !PyErr_ExceptionMatches(PyExc_AttributeError)) return dict;
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

PyObject* reduce_body(PyObject* self, const runtime::Arguments&) {
    // The symbol is taken before the dict lookup, which may run Python code that rebinds it.
    Ref symbol = Ref::borrow(as_kestrava(self)->symbol);
    Ref dict = Ref::steal(instance_dict_or_none(self));
    if (!dict) return fail_at(reduce_where, line_reduce_dict);
    const bool has_dict = dict.get() != Py_None;
    const bool with_setstate = has_dict || symbol.get() != Py_None;
    Ref saved = Ref::steal(has_dict ? PyTuple_Pack(2, symbol.get(), dict.get())
                                    : PyTuple_Pack(1, symbol.get()));
    if (!saved) return fail_at(reduce_where, line_reduce);
    Ref unpickle = Ref::steal(get_global(state.text.unpickle_function));
    if (!unpickle) return fail_at(reduce_where, line_reduce_global);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* result = with_setstate
                           ? Py_BuildValue("(O(OOO)O)", unpickle.get(), type,
                                           state.number.layout_checksum, Py_None, saved.get())
                           : Py_BuildValue("(O(OOO))", unpickle.get(), type,
                                           state.number.layout_checksum, saved.get());
    return result ? result : fail_at(reduce_where, line_reduce_global);
}

// ---- __setstate_cython__ --------------------------------------------------------------------

PyObject* setstate_body(PyObject* self, const runtime::Arguments& args) {
    PyObject* saved = args.object[0];
    if (!runtime::check_stored_type(saved, &PyTuple_Type, "tuple"))
        return fail_at(setstate_where, line_setstate);
    if (apply_state(as_kestrava(self), saved) < 0)
        return fail_at(setstate_where, line_setstate_apply);
    Py_RETURN_NONE;
}

// ---- __pyx_unpickle_Kestrava ----------------------------------------------------------------

PyObject* raise_incompatible_checksum(int checksum_value) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, state.text.pickle_error));
    Ref pickle = fromlist ? Ref::steal(runtime::import_module_for(state.text.pickle_module,
                                                                  fromlist.get(), state.dict))
                          : Ref();
    Ref error_type =
        pickle ? Ref::steal(runtime::import_from(pickle.get(), state.text.pickle_error)) : Ref();
    if (!error_type) return fail_at(unpickle_where, line_checksum);
    Ref number = Ref::steal(PyLong_FromLong(checksum_value));
    Ref text =
        number ? Ref::steal(PyUnicode_Format(state.text.checksum_format, number.get())) : Ref();
    if (text) PyErr_SetObject(error_type.get(), text.get());
    return fail_at(unpickle_where, line_checksum);
}

bool is_accepted_checksum(int value) {
    for (long accepted : layout_checksums)
        if (value == accepted) return true;
    return false;
}

PyObject* unpickle_body(PyObject*, const runtime::Arguments& args) {
    PyObject* type = args.object[0];
    const int checksum_value = args.int32[1];
    PyObject* saved = args.object[2];
    if (!is_accepted_checksum(checksum_value)) return raise_incompatible_checksum(checksum_value);

    // The class held in module state, not the module global of the same name.
    Ref creator = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(&KestravaType), state.text.new_attr));
    Ref result = creator ? Ref::steal(PyObject_CallOneArg(creator.get(), type)) : Ref();
    if (!result) return fail_at(unpickle_where, line_create);
    if (saved == Py_None) return result.release();
    if (!runtime::check_stored_type(saved, &PyTuple_Type, "tuple"))
        return fail_at(unpickle_where, line_state_type);
    // __new__ of any class other than Kestrava or a subclass has already refused.
    if (apply_state(as_kestrava(result.get()), saved) < 0)
        return fail_at(unpickle_where, line_apply);
    return result.release();
}

// ---- installation on the class --------------------------------------------------------------

// True when `obj` has a __name__ equal to `name`; lookup failures count as false.
bool is_named(PyObject* obj, PyObject* name) {
    Ref found = Ref::steal(PyObject_GetAttr(obj, state.text.name_attr));
    if (!found) {
        PyErr_Clear();
        return false;
    }
    const int equal = PyObject_RichCompareBool(found.get(), name, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal > 0;
}

// New reference to the class attribute `name`, or null with no exception when it is missing.
PyObject* class_attribute(PyObject* type, PyObject* name) {
    PyObject* value = PyObject_GetAttr(type, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

// Moves the class dict entry `from` to `to`.
int rename_entry(PyObject* dict, PyObject* value, PyObject* from, PyObject* to) {
    if (PyDict_SetItem(dict, to, value) < 0) return -1;
    return PyDict_DelItem(dict, from);
}

int redirect_pickling(PyObject* type) {
    const ModuleState::Texts& t = state.text;
    PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    PyObject* dict = KestravaType.tp_dict;
    Ref object_getstate = Ref::steal(class_attribute(object, t.getstate));
    Ref getstate = Ref::steal(class_attribute(type, t.getstate));
    if (PyErr_Occurred()) return -1;
    if (getstate && getstate.get() != object_getstate.get()) return 0;

    Ref object_reduce_ex = Ref::steal(class_attribute(object, t.reduce_ex));
    Ref reduce_ex = Ref::steal(class_attribute(type, t.reduce_ex));
    if (PyErr_Occurred()) return -1;
    if (reduce_ex.get() != object_reduce_ex.get()) return 0;

    Ref object_reduce = Ref::steal(class_attribute(object, t.reduce));
    Ref reduce = Ref::steal(class_attribute(type, t.reduce));
    if (PyErr_Occurred()) return -1;
    const bool reduce_is_object = reduce.get() == object_reduce.get();
    if (!reduce_is_object && !(reduce && is_named(reduce.get(), t.reduce_cython))) return 0;
    Ref reduce_cython = Ref::steal(class_attribute(type, t.reduce_cython));
    if (reduce_cython) {
        if (rename_entry(dict, reduce_cython.get(), t.reduce_cython, t.reduce) < 0) return -1;
    } else if (reduce_is_object || PyErr_Occurred()) {
        return -1;
    }

    Ref setstate = Ref::steal(class_attribute(type, t.setstate));
    if (PyErr_Occurred()) return -1;
    if (!setstate || is_named(setstate.get(), t.setstate_cython)) {
        Ref setstate_cython = Ref::steal(class_attribute(type, t.setstate_cython));
        if (setstate_cython) {
            if (rename_entry(dict, setstate_cython.get(), t.setstate_cython, t.setstate) < 0)
                return -1;
        } else if (!setstate || PyErr_Occurred()) {
            return -1;
        }
    }
    PyType_Modified(&KestravaType);
    return 0;
}

}  // namespace

namespace pickling {

const runtime::MethodDef reduce_method = {
    KESTRAVA_METHOD_NAMES(__reduce_cython__),
    .filename = runtime::pickling_source_file,
    .first_line = line_reduce,
    .body = reduce_body,
};

const runtime::MethodDef setstate_method = {
    KESTRAVA_METHOD_NAMES(__setstate_cython__),
    .filename = runtime::pickling_source_file,
    .first_line = line_setstate,
    .params = {{"__pyx_state"}},
    .body = setstate_body,
};

const runtime::MethodDef unpickle_method = {
    .name = "__pyx_unpickle_Kestrava",
    .qualname = "__pyx_unpickle_Kestrava",
    .traceback_name = unpickle_where,
    .filename = runtime::pickling_source_file,
    .first_line = line_unpickle,
    .takes_self = false,
    .params = {{"__pyx_type"}, {"__pyx_checksum", runtime::Kind::int32}, {"__pyx_state"}},
    .body = unpickle_body,
};

}  // namespace pickling

// The class answers to __reduce__ and __setstate__ through the module's own functions, unless
// it already has a pickling protocol of its own.
int install_pickling() {
    PyObject* type = reinterpret_cast<PyObject*>(&KestravaType);
    const struct {
        const runtime::MethodDef& def;
        PyObject* name;
    } functions[] = {
        {pickling::reduce_method, state.text.reduce_cython},
        {pickling::setstate_method, state.text.setstate_cython},
    };
    for (const auto& entry : functions) {
        Ref function = Ref::steal(
            runtime::new_function(entry.def, state.text.sys_modules_key, nullptr, &KestravaType));
        if (!function || PyDict_SetItem(KestravaType.tp_dict, entry.name, function.get()) < 0)
            return -1;
    }
    PyType_Modified(&KestravaType);
    if (redirect_pickling(type) == 0) return 0;
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, messages::pickling_setup, KestravaType.tp_name);
    return -1;
}

}  // namespace greeks
