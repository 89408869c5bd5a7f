// Import statements of the module body: absolute imports with the module's globals.
#pragma once

#include "greeks/runtime/ref.hpp"

namespace greeks::runtime {

// `import name`: new reference to the module. The entry in sys.modules is used unless the module
// is still initialising, in which case the import machinery runs.
PyObject* import_module(PyObject* name, PyObject* globals);

// `from name import ...`: new reference to the module `name`, imported with `fromlist`.
PyObject* import_module_for(PyObject* name, PyObject* fromlist, PyObject* globals);

// New reference to `name` taken from `module`, falling back to sys.modules["<module>.<name>"].
// ImportError "cannot import name ..." when neither has it.
PyObject* import_from(PyObject* module, PyObject* name);

// `from module import *`: new reference to a dict of the names the module exports (its __all__,
// or the public keys of its __dict__) and their values, in order. May run Python code.
PyObject* star_import_names(PyObject* module);

}  // namespace greeks::runtime
