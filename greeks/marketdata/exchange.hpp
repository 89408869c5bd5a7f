// Calls of the exchange functions that the module body imports from nsepython.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::marketdata {

// New reference to <global>(self.symbol), with the global looked up now. May run Python code.
inline PyObject* fetch_for_symbol(Kestrava* self, PyObject* global) {
    runtime::Ref function = runtime::Ref::steal(get_global(global));
    if (!function) return nullptr;
    // Held for the call: the callee may rebind the instance's symbol.
    runtime::Ref symbol = runtime::Ref::borrow(self->symbol);
    return PyObject_CallOneArg(function.get(), symbol.get());
}

}  // namespace greeks::marketdata
