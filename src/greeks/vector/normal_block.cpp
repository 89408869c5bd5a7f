#include "greeks/vector/normal_block.hpp"

#include "greeks/vector/black_scholes.hpp"

namespace greeks::vector {
namespace {

#if defined(GREEKS_VECTOR_ERFC)
// Asked once: the CPU does not change under a running process.
const bool has_avx2 = __builtin_cpu_supports("avx2");
#else
constexpr bool has_avx2 = false;
#endif

}  // namespace

void normal_cdf_block(const double* x, double* out, std::size_t n) noexcept {
#if defined(GREEKS_VECTOR_ERFC)
    if (has_avx2) {
        normal_cdf_avx2(x, out, n);
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = normal_cdf(x[i]);
    }
}

}  // namespace greeks::vector
