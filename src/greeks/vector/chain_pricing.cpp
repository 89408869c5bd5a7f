// One pass over a chain's legs for the work that follows reading it, with the GIL released:
//   mid      (bid + ask)/2 where both are above 0, else NaN;
//   price    the price a leg is judged at, by the price rule: "last" its last price, "mid" its
//            mid, "auto" the mid of a narrow two-sided quote, else the last price of a leg that
//            traded that day (volume above 0); NaN where the rule finds none;
//   forward  with the model "forward", each expiry's forward from put-call parity over those
//            prices (forward_fit.cpp) where the expiry has a strike with both sides priced;
//            elsewhere, and under the other models, the spot carried: F = S·e^((r−q)T);
//   carry    the dividend yield the forward implies, q = r − ln(F/S)/T: each leg is solved and
//            its Greeks taken at it, so that Black-Scholes-Merton on the spot at q is Black-76 on
//            the forward, and the Greeks stay derivatives in the spot;
//   iv       the exchange's volatility (its percentage over 100) where it is above 0 and wanted
//            ("exchange" or "fill"), else, unless "exchange", the one solved from the price;
//            NaN where neither gives one; exchange_iv the exchange's figure alone;
//   sources  of the volatility, the price and the forward, as codes of the names in the header;
//   the five Greeks at that volatility, through the Greeks kernel.
#include "greeks/vector/chain_pricing.hpp"

#include "greeks/vector/buffers.hpp"
#include "greeks/vector/forward_fit.hpp"
#include "greeks/vector/implied_volatility.hpp"
#include "greeks/vector/kernels.hpp"
#include "greeks/vector/numbers.hpp"
#include "greeks/vector/parallel.hpp"
#include "greeks/vector/messages.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace greeks::vector {
namespace {

enum class Model { forward, spot, exchange };
enum class VolatilityChoice { exchange, fill, solve };
enum class PriceRule { automatic, last, mid };
enum IvSource : signed char { no_iv, from_exchange, solved };  // as iv_source_names
enum PriceSource : signed char { no_price, at_mid, at_last };  // as price_source_names
enum ForwardSource : signed char { by_carry, from_parity };    // as forward_source_names
// Why a leg has no volatility, as unpriced_names.
enum Unpriced : signed char {
    priced,
    without_price,
    at_intrinsic,
    at_bound,
    expired,
    not_published,
    not_solved
};

// A quote is narrow enough to be priced at its mid when its spread is at most a tenth of the mid:
// the mid is then within 5 % of what either side would pay, about the accuracy of a last trade
// minutes old. Options of a rupee or two are quoted a few ticks of ₹0.05 wide, which is already
// several percent of their price: up to four ticks counts as narrow whatever the fraction.
constexpr double narrow_spread_fraction = 0.10;
constexpr double narrow_spread_rupees = 0.20;
// Legs a thread must have to solve before a second one is started for them (a solve takes about
// half a microsecond, starting a thread some tens).
constexpr std::size_t legs_per_solving_thread = 200;

constexpr std::array<const char*, 7> leg_inputs = {
    "strike", "time_to_expiry", "last_price", "iv_percent", "bid", "ask", "volume"};
constexpr std::array<const char*, 6 + greek_count> leg_outputs = {
    "mid_out",   "price_out", "iv_out",    "exchange_iv_out", "forward_out", "carry_out",
    "delta_out", "gamma_out", "theta_out", "vega_out",        "rho_out"};
constexpr std::array<const char*, 4> source_outputs = {"iv_source_out", "price_source_out",
                                                       "forward_source_out", "unpriced_out"};
constexpr Py_ssize_t argument_count =
    leg_inputs.size() + 2 + 3 + 3 + leg_outputs.size() + source_outputs.size();

// `text` as the index of one of `names`; -1 with ValueError set otherwise.
template <std::size_t N>
int choice(PyObject* text, const char* what, const std::array<const char*, N>& names) {
    for (std::size_t i = 0; PyUnicode_Check(text) && i < N; ++i)
        if (PyUnicode_CompareWithASCIIString(text, names[i]) == 0) return static_cast<int>(i);
    std::string known;
    for (const char* name : names) {
        known += known.empty() ? "'" : ", '";
        known += name;
        known += "'";
    }
    PyErr_Format(PyExc_ValueError, messages::not_a_choice, what, known.c_str());
    return -1;
}

struct ChainLegs {
    std::array<std::span<const double>, leg_inputs.size()> in;
    std::span<const long long> expiry;
    std::span<const unsigned char> is_call;
    double spot, rate, dividend;
    Model model;
    VolatilityChoice volatility;
    PriceRule rule;
    std::array<std::span<double>, leg_outputs.size()> out;
    std::array<std::span<signed char>, source_outputs.size()> sources;
};

double judged_price(PriceRule rule, double last, double mid, double bid, double ask, double volume,
                    PriceSource* source) {
    bool has_mid = !std::isnan(mid);
    if (rule == PriceRule::automatic) {
        has_mid = has_mid && ask >= bid &&
                  (ask - bid <= narrow_spread_fraction * mid || ask - bid <= narrow_spread_rupees);
        last = volume > 0 ? last : not_a_number;
    }
    if (rule != PriceRule::last && has_mid) {
        *source = at_mid;
        return mid;
    }
    if (rule != PriceRule::mid && last > 0) {
        *source = at_last;
        return last;
    }
    *source = no_price;
    return not_a_number;
}

// The forward and carry of the legs [begin, end) of one expiry, from the parity pairs among them
// (a call followed by the put of its strike, both priced). `pairs` is scratch space.
void price_forward(const ChainLegs& legs, std::size_t begin, std::size_t end,
                   std::vector<ParityPair>& pairs) {
    const auto& [strike, time, last_price, iv_percent, bid, ask, volume] = legs.in;
    auto price = legs.out[1];
    auto forward_out = legs.out[4];
    auto carry_out = legs.out[5];
    auto forward_source = legs.sources[2];
    double years = time[begin];
    double carried =
        years > 0 ? legs.spot * std::exp((legs.rate - legs.dividend) * years) : legs.spot;
    double forward = not_a_number;
    if (legs.model == Model::forward && years > 0) {
        pairs.clear();
        double growth = std::exp(legs.rate * years);
        for (std::size_t i = begin; i + 1 < end; ++i) {
            if (legs.is_call[i] && !legs.is_call[i + 1] && strike[i] == strike[i + 1] &&
                !std::isnan(price[i]) && !std::isnan(price[i + 1])) {
                pairs.push_back({strike[i], strike[i] + growth * (price[i] - price[i + 1])});
            }
        }
        forward = fit_forward(pairs, carried);
    }
    bool fitted = !std::isnan(forward);
    double carry = fitted ? legs.rate - std::log(forward / legs.spot) / years : legs.dividend;
    for (std::size_t i = begin; i < end; ++i) {
        forward_out[i] = fitted ? forward : carried;
        carry_out[i] = carry;
        forward_source[i] = fitted ? from_parity : by_carry;
    }
}

// Why leg i has no volatility: its expiry has run out; only the exchange's figure was wanted and
// it publishes none; its price rule found no price; the price is at or below what the forward
// gives at expiry, e^(−rT)·max(±(F − K), 0), or at or above what no volatility reaches (the
// call's e^(−rT)·F, the put's e^(−rT)·K), each to a few units in the last place, as the solver
// judges them; or none of these, which the solver's own limits refused.
Unpriced why_unpriced(const ChainLegs& legs, std::size_t i) {
    const auto& [strike, time, last_price, iv_percent, bid, ask, volume] = legs.in;
    double paid = legs.out[1][i], forward = legs.out[4][i];
    if (!(time[i] > 0)) return expired;
    if (legs.volatility == VolatilityChoice::exchange) return not_published;
    if (std::isnan(paid)) return without_price;
    constexpr double digits = 4.0 * std::numeric_limits<double>::epsilon();
    double discount = std::exp(-legs.rate * time[i]);
    double money = legs.is_call[i] ? forward - strike[i] : strike[i] - forward;
    if (paid <= discount * std::max(money, 0.0) * (1.0 + digits)) return at_intrinsic;
    if (paid >= discount * (legs.is_call[i] ? forward : strike[i]) * (1.0 - digits))
        return at_bound;
    return not_solved;
}

// The volatility and Greeks of the legs [begin, end), their prices and forwards known.
void solve_and_price(const ChainLegs& legs, std::size_t begin, std::size_t end) {
    const auto& [strike, time, last_price, iv_percent, bid, ask, volume] = legs.in;
    const auto& [mid, price, vol, exchange_iv, forward, carry, delta, gamma, theta, vega, rho] =
        legs.out;
    for (std::size_t i = begin; i < end; ++i) {
        double published = iv_percent[i] / 100.0;
        exchange_iv[i] = published > 0 ? published : not_a_number;
        bool use_exchange = legs.volatility != VolatilityChoice::solve && published > 0;
        vol[i] = use_exchange ? published : not_a_number;
        if (!use_exchange && legs.volatility != VolatilityChoice::exchange) {
            vol[i] = implied_volatility(price[i], legs.spot, strike[i], time[i], legs.rate,
                                        carry[i], legs.is_call[i] != 0);
        }
        legs.sources[0][i] = use_exchange ? from_exchange : std::isnan(vol[i]) ? no_iv : solved;
        legs.sources[3][i] = std::isnan(vol[i]) ? why_unpriced(legs, i) : priced;
    }
    ColumnsWithOutputs<greek_count> columns{
        {Numbers{&legs.spot, 0}, Numbers{strike.data(), 1}, Numbers{time.data(), 1},
         Numbers{&legs.rate, 0}, Numbers{carry.data(), 1}, Numbers{vol.data(), 1}},
        Flags{legs.is_call.data(), 1},
        {delta, gamma, theta, vega, rho}};
    greeks_kernel(columns, begin, end);
}

void price_legs(const ChainLegs& legs, std::vector<ParityPair>& pairs) {
    const auto& [strike, time, last_price, iv_percent, bid, ask, volume] = legs.in;
    auto mid = legs.out[0];
    auto price = legs.out[1];
    for (std::size_t i = 0; i < strike.size(); ++i) {
        mid[i] = bid[i] > 0 && ask[i] > 0 ? (bid[i] + ask[i]) * 0.5 : not_a_number;
        PriceSource source = no_price;
        price[i] =
            judged_price(legs.rule, last_price[i], mid[i], bid[i], ask[i], volume[i], &source);
        legs.sources[1][i] = source;
    }
    for (std::size_t begin = 0, end = 0; begin < strike.size(); begin = end) {
        for (end = begin + 1; end < strike.size() && legs.expiry[end] == legs.expiry[begin];) ++end;
        price_forward(legs, begin, end, pairs);
    }
    // Solving is most of the work when every leg is solved; a chain with some hundreds of legs
    // to solve has enough of it to share between cores (each leg's result is its own, whatever
    // the split).
    std::size_t n = strike.size(), to_solve = 0;
    for (std::size_t i = 0; i < n && legs.volatility != VolatilityChoice::exchange; ++i)
        to_solve += legs.volatility == VolatilityChoice::solve || !(iv_percent[i] > 0);
    unsigned threads = static_cast<unsigned>(
        std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()),
                              std::max<std::size_t>(1, to_solve / legs_per_solving_thread)));
    for_each_chunk(n, threads, [&legs](std::size_t begin, std::size_t end) {
        solve_and_price(legs, begin, end);
    });
}

// A Python float argument as a double; -1 with TypeError set otherwise.
int number(PyObject* obj, const char* name, double* out) {
    if (!PyFloat_Check(obj)) {
        PyErr_Format(PyExc_TypeError, messages::not_a_float, name);
        return -1;
    }
    *out = PyFloat_AS_DOUBLE(obj);
    return 0;
}

}  // namespace

PyObject* price_chain_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != argument_count) {
        PyErr_Format(PyExc_TypeError, messages::arg_count, "price_chain", argument_count, nargs);
        return nullptr;
    }
    ChainLegs legs{};
    std::array<Buffer, leg_inputs.size()> inputs;
    std::size_t n = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].acquire(args[i], leg_inputs[i], 'd', false) < 0) return nullptr;
        n = i == 0 ? inputs[i].size() : n;
        legs.in[i] = inputs[i].doubles();
    }
    PyObject* const* rest = args + leg_inputs.size();
    Buffer expiry, is_call;
    std::array<Buffer, leg_outputs.size()> outputs;
    std::array<Buffer, source_outputs.size()> sources;
    int model = 0, volatility = 0, rule = 0;
    if (expiry.acquire(rest[0], "expiry", 'q', false) < 0 ||
        is_call.acquire(rest[1], "is_call", '?', false) < 0 ||
        number(rest[2], "spot", &legs.spot) < 0 || number(rest[3], "rate", &legs.rate) < 0 ||
        number(rest[4], "dividend_yield", &legs.dividend) < 0 ||
        (model = choice(rest[5], "model", std::array{"forward", "spot", "exchange"})) < 0 ||
        (volatility = choice(rest[6], "iv", std::array{"exchange", "fill", "solve"})) < 0 ||
        (rule = choice(rest[7], "price", std::array{"auto", "last", "mid"})) < 0 ||
        acquire_outputs({rest + 8, leg_outputs.size()}, outputs, leg_outputs.data(), &n) < 0) {
        return nullptr;
    }
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i].acquire(rest[8 + leg_outputs.size() + i], source_outputs[i], 'b', true) < 0)
            return nullptr;
    bool same_length = expiry.size() == n && is_call.size() == n;
    for (const Buffer& input : inputs) same_length = same_length && input.size() == n;
    for (const Buffer& source : sources) same_length = same_length && source.size() == n;
    if (!same_length) {
        PyErr_SetString(PyExc_ValueError, messages::leg_columns);
        return nullptr;
    }
    legs.expiry = expiry.int64s();
    legs.is_call = is_call.flags();
    legs.model = static_cast<Model>(model);
    legs.volatility = static_cast<VolatilityChoice>(volatility);
    legs.rule = static_cast<PriceRule>(rule);
    for (std::size_t i = 0; i < outputs.size(); ++i) legs.out[i] = outputs[i].doubles();
    for (std::size_t i = 0; i < sources.size(); ++i) legs.sources[i] = sources[i].int8s();
    std::vector<ParityPair> pairs;
    try {
        pairs.reserve(n / 2 + 1);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_BEGIN_ALLOW_THREADS;
    price_legs(legs, pairs);
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

}  // namespace greeks::vector
