// The Black-Scholes terms d1 and d2: machine arithmetic where it is exact, numpy's functions and
// Python-level arithmetic on their results for the rest.
#include "greeks/pricing/library.hpp"
#include "greeks/pricing/pricing.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

#include <cmath>

namespace greeks::pricing {

namespace {

using runtime::FailedAt;
using runtime::Ref;

constexpr double failure = -1.0;

constexpr const char* d1_where = "greeks.greeks.Kestrava.calculate_d1";
constexpr const char* d2_where = "greeks.greeks.Kestrava.calculate_d2";

// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum D1Line { line_d1_log = 17, line_d1_ratio, line_d1_logarithm, line_d1_numerator, line_d1_root,
              line_d1_denominator, line_d1_quotient, line_d1_result };
enum D2Line { line_d2_arguments = 27, line_d2_root, line_d2_product, line_d2_difference,
              line_d2_result };
// clang-format on

// d1 = (ln(S/K) + (σ²/2 + r)·T) / (σ·√T)
double d1_guarded(double spot, double strike, double time_to_expiry, double rate, double volatility,
                  FailedAt& failed) {
    const ModuleState::Texts& t = state.text;
    Ref np = Ref::steal(get_global(t.np));
    Ref log = np ? Ref::steal(PyObject_GetAttr(np.get(), t.log)) : Ref();
    if (!log) return failed.at(line_d1_log, failure);

    if (strike == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, messages::float_division);
        return failed.at(line_d1_ratio, failure);
    }
    const double ratio = spot / strike;

    Ref ratio_object = Ref::steal(PyFloat_FromDouble(ratio));
    Ref logarithm =
        ratio_object ? Ref::steal(PyObject_CallOneArg(log.get(), ratio_object.get())) : Ref();
    if (!logarithm) return failed.at(line_d1_logarithm, failure);

    const double drift = (std::pow(volatility, 2.0) * 0.5 + rate) * time_to_expiry;
    Ref drift_object = Ref::steal(PyFloat_FromDouble(drift));
    Ref numerator =
        drift_object ? Ref::steal(PyNumber_Add(logarithm.get(), drift_object.get())) : Ref();
    if (!numerator) return failed.at(line_d1_numerator, failure);

    Ref root = Ref::steal(call_library(t.np, t.sqrt, time_to_expiry));
    if (!root) return failed.at(line_d1_root, failure);

    Ref volatility_object = Ref::steal(PyFloat_FromDouble(volatility));
    Ref denominator = volatility_object
                          ? Ref::steal(PyNumber_Multiply(volatility_object.get(), root.get()))
                          : Ref();
    if (!denominator) return failed.at(line_d1_denominator, failure);

    Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
    if (!quotient) return failed.at(line_d1_quotient, failure);

    double d1 = 0.0;
    if (runtime::to_double(quotient.get(), &d1) < 0) return failed.at(line_d1_result, failure);
    return d1;
}

// d2 = d1 − σ·√T
double d2_guarded(double d1, double volatility, double time_to_expiry, FailedAt& failed) {
    Ref d1_object = Ref::steal(PyFloat_FromDouble(d1));
    Ref volatility_object = Ref::steal(PyFloat_FromDouble(volatility));
    if (!d1_object || !volatility_object) return failed.at(line_d2_arguments, failure);

    Ref root = Ref::steal(call_library(state.text.np, state.text.sqrt, time_to_expiry));
    if (!root) return failed.at(line_d2_root, failure);

    Ref product = Ref::steal(PyNumber_Multiply(volatility_object.get(), root.get()));
    if (!product) return failed.at(line_d2_product, failure);

    Ref difference = Ref::steal(PyNumber_Subtract(d1_object.get(), product.get()));
    if (!difference) return failed.at(line_d2_difference, failure);

    double d2 = 0.0;
    if (runtime::to_double(difference.get(), &d2) < 0) return failed.at(line_d2_result, failure);
    return d2;
}

}  // namespace

double calculate_d1(Kestrava*, double spot, double strike, double time_to_expiry, double rate,
                    double volatility) {
    FailedAt failed(line_d1_log);
    const double d1 = d1_guarded(spot, strike, time_to_expiry, rate, volatility, failed);
    if (d1 == failure && PyErr_Occurred()) {
        handle_error(state.text.d1_error, d1_where, failed.line());
    }
    return d1;
}

double calculate_d2(Kestrava*, double d1, double volatility, double time_to_expiry) {
    FailedAt failed(line_d2_arguments);
    const double d2 = d2_guarded(d1, volatility, time_to_expiry, failed);
    if (d2 == failure && PyErr_Occurred()) {
        handle_error(state.text.d2_error, d2_where, failed.line());
    }
    return d2;
}

}  // namespace greeks::pricing
