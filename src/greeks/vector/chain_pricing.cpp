// One pass over a chain's legs for the work that follows reading it, with the GIL released:
//   mid    (bid + ask)/2 where both are above 0, else NaN;
//   iv     the exchange's volatility (its percentage over 100) where it is above 0 and wanted
//          ("exchange" or "fill"), else, unless "exchange", the one solved from the price paid
//          (the last price or the mid); NaN where neither gives one;
//   source 1 where the exchange's volatility was used, 2 where a solved one, 0 where none;
//   the five Greeks at that volatility, through the Greeks kernel.
#include "greeks/vector/chain_pricing.hpp"

#include "greeks/vector/buffers.hpp"
#include "greeks/vector/implied_volatility.hpp"
#include "greeks/vector/kernels.hpp"
#include "greeks/vector/numbers.hpp"

#include <cmath>
#include <string>

namespace greeks::vector {
namespace {

enum class VolatilityChoice { exchange, fill, solve };
enum class PricePaid { last, mid };
enum Source : signed char { no_source, from_exchange, solved };  // as iv_source_names

constexpr std::array<const char*, 6> leg_inputs = {
    "strike", "time_to_expiry", "last_price", "iv_percent", "bid", "ask"};
constexpr std::array<const char*, 2 + greek_count> leg_outputs = {
    "mid_out", "iv_out", "delta_out", "gamma_out", "theta_out", "vega_out", "rho_out"};
constexpr Py_ssize_t argument_count = leg_inputs.size() + 1 + 5 + leg_outputs.size() + 1;

// `text` as the index of one of `names`; -1 with ValueError set otherwise.
template <std::size_t N>
int choice(PyObject* text, const char* what, const std::array<const char*, N>& names) {
    for (std::size_t i = 0; PyUnicode_Check(text) && i < N; ++i) {
        if (PyUnicode_CompareWithASCIIString(text, names[i]) == 0) {
            return static_cast<int>(i);
        }
    }
    std::string known;
    for (const char* name : names) {
        known += known.empty() ? "'" : ", '";
        known += name;
        known += "'";
    }
    PyErr_Format(PyExc_ValueError, "%s must be one of %s", what, known.c_str());
    return -1;
}

struct ChainLegs {
    std::array<std::span<const double>, leg_inputs.size()> in;
    std::span<const unsigned char> is_call;
    double spot, rate, dividend;
    VolatilityChoice volatility;
    PricePaid paid;
    std::array<std::span<double>, leg_outputs.size()> out;
    std::span<signed char> source;
};

void price_legs(const ChainLegs& legs) {
    const auto& [strike, time, last_price, iv_percent, bid, ask] = legs.in;
    auto mid = legs.out[0];
    auto vol = legs.out[1];
    for (std::size_t i = 0; i < strike.size(); ++i) {
        mid[i] = bid[i] > 0 && ask[i] > 0 ? (bid[i] + ask[i]) * 0.5 : not_a_number;
        double exchange = iv_percent[i] / 100.0;
        bool use_exchange = legs.volatility != VolatilityChoice::solve && exchange > 0;
        vol[i] = use_exchange ? exchange : not_a_number;
        if (!use_exchange && legs.volatility != VolatilityChoice::exchange) {
            double price = legs.paid == PricePaid::last ? last_price[i] : mid[i];
            vol[i] = implied_volatility(price, legs.spot, strike[i], time[i], legs.rate,
                                        legs.dividend, legs.is_call[i] != 0);
        }
        legs.source[i] = use_exchange ? from_exchange : std::isnan(vol[i]) ? no_source : solved;
    }
    ColumnsWithOutputs<greek_count> columns{
        {Numbers{&legs.spot, 0}, Numbers{strike.data(), 1}, Numbers{time.data(), 1},
         Numbers{&legs.rate, 0}, Numbers{&legs.dividend, 0}, Numbers{vol.data(), 1}},
        Flags{legs.is_call.data(), 1},
        {legs.out[2], legs.out[3], legs.out[4], legs.out[5], legs.out[6]}};
    greeks_kernel(columns, 0, strike.size());
}

// A Python float argument as a double; -1 with TypeError set otherwise.
int number(PyObject* obj, const char* name, double* out) {
    if (!PyFloat_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a float", name);
        return -1;
    }
    *out = PyFloat_AS_DOUBLE(obj);
    return 0;
}

}  // namespace

PyObject* price_chain_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != argument_count) {
        PyErr_Format(PyExc_TypeError, "price_chain() takes %zd positional arguments (%zd given)",
                     argument_count, nargs);
        return nullptr;
    }
    ChainLegs legs{};
    std::array<Buffer, leg_inputs.size()> inputs;
    std::size_t n = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].acquire(args[i], leg_inputs[i], 'd', false) < 0) {
            return nullptr;
        }
        n = i == 0 ? inputs[i].size() : n;
        legs.in[i] = inputs[i].doubles();
    }
    PyObject* const* rest = args + leg_inputs.size();
    Buffer is_call, source;
    std::array<Buffer, leg_outputs.size()> outputs;
    int volatility = 0, paid = 0;
    if (is_call.acquire(rest[0], "is_call", '?', false) < 0 ||
        number(rest[1], "spot", &legs.spot) < 0 || number(rest[2], "rate", &legs.rate) < 0 ||
        number(rest[3], "dividend_yield", &legs.dividend) < 0 ||
        (volatility = choice(rest[4], "iv", std::array{"exchange", "fill", "solve"})) < 0 ||
        (paid = choice(rest[5], "price", std::array{"last", "mid"})) < 0 ||
        acquire_outputs({rest + 6, leg_outputs.size()}, outputs, leg_outputs.data(), &n) < 0 ||
        source.acquire(rest[6 + leg_outputs.size()], "source_out", 'b', true) < 0) {
        return nullptr;
    }
    bool same_length = is_call.size() == n && source.size() == n;
    for (const Buffer& input : inputs) {
        same_length = same_length && input.size() == n;
    }
    if (!same_length) {
        PyErr_SetString(PyExc_ValueError, "every leg column must hold one entry per leg");
        return nullptr;
    }
    legs.is_call = is_call.flags();
    legs.volatility = static_cast<VolatilityChoice>(volatility);
    legs.paid = static_cast<PricePaid>(paid);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        legs.out[i] = outputs[i].doubles();
    }
    legs.source = source.int8s();
    Py_BEGIN_ALLOW_THREADS;
    price_legs(legs);
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

}  // namespace greeks::vector
