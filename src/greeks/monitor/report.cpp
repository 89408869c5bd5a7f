#include "greeks/monitor/report.hpp"
#include "greeks/runtime/convert.hpp"

#include <initializer_list>
#include <utility>

namespace greeks::monitor {

namespace {

using runtime::Ref;

// Prints the concatenation of `parts`; every part must be non-null.
int print_joined(std::initializer_list<PyObject*> parts) {
    Ref line =
        Ref::steal(runtime::join_texts(parts.begin(), static_cast<Py_ssize_t>(parts.size())));
    return line ? print_line(line.get()) : -1;
}

// Prints `label` followed by format(source[key], format_spec).
int print_row(PyObject* label, PyObject* source, PyObject* key, PyObject* format_spec) {
    Ref value = Ref::borrow(runtime::lookup_item(source, key));
    Ref text = value ? Ref::steal(PyObject_Format(value.get(), format_spec))
                     : Ref();  // may run Python code
    return text ? print_joined({label, text.get()}) : -1;
}

int print_clock() {
    const ModuleState::Texts& t = state.text;
    Ref datetime = Ref::steal(get_global(t.datetime));
    Ref now = datetime ? Ref::steal(PyObject_CallMethodNoArgs(datetime.get(), t.now)) : Ref();
    Ref clock =
        now ? Ref::steal(PyObject_CallMethodOneArg(now.get(), t.strftime, t.clock_format)) : Ref();
    Ref text = clock ? Ref::steal(runtime::format_value(clock.get(), t.empty)) : Ref();
    return text ? print_joined({t.time_label, text.get()}) : -1;
}

int print_volatility(PyObject* option_data) {
    const ModuleState::Texts& t = state.text;
    Ref fraction = Ref::borrow(runtime::lookup_item(option_data, t.implied_volatility));
    Ref percent =
        fraction ? Ref::steal(PyNumber_Multiply(fraction.get(), state.number.int_100)) : Ref();
    Ref text = percent ? Ref::steal(PyObject_Format(percent.get(), t.two_decimals)) : Ref();
    return text ? print_joined({t.iv_label, text.get(), t.percent}) : -1;
}

}  // namespace

int print_fixed(PyObject* arguments) {
    Ref result = Ref::steal(PyObject_Call(state.print, arguments, nullptr));  // may run Python code
    return result ? 0 : -1;
}

int print_banner(Kestrava* self, double strike, PyObject* expiry_date, PyObject* option_type) {
    const ModuleState::Texts& t = state.text;
    Ref symbol = Ref::borrow(self->symbol);
    Ref symbol_text = Ref::steal(runtime::format_value(symbol.get(), t.empty));
    Ref strike_object = Ref::steal(PyFloat_FromDouble(strike));
    Ref strike_text = strike_object ? Ref::steal(PyObject_Repr(strike_object.get())) : Ref();
    Ref expiry_text = Ref::steal(runtime::format_value(expiry_date, t.empty));
    Ref type_text = Ref::steal(runtime::format_value(option_type, t.empty));
    if (!symbol_text || !strike_text || !expiry_text || !type_text) return -1;
    if (print_joined({t.banner_start, symbol_text.get(), t.blank, strike_text.get(), t.blank,
                      expiry_text.get(), t.blank, type_text.get()}) < 0) {
        return -1;
    }
    return print_fixed(state.tuple.banner_end);
}

int print_report(PyObject* option_data, PyObject* greeks) {
    const ModuleState::Texts& t = state.text;
    if (print_fixed(state.tuple.received) < 0) return -1;
    if (print_clock() < 0) return -1;
    if (print_row(t.spot_label, option_data, t.spot_price, t.two_decimals) < 0) return -1;
    if (print_row(t.option_price_label, option_data, t.option_price, t.two_decimals) < 0) return -1;
    if (print_volatility(option_data) < 0) return -1;
    const std::pair<PyObject*, PyObject*> greek_rows[] = {{t.delta_label, t.delta},
                                                          {t.gamma_label, t.gamma},
                                                          {t.theta_label, t.theta},
                                                          {t.vega_label, t.vega},
                                                          {t.rho_label, t.rho}};
    for (auto [label, key] : greek_rows)
        if (print_row(label, greeks, key, t.four_decimals) < 0) return -1;
    return print_fixed(state.tuple.separator);
}

}  // namespace greeks::monitor
