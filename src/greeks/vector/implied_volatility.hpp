// Black-Scholes-Merton price and implied volatility of one European option; `dividend` is the
// underlying's continuous dividend yield.
#pragma once

namespace greeks::vector {

// The option's price; NaN unless S, K, T, σ are positive and every input finite.
double option_price(double spot, double strike, double time, double rate, double dividend,
                    double vol, bool is_call);

// The annual volatility σ for which the option is worth `price`; NaN where no σ gives that price
// (at or below the discounted intrinsic value, at or above the call's S·e^(−qT) or the put's
// K·e^(−rT)), or where an input is not finite or not positive where it must be.
double implied_volatility(double price, double spot, double strike, double time, double rate,
                          double dividend, bool is_call);

}  // namespace greeks::vector
