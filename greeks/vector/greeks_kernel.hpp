// The Greeks of many legs in one pass.
#pragma once

#include "greeks/vector/columns.hpp"

#include <cstddef>
#include <span>

namespace greeks::vector {

struct GreeksInputs {
    Numbers spot, strike, time, rate, vol;
    Flags is_call;
};

struct GreeksOutputs {
    std::span<double> delta, gamma, theta, vega, rho;
};

// Fills elements [begin, end) of every output; touches no Python object.
void greeks_kernel(const GreeksInputs& in, const GreeksOutputs& out, std::size_t begin,
                   std::size_t end);

}  // namespace greeks::vector
