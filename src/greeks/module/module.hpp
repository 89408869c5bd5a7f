// The module frame: the module-wide state, the Kestrava type and its internal operation table.
#pragma once

#include "greeks/module/texts.hpp"
#include "greeks/runtime/function.hpp"
#include "greeks/runtime/lookup.hpp"
#include "greeks/runtime/guard.hpp"
#include "greeks/runtime/traceback.hpp"

#include <cstddef>
#include <cstdint>

// The three names of a Kestrava method, for its MethodDef: the bare name, the qualified name and
// the name its traceback entries carry.
#define KESTRAVA_METHOD_NAMES(method)                 \
    .name = #method, .qualname = "Kestrava." #method, \
    .traceback_name = "greeks.greeks.Kestrava." #method

namespace greeks {

struct Kestrava;

// The internal operation table, shared by all instances. Entries returning a double return -1.0
// when they may have failed: with an exception pending they failed, without one -1.0 is a handled
// failure (or a true value). Entries returning an object return a new reference, None, or null
// with an exception set. `dispatch` asks for a Python subclass's override to be honoured.
struct KestravaOps {
    double (*calculate_d1)(Kestrava* self, double spot, double strike, double time_to_expiry,
                           double rate, double volatility);
    double (*calculate_d2)(Kestrava* self, double d1, double volatility, double time_to_expiry);
    double (*get_spot_price)(Kestrava* self, bool dispatch);
    PyObject* (*calculate_greeks)(Kestrava* self, PyObject* option_data, bool dispatch);
    // `option_type` may be null, meaning the default "CE".
    PyObject* (*get_option_data)(Kestrava* self, double strike, PyObject* expiry_date,
                                 bool dispatch, PyObject* option_type);
};

struct Kestrava {
    PyObject_HEAD
    const KestravaOps* ops;
    PyObject* symbol;  // exactly a str, or None; never null
};

extern PyTypeObject KestravaType;

// The module-wide state: one set per process, created at import and kept until the process ends.
// Its references are deliberately never released: there is no unload, and releasing them from a
// static destructor would run after the interpreter is gone.
struct ModuleState {
    std::int64_t interpreter_id = -1;  // the interpreter that first created the module
    PyObject* module = nullptr;        // recorded by a successful execution step
    PyObject* dict = nullptr;          // the module's namespace, where methods look names up
    PyObject* builtins = nullptr;
    PyObject* print = nullptr;
    PyObject* keyboard_interrupt = nullptr;
    PyObject* import_error = nullptr;

    struct Texts {
#define GREEKS_DECLARE_TEXT(member, text) PyObject* member = nullptr;
        GREEKS_TEXTS(GREEKS_DECLARE_TEXT)
#undef GREEKS_DECLARE_TEXT
    } text;

    struct Numbers {
        PyObject* risk_free_rate = nullptr;  // 0.07
        PyObject* float_100 = nullptr;       // 100.0
        PyObject* float_365 = nullptr;       // 365.0
        PyObject* int_1 = nullptr;
        PyObject* int_2 = nullptr;
        PyObject* int_5 = nullptr;
        PyObject* int_100 = nullptr;
        PyObject* int_365 = nullptr;
        PyObject* layout_checksum = nullptr;  // layout_checksums[0], the one pickles carry
    } number;

    struct Tuples {
        PyObject* banner_end = nullptr;  // one-element argument tuples of the fixed console lines
        PyObject* fetching = nullptr;
        PyObject* waiting = nullptr;
        PyObject* received = nullptr;
        PyObject* separator = nullptr;
        PyObject* stopped = nullptr;
        PyObject* option_data_defaults = nullptr;  // ("CE",)
        PyObject* monitor_defaults = nullptr;      // ("CE", 5)
    } tuple;
};

extern ModuleState state;

// Layout checksums of the pickled state: the one written first, then the other accepted ones.
inline constexpr long layout_checksums[] = {0xb76a7ca, 0x810a25d, 0x97bff26};

// ---- helpers every method uses -------------------------------------------------------------

// New reference to the module global `name` (then the builtin), looked up now.
inline PyObject* get_global(PyObject* name) {
    return runtime::lookup_global(state.dict, state.builtins, name);
}

// Prints one line through the builtin print fetched at import.
inline int print_line(PyObject* text) { return runtime::print_line(state.print, text); }

// The guard's handler: see runtime::print_handled_error.
inline int handle_error(PyObject* prefix, const char* function, int line) {
    return runtime::print_handled_error(state.print, prefix, function, line);
}

// Adds the traceback entry of a statement of the module's own source.
inline void add_traceback(const char* function, int line) {
    runtime::add_traceback(function, runtime::source_file, line);
}

inline Kestrava* as_kestrava(PyObject* obj) { return reinterpret_cast<Kestrava*>(obj); }

// A record, row or chain that is None or an empty dict carries no data. `obj` is a dict or None.
inline bool is_none_or_empty(PyObject* obj) { return obj == Py_None || PyDict_GET_SIZE(obj) == 0; }

// ---- overrides -----------------------------------------------------------------------------

// Module code calling the operation `name` of `self` with dispatch on: when `self`'s Python
// subclass overrides it, the override runs with `args` instead of the module's own `def.body`.
// Returns 1 with the override's result (a new reference) in *result, 0 when the own body must
// run, or -1 with an exception set and the method's first-line traceback entry added. An
// operation that `gives_dict` must give exactly a dict or None.
int run_override(Kestrava* self, PyObject* name, const runtime::MethodDef& def,
                 PyObject* const* args, std::size_t nargs, PyObject** result,
                 bool gives_dict = false);

}  // namespace greeks
