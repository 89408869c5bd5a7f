// Black-Scholes-Merton Greeks of one European option on an underlying that pays a continuous
// dividend yield q (0 for an index future's carry, or none), in the units traders quote them:
// theta per calendar day, vega and rho per percentage point. With q = 0 every factor e^(−qT) is
// exactly 1 and every q term exactly 0, so the results are those of plain Black-Scholes to the bit.
#pragma once

#include "greeks/vector/numbers.hpp"

#include <cmath>
#include <limits>

namespace greeks::vector {

struct LegGreeks {
    double delta, gamma, theta, vega, rho;
};

inline constexpr double days_per_year = 365.0;
inline constexpr double per_percent = 100.0;
// 1/√2 and 1/√(2π) to long double precision; each precision below rounds them once.
inline constexpr long double inv_sqrt_2 = 0.707106781186547524400844362104849039L;
inline constexpr long double inv_sqrt_2pi = 0.398942280401432677939946059934381868L;

// N(x) = erfc(−x/√2) / 2. erfc keeps its full relative accuracy far into the lower tail, where
// 1 − erfc(x/√2)/2 would have cancelled.
template <class Real>
Real normal_cdf(Real x) {
    return Real(0.5) * std::erfc(-x * static_cast<Real>(inv_sqrt_2));
}

// φ(x) = e^(−x²/2) / √(2π).
template <class Real>
Real normal_pdf(Real x) {
    return static_cast<Real>(inv_sqrt_2pi) * std::exp(Real(-0.5) * x * x);
}

// ln(S/K). Near the money S/K rounds to a double that has lost the digits of S − K, and the
// logarithm of ~1 magnifies that loss by 1/(σ√T) in d1; so there the difference is formed first
// (exact when S and K lie within a factor of two of each other) and the logarithm taken as log1p.
// Far from the money ln(S/K) is large and the plain quotient is accurate.
// A quotient outside the range of normal numbers (S = 5e-324 against K = 100 underflows to 0, whose
// logarithm is −∞) is taken as the difference of the two logarithms instead.
template <class Real>
Real log_moneyness(Real spot, Real strike) {
    Real ratio = spot / strike;
    if (ratio > Real(0.5) && ratio < Real(2.0)) return std::log1p((spot - strike) / strike);
    if (!(ratio >= std::numeric_limits<Real>::min() && ratio <= std::numeric_limits<Real>::max()))
        return std::log(spot) - std::log(strike);
    return std::log(ratio);
}

// d1 and d2 = d1 − σ√T. Where (r − q + σ²/2)·T overflows (σ near 1e154) both are formed from
// their parts, so that d2 falls to −∞ as it should instead of following d1 to +∞.
struct Moneyness {
    double d1, d2;
};

inline Moneyness d1_and_d2(double log_strike_ratio, double rate, double dividend, double vol,
                           double time, double sqrt_time, double vol_sqrt_time) {
    double d1 = (log_strike_ratio + (rate - dividend + 0.5 * vol * vol) * time) / vol_sqrt_time;
    double d2 = d1 - vol_sqrt_time;
    if (std::isfinite(d1) && std::isfinite(d2)) return {d1, d2};
    double middle = log_strike_ratio / vol_sqrt_time + (rate - dividend) * (sqrt_time / vol);
    double half_spread = 0.5 * vol_sqrt_time;
    return {middle + half_spread, middle - half_spread};
}

// The one rule of which legs the kernels price. The market's part, shared by pricing and by
// solving for volatility: S, K and T positive, every number finite.
inline bool market_inputs_usable(double spot, double strike, double time, double rate,
                                 double dividend) {
    return spot > 0.0 && strike > 0.0 && time > 0.0 && std::isfinite(spot) &&
           std::isfinite(strike) && std::isfinite(time) && std::isfinite(rate) &&
           std::isfinite(dividend);
}

// A leg with a price to differentiate: usable market inputs and a positive, finite σ.
inline bool leg_is_priceable(double spot, double strike, double time, double rate, double dividend,
                             double vol) {
    return market_inputs_usable(spot, strike, time, rate, dividend) && vol > 0.0 &&
           std::isfinite(vol);
}

// The five Greeks of one leg; NaN in all five for a leg that is not priceable.
inline LegGreeks leg_greeks(double spot, double strike, double time, double rate, double dividend,
                            double vol, bool is_call) {
    if (!leg_is_priceable(spot, strike, time, rate, dividend, vol))
        return {not_a_number, not_a_number, not_a_number, not_a_number, not_a_number};
    double sqrt_time = std::sqrt(time);
    double vol_sqrt_time = vol * sqrt_time;
    // d1 = (ln(S/K) + (r − q + σ²/2)·T) / (σ√T), d2 = d1 − σ√T
    auto [d1, d2] =
        d1_and_d2(log_moneyness(spot, strike), rate, dividend, vol, time, sqrt_time, vol_sqrt_time);
    double discount = std::exp(-rate * time);
    // e^(−qT), and S·e^(−qT): the underlying's value net of the dividends paid before expiry
    double carry = std::exp(-dividend * time);
    double carried_spot = spot * carry;
    double density_d1 = normal_pdf(d1);

    LegGreeks g;
    // Γ = e^(−qT)·φ(d1) / (S·σ·√T); vega = S·e^(−qT)·√T·φ(d1), per point of σ
    g.gamma = density_d1 * carry / (spot * vol_sqrt_time);
    g.vega = carried_spot * sqrt_time * density_d1 / per_percent;
    // Θ₀ = −S·e^(−qT)·σ·φ(d1) / (2√T), the decay common to calls and puts
    double decay = -carried_spot * vol * density_d1 / (2.0 * sqrt_time);
    if (is_call) {
        double n_d1 = normal_cdf(d1);
        double n_d2 = normal_cdf(d2);
        g.delta = carry * n_d1;
        g.theta = (decay - rate * strike * discount * n_d2 + dividend * carried_spot * n_d1) /
                  days_per_year;
        g.rho = strike * time * discount * n_d2 / per_percent;
    } else {
        double n_minus_d1 = normal_cdf(-d1);
        double n_minus_d2 = normal_cdf(-d2);
        // −N(−d1), not N(d1) − 1: deep in the money N(d1) rounds to 1 and the difference to 0.
        g.delta = -carry * n_minus_d1;
        g.theta =
            (decay + rate * strike * discount * n_minus_d2 - dividend * carried_spot * n_minus_d1) /
            days_per_year;
        g.rho = -strike * time * discount * n_minus_d2 / per_percent;
    }
    return g;
}

}  // namespace greeks::vector
