// Put-call parity, C − P = e^(−rT)·(F − K), gives one forward per strike where both sides trade:
// F = K + e^(rT)·(C − P). Away from the money one side is worth little and its spread dominates,
// so only the strikes nearest the money count; a stale or crossed price at one of them is caught
// as an outlier against the median of the others.
#include "greeks/vector/forward_fit.hpp"

#include "greeks/vector/numbers.hpp"

#include <algorithm>
#include <cmath>

namespace greeks::vector {
namespace {

// The scale of a normal distribution's deviation from its median absolute deviation.
constexpr double deviations_per_mad = 1.4826;
// A pair further than this many robust deviations from the median is an outlier.
constexpr double outlier_deviations = 3.0;
// Forwards that agree to this relative width are one forward, whatever their deviation says.
constexpr double agreeing_width = 1e-12;

double median_of(std::span<double> values) {
    std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    double upper = values[middle];
    if (values.size() % 2 == 1) return upper;
    double lower = *std::max_element(values.begin(), values.begin() + middle);
    return 0.5 * (lower + upper);
}

// Moves the `count` pairs with strikes nearest `money` to the front.
std::span<ParityPair> nearest(std::span<ParityPair> pairs, double money, std::size_t count) {
    count = std::min(count, pairs.size());
    std::partial_sort(pairs.begin(), pairs.begin() + count, pairs.end(),
                      [money](const ParityPair& a, const ParityPair& b) {
                          return std::fabs(a.strike - money) < std::fabs(b.strike - money);
                      });
    return pairs.first(count);
}

double median_forward(std::span<const ParityPair> pairs, std::span<double> scratch) {
    for (std::size_t i = 0; i < pairs.size(); ++i) scratch[i] = pairs[i].forward;
    return median_of(scratch.first(pairs.size()));
}

}  // namespace

double fit_forward(std::span<ParityPair> pairs, double guess) {
    auto usable = std::partition(pairs.begin(), pairs.end(), [](const ParityPair& pair) {
        return pair.forward > 0.0 && std::isfinite(pair.forward);
    });
    pairs = pairs.first(static_cast<std::size_t>(usable - pairs.begin()));
    if (pairs.empty()) return not_a_number;
    double scratch_store[forward_fit_strikes];
    std::span<double> scratch(scratch_store, forward_fit_strikes);
    // The carried spot can sit some strikes away from the market's forward (a dividend, a rate
    // unlike the market's): the strikes are chosen again around the first fit.
    double first = median_forward(nearest(pairs, guess, forward_fit_strikes), scratch);
    std::span<ParityPair> near = nearest(pairs, first, forward_fit_strikes);
    double median = median_forward(near, scratch);
    for (std::size_t i = 0; i < near.size(); ++i) scratch[i] = std::fabs(near[i].forward - median);
    double spread = deviations_per_mad * median_of(scratch.first(near.size()));
    double allowed = std::max(outlier_deviations * spread, agreeing_width * median);
    double sum = 0.0;
    std::size_t kept = 0;
    for (const ParityPair& pair : near) {
        if (std::fabs(pair.forward - median) <= allowed) {
            sum += pair.forward;
            ++kept;
        }
    }
    return kept > 0 ? sum / static_cast<double>(kept) : median;
}

}  // namespace greeks::vector
