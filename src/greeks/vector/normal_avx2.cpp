// The vector path of normal_cdf_block, compiled for AVX2 alone (the build adds -mavx2 to this
// file only) and called only after the CPU has said it has AVX2. N(x) = erfc(−x/√2)/2, as in the
// scalar path, with erfc from glibc's libmvec: _ZGVdN4v_erfc is its four-lane AVX2 variant, named
// by the vector function ABI.
#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/normal_block.hpp"

#include <immintrin.h>

extern "C" __m256d _ZGVdN4v_erfc(__m256d);

namespace greeks::vector {

void normal_cdf_avx2(const double* x, double* out, std::size_t n) noexcept {
    const __m256d minus_inv_sqrt_2 = _mm256_set1_pd(-static_cast<double>(inv_sqrt_2));
    const __m256d half = _mm256_set1_pd(0.5);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d argument = _mm256_mul_pd(_mm256_loadu_pd(x + i), minus_inv_sqrt_2);
        _mm256_storeu_pd(out + i, _mm256_mul_pd(half, _ZGVdN4v_erfc(argument)));
    }
    for (; i < n; ++i)  // the tail, one at a time
        out[i] = normal_cdf(x[i]);
}

}  // namespace greeks::vector
