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

// New reference to obj[key1][key2], read the ordinary subscript way. May run Python code.
inline PyObject* item_of_item(PyObject* obj, PyObject* key1, PyObject* key2) {
    runtime::Ref inner = runtime::Ref::steal(PyObject_GetItem(obj, key1));
    return inner ? PyObject_GetItem(inner.get(), key2) : nullptr;
}

}  // namespace greeks::marketdata
