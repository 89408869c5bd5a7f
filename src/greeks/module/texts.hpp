// The module's text constants: attribute and key names, formats and console lines.
// Each is created once at import and shared by every call.
#pragma once

// X(member, text)
#define GREEKS_TEXTS(X)                                                                \
    /* exchange keys */                                                                \
    X(records, "records")                                                              \
    X(underlying_value, "underlyingValue")                                             \
    X(data, "data")                                                                    \
    X(strike_price_key, "strikePrice")                                                 \
    X(expiry_date_key, "expiryDate")                                                   \
    X(implied_volatility_key, "impliedVolatility")                                     \
    X(last_price, "lastPrice")                                                         \
    X(market_dept_order_book, "marketDeptOrderBook")                                   \
    X(trade_info, "tradeInfo")                                                         \
    /* option record and Greeks keys */                                                \
    X(spot_price, "spot_price")                                                        \
    X(strike_price, "strike_price")                                                    \
    X(time_to_expiry, "time_to_expiry")                                                \
    X(risk_free_rate, "risk_free_rate")                                                \
    X(implied_volatility, "implied_volatility")                                        \
    X(option_price, "option_price")                                                    \
    X(option_type, "option_type")                                                      \
    X(delta, "delta")                                                                  \
    X(gamma, "gamma")                                                                  \
    X(theta, "theta")                                                                  \
    X(vega, "vega")                                                                    \
    X(rho, "rho")                                                                      \
    X(call_side, "CE")                                                                 \
    X(none_text, "None")                                                               \
    /* module globals */                                                               \
    X(np, "np")                                                                        \
    X(norm, "norm")                                                                    \
    X(datetime, "datetime")                                                            \
    X(time, "time")                                                                    \
    X(json, "json")                                                                    \
    X(pd, "pd")                                                                        \
    X(nse_fno, "nse_fno")                                                              \
    X(nse_optionchain_scrapper, "nse_optionchain_scrapper")                            \
    X(unpickle_function, "__pyx_unpickle_Kestrava")                                    \
    X(test_dict, "__test__")                                                           \
    X(class_name, "Kestrava")                                                          \
    X(symbol_name, "symbol")                                                           \
    X(print, "print")                                                                  \
    X(keyboard_interrupt, "KeyboardInterrupt")                                         \
    X(import_error, "ImportError")                                                     \
    /* modules */                                                                      \
    X(numpy_module, "numpy")                                                           \
    X(scipy_stats_module, "scipy.stats")                                               \
    X(nsepython_module, "nsepython")                                                   \
    X(pandas_module, "pandas")                                                         \
    X(pickle_module, "pickle")                                                         \
    X(pickle_error, "PickleError")                                                     \
    X(sys_modules_key, "greeks.greeks")                                                \
    /* attributes */                                                                   \
    X(log, "log")                                                                      \
    X(sqrt, "sqrt")                                                                    \
    X(exp, "exp")                                                                      \
    X(pdf, "pdf")                                                                      \
    X(cdf, "cdf")                                                                      \
    X(strptime, "strptime")                                                            \
    X(now, "now")                                                                      \
    X(strftime, "strftime")                                                            \
    X(sleep, "sleep")                                                                  \
    X(days, "days")                                                                    \
    X(find_option_in_data, "find_option_in_data")                                      \
    X(get_spot_price, "get_spot_price")                                                \
    X(calculate_greeks, "calculate_greeks")                                            \
    X(get_option_data, "get_option_data")                                              \
    X(dict_attr, "__dict__")                                                           \
    X(update, "update")                                                                \
    X(new_attr, "__new__")                                                             \
    X(reduce, "__reduce__")                                                            \
    X(reduce_cython, "__reduce_cython__")                                              \
    X(reduce_ex, "__reduce_ex__")                                                      \
    X(getstate, "__getstate__")                                                        \
    X(setstate, "__setstate__")                                                        \
    X(setstate_cython, "__setstate_cython__")                                          \
    X(name_attr, "__name__")                                                           \
    /* formats */                                                                      \
    X(empty, "")                                                                       \
    X(expiry_format, "%d-%b-%Y")                                                       \
    X(clock_format, "%H:%M:%S")                                                        \
    X(two_decimals, ".2f")                                                             \
    X(four_decimals, ".4f")                                                            \
    X(checksum_format,                                                                 \
      "Incompatible checksums (0x%x vs (0xb76a7ca, 0x810a25d, 0x97bff26) = (symbol))") \
    /* error line prefixes */                                                          \
    X(d1_error, "Error calculating d1: ")                                              \
    X(d2_error, "Error calculating d2: ")                                              \
    X(spot_price_error, "Error getting spot price: ")                                  \
    X(greeks_error, "Error calculating Greeks: ")                                      \
    X(option_data_error, "Error fetching option data: ")                               \
    X(monitoring_error, "Error in monitoring: ")                                       \
    /* the monitoring report */                                                        \
    X(banner_start, "\nMonitoring Greeks for ")                                        \
    X(blank, " ")                                                                      \
    X(banner_end, "Press Ctrl+C to stop monitoring\n")                                 \
    X(fetching, "\nFetching new data...")                                              \
    X(waiting, "Waiting for valid market data...")                                     \
    X(received, "\nData received successfully!")                                       \
    X(time_label, "Time: ")                                                            \
    X(spot_label, "Spot: ")                                                            \
    X(option_price_label, "Option Price: ")                                            \
    X(iv_label, "IV: ")                                                                \
    X(percent, "%")                                                                    \
    X(delta_label, "Delta: ")                                                          \
    X(gamma_label, "Gamma: ")                                                          \
    X(theta_label, "Theta: ")                                                          \
    X(vega_label, "Vega: ")                                                            \
    X(rho_label, "Rho: ")                                                              \
    X(separator, "\n--------------------------------------------------")               \
    X(stopped, "\nStopped monitoring")
