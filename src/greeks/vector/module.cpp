// greeks._vector: the array kernels. The Python layer (greeks/arrays.py,
// greeks/exchange/reading.py, greeks/chains/frame.py, greeks/positions/payoff.py) converts and
// broadcasts the arguments and allocates the outputs; these entry points borrow the buffers and
// write the results in place. The element-wise, chain pricing and position kernels release the
// GIL around their loops; the chain reader, which walks Python objects, holds it throughout.
#include "greeks/runtime/compat.hpp"
#include "greeks/runtime/ref.hpp"
#include "greeks/vector/chain_pricing.hpp"
#include "greeks/vector/chain_reader.hpp"
#include "greeks/vector/cpu.hpp"
#include "greeks/vector/elementwise.hpp"
#include "greeks/vector/kernels.hpp"
#include "greeks/vector/position.hpp"

namespace greeks::vector {
namespace {

constexpr std::array<const char*, number_inputs> pricing_inputs = {
    "spot", "strike", "time_to_expiry", "rate", "dividend_yield", "volatility"};
// The Greeks' names in the order the kernels write them; the module exports them as GREEK_NAMES,
// and the Python layer, the chain frame's columns, the tables and the plots take them from there.
constexpr std::array<const char*, greek_count> greek_names = {"delta", "gamma", "theta", "vega",
                                                              "rho"};

PyObject* greeks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return elementwise_entry<greek_count>("greeks", pricing_inputs, greek_names, args, nargs,
                                          greeks_kernel);
}

// The four-lane and one-leg-at-a-time paths, kept callable for comparison with the widest.
PyObject* greeks_four_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return elementwise_entry<greek_count>("greeks_four", pricing_inputs, greek_names, args, nargs,
                                          greeks_kernel_four);
}

PyObject* greeks_scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return elementwise_entry<greek_count>("greeks_scalar", pricing_inputs, greek_names, args, nargs,
                                          greeks_kernel_scalar);
}

PyObject* price_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return elementwise_entry<1>("price", pricing_inputs, {"price_out"}, args, nargs, price_kernel);
}

PyObject* implied_volatility_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return elementwise_entry<1>(
        "implied_volatility",
        {"price", "spot", "strike", "time_to_expiry", "rate", "dividend_yield"}, {"volatility_out"},
        args, nargs, implied_volatility_kernel);
}

template <PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

PyMethodDef vector_methods[] = {
    {"greeks", fastcall<greeks_entry>(), METH_FASTCALL,
     "greeks(spot, strike, time_to_expiry, rate, dividend_yield, volatility, is_call, delta, "
     "gamma, theta, vega, rho, threads)\n--\n\nWrites the Black-Scholes Greeks of every leg into "
     "the five outputs."},
    {"greeks_four", fastcall<greeks_four_entry>(), METH_FASTCALL,
     "greeks_four(spot, strike, time_to_expiry, rate, dividend_yield, volatility, is_call, "
     "delta, gamma, theta, vega, rho, threads)\n--\n\nAs greeks, four legs at a time where the "
     "CPU has AVX2, one at a time elsewhere."},
    {"greeks_scalar", fastcall<greeks_scalar_entry>(), METH_FASTCALL,
     "greeks_scalar(spot, strike, time_to_expiry, rate, dividend_yield, volatility, is_call, "
     "delta, gamma, theta, vega, rho, threads)\n--\n\nAs greeks, one leg at a time on every "
     "CPU."},
    {"price", fastcall<price_entry>(), METH_FASTCALL,
     "price(spot, strike, time_to_expiry, rate, dividend_yield, volatility, is_call, out, "
     "threads)\n--\n\n"
     "Writes the Black-Scholes price of every leg into out."},
    {"implied_volatility", fastcall<implied_volatility_entry>(), METH_FASTCALL,
     "implied_volatility(price, spot, strike, time_to_expiry, rate, dividend_yield, is_call, "
     "out, threads)\n--\n\n"
     "Writes the volatility that gives each leg its price into out (NaN where none does)."},
    {"read_legs", fastcall<read_legs_entry>(), METH_FASTCALL,
     "read_legs(rows, layout, strike, day, is_call, values, origin)\n--\n\nReads the legs of a "
     "chain's rows into the columns (values: a row per value column); returns (legs, skipped, "
     "records that are no option)."},
    {"price_chain", fastcall<price_chain_entry>(), METH_FASTCALL,
     "price_chain(strike, time_to_expiry, last_price, iv_percent, bid, ask, volume, expiry, "
     "is_call, spot, rate, dividend_yield, model, iv, price, mid, price_out, iv_out, "
     "exchange_iv, forward, carry, delta, gamma, theta, vega, rho, iv_source, price_source, "
     "forward_source, unpriced)\n--\n\n"
     "Writes each leg's mid, the price it is judged at (price: 'auto', 'last' or 'mid'), its "
     "expiry's forward and the carry it implies (model: 'forward' fits it by put-call parity, "
     "'spot' and 'exchange' carry the spot), the volatility it is priced at (iv: 'exchange', "
     "'fill' or 'solve'), the exchange's own, the sources as codes of IV_SOURCES, "
     "PRICE_SOURCES and FORWARD_SOURCES, why it has no volatility as a code of "
     "UNPRICED_REASONS, and its Greeks."},
    {"position_values", fastcall<position_values_entry>(), METH_FASTCALL,
     "position_values(kind, strike, quantity, years, vol, dividend_yield, rate, spots, days, "
     "shifts, out, threads)\n--\n\nWrites the position's value at every spot, day ahead and "
     "volatility shift into out."},
    {nullptr, nullptr, 0, nullptr},
};

template <std::size_t N>
int add_names(PyObject* module, const char* attribute, const std::array<const char*, N>& texts) {
    runtime::Ref names = runtime::Ref::steal(PyTuple_New(N));
    if (!names) return -1;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_InternFromString(texts[i]);
        if (name == nullptr) return -1;
        PyTuple_SET_ITEM(names.get(), i, name);  // steals the reference
    }
    return PyModule_AddObjectRef(module, attribute, names.get());
}

int add_names_of_outputs(PyObject* module) {
    return add_names(module, "GREEK_NAMES", greek_names) < 0 ||
                   add_names(module, "IV_SOURCES", iv_source_names) < 0 ||
                   add_names(module, "PRICE_SOURCES", price_source_names) < 0 ||
                   add_names(module, "FORWARD_SOURCES", forward_source_names) < 0 ||
                   add_names(module, "UNPRICED_REASONS", unpriced_names) < 0 ||
                   PyModule_AddIntConstant(module, "GREEKS_LANES", greeks_lanes()) < 0
               ? -1
               : 0;
}

PyModuleDef_Slot vector_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_names_of_outputs)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef vector_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "greeks._vector",
    .m_doc =
        "Array kernels: Black-Scholes Greeks, prices and implied volatility over float64 "
        "buffers, position values over a grid, and the reading of option-chain rows.",
    .m_size = 0,
    .m_methods = vector_methods,
    .m_slots = vector_slots,
};

}  // namespace
}  // namespace greeks::vector

PyMODINIT_FUNC PyInit__vector() { return PyModuleDef_Init(&greeks::vector::vector_module); }
