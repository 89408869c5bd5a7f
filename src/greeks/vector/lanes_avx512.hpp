// Eight doubles at a time (AVX-512 F and DQ), with log, exp and erfc from glibc's libmvec (its
// eight-lane variants). Included only by files the build compiles for AVX-512.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

extern "C" {
__m512d _ZGVeN8v_erfc(__m512d);
__m512d _ZGVeN8v_exp(__m512d);
__m512d _ZGVeN8v_log(__m512d);
}

namespace greeks::vector {

// A comparison's mask is one of the processor's mask registers, a bit a lane; a call flag is a
// vector with every bit set in a call's lane, as with four lanes, to serve as a sign.
struct Avx512 {
    using V = __m512d;
    using Mask = __mmask8;
    static constexpr std::size_t lanes = 8;

    static V widen(__mmask8 mask) { return _mm512_castsi512_pd(_mm512_movm_epi64(mask)); }

    static V set(double x) { return _mm512_set1_pd(x); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V x) { _mm512_storeu_pd(p, x); }
    static V load_flags(const std::uint8_t* p) {
        std::int64_t bytes = 0;
        std::memcpy(&bytes, p, sizeof bytes);
        __m512i wide = _mm512_cvtepu8_epi64(_mm_cvtsi64_si128(bytes));
        return widen(_mm512_cmpneq_epi64_mask(wide, _mm512_setzero_si512()));
    }

    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_pd(a); }
    // 1/√a from the 14-bit estimate and two Newton steps y·(3 − a·y²)/2, and √a = a·(1/√a) with
    // one correction by its residual a − √a², each within about a unit in the last place.
    struct Root {
        V root, inverse;
    };
    static Root root_and_inverse(V a) {
        const V half = _mm512_set1_pd(0.5);
        V y = _mm512_rsqrt14_pd(a);
        for (int step = 0; step < 2; ++step) {
            V half_a_y = _mm512_mul_pd(_mm512_mul_pd(half, a), y);
            y = _mm512_fmadd_pd(y, _mm512_fnmadd_pd(half_a_y, y, half), y);
        }
        V root = _mm512_mul_pd(a, y);
        root = _mm512_fmadd_pd(_mm512_mul_pd(half, y), _mm512_fnmadd_pd(root, root, a), root);
        return {root, y};
    }
    // 1/a within about a unit in the last place, for a normal a: the processor's 14-bit estimate
    // and two Newton steps (each squares the error: 2⁻¹⁴ → 2⁻²⁸ → 2⁻⁵⁶), at a fraction of a
    // division's cost.
    static V reciprocal(V a) {
        V r = _mm512_rcp14_pd(a);
        for (int step = 0; step < 2; ++step)
            r = _mm512_fmadd_pd(r, _mm512_fnmadd_pd(a, r, _mm512_set1_pd(1.0)), r);
        return r;
    }
    static V fmadd(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static V fnmadd(V a, V b, V c) { return _mm512_fnmadd_pd(a, b, c); }
    static V bit_xor(V a, V b) { return _mm512_xor_pd(a, b); }
    static V bit_and(V a, V b) { return _mm512_and_pd(a, b); }
    static V and_not(V a, V b) { return _mm512_andnot_pd(a, b); }
    static Mask at_least(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static Mask at_most(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static Mask equal(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static Mask both(Mask a, Mask b) { return a & b; }
    static unsigned bits(Mask mask) { return mask; }

    static V exp(V x) { return _ZGVeN8v_exp(x); }
    static V log(V x) { return _ZGVeN8v_log(x); }
    static V erfc(V x) { return _ZGVeN8v_erfc(x); }
};

}  // namespace greeks::vector
