#include "greeks/vector/kernels.hpp"

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/cpu.hpp"
#include "greeks/vector/implied_volatility.hpp"

namespace greeks::vector {

void greeks_kernel(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                   std::size_t end) {
#if defined(GREEKS_VECTOR_ERFC)
    if (wide_paths_usable()) return greeks_kernel_avx512(columns, begin, end);
#endif
    greeks_kernel_four(columns, begin, end);
}

void greeks_kernel_four(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                        std::size_t end) {
#if defined(GREEKS_VECTOR_ERFC)
    if (vector_paths_usable()) return greeks_kernel_avx2(columns, begin, end);
#endif
    greeks_kernel_scalar(columns, begin, end);
}

void greeks_kernel_scalar(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                          std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) write_leg_greeks(columns, i);
}

void price_kernel(const ColumnsWithOutputs<1>& columns, std::size_t begin, std::size_t end) {
    const auto& [spot, strike, time, rate, dividend, vol] = columns.numbers;
    for (std::size_t i = begin; i < end; ++i) {
        columns.outputs[0][i] = option_price(spot[i], strike[i], time[i], rate[i], dividend[i],
                                             vol[i], columns.is_call[i] != 0);
    }
}

void implied_volatility_kernel(const ColumnsWithOutputs<1>& columns, std::size_t begin,
                               std::size_t end) {
    const auto& [price, spot, strike, time, rate, dividend] = columns.numbers;
    for (std::size_t i = begin; i < end; ++i) {
        columns.outputs[0][i] = implied_volatility(price[i], spot[i], strike[i], time[i], rate[i],
                                                   dividend[i], columns.is_call[i] != 0);
    }
}

}  // namespace greeks::vector
