// Where the module frame meets the subsystems: the operation table every instance carries, and the
// methods the module body stores in the class.
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

}  // namespace greeks
