// The Black-Scholes terms d1 and d2: machine arithmetic where it is exact, numpy's functions and
// Python-level arithmetic on their results for the rest.
#include "greeks/pricing/library.hpp"
#include "greeks/pricing/pricing.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

#include <cmath>

namespace greeks::pricing {

namespace {

using runtime::Ref;

constexpr double failure = -1.0;

constexpr const char* d1_where = "greeks.greeks.Kestrava.calculate_d1";
constexpr const char* d2_where = "greeks.greeks.Kestrava.calculate_d2";

// d1 = (ln(S/K) + (σ²/2 + r)·T) / (σ·√T). `line` follows the statement being run.
double d1_guarded(double spot, double strike, double time_to_expiry, double rate, double volatility,
                  int* line) {
    const ModuleState::Texts& t = state.text;
    *line = 17;
    Ref np = Ref::steal(get_global(t.np));
    Ref log = np ? Ref::steal(PyObject_GetAttr(np.get(), t.log)) : Ref();
    if (!log) return failure;
    *line = 18;
    if (strike == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, messages::float_division);
        return failure;
    }
    const double ratio = spot / strike;
    *line = 19;
    Ref ratio_object = Ref::steal(PyFloat_FromDouble(ratio));
    Ref logarithm =
        ratio_object ? Ref::steal(PyObject_CallOneArg(log.get(), ratio_object.get())) : Ref();
    if (!logarithm) return failure;
    *line = 20;
    const double drift = (std::pow(volatility, 2.0) * 0.5 + rate) * time_to_expiry;
    Ref drift_object = Ref::steal(PyFloat_FromDouble(drift));
    Ref numerator =
        drift_object ? Ref::steal(PyNumber_Add(logarithm.get(), drift_object.get())) : Ref();
    if (!numerator) return failure;
    *line = 21;
    Ref root = Ref::steal(call_library(t.np, t.sqrt, time_to_expiry));
    if (!root) return failure;
    *line = 22;
    Ref volatility_object = Ref::steal(PyFloat_FromDouble(volatility));
    Ref denominator = volatility_object
                          ? Ref::steal(PyNumber_Multiply(volatility_object.get(), root.get()))
                          : Ref();
    if (!denominator) return failure;
    *line = 23;
    Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
    if (!quotient) return failure;
    *line = 24;
    double d1 = 0.0;
    return runtime::to_double(quotient.get(), &d1) < 0 ? failure : d1;
}

// d2 = d1 − σ·√T.
double d2_guarded(double d1, double volatility, double time_to_expiry, int* line) {
    *line = 27;
    Ref d1_object = Ref::steal(PyFloat_FromDouble(d1));
    Ref volatility_object = Ref::steal(PyFloat_FromDouble(volatility));
    if (!d1_object || !volatility_object) return failure;
    *line = 28;
    Ref root = Ref::steal(call_library(state.text.np, state.text.sqrt, time_to_expiry));
    if (!root) return failure;
    *line = 29;
    Ref product = Ref::steal(PyNumber_Multiply(volatility_object.get(), root.get()));
    if (!product) return failure;
    *line = 30;
    Ref difference = Ref::steal(PyNumber_Subtract(d1_object.get(), product.get()));
    if (!difference) return failure;
    *line = 31;
    double d2 = 0.0;
    return runtime::to_double(difference.get(), &d2) < 0 ? failure : d2;
}

}  // namespace

double calculate_d1(Kestrava*, double spot, double strike, double time_to_expiry, double rate,
                    double volatility) {
    int line = 0;
    const double d1 = d1_guarded(spot, strike, time_to_expiry, rate, volatility, &line);
    if (d1 == failure && PyErr_Occurred()) handle_error(state.text.d1_error, d1_where, line);
    return d1;
}

double calculate_d2(Kestrava*, double d1, double volatility, double time_to_expiry) {
    int line = 0;
    const double d2 = d2_guarded(d1, volatility, time_to_expiry, &line);
    if (d2 == failure && PyErr_Occurred()) handle_error(state.text.d2_error, d2_where, line);
    return d2;
}

}  // namespace greeks::pricing
