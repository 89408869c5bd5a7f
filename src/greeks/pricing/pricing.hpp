// Option pricing: the Black-Scholes terms d1 and d2 and the Greeks of one option.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::pricing {

// The operation table's calculate_d1 and calculate_d2: -1.0 when they may have failed (see
// KestravaOps).
double calculate_d1(Kestrava* self, double spot, double strike, double time_to_expiry, double rate,
                    double volatility);
double calculate_d2(Kestrava* self, double d1, double volatility, double time_to_expiry);

// The operation table's calculate_greeks: new reference to the Greeks dict, None, or null with
// an exception set.
PyObject* calculate_greeks(Kestrava* self, PyObject* option_data, bool dispatch);

extern const runtime::MethodDef calculate_greeks_method;

}  // namespace greeks::pricing
