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
// The two terms of b cancel when s is small, and by how much matters through what it does to s:
// with h = x/s and t = s/2, an error of one unit in the last place of each term moves the s that
// gives b by about Y(h + t)/s units, Y = N/φ (the objective's slope h² in the lower wing absorbs
// the cancellation of about |h|/t there). That stays below 64 units except where both s and x
// are small, and there b is summed as a series in t whose terms all have one sign:
//     b = φ(h)·e^(−t²/2)·[Y(h + t) − Y(h − t)] = 2·φ(h)·e^(−t²/2)·Σ over odd k of Y⁽ᵏ⁾(h)·tᵏ/k!,
// the derivatives from Y' = 1 + hY and Y⁽ⁿ⁺¹⁾ = h·Y⁽ⁿ⁾ + n·Y⁽ⁿ⁻¹⁾. So b keeps double precision in
// double. Pricing evaluates the same b in long double, as it always has.
#pragma once

#include "greeks/vector/black_scholes.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

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
    Real value(Real s) const { return value_and_vega(s).value; }

    struct ValueAndVega {
        Real value, vega;  // b and ∂b/∂s
    };

    ValueAndVega value_and_vega(Real s) const {
        Real h = x / s, t = Real(0.5) * s;
        if constexpr (std::is_same_v<Real, double>)
            if (t < series_half_spread) return series_value(h, t);
        Real upper_cdf = normal_cdf(h + t);
        Real b = t < tiny_half_spread ? near_expiry_value(h, t, upper_cdf)
                                      : half_up * upper_cdf - half_down * normal_cdf(h - t);
        return {b, vega(s)};
    }

    // Where the series takes over in double: below it the series' terms fall by t² or (t/h)²
    // each, so that eleven powers at most leave nothing double precision would see; above it
    // the two terms cancel by too little to matter.
    static constexpr double series_half_spread = 0.15;

    static ValueAndVega series_value(double h, double t) {
        auto [y0, y1, density] = mills_ratio(h);
        // The last power needed, from how fast the terms fall (measured against 50-digit b)
        const double fall_rate = t / std::max(1.0, -0.5 * h);
        const int top = fall_rate < 0.01 ? 5 : fall_rate < 0.03 ? 7 : fall_rate < 0.1 ? 9 : 11;
        double y[12] = {y0, y1};
        for (int n = 1; n < top; ++n) y[n + 1] = h * y[n] + n * y[n - 1];
        constexpr double inverse_factorials[] = {0.0, 1.0,          0.0, 1.0 / 6,
                                                 0.0, 1.0 / 120,    0.0, 1.0 / 5040,
                                                 0.0, 1.0 / 362880, 0.0, 1.0 / 39916800};
        double t2 = t * t, sum = 0.0;
        for (int k = top; k >= 1; k -= 2) sum = sum * t2 + y[k] * inverse_factorials[k];
        // ∂b/∂s = φ(h)·e^(−t²/2), the exponential of t²/2 < 0.012 as its series to the eighth
        // power, which leaves nothing in double precision
        double u = 0.5 * t2, fall = 1.0;
        for (int k = 8; k >= 1; --k) fall = 1.0 - u * fall / k;
        double vega = density * fall;
        return {2 * vega * t * sum, vega};
    }

    // Y(h) = N(h)/φ(h), Y'(h) = 1 + h·Y(h) and φ(h), for h ≤ 0. Far out (h ≤ −8) Y comes from
    // Laplace's continued fraction Y = 1/(a + 1/(a + 2/(a + 3/(a + …)))), a = −h, which gives Y'
    // without its cancellation as well: Y' = Y/D, D the fraction below the first level. Sixteen
    // levels reach double precision from a = 8 on; nearer, N/φ loses no more than a few units of
    // the s it leads to.
    struct Mills {
        double y, slope, density;
    };
    static Mills mills_ratio(double h) {
        double a = -h, density = normal_pdf(h);
        if (a < 8.0) {
            double y = normal_cdf(h) / density;
            return {y, 1.0 + h * y, density};
        }
        // Both fractions by their convergents' recurrences (every term positive), so that the
        // levels cost multiplications and only the two ratios divide.
        double d_num = a, d_num_before = 1.0, d_den = 1.0, d_den_before = 0.0;
        for (int level = 2; level <= 16; ++level) {
            double num = a * d_num + level * d_num_before, den = a * d_den + level * d_den_before;
            d_num_before = d_num, d_num = num, d_den_before = d_den, d_den = den;
        }
        double below = d_num / d_den;
        double y = below / (a * below + 1.0);
        return {y, y / below, density};
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

}  // namespace greeks::vector
