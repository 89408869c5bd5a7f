// The forward of one expiry implied by its own prices through put-call parity.
#pragma once

#include <cstddef>
#include <span>

namespace greeks::vector {

// How many strikes nearest the money one expiry's forward is fitted over.
inline constexpr std::size_t forward_fit_strikes = 6;

// One strike where both sides have a usable price.
struct ParityPair {
    double strike;
    double forward;  // F = K + e^(rT)·(C − P)
};

// The expiry's forward from its pairs: the strikes nearest the money (first judged against
// `guess`, then against the first fit), outliers beyond a few robust deviations of their median
// left out, the rest averaged. NaN when no pair has a positive forward. Reorders `pairs`.
double fit_forward(std::span<ParityPair> pairs, double guess);

}  // namespace greeks::vector
