// Position values over a grid. For each (day, shift) the terms of every leg that do not depend on
// the spot (time left, σ√τ, the drift of d1, the discount and carry factors, ln K) are formed
// once; each spot then costs one logarithm and, per option leg, the two normal CDFs of its price.
// Prices follow Black-Scholes-Merton in double precision:
//     call = S·e^(−qτ)·N(d1) − K·e^(−rτ)·N(d2),  put = K·e^(−rτ)·N(−d2) − S·e^(−qτ)·N(−d1),
// and a future is worth its forward S·e^((r−q)τ), marked daily so undiscounted.
#include "greeks/vector/position.hpp"

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/buffers.hpp"
#include "greeks/vector/parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace greeks::vector {
namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// One leg at one (day, shift), with every spot-free term formed.
struct LegAt {
    enum class Form { intrinsic_call, intrinsic_put, future_at_expiry, forward, call, put, none };
    Form form = Form::none;
    double quantity = 0.0;
    double strike = 0.0;
    double log_strike = 0.0;
    double drift = 0.0;          // (r − q + σ²/2)·τ
    double vol_sqrt_time = 0.0;  // σ√τ
    double discounted_strike = 0.0;
    double carry = 0.0;  // e^(−qτ) for an option, e^((r−q)τ) for a future
};

LegAt leg_at(const PositionLegs& legs, std::size_t leg, double day, double shift) {
    LegAt at;
    at.quantity = legs.quantity[leg];
    double time = legs.years[leg] - day / days_per_year;  // +∞ days: −∞, run out
    if (legs.kind[leg] == leg_future) {
        at.form = time > 0.0 ? LegAt::Form::forward : LegAt::Form::future_at_expiry;
        at.carry = time > 0.0 ? std::exp((legs.rate - legs.dividend) * time) : 1.0;
        return at;
    }
    at.strike = legs.strike[leg];
    bool is_call = legs.kind[leg] == leg_call;
    if (!(time > 0.0)) {
        at.form = is_call ? LegAt::Form::intrinsic_call : LegAt::Form::intrinsic_put;
        return at;
    }
    double vol = legs.vol[leg] + shift;
    if (!(vol > 0.0) || !std::isfinite(vol) || !(at.strike > 0.0)) {
        return at;  // no price: NaN
    }
    at.form = is_call ? LegAt::Form::call : LegAt::Form::put;
    at.log_strike = std::log(at.strike);
    at.vol_sqrt_time = vol * std::sqrt(time);
    at.drift = (legs.rate - legs.dividend + 0.5 * vol * vol) * time;
    at.discounted_strike = at.strike * std::exp(-legs.rate * time);
    at.carry = std::exp(-legs.dividend * time);
    return at;
}

// The value of one unit of the leg at spot S (ln S given).
double unit_value(const LegAt& at, double spot, double log_spot) {
    switch (at.form) {
        case LegAt::Form::intrinsic_call:
            return std::max(spot - at.strike, 0.0);
        case LegAt::Form::intrinsic_put:
            return std::max(at.strike - spot, 0.0);
        case LegAt::Form::future_at_expiry:
            return spot;
        case LegAt::Form::forward:
            return spot * at.carry;
        case LegAt::Form::call:
        case LegAt::Form::put: {
            double d1 = (log_spot - at.log_strike + at.drift) / at.vol_sqrt_time;
            double d2 = d1 - at.vol_sqrt_time;
            if (at.form == LegAt::Form::call) {
                return spot * at.carry * normal_cdf(d1) - at.discounted_strike * normal_cdf(d2);
            }
            return at.discounted_strike * normal_cdf(-d2) - spot * at.carry * normal_cdf(-d1);
        }
        case LegAt::Form::none:
            break;
    }
    return not_a_number;
}

}  // namespace

void position_values(const PositionLegs& legs, const PositionGrid& grid, std::size_t begin,
                     std::size_t end) {
    const std::size_t days = grid.days.size(), shifts = grid.shifts.size();
    // On the stack: this runs without the GIL and must not allocate (the entry caps the legs).
    std::array<LegAt, max_position_legs> terms;
    const std::span<LegAt> at(terms.data(), legs.kind.size());
    for (std::size_t j = 0; j < days; ++j) {
        for (std::size_t k = 0; k < shifts; ++k) {
            for (std::size_t leg = 0; leg < at.size(); ++leg) {
                at[leg] = leg_at(legs, leg, grid.days[j], grid.shifts[k]);
            }
            for (std::size_t i = begin; i < end; ++i) {
                double spot = grid.spots[i];
                double log_spot = std::log(spot);
                double total = 0.0;
                for (const LegAt& leg : at) {
                    total += leg.quantity * unit_value(leg, spot, log_spot);
                }
                grid.out[(i * days + j) * shifts + k] = spot >= 0.0 ? total : not_a_number;
            }
        }
    }
}

namespace {

// The legs' columns, all of one length; -1 with an exception set otherwise.
int acquire_legs(PyObject* const* args, std::array<Buffer, 5>& buffers, PositionLegs* legs) {
    static constexpr std::array<const char*, 5> names = {"kind", "strike", "quantity", "years",
                                                         "vol"};
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        if (buffers[c].acquire(args[c], names[c], 'd', false) < 0) {
            return -1;
        }
        if (buffers[c].size() != buffers[0].size()) {
            PyErr_Format(PyExc_ValueError, "%s holds %zu values; expected one per leg (%zu)",
                         names[c], buffers[c].size(), buffers[0].size());
            return -1;
        }
    }
    auto column = [&buffers](std::size_t c) -> std::span<const double> {
        return buffers[c].doubles();
    };
    legs->kind = column(0);
    legs->strike = column(1);
    legs->quantity = column(2);
    legs->years = column(3);
    legs->vol = column(4);
    return 0;
}

}  // namespace

PyObject* position_values_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12) {
        PyErr_Format(PyExc_TypeError, "position_values() takes 12 positional arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    std::array<Buffer, 5> leg_buffers;
    PositionLegs legs{};
    if (acquire_legs(args, leg_buffers, &legs) < 0) {
        return nullptr;
    }
    if (legs.kind.size() > max_position_legs) {
        PyErr_Format(PyExc_ValueError, "a position may hold at most %zu legs, not %zu",
                     max_position_legs, legs.kind.size());
        return nullptr;
    }
    legs.rate = PyFloat_AsDouble(args[5]);
    legs.dividend = PyFloat_AsDouble(args[6]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Buffer spots, days, shifts, out;
    unsigned threads = 0;
    if (spots.acquire(args[7], "spots", 'd', false) < 0 ||
        days.acquire(args[8], "days", 'd', false) < 0 ||
        shifts.acquire(args[9], "shifts", 'd', false) < 0 ||
        out.acquire(args[10], "out", 'd', true) < 0 || thread_argument(args[11], &threads) < 0) {
        return nullptr;
    }
    PositionGrid grid{spots.doubles(), days.doubles(), shifts.doubles(), out.doubles()};
    if (out.size() != spots.size() * days.size() * shifts.size()) {
        PyErr_SetString(PyExc_ValueError, "out must hold one value per spot, day and shift");
        return nullptr;
    }
    // Every spot costs the same, about one price per leg, day and shift: split the spots so that
    // each thread gets enough prices to be worth starting.
    std::size_t per_spot = std::max<std::size_t>(1, legs.kind.size() * days.size() * shifts.size());
    std::size_t work = spots.size() * per_spot;
    unsigned count = thread_count(work, threads);
    count = static_cast<unsigned>(std::min<std::size_t>(count, spots.size()));
    Py_BEGIN_ALLOW_THREADS;
    for_each_chunk(spots.size(), std::max(1u, count),
                   [&legs, &grid](std::size_t begin, std::size_t end) {
                       position_values(legs, grid, begin, end);
                   });
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

}  // namespace greeks::vector
