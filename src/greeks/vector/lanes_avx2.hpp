// Four doubles at a time (AVX2 and FMA), with log, exp and erfc from glibc's libmvec (its
// four-lane variants, named by the vector function ABI). Included only by files the build
// compiles for AVX2 and FMA.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

extern "C" {
__m256d _ZGVdN4v_erfc(__m256d);
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_log(__m256d);
}

namespace greeks::vector {

// A comparison's mask is a vector with every bit set in the lanes where it holds.
struct Avx2 {
    using V = __m256d;
    using Mask = __m256d;
    static constexpr std::size_t lanes = 4;

    static V set(double x) { return _mm256_set1_pd(x); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V x) { _mm256_storeu_pd(p, x); }
    // The lanes of a bool column: all bits set where the byte is non-zero.
    static V load_flags(const std::uint8_t* p) {
        std::int32_t bytes = 0;
        std::memcpy(&bytes, p, sizeof bytes);
        __m256i wide = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bytes));
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(wide, _mm256_setzero_si256()));
    }

    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    // √a and 1/√a, each correctly rounded from the root
    struct Root {
        V root, inverse;
    };
    static Root root_and_inverse(V a) {
        V root = _mm256_sqrt_pd(a);
        return {root, _mm256_div_pd(_mm256_set1_pd(1.0), root)};
    }
    // 1/a, correctly rounded
    static V reciprocal(V a) { return _mm256_div_pd(_mm256_set1_pd(1.0), a); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }    // a·b + c
    static V fnmadd(V a, V b, V c) { return _mm256_fnmadd_pd(a, b, c); }  // c − a·b
    static V bit_xor(V a, V b) { return _mm256_xor_pd(a, b); }
    static V bit_and(V a, V b) { return _mm256_and_pd(a, b); }
    static V and_not(V a, V b) { return _mm256_andnot_pd(a, b); }  // ~a & b
    static Mask at_least(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static Mask at_most(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static Mask equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
    static unsigned bits(Mask mask) { return static_cast<unsigned>(_mm256_movemask_pd(mask)); }

    static V exp(V x) { return _ZGVdN4v_exp(x); }
    static V log(V x) { return _ZGVdN4v_log(x); }
    static V erfc(V x) { return _ZGVdN4v_erfc(x); }
};

}  // namespace greeks::vector
