// The value of a position of option and futures legs on one underlying over a grid of spot prices,
// days ahead and volatility shifts: what-if grids, the value at T+n and the payoff at expiry.
#pragma once

#include "greeks/runtime/compat.hpp"

#include <cstddef>
#include <span>

namespace greeks::vector {

// What a leg is, as the Python layer codes it.
inline constexpr double leg_put = 0.0;
inline constexpr double leg_call = 1.0;
inline constexpr double leg_future = 2.0;
// The most legs one position may hold.
inline constexpr std::size_t max_position_legs = 256;

// The legs, one entry each; the rate is the position's own, the dividend yield each leg's (the
// carry its expiry's forward implies, or one yield for every leg).
struct PositionLegs {
    std::span<const double> kind;      // leg_put, leg_call or leg_future
    std::span<const double> strike;    // options only
    std::span<const double> quantity;  // signed units
    std::span<const double> years;     // time to the leg's expiry now
    std::span<const double> vol;       // options only: annual volatility now
    std::span<const double> dividend;  // continuous yield
    double rate;
};

// The grid's axes: the value at spot i, days j ahead, volatilities shifted by k (a fraction)
// lands at out[(i·days + j)·shifts + k]. A leg whose time has run out by day j is worth its
// intrinsic value (a future its spot), so days = +∞ gives the payoff at expiry of every leg.
struct PositionGrid {
    std::span<const double> spots;
    std::span<const double> days;
    std::span<const double> shifts;
    std::span<double> out;
};

// position_values(kind, strike, quantity, years, vol, dividend, rate, spots, days, shifts, out,
// threads) -> None. Python entry.
PyObject* position_values_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace greeks::vector
