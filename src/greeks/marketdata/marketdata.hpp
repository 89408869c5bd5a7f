// Market data access: the spot price, the lookup of one option row and the option record.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::marketdata {

// The operation table's get_spot_price: the underlying's price, or -1.0 (see KestravaOps).
double get_spot_price(Kestrava* self, bool dispatch);

// The operation table's get_option_data: new reference to the option record, None, or null with
// an exception set.
// `option_type` may be null, meaning "CE".
PyObject* get_option_data(Kestrava* self, double strike, PyObject* expiry_date, bool dispatch,
                          PyObject* option_type);

extern const runtime::MethodDef get_spot_price_method;
extern const runtime::MethodDef find_option_in_data_method;
extern const runtime::MethodDef get_option_data_method;

}  // namespace greeks::marketdata
