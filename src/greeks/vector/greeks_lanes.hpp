// The five Greeks several legs at a time, written once over a lane type L (lanes_avx2.hpp,
// lanes_avx512.hpp) and compiled once per instruction set, each by a file the build compiles for
// that set alone and calls only after the CPU has said it has it. The formulas are those of
// leg_greeks, with log, exp and erfc from glibc's libmvec, accurate to a few units in the last
// place.
//
// A leg's result depends on its own inputs only: lanes are independent, the last block is padded
// rather than left to another path, and a leg outside the range where the vector formulas are
// safe (below) is priced again by leg_greeks. So the thread count, which moves the blocks'
// boundaries, never changes a bit.
#pragma once

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/kernels.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace greeks::vector::lanes {

// Inside these bounds no intermediate of the vector formulas overflows, underflows or loses its
// digits: σ²T and |rT|, |qT| far from the exponent range, S/K a normal number. Legs outside them
// are the extremes, left to the scalar path that handles each of them.
constexpr double largest_vol = 1e100;
constexpr double largest_exponent = 600.0;
constexpr double smallest_ratio = 1e-250;
constexpr double shortest_time = 1e-12;

template <class L>
struct Block {
    using V = typename L::V;
    V spot, strike, time, rate, dividend, vol;
    V call;  // all bits set in a call's lane
};

template <class L>
typename L::V load(const Numbers& column, std::size_t i) {
    return column.step != 0 ? L::load(column.data + i) : L::set(column.data[0]);
}

template <class L>
Block<L> load_block(const ColumnsWithOutputs<greek_count>& columns, std::size_t i) {
    const auto& [spot, strike, time, rate, dividend, vol] = columns.numbers;
    std::uint8_t calls[L::lanes];
    if (columns.is_call.step != 0)
        std::memcpy(calls, columns.is_call.data + i, L::lanes);
    else
        std::fill_n(calls, L::lanes, columns.is_call.data[0]);
    return {load<L>(spot, i),     load<L>(strike, i), load<L>(time, i),    load<L>(rate, i),
            load<L>(dividend, i), load<L>(vol, i),    L::load_flags(calls)};
}

// The last, partial block: each missing lane repeats the last leg, so that it computes nothing
// unusual; only the real lanes are stored.
template <class L>
Block<L> load_tail(const ColumnsWithOutputs<greek_count>& columns, std::size_t i,
                   std::size_t count) {
    alignas(64) double values[number_inputs][L::lanes];
    std::uint8_t calls[L::lanes];
    for (std::size_t lane = 0; lane < L::lanes; ++lane) {
        std::size_t leg = i + std::min(lane, count - 1);
        for (std::size_t input = 0; input < number_inputs; ++input)
            values[input][lane] = columns.numbers[input][leg];
        calls[lane] = columns.is_call[leg] != 0;
    }
    return {L::load(values[0]), L::load(values[1]), L::load(values[2]),  L::load(values[3]),
            L::load(values[4]), L::load(values[5]), L::load_flags(calls)};
}

template <class L>
typename L::V absolute(typename L::V x) {
    return L::and_not(L::set(-0.0), x);
}

template <class L>
typename L::Mask within(typename L::V x, double low, double high) {
    return L::both(L::at_least(x, L::set(low)), L::at_most(x, L::set(high)));
}

// Lanes the vector formulas price: every input in range (a NaN compares false everywhere).
template <class L>
typename L::Mask ordinary_lanes(const Block<L>& block, typename L::V ratio) {
    auto ok = within<L>(block.spot, smallest_ratio, 1.0 / smallest_ratio);
    ok = L::both(ok, within<L>(block.strike, smallest_ratio, 1.0 / smallest_ratio));
    ok = L::both(ok, within<L>(ratio, smallest_ratio, 1.0 / smallest_ratio));
    ok = L::both(ok, within<L>(block.time, shortest_time, largest_vol));
    ok = L::both(ok, within<L>(block.vol, 1.0 / largest_vol, largest_vol));
    ok = L::both(ok, within<L>(absolute<L>(L::mul(block.rate, block.time)), 0.0, largest_exponent));
    return L::both(
        ok, within<L>(absolute<L>(L::mul(block.dividend, block.time)), 0.0, largest_exponent));
}

template <class L>
struct Greeks {
    typename L::V delta, gamma, theta, vega, rho;
    unsigned ordinary;  // a bit per lane the formulas above priced
};

// Every vector function is called for two blocks in a row: within one block each call waits for
// the one before it, and the other block's call fills that wait.
constexpr int paired = 2;

template <class Step>
void for_each_block(Step step) {
    for (int k = 0; k < paired; ++k) step(k);
}

template <class L>
void pair_greeks(const Block<L> (&blocks)[paired], Greeks<L> (&greeks)[paired]) {
    using V = typename L::V;
    const V half = L::set(0.5);
    const V minus_zero = L::set(-0.0);
    V inverse_strike[paired], sqrt_time[paired], inverse_sqrt_time[paired], vol_sqrt_time[paired],
        ratio[paired], logarithm[paired], discount[paired], carry[paired], d1[paired], d2[paired],
        density[paired], n1[paired], n2[paired];
    for_each_block([&](int k) {
        const Block<L>& block = blocks[k];
        inverse_strike[k] = L::reciprocal(block.strike);
        auto [root, inverse] = L::root_and_inverse(block.time);
        sqrt_time[k] = root;
        inverse_sqrt_time[k] = inverse;
        vol_sqrt_time[k] = L::mul(block.vol, sqrt_time[k]);
        ratio[k] = L::mul(block.spot, inverse_strike[k]);
    });
    for_each_block([&](int k) { logarithm[k] = L::log(ratio[k]); });
    for_each_block([&](int k) {
        discount[k] = L::exp(L::bit_xor(L::mul(blocks[k].rate, blocks[k].time), minus_zero));
    });
    for_each_block([&](int k) {
        const Block<L>& block = blocks[k];
        // ln(S/K) = ln(m) + ln(S/(mK)) for m ≈ S/K: the fused residual S − mK is exact to a
        // rounding, and ln(S/(mK)) ≈ (S − mK)/K to within a relative m − 1, which near the money
        // is where ln(m) is that small too. So one logarithm serves every lane, as accurate as
        // log1p of (S − K)/K near the money and as the plain logarithm away from it.
        V residual = L::fnmadd(ratio[k], block.strike, block.spot);
        V log_moneyness = L::fmadd(residual, inverse_strike[k], logarithm[k]);
        V drift = L::fmadd(L::mul(half, block.vol), block.vol, L::sub(block.rate, block.dividend));
        d1[k] = L::mul(L::fmadd(drift, block.time, log_moneyness), L::reciprocal(vol_sqrt_time[k]));
        d2[k] = L::sub(d1[k], vol_sqrt_time[k]);
    });
    for_each_block([&](int k) {
        density[k] = L::mul(L::set(static_cast<double>(inv_sqrt_2pi)),
                            L::exp(L::mul(L::mul(L::set(-0.5), d1[k]), d1[k])));
    });
    // e^(−qT) is exactly 1 where q is 0, as in the scalar path; the common case skips the call.
    for_each_block([&](int k) {
        const Block<L>& block = blocks[k];
        auto no_dividend = L::equal(block.dividend, L::set(0.0));
        carry[k] = L::bits(no_dividend) == (1u << L::lanes) - 1
                       ? L::set(1.0)
                       : L::exp(L::bit_xor(L::mul(block.dividend, block.time), minus_zero));
    });
    // A call needs N(d1), N(d2) = erfc(−d/√2)/2; a put N(−d1), N(−d2) = erfc(d/√2)/2.
    const V to_erfc = L::set(static_cast<double>(inv_sqrt_2));
    auto erfc_argument = [&](V d, int k) {
        V flip = L::bit_and(blocks[k].call, minus_zero);  // −0 in a call's lane
        return L::bit_xor(L::mul(d, to_erfc), flip);
    };
    for_each_block([&](int k) { n1[k] = L::mul(half, L::erfc(erfc_argument(d1[k], k))); });
    for_each_block([&](int k) { n2[k] = L::mul(half, L::erfc(erfc_argument(d2[k], k))); });

    for_each_block([&](int k) {
        const Block<L>& block = blocks[k];
        Greeks<L>& g = greeks[k];
        // +1 for a call, −1 for a put, applied as a sign bit: x ^ put_sign.
        V put_sign = L::and_not(block.call, minus_zero);
        V carried_spot = L::mul(block.spot, carry[k]);
        g.ordinary = L::bits(ordinary_lanes<L>(block, ratio[k]));
        V carried_density = L::mul(density[k], carry[k]);
        g.gamma = L::mul(carried_density, L::reciprocal(L::mul(block.spot, vol_sqrt_time[k])));
        g.vega = L::mul(L::mul(L::mul(carried_spot, sqrt_time[k]), density[k]),
                        L::set(1.0 / per_percent));
        // Θ₀ = −S·e^(−qT)·σ·φ(d1) / (2√T)
        V decay =
            L::mul(L::mul(L::mul(L::bit_xor(carried_spot, minus_zero), block.vol), density[k]),
                   L::mul(half, inverse_sqrt_time[k]));
        g.delta = L::bit_xor(L::mul(carry[k], n1[k]), put_sign);
        V discounted_n2 = L::mul(L::mul(block.strike, discount[k]), n2[k]);
        V rate_term = L::mul(block.rate, discounted_n2);
        V dividend_term = L::mul(L::mul(block.dividend, carried_spot), n1[k]);
        g.theta = L::mul(L::add(L::sub(decay, L::bit_xor(rate_term, put_sign)),
                                L::bit_xor(dividend_term, put_sign)),
                         L::set(1.0 / days_per_year));
        g.rho = L::bit_xor(L::mul(L::mul(discounted_n2, block.time), L::set(1.0 / per_percent)),
                           put_sign);
    });
}

template <class L>
void store(const ColumnsWithOutputs<greek_count>& columns, std::size_t i, std::size_t count,
           const Greeks<L>& g) {
    const typename L::V* values[] = {&g.delta, &g.gamma, &g.theta, &g.vega, &g.rho};
    for (std::size_t output = 0; output < greek_count; ++output) {
        if (count == L::lanes) {
            L::store(columns.outputs[output].data() + i, *values[output]);
        } else {
            alignas(64) double lane_values[L::lanes];
            L::store(lane_values, *values[output]);
            std::copy_n(lane_values, count, columns.outputs[output].data() + i);
        }
    }
}

// Lanes outside the ordinary range: NaN where the leg has no price, leg_greeks' answer otherwise.
inline void price_the_rest(const ColumnsWithOutputs<greek_count>& columns, std::size_t i,
                           std::size_t count, unsigned ordinary) {
    for (std::size_t lane = 0; lane < count; ++lane)
        if (((ordinary >> lane) & 1) == 0) write_leg_greeks(columns, i + lane);
}

template <class L>
void greeks_kernel(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                   std::size_t end) {
    const unsigned every_lane = (1u << L::lanes) - 1;
    for (std::size_t i = begin; i < end; i += paired * L::lanes) {
        Block<L> blocks[paired];
        std::size_t counts[paired];
        for (int k = 0; k < paired; ++k) {
            std::size_t first = i + k * L::lanes;
            // A block past the end repeats the last leg and is not stored.
            counts[k] = first < end ? std::min(L::lanes, end - first) : 0;
            blocks[k] = counts[k] == L::lanes ? load_block<L>(columns, first)
                        : counts[k] > 0       ? load_tail<L>(columns, first, counts[k])
                                              : blocks[k - 1];
        }
        Greeks<L> greeks[paired];
        pair_greeks<L>(blocks, greeks);
        for (int k = 0; k < paired && counts[k] > 0; ++k) {
            std::size_t first = i + k * L::lanes;
            store<L>(columns, first, counts[k], greeks[k]);
            if (greeks[k].ordinary != every_lane)
                price_the_rest(columns, first, counts[k], greeks[k].ordinary);
        }
    }
}

}  // namespace greeks::vector::lanes
