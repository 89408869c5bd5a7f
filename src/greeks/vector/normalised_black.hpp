// The Black price in normalised form, the common ground of pricing and of solving for volatility.
//
// With forward F = S·e^((r−q)T), x = ln(F/K) and total volatility s = σ√T, the undiscounted call
// price divided by √(FK) is
//     b(x, s) = e^(x/2)·N(x/s + s/2) − e^(−x/2)·N(x/s − s/2),
// and a put is a call with x negated. An option in the money (x > 0 as a call) is its intrinsic
// value 2·sinh(x/2) plus the value of the out-of-the-money option with −x, so only x ≤ 0 is ever
// evaluated: there b rises from 0 (s → 0) to e^(x/2) (s → ∞), with one inflection point at
// s = √(2|x|).
//
// The two terms of b cancel when s is small against |x| or against 1 (b/term falls to about
// s²/|x| or s), and pricing and solving both need b to full relative accuracy there: it is
// evaluated in long double, whose 64-bit mantissa leaves double precision intact through
// cancellations of up to about 2^11, enough for total volatilities down to about 1e-5. The same
// formulas in double serve the solver's first, approximate steps.
#pragma once

#include "greeks/vector/black_scholes.hpp"

#include <cmath>

namespace greeks::vector {

using Extended = long double;

// b(x, ·) for one x ≤ 0 in the precision Real, with the two exponentials that do not depend on s
// computed once.
template <class Real>
struct OtmBlack {
    explicit OtmBlack(Real x_) : OtmBlack(x_, std::exp(Real(0.5) * x_)) {}
    // With e^(x/2) already at hand.
    OtmBlack(Real x_, Real half_up_) : x(x_), half_up(half_up_), half_down(1 / half_up_) {}

    // b(x, s), s > 0
    Real value(Real s) const { return value_and_first_term(s).value; }

    struct ValueAndFirstTerm {
        Real value;
        Real first_term;  // e^(x/2)·N(h + t): its ratio to b is how far b's terms cancel
    };

    ValueAndFirstTerm value_and_first_term(Real s) const {
        Real h = x / s, t = Real(0.5) * s;
        Real upper_cdf = normal_cdf(h + t);
        Real first = half_up * upper_cdf;
        if (t < tiny_half_spread) return {near_expiry_value(h, t, upper_cdf), first};
        return {first - half_down * normal_cdf(h - t), first};
    }

    // Below this s/2 the two terms of b agree in all but the last few of their digits (N(h ± t)
    // both round to N(h)), so b is rewritten as [N(h+t) − N(h−t)] + (e^(x/2) − 1)·N(h+t) −
    // (e^(−x/2) − 1)·N(h−t), with the bracket ∫φ over [h − t, h + t] = φ(h)·∫e^(−hv − v²/2)dv
    // over [−t, t] = φ(h)·(2·sinh(ht)/h − t³/3), to a relative t⁴. Out of the money (h < 0) the
    // bracket and the rest cancel by about h², harmless in long double for every h whose φ(h)
    // it holds.
    static constexpr Real tiny_half_spread = Real(1e-5);

    // upper_cdf: N(h + t), already at hand
    Real near_expiry_value(Real h, Real t, Real upper_cdf) const {
        Real density = static_cast<Real>(inv_sqrt_2pi) * std::exp(Real(-0.5) * h * h);
        Real spread = h != 0 ? 2 * std::sinh(h * t) / h : 2 * t;
        Real between = density * (spread - t * t * t / 3);
        return between + std::expm1(Real(0.5) * x) * upper_cdf -
               std::expm1(Real(-0.5) * x) * normal_cdf(h - t);
    }

    // e^(x/2) − b(x, s): what b still lacks of its bound, as a sum of two positive terms, so
    // that it keeps its accuracy where b is close to the bound.
    Real shortfall(Real s) const {
        Real h = x / s, t = Real(0.5) * s;
        return half_up * normal_cdf(-h - t) + half_down * normal_cdf(h - t);
    }

    // ∂b/∂s = e^(x/2)·φ(x/s + s/2), written as φ(h)·e^(−t²/2) so that neither factor overflows.
    Real vega(Real s) const {
        Real h = x / s, t = Real(0.5) * s;
        return static_cast<Real>(inv_sqrt_2pi) * std::exp(Real(-0.5) * (h * h + t * t));
    }

    Real x;
    Real half_up;    // e^(x/2), the bound of b
    Real half_down;  // e^(−x/2)
};

// ln(F/K) = ln(S/K) + (r − q)T, with ln(S/K) formed as in the Greeks near the money.
inline Extended log_forward_moneyness(double spot, double strike, double time,
                                      Extended carry_rate) {
    return log_moneyness<Extended>(spot, strike) + carry_rate * time;
}

}  // namespace greeks::vector
