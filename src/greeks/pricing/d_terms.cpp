// The Black-Scholes terms d1 and d2: machine arithmetic where it is exact, numpy's functions and
// Python-level arithmetic on their results for the rest.
#include "greeks/pricing/library.hpp"
#include "greeks/pricing/pricing.hpp"
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
double d1_steps(double spot, double strike, double time_to_expiry, double rate, double volatility,
                FailedAt& failed) {
    const ModuleState::Texts& t = state.text;
    failed.running(line_d1_log);
    Ref log = checked(PyObject_GetAttr(checked(get_global(t.np)).get(), t.log));

    failed.running(line_d1_ratio);
    if (strike == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, messages::float_division);
        throw PythonFailed{};
    }
    const double ratio = spot / strike;

    failed.running(line_d1_logarithm);
    Ref logarithm = checked(PyObject_CallOneArg(log.get(), number(ratio).get()));

    failed.running(line_d1_numerator);
    Ref numerator =
        add(logarithm, number((std::pow(volatility, 2.0) * 0.5 + rate) * time_to_expiry).get());

    failed.running(line_d1_root);
    Ref root = sqrt_of(time_to_expiry);

    failed.running(line_d1_denominator);
    Ref denominator = multiply(number(volatility), root);

    failed.running(line_d1_quotient);
    Ref quotient = divide(numerator, denominator.get());

    failed.running(line_d1_result);
    return as_double(quotient);
}

// d2 = d1 − σ·√T
double d2_steps(double d1, double volatility, double time_to_expiry, FailedAt& failed) {
    failed.running(line_d2_arguments);
    Ref d1_object = number(d1);
    Ref volatility_object = number(volatility);

    failed.running(line_d2_root);
    Ref root = sqrt_of(time_to_expiry);

    failed.running(line_d2_product);
    Ref product = multiply(volatility_object, root);

    failed.running(line_d2_difference);
    Ref difference = subtract(d1_object, product.get());

    failed.running(line_d2_result);
    return as_double(difference);
}

}  // namespace

double calculate_d1(Kestrava*, double spot, double strike, double time_to_expiry, double rate,
                    double volatility) {
    FailedAt failed(line_d1_log);
    try {
        return d1_steps(spot, strike, time_to_expiry, rate, volatility, failed);
    } catch (const PythonFailed&) {
    }
    handle_error(state.text.d1_error, d1_where, failed.line());
    return failure;
}

double calculate_d2(Kestrava*, double d1, double volatility, double time_to_expiry) {
    FailedAt failed(line_d2_arguments);
    try {
        return d2_steps(d1, volatility, time_to_expiry, failed);
    } catch (const PythonFailed&) {
    }
    handle_error(state.text.d2_error, d2_where, failed.line());
    return failure;
}

}  // namespace greeks::pricing
