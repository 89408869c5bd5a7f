// Monitoring: the fetch, compute and print loop and its console report.
#pragma once

#include "greeks/module/module.hpp"

namespace greeks::monitor {

extern const runtime::MethodDef monitor_greeks_method;

}  // namespace greeks::monitor
