// The set-up steps of the module's execution step, in the order it runs them. Each returns 0, or
// -1 with an exception set.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks {

int create_constants();
int check_numpy_interface();
int create_tuples();
int ready_kestrava_type();
int install_pickling();
int check_imported_types();
int run_module_body(PyObject* module);

}  // namespace greeks
