// The one NaN every kernel writes where a leg has no answer.
#pragma once

#include <limits>

namespace greeks::vector {

inline constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace greeks::vector
