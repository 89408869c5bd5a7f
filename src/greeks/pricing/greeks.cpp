// calculate_greeks: delta, gamma, theta per day, vega and rho per percentage point of one option.
#include "greeks/pricing/library.hpp"
#include "greeks/pricing/pricing.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks::pricing {

namespace {

using runtime::Ref;

constexpr const char* where = "greeks.greeks.Kestrava.calculate_greeks";
constexpr int first_line = 50;
constexpr int line_read = 52;
constexpr int line_result = 58;

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
    if (read_number(option_data, t.spot_price, &in->spot) < 0 ||
        read_number(option_data, t.strike_price, &in->strike) < 0 ||
        read_number(option_data, t.time_to_expiry, &in->time_to_expiry) < 0 ||
        read_number(option_data, t.risk_free_rate, &in->rate) < 0 ||
        read_number(option_data, t.implied_volatility, &in->volatility) < 0) {
        return -1;
    }
    Ref type = Ref::steal(read_entry(option_data, t.option_type));
    if (!type) return -1;
    Ref equal =
        Ref::steal(PyObject_RichCompare(type.get(), t.call_side, Py_EQ));  // may run Python code
    if (!equal) return -1;
    const int truth = PyObject_IsTrue(equal.get());  // may run Python code
    if (truth < 0) return -1;
    in->is_call = truth;
    return 0;
}

// Python-level `left <op> right`; null in, or a failed operation, gives null.
using BinaryOp = PyObject* (*)(PyObject*, PyObject*);
Ref apply(BinaryOp op, const Ref& left, const Ref& right) {
    if (!left || !right) return Ref();
    return Ref::steal(op(left.get(), right.get()));  // may run Python code
}

// The library calls, each with a fresh lookup of its module global. Chains of them go through
// `then`, which makes a call only after everything to its left succeeded: the formulas are
// evaluated left to right, as written, and stop at the first failure.
Ref cdf(double x) { return Ref::steal(call_library(state.text.norm, state.text.cdf, x)); }
Ref pdf(double x) { return Ref::steal(call_library(state.text.norm, state.text.pdf, x)); }
Ref sqrt_of(double x) { return Ref::steal(call_library(state.text.np, state.text.sqrt, x)); }
Ref exp_of(double x) { return Ref::steal(call_library(state.text.np, state.text.exp, x)); }
Ref number(double x) { return Ref::steal(PyFloat_FromDouble(x)); }
Ref borrowed(PyObject* obj) { return Ref::borrow(obj); }

// `first op second()`, where `second` runs only after `first` succeeded.
template <typename Second>
Ref then(BinaryOp op, Ref first, Second second) {
    if (!first) return Ref();
    Ref right = second();
    return apply(op, first, right);
}

int store(PyObject* result, PyObject* key, const Ref& value) {
    return value ? PyDict_SetItem(result, key, value.get()) : -1;
}

// Steps inside the guard: fills `result`. Returns 1 when d1 or d2 failed (None is the answer),
// 0 on success, -1 with an exception set. `line` follows the statement being run.
int compute(Kestrava* self, const Inputs& in, PyObject* result, int* line) {
    const ModuleState::Texts& t = state.text;
    const double S = in.spot, K = in.strike, T = in.time_to_expiry, r = in.rate;
    const double sigma = in.volatility;
    *line = 60;
    const double d1 = self->ops->calculate_d1(self, S, K, T, r, sigma);
    if (d1 == -1.0 && PyErr_Occurred()) return -1;
    *line = 61;
    const double d2 = self->ops->calculate_d2(self, d1, sigma, T);
    if (d2 == -1.0 && PyErr_Occurred()) return -1;
    *line = 62;
    if (d1 == -1.0 || d2 == -1.0) return 1;

    // delta = N(d1), or N(d1) - 1 for a put
    *line = 65;
    Ref delta = cdf(d1);
    if (!in.is_call) delta = apply(PyNumber_Subtract, delta, borrowed(state.number.one));
    if (store(result, t.delta, delta) < 0) return -1;

    // gamma = φ(d1) / (float(S·σ) · √T)
    *line = 70;
    Ref gamma = then(PyNumber_TrueDivide, pdf(d1), [&] {
        return then(PyNumber_Multiply, number(S * sigma), [&] { return sqrt_of(T); });
    });
    if (store(result, t.gamma, gamma) < 0) return -1;

    // Θ₀ = -(float(S·σ) · φ(d1)) / (2 · √T), as a double
    *line = 72;
    Ref decay = then(PyNumber_Multiply, number(S * sigma), [&] { return pdf(d1); });
    decay = decay ? Ref::steal(PyNumber_Negative(decay.get())) : Ref();
    decay = then(PyNumber_TrueDivide, std::move(decay), [&] {
        return then(PyNumber_Multiply, borrowed(state.number.two), [&] { return sqrt_of(T); });
    });
    double theta0 = 0.0;
    if (!decay || runtime::to_double(decay.get(), &theta0) < 0) return -1;

    // theta = Θ₀ ∓ float(r·K) · e^(-r·T) · N(±d2)
    *line = 74;
    Ref carry = then(PyNumber_Multiply, number(r * K), [&] { return exp_of((-r) * T); });
    carry =
        then(PyNumber_Multiply, std::move(carry), [&] { return in.is_call ? cdf(d2) : cdf(-d2); });
    Ref theta = then(in.is_call ? PyNumber_Subtract : PyNumber_Add, number(theta0),
                     [&] { return std::move(carry); });
    if (store(result, t.theta, theta) < 0) return -1;

    // theta per calendar day, stored back under the same key
    *line = 79;
    Ref stored = Ref::steal(read_entry(result, t.theta));
    Ref per_day = apply(PyNumber_TrueDivide, stored, borrowed(state.number.year_days));
    if (store(result, t.theta, per_day) < 0) return -1;

    // vega = ((float(S) · √T) · φ(d1)) / 100
    *line = 81;
    Ref vega = then(PyNumber_Multiply, number(S), [&] { return sqrt_of(T); });
    vega = then(PyNumber_Multiply, std::move(vega), [&] { return pdf(d1); });
    vega = apply(PyNumber_TrueDivide, vega, borrowed(state.number.hundred));
    if (store(result, t.vega, vega) < 0) return -1;

    // rho = ((float(±K·T) · e^(-r·T)) · N(±d2)) / 100
    *line = 83;
    Ref rho = then(PyNumber_Multiply, number(in.is_call ? K * T : (-K) * T),
                   [&] { return exp_of((-r) * T); });
    rho = then(PyNumber_Multiply, std::move(rho), [&] { return in.is_call ? cdf(d2) : cdf(-d2); });
    rho = apply(PyNumber_TrueDivide, rho, borrowed(state.number.hundred));
    if (store(result, t.rho, rho) < 0) return -1;
    return 0;
}

PyObject* calculate_greeks_body(PyObject* self, PyObject* const* args) {
    if (!runtime::check_argument_type(args[0], &PyDict_Type, "option_data")) {
        add_traceback(where, first_line);
        return nullptr;
    }
    return calculate_greeks(as_kestrava(self), args[0], false);
}

}  // namespace

PyObject* calculate_greeks(Kestrava* self, PyObject* option_data, bool dispatch) {
    if (dispatch) {
        Ref override =
            Ref::steal(find_override(self, state.text.calculate_greeks, calculate_greeks_body));
        PyObject* result = override ? call_dict_override(override.get(), &option_data, 1) : nullptr;
        if (result) return result;
        if (PyErr_Occurred()) {
            add_traceback(where, first_line);
            return nullptr;
        }
    }

    Inputs inputs{};
    if (read_inputs(option_data, &inputs) < 0) {
        add_traceback(where, line_read);
        return nullptr;
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        add_traceback(where, line_result);
        return nullptr;
    }
    int line = line_result;
    const int status = compute(self, inputs, result.get(), &line);
    if (status == 0) return result.release();
    if (status == 1) Py_RETURN_NONE;
    if (handle_error(state.text.greeks_error, where, line) < 0) return nullptr;
    Py_RETURN_NONE;
}

const runtime::MethodDef calculate_greeks_method = {
    .name = "calculate_greeks",
    .qualname = "Kestrava.calculate_greeks",
    .doc = "Calculate all Greeks for an option",
    .traceback_name = where,
    .filename = runtime::source_file,
    .first_line = first_line,
    .takes_self = true,
    .nparams = 1,
    .params = {"option_data"},
    .nlocals = 0,
    .locals = {},
    .body = calculate_greeks_body,
};

}  // namespace greeks::pricing
