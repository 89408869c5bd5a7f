// Pricing and implied volatility through the normalised Black function (normalised_black.hpp).
//
// Solving b(x, s) = β for the total volatility s uses one of two objectives, each nearly linear in
// s over its own side of the inflection point s_c = √(2|x|), after Jäckel ("Let's Be Rational",
// 2015): below it ln b(s) − ln β, which tames b's e^(−x²/2s²) fall into the lower wing; above it
// ln(e^(x/2) − b(s)) − ln(e^(x/2) − β), which tames the approach to the bound. From a guess that
// follows the leading term of each wing, Householder steps of the third order (fourth-order
// convergence, from b's closed-form first three derivatives) run in double, where erfc costs a
// fraction of its long double price, until a step is small: usually two steps. Where b's terms
// cancelled by more than four bits, the last step is taken again with b in long double, which
// alone carries b's full accuracy there (its derivatives stay in double: the step is tiny). A
// bracket kept from the signs seen so far catches any step that would leave it.
#include "greeks/vector/implied_volatility.hpp"
#include "greeks/vector/numbers.hpp"

#include "greeks/vector/normalised_black.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace greeks::vector {
namespace {

// A step below this fraction of s is the last one needed: the error after a Householder step of
// the third order falls with the fourth power of the step, below (1e-5)⁴, far under double
// precision. From the first guess below, one step usually brings s within it and a second ends.
constexpr Extended last_step = 1e-5L;
// How far the two terms of b may cancel (their larger over b) for a result in double to stand:
// b then keeps all but its last four bits, and s all but a few units in its last place. Beyond
// it the last step is taken again in long double.
constexpr double cancellation_in_double = 16.0;
// A bracket narrower than this fraction of s pins every bit of the double result.
constexpr Extended converged = 4e-17L;
constexpr int double_iterations = 12;
constexpr int extended_iterations = 40;
// How many units in the last place below the bound a price still counts as at it.
constexpr double bound_digits = 4.0;

// An option in normalised form: out of the money with x ≤ 0, worth β (0 < β < e^(x/2)).
struct Normalised {
    Extended x;
    Extended bound;      // e^(x/2), what b tends to as s grows
    Extended intrinsic;  // 2·sinh(|x|/2) when the option was in the money, else 0
    // price = scale · (intrinsic + b), with scale = e^(−rT)·√(FK) = √(SK·e^(−(r+q)T))
    Extended scale;
};

// With forward F = S·e^((r−q)T). For q = 0 both r − q and r + q are r itself, to the bit.
Normalised normalise(double spot, double strike, double time, double rate, double dividend,
                     bool is_call) {
    Extended carry_rate = static_cast<Extended>(rate) - dividend;
    Extended x = log_forward_moneyness(spot, strike, time, carry_rate);
    Extended call_x = is_call ? x : -x;
    Extended discount = std::exp(-(static_cast<Extended>(rate) + dividend) * time);
    Extended scale = std::sqrt(static_cast<Extended>(spot) * strike * discount);
    // One exponential for both the bound e^(−|x|/2) and the intrinsic value 2·sinh(|x|/2) =
    // e^(|x|/2) − e^(−|x|/2) = g·(2 + g)/(1 + g) with g = e^(|x|/2) − 1, which keeps its digits
    // for small |x|.
    Extended grown = std::expm1(0.5L * std::fabs(call_x));
    Extended bound = 1.0L / (1.0L + grown);
    Extended intrinsic = call_x > 0 ? grown * (2.0L + grown) * bound : 0.0L;
    return {-std::fabs(call_x), bound, intrinsic, scale};
}

// The price no option reaches whatever its volatility: the call's S·e^(−qT), the put's K·e^(−rT).
// Tested in double before normalising, because a price exactly at the bound can land a rounding
// below it once divided by the long double scale, and would then solve to a huge finite σ. A price
// within the last few digits of the bound counts as at it, as one within the last digit of the
// intrinsic value does at the other end: what σ it gives is decided by rounding alone (the bound
// itself is one rounding of an exponential away from the true one).
bool at_or_above_bound(double price, double spot, double strike, double time, double rate,
                       double dividend, bool is_call) {
    double bound = is_call ? spot * std::exp(-dividend * time) : strike * std::exp(-rate * time);
    return price >= bound * (1.0 - bound_digits * std::numeric_limits<double>::epsilon());
}

// The discounted intrinsic value, S·e^(−qT) − K·e^(−rT) for a call, tested in double for the
// same reason: a price exactly at it can land a rounding above it once normalised, and would
// then solve to a σ that rounding alone decides. A price within the last few digits of it counts
// as at it.
bool at_or_below_intrinsic(double price, double spot, double strike, double time, double rate,
                           double dividend, bool is_call) {
    double carried = spot * std::exp(-dividend * time);
    double discounted = strike * std::exp(-rate * time);
    double intrinsic = is_call ? carried - discounted : discounted - carried;
    return intrinsic > 0 &&
           price <= intrinsic * (1.0 + bound_digits * std::numeric_limits<double>::epsilon());
}

// Where the root lies, as far as the signs seen so far tell.
struct Bracket {
    Extended low = 0.0L;
    Extended high = std::numeric_limits<Extended>::infinity();

    Extended middle(Extended s) const { return std::isinf(high) ? 2.0L * s : 0.5L * (low + high); }
};

// Where a run of iterations ended: s; whether the last step was taken from values that carry
// double precision (the terms of b cancelled by no more than cancellation_in_double); whether
// the steps had become small (else the iterations ran out).
struct Reached {
    Extended s;
    bool accurate;
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
Slopes<Real> objective_slopes(const OtmBlack<Real>& black, Real at, Real part, bool side_is_lower) {
    const Real vega = black.vega(at);
    const Real h = black.x / at;
    const Real growth = h * h / at - Real(0.25) * at;  // ∂ ln(∂b/∂s) / ∂s
    const Real curvature = vega * growth;              // ∂²b/∂s²
    // ∂³b/∂s³, from ∂growth/∂s = −3h²/s² − 1/4
    const Real third = vega * (growth * growth - 3 * h * h / (at * at) - Real(0.25));
    const Real sign = side_is_lower ? Real(1) : Real(-1);
    const Real df = sign * vega / part;
    const Real d2f = sign * curvature / part - df * df;
    const Real d3f = sign * third / part - 3 * df * (sign * curvature / part) + 2 * df * df * df;
    return {df, d2f, d3f};
}

// Householder iterations on the objective of one side, in the precision Real, from s.
// `side_is_lower` picks ln b − ln β, else ln(e^(x/2) − b) − ln(e^(x/2) − β).
template <class Real>
Reached iterate(const Normalised& n, Extended beta, bool side_is_lower, Extended s,
                int iterations) {
    const OtmBlack<Real> black(static_cast<Real>(n.x), static_cast<Real>(n.bound));
    const Real target = side_is_lower ? std::log(static_cast<Real>(beta))
                                      : std::log(static_cast<Real>(n.bound - beta));
    if (!std::isfinite(target))
        return {s, false, false};  // β out of this precision's range: leave it to the wider one
    Bracket bracket;
    for (int i = 0; i < iterations; ++i) {
        const Real at = static_cast<Real>(s);
        const auto lower_side = side_is_lower ? black.value_and_first_term(at)
                                              : typename OtmBlack<Real>::ValueAndFirstTerm{};
        const Real part = side_is_lower ? lower_side.value : black.shortfall(at);
        if (!(part > 0)) {
            // below every representable price (lower side) or at the bound to every digit
            (side_is_lower ? bracket.low : bracket.high) = s;
            s = side_is_lower ? bracket.middle(s) : 0.5L * (bracket.low + s);
            continue;
        }
        const Real f = std::log(part) - target;
        const auto [df, d2f, d3f] = objective_slopes(black, at, part, side_is_lower);
        // The upper side's two terms are both positive; the lower side's cancel by this factor.
        const Real cancellation = side_is_lower ? lower_side.first_term / part : Real(1);
        const bool accurate = cancellation <= cancellation_in_double;
        if (f == 0) return {s, accurate, true};
        (f * (side_is_lower ? Real(1) : Real(-1)) > 0 ? bracket.high : bracket.low) = s;
        // Householder's step of the third order, ν·(1 + ν·f″/2f′) / (1 + ν·f″/f′ + ν²·f‴/6f′)
        // with ν Newton's step: the error falls with its fourth power. Halley's or Newton's
        // step where a higher derivative is out of range.
        const Real newton = -f / df;
        const Real halley = newton / (1 - Real(0.5) * newton * d2f / df);
        const Real householder = newton * (1 + Real(0.5) * newton * d2f / df) /
                                 (1 + newton * d2f / df + newton * newton * d3f / (6 * df));
        const Extended step = std::isfinite(householder) ? householder
                              : std::isfinite(halley)    ? halley
                                                         : newton;
        if (std::fabs(step) <= last_step * s) return {s + step, accurate, true};
        Extended next = s + step;
        if (!(next > bracket.low && next < bracket.high)) next = s + newton;
        if (!(next > bracket.low && next < bracket.high)) next = bracket.middle(s);
        s = next;
        if (bracket.high - bracket.low <= converged * s) break;
    }
    return {s, false, false};
}

// The last step from an s that the steps in double brought to the root as closely as b's
// cancelled terms allow: the objective in long double, which alone carries b's accuracy there,
// its slope and curvature in double, which a step this small needs to a few digits only (a
// Halley step). False, leaving the work to full iterations in long double, where the step is
// not small or b or its slope is not a normal double.
bool refine_in_extended(const Normalised& n, Extended beta, bool side_is_lower, Extended s,
                        Extended* refined) {
    const OtmBlack<Extended> black(n.x, n.bound);
    const Extended part = side_is_lower ? black.value(s) : black.shortfall(s);
    const Extended wanted = side_is_lower ? beta : n.bound - beta;
    if (!(part > 0) || !(wanted > 0)) return false;
    // ln part − ln wanted in one logarithm, part being within a few units of wanted
    const Extended f = std::log1p((part - wanted) / wanted);
    const OtmBlack<double> slope_of(static_cast<double>(n.x), static_cast<double>(n.bound));
    const double at = static_cast<double>(s);
    const double tiniest = std::numeric_limits<double>::min();
    if (!(static_cast<double>(part) >= tiniest && slope_of.vega(at) >= tiniest))
        return false;  // subnormal in double: too few digits even for the slope
    const auto [df, d2f, unused] =
        objective_slopes(slope_of, at, static_cast<double>(part), side_is_lower);
    const Extended newton = -f / df;
    const Extended step = newton / (1 - 0.5L * newton * d2f / df);
    if (!std::isfinite(step) || !(std::fabs(step) <= last_step * s)) return false;
    *refined = s + step;
    return true;
}

// Solves model(y) = 0 by Newton's method from y for a model that is monotone and concave on the
// side searched, so that after at most one overshoot the steps close in from one side.
template <class Model>
double solve_model(Model model, double y) {
    for (int i = 0; i < 6; ++i) {
        auto [value, slope] = model(y);
        double step = value / slope;
        y -= step;
        if (std::fabs(step) < 1e-3) break;
    }
    return y;
}

// ln v to double precision, in double where v is a normal double (a first guess needs no more).
double log_in_double(Extended v) {
    return v >= std::numeric_limits<double>::min() && v <= std::numeric_limits<double>::max()
               ? std::log(static_cast<double>(v))
               : static_cast<double>(std::log(v));
}

// A first s for b(x, s) = β from a model of each wing in y = ln(s/s_c) that matches b's value and
// slope at the inflection point s_c = √(2|x|): below it ln b ≈ ln b_c + (|x|/4)(1 − e^(−2y)) + B·y,
// the first term the e^(−x²/2s²) fall of the wing; above it ln(e^(x/2) − b) ≈ ln(e^(x/2) − b_c)
// − (s_c²/8)(e^(2y) − 1) + C·y, the first term the e^(−s²/8) approach to the bound.
Extended initial_guess(const OtmBlack<double>& black, double s_c, double b_c, bool lower,
                       Extended beta) {
    const double x = black.x;
    if (!(s_c > 0)) {
        // At the money b(0, s) = erf(s/2√2) ≈ s/√(2π) for small s
        return beta / inv_sqrt_2pi;
    }
    const double slope_c = s_c * black.vega(s_c);  // d b / d ln s at s_c
    double y;
    if (lower) {
        const double a = -0.25 * x;
        const double b_slope = slope_c / b_c - 2.0 * a;
        const double wanted = log_in_double(beta) - std::log(b_c);
        y = solve_model(
            [&](double y) {
                double fall = std::exp(-2.0 * y);
                return std::pair{a * (1.0 - fall) + b_slope * y - wanted, 2.0 * a * fall + b_slope};
            },
            -0.5 * std::log1p(-wanted / a));
    } else {
        const double shortfall_c = black.half_up - b_c;
        const double a = s_c * s_c / 8.0;
        const double c_slope = 2.0 * a - slope_c / shortfall_c;
        const double wanted = log_in_double(black.half_up - beta) - std::log(shortfall_c);
        y = solve_model(
            [&](double y) {
                double rise = std::exp(2.0 * y);
                return std::pair{-a * (rise - 1.0) + c_slope * y - wanted,
                                 -2.0 * a * rise + c_slope};
            },
            std::max(0.0, 0.5 * std::log1p(-wanted / a)));
    }
    return s_c * std::exp(y);
}

// The s with b(x, s) = β, for x ≤ 0 and 0 < β < e^(x/2).
Extended solve_total_volatility(const Normalised& n, Extended beta) {
    // The side and the first guess need no more than double precision; ln β is taken wider
    // because β may lie below the smallest double.
    const OtmBlack<double> black(static_cast<double>(n.x), static_cast<double>(n.bound));
    const double s_c = std::sqrt(-2.0 * black.x);
    const double b_c = s_c > 0 ? black.value(s_c) : 0.0;
    const bool lower = beta < b_c;
    Extended s = initial_guess(black, s_c, b_c, lower, beta);
    if (!(s > 0) || !std::isfinite(s)) s = s_c > 0 ? s_c : 1.0L;
    Reached reached = iterate<double>(n, beta, lower, s, double_iterations);
    if (reached.accurate) return reached.s;
    Extended refined = 0.0L;
    if (reached.converged && refine_in_extended(n, beta, lower, reached.s, &refined))
        return refined;
    return iterate<Extended>(n, beta, lower, reached.s, extended_iterations).s;
}

// S·e^(−qT)·N(d1) − K·e^(−rT)·N(d2) (a call) term by term, for rates and times so large that
// the normalised form's scale √(S·K·e^(−(r+q)T)) leaves even long double's range (|rT| beyond
// about 11,350): there one term dominates and the other is 0 or NaN. NaN where a term is ∞·0.
double price_without_scale(double spot, double strike, double time, double rate, double dividend,
                           Extended s, bool is_call) {
    Extended x = log_forward_moneyness(spot, strike, time, static_cast<Extended>(rate) - dividend);
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
    Normalised n = normalise(spot, strike, time, rate, dividend, is_call);
    Extended s = static_cast<Extended>(vol) * std::sqrt(static_cast<Extended>(time));
    Extended price = n.scale * (n.intrinsic + OtmBlack<Extended>(n.x, n.bound).value(s));
    if (n.scale > 0 && std::isfinite(n.scale) && std::isfinite(price))
        return static_cast<double>(price);
    return price_without_scale(spot, strike, time, rate, dividend, s, is_call);
}

double implied_volatility(double price, double spot, double strike, double time, double rate,
                          double dividend, bool is_call) {
    if (!market_inputs_usable(spot, strike, time, rate, dividend) || !(price > 0.0) ||
        !std::isfinite(price) ||
        at_or_above_bound(price, spot, strike, time, rate, dividend, is_call) ||
        at_or_below_intrinsic(price, spot, strike, time, rate, dividend, is_call)) {
        return not_a_number;
    }
    Normalised n = normalise(spot, strike, time, rate, dividend, is_call);
    Extended beta = price / n.scale - n.intrinsic;
    // No σ gives a price at or below the intrinsic value, or at or above the bound.
    if (!(beta > 0) || !(beta < n.bound)) return not_a_number;
    Extended s = solve_total_volatility(n, beta);
    return static_cast<double>(s / std::sqrt(static_cast<Extended>(time)));
}

}  // namespace greeks::vector
