// calculate_greeks: delta, gamma, theta per day, vega and rho per percentage point of one option.
#include "greeks/pricing/library.hpp"
#include "greeks/pricing/pricing.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

#include <utility>

namespace greeks::pricing {

namespace {

using runtime::FailedAt;
using runtime::Ref;

const char* const where = calculate_greeks_method.traceback_name;
// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum Line { first_line = 50, line_read = 52, line_result = 58, line_d1 = 60, line_d2, line_terms,
            line_delta = 65, line_gamma = 70, line_decay = 72, line_theta = 74,
            line_theta_per_day = 79, line_vega = 81, line_rho = 83 };
// clang-format on

struct Inputs {
    double spot, strike, time_to_expiry, rate, volatility;
    bool is_call;
};

// New reference to option_data[key]; the None and missing-key errors of a subscript.
PyObject* read_entry(PyObject* option_data, PyObject* key) {
    if (option_data == Py_None) {
        PyErr_SetString(PyExc_TypeError, messages::none_not_subscriptable);
        return nullptr;
    }
    return Py_XNewRef(runtime::lookup_item(option_data, key));  // may run Python code
}

int read_number(PyObject* option_data, PyObject* key, double* out) {
    Ref value = Ref::steal(read_entry(option_data, key));
    return value ? runtime::to_double(value.get(), out) : -1;  // may run Python code
}

int read_inputs(PyObject* option_data, Inputs* in) {
    const ModuleState::Texts& t = state.text;
    const std::pair<PyObject*, double*> numbers[] = {{t.spot_price, &in->spot},
                                                     {t.strike_price, &in->strike},
                                                     {t.time_to_expiry, &in->time_to_expiry},
                                                     {t.risk_free_rate, &in->rate},
                                                     {t.implied_volatility, &in->volatility}};
    for (auto [key, out] : numbers)
        if (read_number(option_data, key, out) < 0) return -1;
    // `option_type == "CE"` and its truth, both of which may run Python code
    Ref type = Ref::steal(read_entry(option_data, t.option_type));
    Ref equal = type ? Ref::steal(PyObject_RichCompare(type.get(), t.call_side, Py_EQ)) : Ref();
    const int truth = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (truth < 0) return -1;
    in->is_call = truth;
    return 0;
}

Ref cdf(double x) { return checked(call_library(state.text.norm, state.text.cdf, x)); }
Ref pdf(double x) { return checked(call_library(state.text.norm, state.text.pdf, x)); }
Ref exp_of(double x) { return checked(call_library(state.text.np, state.text.exp, x)); }

void store(PyObject* result, PyObject* key, const Ref& value) {
    if (PyDict_SetItem(result, key, value.get()) < 0) throw PythonFailed{};
}

// The guarded steps: fill `result`, or return false when d1 or d2 failed (None is the answer).
bool compute(Kestrava* self, const Inputs& in, PyObject* result, FailedAt& failed) {
    const ModuleState::Texts& t = state.text;
    const double S = in.spot, K = in.strike, T = in.time_to_expiry, r = in.rate;
    const double sigma = in.volatility;

    failed.running(line_d1);
    const double d1 = self->ops->calculate_d1(self, S, K, T, r, sigma);
    if (d1 == -1.0 && PyErr_Occurred()) throw PythonFailed{};
    failed.running(line_d2);
    const double d2 = self->ops->calculate_d2(self, d1, sigma, T);
    if (d2 == -1.0 && PyErr_Occurred()) throw PythonFailed{};
    if (d1 == -1.0 || d2 == -1.0) return false;

    // delta = N(d1), or N(d1) − 1 for a put
    failed.running(line_delta);
    Ref delta = cdf(d1);
    store(result, t.delta, in.is_call ? std::move(delta) : subtract(delta, state.number.int_1));

    // gamma = φ(d1) / (float(S·σ) · √T)
    failed.running(line_gamma);
    Ref density = pdf(d1);
    Ref spread = number(S * sigma);
    Ref gamma = divide(density, multiply(spread, sqrt_of(T)).get());
    store(result, t.gamma, gamma);

    // Θ₀ = −(float(S·σ) · φ(d1)) / (2 · √T), as a double
    failed.running(line_decay);
    Ref scaled_density = multiply(spread, pdf(d1));
    Ref negated = checked(PyNumber_Negative(scaled_density.get()));
    Ref twice_root = checked(PyNumber_Multiply(state.number.int_2, sqrt_of(T).get()));
    const double decay = as_double(divide(negated, twice_root.get()));

    // theta = Θ₀ − float(r·K) · e^(−r·T) · N(d2) for a call, Θ₀ + … · N(−d2) for a put
    failed.running(line_theta);
    Ref rate_strike = number(r * K);
    Ref discounted = multiply(rate_strike, exp_of((-r) * T));
    Ref carry = multiply(discounted, in.is_call ? cdf(d2) : cdf(-d2));
    Ref decay_object = number(decay);
    store(result, t.theta,
          in.is_call ? subtract(decay_object, carry.get()) : add(decay_object, carry.get()));

    // theta per calendar day, read back and stored again under the same key
    failed.running(line_theta_per_day);
    Ref theta = checked(Py_XNewRef(runtime::lookup_item(result, t.theta)));
    store(result, t.theta, divide(theta, state.number.int_365));

    // vega = ((float(S) · √T) · φ(d1)) / 100
    failed.running(line_vega);
    Ref spot = number(S);
    Ref spot_root = multiply(spot, sqrt_of(T));
    Ref vega = multiply(spot_root, pdf(d1));
    store(result, t.vega, divide(vega, state.number.int_100));

    // rho = ((float(±K·T) · e^(−r·T)) · N(±d2)) / 100
    failed.running(line_rho);
    Ref strike_time = number(in.is_call ? K * T : (-K) * T);
    Ref discounted_strike = multiply(strike_time, exp_of((-r) * T));
    Ref rho = multiply(discounted_strike, in.is_call ? cdf(d2) : cdf(-d2));
    store(result, t.rho, divide(rho, state.number.int_100));
    return true;
}

PyObject* failed_before_guard(int line) {
    add_traceback(where, line);
    return nullptr;
}

PyObject* calculate_greeks_body(PyObject* self, const runtime::Arguments& args) {
    return calculate_greeks(as_kestrava(self), args.object[0], false);
}

}  // namespace

PyObject* calculate_greeks(Kestrava* self, PyObject* option_data, bool dispatch) {
    PyObject* overridden = nullptr;
    const int ran = dispatch
                        ? run_override(self, state.text.calculate_greeks, calculate_greeks_method,
                                       &option_data, 1, &overridden, true)
                        : 0;
    if (ran != 0) return overridden;

    Inputs inputs{};
    if (read_inputs(option_data, &inputs) < 0) return failed_before_guard(line_read);
    Ref result = Ref::steal(PyDict_New());
    if (!result) return failed_before_guard(line_result);
    FailedAt failed(line_result);
    try {
        if (compute(self, inputs, result.get(), failed)) return result.release();
        Py_RETURN_NONE;
    } catch (const PythonFailed&) {
    }
    if (handle_error(state.text.greeks_error, where, failed.line()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const runtime::MethodDef calculate_greeks_method = {
    KESTRAVA_METHOD_NAMES(calculate_greeks),
    .doc = "Calculate all Greeks for an option",
    .first_line = first_line,
    .params = {{"option_data", runtime::Kind::dict}},
    .body = calculate_greeks_body,
};

}  // namespace greeks::pricing
