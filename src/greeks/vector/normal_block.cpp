#include "greeks/vector/normal_block.hpp"

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/cpu.hpp"

namespace greeks::vector {

void normal_cdf_block(const double* x, double* out, std::size_t n) noexcept {
#if defined(GREEKS_VECTOR_ERFC)
    if (vector_paths_usable()) {
        normal_cdf_avx2(x, out, n);
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = normal_cdf(x[i]);
}

}  // namespace greeks::vector
