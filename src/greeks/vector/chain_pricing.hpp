// Pricing every leg of a chain once its records are read: the price each leg is judged at, each
// expiry's forward, the volatility each leg is priced at and where both came from, and the Greeks.
#pragma once

#include "greeks/runtime/compat.hpp"

#include <array>

namespace greeks::vector {

// Where a leg's volatility came from, by the code price_chain writes; exported as IV_SOURCES.
inline constexpr std::array<const char*, 3> iv_source_names = {"none", "exchange", "solved"};
// Which price a leg was judged at; exported as PRICE_SOURCES.
inline constexpr std::array<const char*, 3> price_source_names = {"none", "mid", "last"};
// Where a leg's forward came from; exported as FORWARD_SOURCES.
inline constexpr std::array<const char*, 2> forward_source_names = {"carry", "parity"};
// Why a leg has no volatility ("" where it has one); exported as UNPRICED_REASONS.
inline constexpr std::array<const char*, 7> unpriced_names = {"",
                                                              "no price",
                                                              "at or below intrinsic value",
                                                              "at or above the no-arbitrage bound",
                                                              "expired",
                                                              "not published",
                                                              "not solved"};

// price_chain(...) -> None. Python entry; see chain_pricing.cpp.
PyObject* price_chain_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace greeks::vector
