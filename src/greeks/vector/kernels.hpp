// The element-wise kernels: plain loops over columns, no Python object touched.
#pragma once

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/elementwise.hpp"

namespace greeks::vector {

// Prices leg `i` one at a time and writes its five Greeks.
inline void write_leg_greeks(const ColumnsWithOutputs<greek_count>& columns, std::size_t i) {
    const auto& [spot, strike, time, rate, dividend, vol] = columns.numbers;
    LegGreeks g = leg_greeks(spot[i], strike[i], time[i], rate[i], dividend[i], vol[i],
                             columns.is_call[i] != 0);
    const auto& [delta, gamma, theta, vega, rho] = columns.outputs;
    delta[i] = g.delta;
    gamma[i] = g.gamma;
    theta[i] = g.theta;
    vega[i] = g.vega;
    rho[i] = g.rho;
}

// numbers: spot, strike, time, rate, dividend yield, vol; outputs: delta, gamma, theta, vega, rho.
// Eight legs at a time where the CPU allows (greeks_kernel_avx512), else four (greeks_kernel_avx2),
// else one at a time; greeks_kernel_four never takes eight.
void greeks_kernel(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                   std::size_t end);
void greeks_kernel_four(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                        std::size_t end);
void greeks_kernel_scalar(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                          std::size_t end);
// Defined only in builds with the vector paths (greeks_avx2.cpp, greeks_avx512.cpp).
void greeks_kernel_avx2(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                        std::size_t end);
void greeks_kernel_avx512(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                          std::size_t end);
// numbers: spot, strike, time, rate, dividend yield, vol; output: price
void price_kernel(const ColumnsWithOutputs<1>& columns, std::size_t begin, std::size_t end);
// numbers: price, spot, strike, time, rate, dividend yield; output: volatility
void implied_volatility_kernel(const ColumnsWithOutputs<1>& columns, std::size_t begin,
                               std::size_t end);

}  // namespace greeks::vector
