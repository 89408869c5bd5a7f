// Pickling and copying of Kestrava instances.
#pragma once

#include "greeks/runtime/function.hpp"

namespace greeks::pickling {

extern const runtime::MethodDef reduce_method;    // __reduce_cython__, also __reduce__
extern const runtime::MethodDef setstate_method;  // __setstate_cython__, also __setstate__
extern const runtime::MethodDef unpickle_method;  // the module-level __pyx_unpickle_Kestrava

}  // namespace greeks::pickling
