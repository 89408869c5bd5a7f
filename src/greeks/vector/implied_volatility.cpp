// Pricing and implied volatility through the normalised Black function (normalised_black.hpp).
//
// Solving b(x, s) = β for the total volatility s uses one of two objectives, each nearly linear in
// s over its own side of the inflection point s_c = √(2|x|), after Jäckel ("Let's Be Rational",
// 2015): below it ln b(s) − ln β, which tames b's e^(−x²/2s²) fall into the lower wing; above it
// ln(e^(x/2) − b(s)) − ln(e^(x/2) − β), which tames the approach to the bound. From a guess that
// follows the leading term of each wing, Householder steps of the third order (fourth-order
// convergence, from b's closed-form first three derivatives) run until a step is small: usually
// two. Everything runs in double, b included, which keeps its precision there. Long double is
// kept for what double cannot hold: a price whose normalised form leaves double's range (a β
// below its smallest normal number, a scale that overflows), or a solve that did not settle. A
// bracket kept from the signs seen so far catches any step that would leave it.
#include "greeks/vector/implied_volatility.hpp"
#include "greeks/vector/numbers.hpp"

#include "greeks/vector/normalised_black.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <tuple>

namespace greeks::vector {
namespace {

// A step below this fraction of s is the last one needed: the error after a Householder step of
// the third order falls with the fourth power of the step, below (1e-5)⁴, far under double
// precision. From the first guess below, one step usually brings s within it and a second ends.
constexpr double last_step = 1e-5;
// A bracket narrower than this fraction of s pins every bit of the double result.
constexpr double converged = 4e-17;
constexpr int double_iterations = 12;
constexpr int extended_iterations = 40;
// How many units in the last place below the bound a price still counts as at it.
constexpr double bound_digits = 4.0;

// An option in normalised form: out of the money with x ≤ 0, worth β (0 < β < e^(x/2)).
template <class Real>
struct Normalised {
    Real x;
    Real bound;      // e^(x/2), what b tends to as s grows
    Real intrinsic;  // 2·sinh(|x|/2) when the option was in the money, else 0
    // price = scale · (intrinsic + b), with scale = e^(−rT)·√(FK) = √(SK·e^(−(r+q)T))
    Real scale;
};

// What bounds an option's price: S·e^(−qT) and K·e^(−rT).
struct Bounds {
    double carried_spot, discounted_strike;
};

Bounds bounds_of(double spot, double strike, double time, double rate, double dividend) {
    return {spot * std::exp(-dividend * time), strike * std::exp(-rate * time)};
}

// One exponential for both the bound e^(−|x|/2) and the intrinsic value 2·sinh(|x|/2) =
// e^(|x|/2) − e^(−|x|/2) = g·(2 + g)/(1 + g) with g = e^(|x|/2) − 1, which keeps its digits for
// small |x|.
template <class Real>
Normalised<Real> normalised_at(Real x, Real scale, bool is_call) {
    Real call_x = is_call ? x : -x;
    Real grown = std::expm1(Real(0.5) * std::fabs(call_x));
    Real bound = 1 / (1 + grown);
    Real intrinsic = call_x > 0 ? grown * (2 + grown) * bound : Real(0);
    return {-std::fabs(call_x), bound, intrinsic, scale};
}

// With forward F = S·e^((r−q)T). For q = 0 both r − q and r + q are r itself, to the bit.
Normalised<Extended> normalise(double spot, double strike, double time, double rate,
                               double dividend, bool is_call) {
    Extended carry_rate = static_cast<Extended>(rate) - dividend;
    Extended x = log_moneyness<Extended>(spot, strike) + carry_rate * time;
    Extended discount = std::exp(-(static_cast<Extended>(rate) + dividend) * time);
    return normalised_at(x, std::sqrt(static_cast<Extended>(spot) * strike * discount), is_call);
}

// The same in double, the scale √(S·e^(−qT))·√(K·e^(−rT)) from the price's bounds.
Normalised<double> normalise_in_double(double spot, double strike, double time, double rate,
                                       double dividend, bool is_call, const Bounds& ends) {
    double x = log_moneyness(spot, strike) + (rate - dividend) * time;
    return normalised_at(x, std::sqrt(ends.carried_spot) * std::sqrt(ends.discounted_strike),
                         is_call);
}

// Whether no volatility gives `price`: at or above what no option reaches (the call's S·e^(−qT),
// the put's K·e^(−rT)), or at or below the discounted intrinsic value. Tested in double before
// normalising, because a price exactly at either end can land a rounding inside once normalised,
// and would then solve to a σ that rounding alone decides (a huge finite one at the bound). A
// price within the last few digits of either end counts as at it: the ends themselves are one
// rounding of an exponential away from the true ones.
bool outside_the_price_range(double price, const Bounds& ends, bool is_call) {
    const double digits = bound_digits * std::numeric_limits<double>::epsilon();
    const double bound = is_call ? ends.carried_spot : ends.discounted_strike;
    const double intrinsic = is_call ? ends.carried_spot - ends.discounted_strike
                                     : ends.discounted_strike - ends.carried_spot;
    return price >= bound * (1.0 - digits) ||
           (intrinsic > 0 && price <= intrinsic * (1.0 + digits));
}

// Where the root lies, as far as the signs seen so far tell.
template <class Real>
struct Bracket {
    Real low = 0;
    Real high = std::numeric_limits<Real>::infinity();

    Real middle(Real s) const { return std::isinf(high) ? 2 * s : Real(0.5) * (low + high); }
};

// Where a run of iterations ended: s, and whether the steps had become small (else the
// iterations ran out, or β lies outside the precision's range).
template <class Real>
struct Reached {
    Real s;
    bool converged;
};

template <class Real>
struct Slopes {
    Real first, second, third;
};

// The first three derivatives in s of the objective of one side at `at`, where that side's part
// (b on the lower side, e^(x/2) − b on the upper) is `part`. The objective rises with s on the
// lower side and falls on the upper one.
template <class Real>
Slopes<Real> objective_slopes(const OtmBlack<Real>& black, Real at, Real part, Real vega,
                              bool side_is_lower) {
    const Real inverse_at = 1 / at;
    const Real h = black.x * inverse_at, h2_over_at = h * h * inverse_at;
    const Real growth = h2_over_at - Real(0.25) * at;  // ∂ ln(∂b/∂s) / ∂s
    // ∂³b/∂s³ / ∂b/∂s, from ∂growth/∂s = −3h²/s² − 1/4
    const Real third = growth * growth - 3 * h2_over_at * inverse_at - Real(0.25);
    const Real df = (side_is_lower ? vega : -vega) / part;
    const Real d2f = df * growth - df * df;
    const Real d3f = df * third - 3 * df * df * growth + 2 * df * df * df;
    return {df, d2f, d3f};
}

// Householder's step of the third order, ν·(1 + ν·f″/2f′) / (1 + ν·f″/f′ + ν²·f‴/6f′) with ν
// Newton's step: the error falls with its fourth power. Halley's or Newton's step where a higher
// derivative is out of range.
template <class Real>
Real householder_step(Real f, const Slopes<Real>& slopes) {
    const auto [df, d2f, d3f] = slopes;
    const Real inverse_df = 1 / df;
    const Real newton = -f * inverse_df;
    const Real bend = newton * d2f * inverse_df;
    const Real halley = newton / (1 - Real(0.5) * bend);
    const Real householder =
        newton * (1 + Real(0.5) * bend) / (1 + bend + newton * newton * d3f * inverse_df / 6);
    return std::isfinite(householder) ? householder : std::isfinite(halley) ? halley : newton;
}

// Householder iterations on the objective of one side, in the precision Real, from s.
// `side_is_lower` picks ln b − ln β, else ln(e^(x/2) − b) − ln(e^(x/2) − β).
template <class Real>
Reached<Real> iterate(const Normalised<Real>& n, Real beta, bool side_is_lower, Real s,
                      int iterations) {
    const OtmBlack<Real> black(n.x, n.bound);
    const Real target = side_is_lower ? std::log(beta) : std::log(n.bound - beta);
    if (!std::isfinite(target)) return {s, false};  // β out of this precision's range
    Bracket<Real> bracket;
    for (int i = 0; i < iterations; ++i) {
        const auto [part, vega] = side_is_lower ? black.value_and_vega(s)
                                                : typename OtmBlack<Real>::ValueAndVega{
                                                      black.shortfall(s), black.vega(s)};
        if (!(part > 0)) {
            // below every representable price (lower side) or at the bound to every digit
            (side_is_lower ? bracket.low : bracket.high) = s;
            s = side_is_lower ? bracket.middle(s) : Real(0.5) * (bracket.low + s);
            continue;
        }
        const Real f = std::log(part) - target;
        if (f == 0) return {s, true};
        (f * (side_is_lower ? Real(1) : Real(-1)) > 0 ? bracket.high : bracket.low) = s;
        const Slopes<Real> slopes = objective_slopes(black, s, part, vega, side_is_lower);
        const Real step = householder_step(f, slopes);
        if (std::fabs(step) <= Real(last_step) * s) return {s + step, true};
        Real next = s + step;
        if (!(next > bracket.low && next < bracket.high)) next = s - f / slopes.first;
        if (!(next > bracket.low && next < bracket.high)) next = bracket.middle(s);
        s = next;
        if (bracket.high - bracket.low <= Real(converged) * s) break;
    }
    return {s, false};
}

// Solves model(y) = 0 from y for a model that is monotone and concave on the side searched, so
// that after at most one overshoot the steps close in from one side. Its value, slope and
// curvature share one exponential; Halley's step, which usually settles in two, where it corrects
// Newton's by less than half, Newton's otherwise.
template <class Model>
double solve_model(Model model, double y) {
    for (int i = 0; i < 6; ++i) {
        auto [value, slope, curvature] = model(y);
        double newton = value / slope;
        double correction = 0.5 * newton * curvature / slope;
        double step = std::fabs(correction) < 0.5 ? newton / (1.0 - correction) : newton;
        y -= step;
        if (std::fabs(step) < 1e-3) break;
    }
    return y;
}

// ln v to double precision, in double where v is a normal double (a first guess needs no more).
template <class Real>
double log_in_double(Real v) {
    return v >= std::numeric_limits<double>::min() && v <= std::numeric_limits<double>::max()
               ? std::log(static_cast<double>(v))
               : static_cast<double>(std::log(v));
}

// A first s for b(x, s) = β from a model of each wing in y = ln(s/s_c) that matches b's value and
// slope at the inflection point s_c = √(2|x|): below it ln b ≈ ln b_c + (|x|/4)(1 − e^(−2y)) + B·y,
// the first term the e^(−x²/2s²) fall of the wing; above it ln(e^(x/2) − b) ≈ ln(e^(x/2) − b_c)
// − (s_c²/8)(e^(2y) − 1) + C·y, the first term the e^(−s²/8) approach to the bound.
template <class Real>
double initial_guess(const OtmBlack<double>& black, double s_c, double b_c, bool lower, Real beta) {
    const double x = black.x;
    if (!(s_c > 0)) {
        // At the money b(0, s) = erf(s/2√2) ≈ s/√(2π) for small s
        return static_cast<double>(beta / static_cast<Real>(inv_sqrt_2pi));
    }
    // d b / d ln s at s_c, where h = −t and so ∂b/∂s = φ(0)·e^(x/2)
    const double slope_c = s_c * inv_sqrt_2pi * black.half_up;
    double y;
    if (lower) {
        const double a = -0.25 * x;
        const double b_slope = slope_c / b_c - 2.0 * a;
        const double wanted = log_in_double(beta) - std::log(b_c);
        y = solve_model(
            [&](double y) {
                double fall = std::exp(-2.0 * y);
                return std::tuple{a * (1.0 - fall) + b_slope * y - wanted, 2.0 * a * fall + b_slope,
                                  -4.0 * a * fall};
            },
            -0.5 * std::log1p(-wanted / a));
    } else {
        const double shortfall_c = black.half_up - b_c;
        const double a = s_c * s_c / 8.0;
        const double c_slope = 2.0 * a - slope_c / shortfall_c;
        const double wanted =
            log_in_double(static_cast<Real>(black.half_up) - beta) - std::log(shortfall_c);
        y = solve_model(
            [&](double y) {
                double rise = std::exp(2.0 * y);
                return std::tuple{-a * (rise - 1.0) + c_slope * y - wanted,
                                  -2.0 * a * rise + c_slope, -4.0 * a * rise};
            },
            std::max(0.0, 0.5 * std::log1p(-wanted / a)));
    }
    return s_c * std::exp(y);
}

// The s with b(x, s) = β, for x ≤ 0 and 0 < β < e^(x/2), in the precision Real, from the first
// guess (or from `start` where one is given).
template <class Real>
Reached<Real> solve_total_volatility(const Normalised<Real>& n, Real beta, Real start = 0) {
    // The side and the first guess need no more than double precision; ln β is taken in Real
    // because β may lie below the smallest double.
    const OtmBlack<double> black(static_cast<double>(n.x), static_cast<double>(n.bound));
    const double s_c = std::sqrt(-2.0 * black.x);
    // At s_c, h + t = 0: b = e^(x/2)/2 − e^(−x/2)·N(−s_c) where the terms do not cancel much
    const double b_c = !(s_c > 0) ? 0.0
                       : s_c < 2 * OtmBlack<double>::series_half_spread
                           ? black.value(s_c)
                           : 0.5 * black.half_up - black.half_down * normal_cdf(-s_c);
    const bool lower = beta < b_c;
    Real s = start > 0 ? start : initial_guess(black, s_c, b_c, lower, beta);
    if (!(s > 0) || !std::isfinite(s)) s = s_c > 0 ? s_c : 1;
    return iterate<Real>(n, beta, lower, s,
                         std::is_same_v<Real, double> ? double_iterations : extended_iterations);
}

// S·e^(−qT)·N(d1) − K·e^(−rT)·N(d2) (a call) term by term, for rates and times so large that
// the normalised form's scale √(S·K·e^(−(r+q)T)) leaves even long double's range (|rT| beyond
// about 11,350): there one term dominates and the other is 0 or NaN. NaN where a term is ∞·0.
double price_without_scale(double spot, double strike, double time, double rate, double dividend,
                           Extended s, bool is_call) {
    Extended x =
        log_moneyness<Extended>(spot, strike) + (static_cast<Extended>(rate) - dividend) * time;
    Extended d1 = x / s + 0.5L * s, d2 = x / s - 0.5L * s;
    Extended carried_spot = spot * std::exp(-static_cast<Extended>(dividend) * time);
    Extended discounted_strike = strike * std::exp(-static_cast<Extended>(rate) * time);
    Extended price = is_call ? carried_spot * normal_cdf(d1) - discounted_strike * normal_cdf(d2)
                             : discounted_strike * normal_cdf(-d2) - carried_spot * normal_cdf(-d1);
    return static_cast<double>(price);
}

}  // namespace

double option_price(double spot, double strike, double time, double rate, double dividend,
                    double vol, bool is_call) {
    if (!leg_is_priceable(spot, strike, time, rate, dividend, vol)) return not_a_number;
    Normalised<Extended> n = normalise(spot, strike, time, rate, dividend, is_call);
    Extended s = static_cast<Extended>(vol) * std::sqrt(static_cast<Extended>(time));
    Extended price = n.scale * (n.intrinsic + OtmBlack<Extended>(n.x, n.bound).value(s));
    if (n.scale > 0 && std::isfinite(n.scale) && std::isfinite(price))
        return static_cast<double>(price);
    return price_without_scale(spot, strike, time, rate, dividend, s, is_call);
}

double implied_volatility(double price, double spot, double strike, double time, double rate,
                          double dividend, bool is_call) {
    if (!market_inputs_usable(spot, strike, time, rate, dividend) || !(price > 0.0) ||
        !std::isfinite(price)) {
        return not_a_number;
    }
    const Bounds ends = bounds_of(spot, strike, time, rate, dividend);
    if (outside_the_price_range(price, ends, is_call)) return not_a_number;
    const Normalised<double> n =
        normalise_in_double(spot, strike, time, rate, dividend, is_call, ends);
    const double beta = price / n.scale - n.intrinsic;
    const double smallest = std::numeric_limits<double>::min();
    Reached<double> reached{0.0, false};
    if (n.scale >= smallest && std::isfinite(n.scale) && beta >= smallest && beta < n.bound) {
        reached = solve_total_volatility(n, beta);
        if (reached.converged) return reached.s / std::sqrt(time);
    }
    // Outside double's range, or unsettled: again in long double, which decides whether any σ
    // gives the price at all.
    const Normalised<Extended> wide = normalise(spot, strike, time, rate, dividend, is_call);
    const Extended wide_beta = price / wide.scale - wide.intrinsic;
    if (!(wide_beta > 0) || !(wide_beta < wide.bound)) return not_a_number;
    Extended s = solve_total_volatility<Extended>(wide, wide_beta, reached.s).s;
    return static_cast<double>(s / std::sqrt(static_cast<Extended>(time)));
}

}  // namespace greeks::vector
