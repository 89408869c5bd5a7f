// Every interpreter-version dependent line of the module lives here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "greeks.greeks is written against the CPython 3.12 C API"
#endif

namespace greeks::runtime {

// The interpreter version the module was compiled for; the start-up check compares against it.
inline constexpr int compiled_major = PY_MAJOR_VERSION;
inline constexpr int compiled_minor = PY_MINOR_VERSION;

}  // namespace greeks::runtime
