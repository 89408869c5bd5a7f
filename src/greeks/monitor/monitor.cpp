// monitor_greeks: fetch, compute and print every `interval` seconds until Ctrl+C.
#include "greeks/monitor/monitor.hpp"
#include "greeks/monitor/report.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks::monitor {

namespace {

using runtime::FailedAt;
using runtime::Ref;

const char* const where = monitor_greeks_method.traceback_name;
// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum Line { first_line = 147, line_banner = 149, line_fetching = 154, line_fetch,
            line_compute = 160, line_report = 164, line_sleep = 176, line_stopped = 179,
            line_failed = 182 };
// clang-format on

int pause(int interval) {
    Ref time = Ref::steal(get_global(state.text.time));
    Ref seconds = Ref::steal(PyLong_FromLong(interval));
    if (!time || !seconds) return -1;
    Ref result = Ref::steal(PyObject_CallMethodOneArg(time.get(), state.text.sleep, seconds.get()));
    return result ? 0 : -1;
}

// One cycle: fetch, compute, report, pause. -1 with an exception set.
int run_cycle(Kestrava* self, double strike, PyObject* expiry_date, PyObject* option_type,
              int interval, FailedAt& failed) {
    if (print_fixed(state.tuple.fetching) < 0) return failed.at(line_fetching, -1);
    Ref option_data =
        Ref::steal(self->ops->get_option_data(self, strike, expiry_date, true, option_type));
    if (!option_data) return failed.at(line_fetch, -1);
    if (is_none_or_empty(option_data.get())) {
        if (print_fixed(state.tuple.waiting) < 0) return failed.at(line_fetch, -1);
    } else {
        Ref greeks = Ref::steal(self->ops->calculate_greeks(self, option_data.get(), true));
        if (!greeks) return failed.at(line_compute, -1);
        if (!is_none_or_empty(greeks.get()) && print_report(option_data.get(), greeks.get()) < 0)
            return failed.at(line_report, -1);
    }
    return pause(interval) < 0 ? failed.at(line_sleep, -1) : 0;
}

// The handlers of the watch: Ctrl+C stops it, any other Exception fails it, each with one line;
// anything else (SystemExit, GeneratorExit) passes to the caller with the failing statement's
// entry only. Returns None, or null when the exception passes to the caller.
PyObject* end_watch(int line) {
    add_traceback(where, line);
    if (PyErr_ExceptionMatches(state.keyboard_interrupt)) {
        PyErr_Clear();
        if (print_fixed(state.tuple.stopped) < 0) {
            add_traceback(where, line_stopped);
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    if (handle_error(state.text.monitoring_error, where, line_failed) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* monitor_greeks_body(PyObject* obj, const runtime::Arguments& args) {
    Kestrava* self = as_kestrava(obj);
    const double strike = args.real[0];
    PyObject* expiry_date = args.object[1];
    PyObject* option_type = args.object[2];
    const int interval = args.int32[3];
    if (print_banner(self, strike, expiry_date, option_type) < 0) {
        add_traceback(where, line_banner);
        return nullptr;
    }
    for (;;) {
        FailedAt failed(line_fetching);
        if (run_cycle(self, strike, expiry_date, option_type, interval, failed) < 0)
            return end_watch(failed.line());
    }
}

}  // namespace

const runtime::MethodDef monitor_greeks_method = {
    KESTRAVA_METHOD_NAMES(monitor_greeks),
    .doc = "Monitor Greeks in real-time with specified interval",
    .first_line = first_line,
    .params = {{"strike_price", runtime::Kind::real},
               {"expiry_date", runtime::Kind::str},
               {"option_type", runtime::Kind::str},
               {"interval", runtime::Kind::int32}},
    .locals = {"option_data", "greeks", "e"},
    .body = monitor_greeks_body,
};

}  // namespace greeks::monitor
