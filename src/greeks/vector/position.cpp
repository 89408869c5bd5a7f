// Position values over a grid. For each (day, shift) the terms of every leg that do not depend on
// the spot (time left, 1/(σ√τ), the drift of d1, the discount and carry factors, ln K) are formed
// once, before the GIL is released; the spots are then taken in blocks, each spot's logarithm once,
// and the two normal CDFs of every option leg's price over a whole block at a time, which lets
// them run four lanes wide (normal_block.hpp).
// Prices follow Black-Scholes-Merton in double precision:
//     call = S·e^(−qτ)·N(d1) − K·e^(−rτ)·N(d2),  put = K·e^(−rτ)·N(−d2) − S·e^(−qτ)·N(−d1),
// and a future is worth its forward S·e^((r−q)τ), marked daily so undiscounted.
#include "greeks/vector/position.hpp"
#include "greeks/vector/numbers.hpp"

#include "greeks/vector/black_scholes.hpp"
#include "greeks/vector/buffers.hpp"
#include "greeks/vector/normal_block.hpp"
#include "greeks/vector/parallel.hpp"
#include "greeks/vector/messages.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

namespace greeks::vector {
namespace {

// One leg at one (day, shift), with every spot-free term formed.
struct LegAt {
    enum class Form { intrinsic_call, intrinsic_put, future_at_expiry, forward, call, put, none };
    Form form = Form::none;
    double quantity = 0.0;
    double strike = 0.0;
    double log_strike = 0.0;
    double drift = 0.0;          // (r − q + σ²/2)·τ
    double vol_sqrt_time = 0.0;  // σ√τ
    double inverse_vol_sqrt_time = 0.0;
    double discounted_strike = 0.0;
    double carry = 0.0;  // e^(−qτ) for an option, e^((r−q)τ) for a future
};

LegAt leg_at(const PositionLegs& legs, std::size_t leg, double day, double shift) {
    LegAt at;
    at.quantity = legs.quantity[leg];
    double time = legs.years[leg] - day / days_per_year;  // +∞ days: −∞, run out
    if (legs.kind[leg] == leg_future) {
        at.form = time > 0.0 ? LegAt::Form::forward : LegAt::Form::future_at_expiry;
        at.carry = time > 0.0 ? std::exp((legs.rate - legs.dividend[leg]) * time) : 1.0;
        return at;
    }
    at.strike = legs.strike[leg];
    bool is_call = legs.kind[leg] == leg_call;
    if (!(time > 0.0)) {
        at.form = is_call ? LegAt::Form::intrinsic_call : LegAt::Form::intrinsic_put;
        return at;
    }
    double vol = legs.vol[leg] + shift;
    if (!(vol > 0.0) || !std::isfinite(vol) || !(at.strike > 0.0)) return at;  // no price: NaN
    at.form = is_call ? LegAt::Form::call : LegAt::Form::put;
    at.log_strike = std::log(at.strike);
    at.vol_sqrt_time = vol * std::sqrt(time);
    at.inverse_vol_sqrt_time = 1.0 / at.vol_sqrt_time;
    at.drift = (legs.rate - legs.dividend[leg] + 0.5 * vol * vol) * time;
    at.discounted_strike = at.strike * std::exp(-legs.rate * time);
    at.carry = std::exp(-legs.dividend[leg] * time);
    return at;
}

// Every leg's spot-free terms at every (day, shift), formed with the GIL held.
class PositionTerms {
public:
    PositionTerms() = default;
    PositionTerms(const PositionLegs& legs, const PositionGrid& grid)
        : legs_(legs.kind.size()), at_(legs_ * grid.days.size() * grid.shifts.size()) {
        for (std::size_t j = 0; j < grid.days.size(); ++j) {
            for (std::size_t k = 0; k < grid.shifts.size(); ++k) {
                for (std::size_t leg = 0; leg < legs_; ++leg) {
                    at_[(j * grid.shifts.size() + k) * legs_ + leg] =
                        leg_at(legs, leg, grid.days[j], grid.shifts[k]);
                }
            }
        }
    }

    // The legs at the (day, shift) numbered `point` (day × shifts + shift).
    std::span<const LegAt> at(std::size_t point) const {
        return {at_.data() + point * legs_, legs_};
    }

private:
    std::size_t legs_ = 0;
    std::vector<LegAt> at_;
};

// Spots taken together: enough for the vector CDF to run full lanes, few enough for the stack.
constexpr std::size_t block = 64;

// Adds quantity × the leg's unit value at each of `count` spots to `total`.
void add_leg(const LegAt& at, const double* spot, const double* log_spot, std::size_t count,
             double* total) {
    const double q = at.quantity;
    switch (at.form) {
        case LegAt::Form::intrinsic_call:
            for (std::size_t b = 0; b < count; ++b)
                total[b] += q * std::max(spot[b] - at.strike, 0.0);
            return;
        case LegAt::Form::intrinsic_put:
            for (std::size_t b = 0; b < count; ++b)
                total[b] += q * std::max(at.strike - spot[b], 0.0);
            return;
        case LegAt::Form::future_at_expiry:
        case LegAt::Form::forward:
            for (std::size_t b = 0; b < count; ++b)
                total[b] += q * spot[b] * (at.form == LegAt::Form::forward ? at.carry : 1.0);
            return;
        case LegAt::Form::call:
        case LegAt::Form::put: {
            // N(d1) and N(d2) for a call, N(−d1) and N(−d2) for a put
            const double sign = at.form == LegAt::Form::call ? 1.0 : -1.0;
            std::array<double, block> first, second;
            for (std::size_t b = 0; b < count; ++b) {
                double d1 = (log_spot[b] - at.log_strike + at.drift) * at.inverse_vol_sqrt_time;
                first[b] = sign * d1;
                second[b] = sign * (d1 - at.vol_sqrt_time);
            }
            normal_cdf_block(first.data(), first.data(), count);
            normal_cdf_block(second.data(), second.data(), count);
            for (std::size_t b = 0; b < count; ++b) {
                total[b] +=
                    q * sign * (spot[b] * at.carry * first[b] - at.discounted_strike * second[b]);
            }
            return;
        }
        case LegAt::Form::none:
            break;
    }
    for (std::size_t b = 0; b < count; ++b) total[b] = not_a_number;
}

// Fills out[i, ·, ·] for the spots [begin, end). Runs without the GIL.
void position_values(const PositionTerms& terms, const PositionGrid& grid, std::size_t begin,
                     std::size_t end) {
    const std::size_t days = grid.days.size(), shifts = grid.shifts.size();
    for (std::size_t first = begin; first < end; first += block) {
        const std::size_t count = std::min(block, end - first);
        const double* spot = &grid.spots[first];
        std::array<double, block> log_spot, total;
        for (std::size_t b = 0; b < count; ++b) log_spot[b] = std::log(spot[b]);
        for (std::size_t j = 0; j < days; ++j) {
            for (std::size_t k = 0; k < shifts; ++k) {
                total.fill(0.0);
                for (const LegAt& at : terms.at(j * shifts + k))
                    add_leg(at, spot, log_spot.data(), count, total.data());
                for (std::size_t b = 0; b < count; ++b) {
                    grid.out[((first + b) * days + j) * shifts + k] =
                        spot[b] >= 0.0 ? total[b] : not_a_number;
                }
            }
        }
    }
}

// The legs' columns, all of one length; -1 with an exception set otherwise.
int acquire_legs(PyObject* const* args, std::array<Buffer, 6>& buffers, PositionLegs* legs) {
    static constexpr std::array<const char*, 6> names = {"kind",  "strike", "quantity",
                                                         "years", "vol",    "dividend_yield"};
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        if (buffers[c].acquire(args[c], names[c], 'd', false) < 0) return -1;
        if (buffers[c].size() != buffers[0].size()) {
            PyErr_Format(PyExc_ValueError, messages::leg_column_length, names[c], buffers[c].size(),
                         buffers[0].size());
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
    legs->dividend = column(5);
    return 0;
}

}  // namespace

PyObject* position_values_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12) {
        PyErr_Format(PyExc_TypeError, messages::arg_count, "position_values", Py_ssize_t{12},
                     nargs);
        return nullptr;
    }
    std::array<Buffer, 6> leg_buffers;
    PositionLegs legs{};
    if (acquire_legs(args, leg_buffers, &legs) < 0) return nullptr;
    if (legs.kind.size() > max_position_legs) {
        PyErr_Format(PyExc_ValueError, messages::too_many_legs, max_position_legs,
                     legs.kind.size());
        return nullptr;
    }
    legs.rate = PyFloat_AsDouble(args[6]);
    if (legs.rate == -1.0 && PyErr_Occurred()) return nullptr;
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
        PyErr_SetString(PyExc_ValueError, messages::grid_length);
        return nullptr;
    }
    PositionTerms terms;
    try {
        terms = PositionTerms(legs, grid);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // Every spot costs the same, about one price per leg, day and shift: split the spots so that
    // each thread gets enough prices to be worth starting.
    std::size_t per_spot = std::max<std::size_t>(1, legs.kind.size() * days.size() * shifts.size());
    std::size_t work = spots.size() * per_spot;
    unsigned count = thread_count(work, threads);
    count = static_cast<unsigned>(std::min<std::size_t>(count, spots.size()));
    Py_BEGIN_ALLOW_THREADS;
    for_each_chunk(spots.size(), std::max(1u, count),
                   [&terms, &grid](std::size_t begin, std::size_t end) {
                       position_values(terms, grid, begin, end);
                   });
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

}  // namespace greeks::vector
