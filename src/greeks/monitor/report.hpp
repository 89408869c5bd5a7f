// The lines of the monitoring report.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::monitor {

// Prints the two banner lines. -1 with an exception set on failure.
int print_banner(Kestrava* self, double strike, PyObject* expiry_date, PyObject* option_type);

// Prints the report block of one cycle, row by row: each row is read, formatted and printed
// before the next is read. -1 with an exception set on failure.
int print_report(PyObject* option_data, PyObject* greeks);

// Prints a fixed line from its prebuilt argument tuple.
int print_fixed(PyObject* arguments);

}  // namespace greeks::monitor
