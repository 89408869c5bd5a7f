// The five Greeks four legs at a time, compiled for AVX2 and FMA alone (the build adds the flags
// to this file only) and called only after the CPU has said it has both. The formulas are those
// of leg_greeks, with log, exp and erfc from glibc's libmvec (its four-lane AVX2 variants,
// named by the vector function ABI), accurate to a few units in the last place.
//
// A leg's result depends on its own inputs only: lanes are independent, the last block is padded
// rather than left to another path, and a leg outside the range where the vector formulas are
// safe (below) is priced again by leg_greeks. So the thread count, which moves the blocks'
// boundaries, never changes a bit.
#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/kernels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" {
__m256d _ZGVdN4v_erfc(__m256d);
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_log(__m256d);
}

namespace greeks::vector {
namespace {

constexpr std::size_t lanes = 4;
// Inside these bounds no intermediate of the vector formulas overflows, underflows or loses its
// digits: σ²T and |rT|, |qT| far from the exponent range, S/K a normal number. Legs outside them
// are the extremes, left to the scalar path that handles each of them.
constexpr double largest_vol = 1e100;
constexpr double largest_exponent = 600.0;
constexpr double smallest_ratio = 1e-250;
constexpr double shortest_time = 1e-12;

struct Block {
    __m256d spot, strike, time, rate, dividend, vol;
    __m256d call;  // all bits set in a call's lane
};

__m256d load(const Numbers& column, std::size_t i) {
    return column.step != 0 ? _mm256_loadu_pd(column.data + i) : _mm256_set1_pd(column.data[0]);
}

__m256d load_flags(const Flags& flags, std::size_t i) {
    std::int32_t bytes = 0;
    if (flags.step != 0)
        std::memcpy(&bytes, flags.data + i, sizeof bytes);
    else
        bytes = flags.data[0] * 0x01010101;
    __m256i wide = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(bytes));
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(wide, _mm256_setzero_si256()));
}

// The last, partial block: each missing lane repeats the last leg, so that it computes nothing
// unusual; only the real lanes are stored.
Block load_tail(const ColumnsWithOutputs<greek_count>& columns, std::size_t i, std::size_t count) {
    alignas(32) double values[number_inputs][lanes];
    alignas(32) double calls[lanes];
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        std::size_t leg = i + std::min(lane, count - 1);
        for (std::size_t input = 0; input < number_inputs; ++input)
            values[input][lane] = columns.numbers[input][leg];
        std::uint64_t bits = columns.is_call[leg] != 0 ? ~std::uint64_t{0} : 0;
        std::memcpy(&calls[lane], &bits, sizeof bits);
    }
    return {_mm256_load_pd(values[0]), _mm256_load_pd(values[1]), _mm256_load_pd(values[2]),
            _mm256_load_pd(values[3]), _mm256_load_pd(values[4]), _mm256_load_pd(values[5]),
            _mm256_load_pd(calls)};
}

Block load_block(const ColumnsWithOutputs<greek_count>& columns, std::size_t i) {
    const auto& [spot, strike, time, rate, dividend, vol] = columns.numbers;
    return {load(spot, i),
            load(strike, i),
            load(time, i),
            load(rate, i),
            load(dividend, i),
            load(vol, i),
            load_flags(columns.is_call, i)};
}

__m256d absolute(__m256d x) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }

__m256d within(__m256d x, double low, double high) {
    return _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(low), _CMP_GE_OQ),
                         _mm256_cmp_pd(x, _mm256_set1_pd(high), _CMP_LE_OQ));
}

// Lanes the vector formulas price: every input in range (a NaN compares false everywhere).
__m256d ordinary_lanes(const Block& block, __m256d ratio) {
    __m256d ok = within(block.spot, smallest_ratio, 1.0 / smallest_ratio);
    ok = _mm256_and_pd(ok, within(block.strike, smallest_ratio, 1.0 / smallest_ratio));
    ok = _mm256_and_pd(ok, within(ratio, smallest_ratio, 1.0 / smallest_ratio));
    ok = _mm256_and_pd(ok, within(block.time, shortest_time, largest_vol));
    ok = _mm256_and_pd(ok, within(block.vol, 1.0 / largest_vol, largest_vol));
    ok = _mm256_and_pd(
        ok, within(absolute(_mm256_mul_pd(block.rate, block.time)), 0.0, largest_exponent));
    return _mm256_and_pd(
        ok, within(absolute(_mm256_mul_pd(block.dividend, block.time)), 0.0, largest_exponent));
}

struct Greeks4 {
    __m256d delta, gamma, theta, vega, rho;
    int ordinary;  // a bit per lane the formulas above priced
};

// Every vector function is called for two blocks in a row: within one block each call waits for
// the one before it, and the other block's call fills that wait.
constexpr int paired = 2;

template <class Step>
void for_each_block(Step step) {
    for (int k = 0; k < paired; ++k) step(k);
}

void pair_greeks(const Block (&blocks)[paired], Greeks4 (&greeks)[paired]) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d minus_zero = _mm256_set1_pd(-0.0);
    __m256d inverse_strike[paired], sqrt_time[paired], vol_sqrt_time[paired], ratio[paired],
        logarithm[paired], discount[paired], carry[paired], d1[paired], d2[paired], density[paired],
        n1[paired], n2[paired];
    for_each_block([&](int k) {
        const Block& block = blocks[k];
        inverse_strike[k] = _mm256_div_pd(_mm256_set1_pd(1.0), block.strike);
        sqrt_time[k] = _mm256_sqrt_pd(block.time);
        vol_sqrt_time[k] = _mm256_mul_pd(block.vol, sqrt_time[k]);
        ratio[k] = _mm256_mul_pd(block.spot, inverse_strike[k]);
    });
    for_each_block([&](int k) { logarithm[k] = _ZGVdN4v_log(ratio[k]); });
    for_each_block([&](int k) {
        discount[k] =
            _ZGVdN4v_exp(_mm256_xor_pd(_mm256_mul_pd(blocks[k].rate, blocks[k].time), minus_zero));
    });
    for_each_block([&](int k) {
        const Block& block = blocks[k];
        // ln(S/K) = ln(m) + ln(S/(mK)) for m ≈ S/K: the fused residual S − mK is exact to a
        // rounding, and ln(S/(mK)) ≈ (S − mK)/K to within a relative m − 1, which near the money
        // is where ln(m) is that small too. So one logarithm serves every lane, as accurate as
        // log1p of (S − K)/K near the money and as the plain logarithm away from it.
        __m256d residual = _mm256_fnmadd_pd(ratio[k], block.strike, block.spot);
        __m256d log_moneyness = _mm256_fmadd_pd(residual, inverse_strike[k], logarithm[k]);
        __m256d drift = _mm256_fmadd_pd(_mm256_mul_pd(half, block.vol), block.vol,
                                        _mm256_sub_pd(block.rate, block.dividend));
        d1[k] = _mm256_div_pd(_mm256_fmadd_pd(drift, block.time, log_moneyness), vol_sqrt_time[k]);
        d2[k] = _mm256_sub_pd(d1[k], vol_sqrt_time[k]);
    });
    for_each_block([&](int k) {
        density[k] = _mm256_mul_pd(
            _mm256_set1_pd(static_cast<double>(inv_sqrt_2pi)),
            _ZGVdN4v_exp(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-0.5), d1[k]), d1[k])));
    });
    // e^(−qT) is exactly 1 where q is 0, as in the scalar path; the common case skips the call.
    for_each_block([&](int k) {
        const Block& block = blocks[k];
        __m256d no_dividend = _mm256_cmp_pd(block.dividend, _mm256_setzero_pd(), _CMP_EQ_OQ);
        carry[k] = _mm256_movemask_pd(no_dividend) == 0xF
                       ? _mm256_set1_pd(1.0)
                       : _ZGVdN4v_exp(
                             _mm256_xor_pd(_mm256_mul_pd(block.dividend, block.time), minus_zero));
    });
    // A call needs N(d1), N(d2) = erfc(−d/√2)/2; a put N(−d1), N(−d2) = erfc(d/√2)/2.
    const __m256d to_erfc = _mm256_set1_pd(static_cast<double>(inv_sqrt_2));
    auto erfc_argument = [&](__m256d d, int k) {
        __m256d flip = _mm256_and_pd(blocks[k].call, minus_zero);  // −0 in a call's lane
        return _mm256_xor_pd(_mm256_mul_pd(d, to_erfc), flip);
    };
    for_each_block(
        [&](int k) { n1[k] = _mm256_mul_pd(half, _ZGVdN4v_erfc(erfc_argument(d1[k], k))); });
    for_each_block(
        [&](int k) { n2[k] = _mm256_mul_pd(half, _ZGVdN4v_erfc(erfc_argument(d2[k], k))); });

    for_each_block([&](int k) {
        const Block& block = blocks[k];
        Greeks4& g = greeks[k];
        // +1 for a call, −1 for a put, applied as a sign bit: x ^ put_sign.
        __m256d put_sign = _mm256_andnot_pd(block.call, minus_zero);
        __m256d carried_spot = _mm256_mul_pd(block.spot, carry[k]);
        g.ordinary = _mm256_movemask_pd(ordinary_lanes(block, ratio[k]));
        __m256d carried_density = _mm256_mul_pd(density[k], carry[k]);
        g.gamma = _mm256_div_pd(carried_density, _mm256_mul_pd(block.spot, vol_sqrt_time[k]));
        g.vega = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(carried_spot, sqrt_time[k]), density[k]),
                               _mm256_set1_pd(1.0 / per_percent));
        // Θ₀ = −S·e^(−qT)·σ·φ(d1) / (2√T), divided rather than multiplied by a reciprocal:
        // theta's terms may cancel, and every rounding here would be magnified by it.
        __m256d decay = _mm256_div_pd(
            _mm256_mul_pd(_mm256_mul_pd(_mm256_xor_pd(carried_spot, minus_zero), block.vol),
                          density[k]),
            _mm256_add_pd(sqrt_time[k], sqrt_time[k]));
        g.delta = _mm256_xor_pd(_mm256_mul_pd(carry[k], n1[k]), put_sign);
        __m256d discounted_n2 = _mm256_mul_pd(_mm256_mul_pd(block.strike, discount[k]), n2[k]);
        __m256d rate_term = _mm256_mul_pd(block.rate, discounted_n2);
        __m256d dividend_term = _mm256_mul_pd(_mm256_mul_pd(block.dividend, carried_spot), n1[k]);
        g.theta =
            _mm256_mul_pd(_mm256_add_pd(_mm256_sub_pd(decay, _mm256_xor_pd(rate_term, put_sign)),
                                        _mm256_xor_pd(dividend_term, put_sign)),
                          _mm256_set1_pd(1.0 / days_per_year));
        g.rho = _mm256_xor_pd(_mm256_mul_pd(_mm256_mul_pd(discounted_n2, block.time),
                                            _mm256_set1_pd(1.0 / per_percent)),
                              put_sign);
    });
}

void store(const ColumnsWithOutputs<greek_count>& columns, std::size_t i, std::size_t count,
           const Greeks4& g) {
    const __m256d* values[] = {&g.delta, &g.gamma, &g.theta, &g.vega, &g.rho};
    for (std::size_t output = 0; output < greek_count; ++output) {
        if (count == lanes) {
            _mm256_storeu_pd(columns.outputs[output].data() + i, *values[output]);
        } else {
            alignas(32) double lane_values[lanes];
            _mm256_store_pd(lane_values, *values[output]);
            std::copy_n(lane_values, count, columns.outputs[output].data() + i);
        }
    }
}

// Lanes outside the ordinary range: NaN where the leg has no price, leg_greeks' answer otherwise.
void price_the_rest(const ColumnsWithOutputs<greek_count>& columns, std::size_t i,
                    std::size_t count, int ordinary) {
    for (std::size_t lane = 0; lane < count; ++lane)
        if (((ordinary >> lane) & 1) == 0) write_leg_greeks(columns, i + lane);
}

}  // namespace

void greeks_kernel_avx2(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                        std::size_t end) {
    for (std::size_t i = begin; i < end; i += paired * lanes) {
        Block blocks[paired];
        std::size_t counts[paired];
        for (int k = 0; k < paired; ++k) {
            std::size_t first = i + k * lanes;
            // A block past the end repeats the last leg and is not stored.
            counts[k] = first < end ? std::min(lanes, end - first) : 0;
            blocks[k] = counts[k] == lanes ? load_block(columns, first)
                        : counts[k] > 0    ? load_tail(columns, first, counts[k])
                                           : blocks[k - 1];
        }
        Greeks4 greeks[paired];
        pair_greeks(blocks, greeks);
        for (int k = 0; k < paired && counts[k] > 0; ++k) {
            std::size_t first = i + k * lanes;
            store(columns, first, counts[k], greeks[k]);
            if (greeks[k].ordinary != 0xF)
                price_the_rest(columns, first, counts[k], greeks[k].ordinary);
        }
    }
}

}  // namespace greeks::vector
