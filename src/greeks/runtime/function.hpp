// The module's own function-object type: what every Python-visible method and the unpickling
// function are. It binds like a Python function and carries the introspection attributes.
#pragma once

#include "greeks/runtime/ref.hpp"
#include "greeks/runtime/traceback.hpp"

namespace greeks::runtime {

inline constexpr int max_params = 4;
inline constexpr int max_locals = 3;

// What a parameter accepts, declared once: anything (object), a double (real), a 32-bit int
// through __int__ (int32), or exactly str, dict or list, or None. Before the body runs, the numbers
// are converted and then the builtin types tested, each in parameter order, as the binding rules
// require.
enum class Kind : unsigned char { object, real, int32, str, dict, list };

struct Param {
    const char* name;
    Kind kind = Kind::object;
};

// A body's arguments in parameter order: every object (borrowed for the call), and the number of
// each parameter of kind real or int32.
struct Arguments {
    PyObject* object[max_params];
    double real[max_params];
    int int32[max_params];
};

// A method body: gets `self` (null for module-level functions) and its converted arguments.
// Returns a new reference, or null with an exception set.
using MethodBody = PyObject* (*)(PyObject * self, const Arguments& args);

// Everything fixed about one Python-visible function. The members with defaults are those of a
// method in the module's own source; the class fills the three names of each of its methods
// (KESTRAVA_METHOD_NAMES, beside the Kestrava type).
struct MethodDef {
    const char* name;            // bare name, as binding messages show it
    const char* qualname;        // "Kestrava.<name>", or the bare name for a module-level function
    const char* traceback_name;  // the name traceback entries carry
    const char* doc = nullptr;   // null: no docstring
    const char* filename = source_file;   // the file name traceback entries and __code__ carry
    int first_line;                       // line of argument errors and co_firstlineno
    bool takes_self = true;               // a method: the first argument must be a Kestrava
    Param params[max_params] = {};        // after self; a null name ends the list
    const char* locals[max_locals] = {};  // local names listed after the parameters in __code__
    MethodBody body;

    constexpr int nparams() const {
        return count(params, [](const Param& p) { return p.name; });
    }
    constexpr int nlocals() const {
        return count(locals, [](const char* l) { return l; });
    }

private:
    template <class Item, int N, class Name>
    static constexpr int count(const Item (&items)[N], Name name) {
        int n = 0;
        while (n < N && name(items[n])) ++n;
        return n;
    }
};

// Readies the function type. Returns -1 with an exception set on failure.
int ready_function_type();

// New reference to a function object for `def`. `defaults` (borrowed, may be null) holds the
// values of the trailing optional parameters; `self_type` is the type `self` must be an instance
// of.
PyObject* new_function(const MethodDef& def, PyObject* module_name, PyObject* defaults,
                       PyTypeObject* self_type);

// True when `obj` is a function object of this module running `body`.
bool is_function_with_body(PyObject* obj, MethodBody body);

// Binds the positional and keyword arguments of a call to `names` (interned parameter names).
// The first `nrequired` parameters are required; the others take their value from `defaults`.
// Fills `out` with borrowed references. Returns -1 with the binding TypeError set on failure.
int bind_arguments(const char* func_name, PyObject* const* names, int nparams, int nrequired,
                   PyObject* defaults, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// The same for a call that arrives as an argument tuple and a keyword dict (tp_init).
int bind_tuple_and_dict(const char* func_name, PyObject* const* names, int nparams, int nrequired,
                        PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace greeks::runtime
