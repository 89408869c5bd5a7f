// What the module's execution step sets up: its steps, in the order it runs them (each returns 0,
// or -1 with an exception set), and what it takes from the subsystems, wired in wiring.cpp: the
// operation table every instance carries and the methods the module body stores in the class.
#pragma once

#include "greeks/module/module.hpp"

#include <span>

namespace greeks {

extern const KestravaOps kestrava_ops;

struct KestravaMethod {
    const runtime::MethodDef& def;
    PyObject* const* defaults;  // the slot of its defaults tuple in the module state, or null
};

// In the order the module body stores them.
extern const std::span<const KestravaMethod> kestrava_methods;

int create_constants();
int check_numpy_interface();
int create_tuples();
int ready_kestrava_type();
int install_pickling();
int check_imported_types();
int run_module_body(PyObject* module);

}  // namespace greeks
