// The one place that wires Kestrava: its internal operation table and its Python-visible methods
// (with the defaults each binds) are listed here and nowhere else.
#include "greeks/module/setup.hpp"

#include "greeks/marketdata/marketdata.hpp"
#include "greeks/monitor/monitor.hpp"
#include "greeks/pricing/pricing.hpp"

namespace greeks {

const KestravaOps kestrava_ops = {
    pricing::calculate_d1,     pricing::calculate_d2,       marketdata::get_spot_price,
    pricing::calculate_greeks, marketdata::get_option_data,
};

namespace {

const KestravaMethod methods[] = {
    {marketdata::get_spot_price_method, nullptr},
    {pricing::calculate_greeks_method, nullptr},
    {marketdata::find_option_in_data_method, nullptr},
    {marketdata::get_option_data_method, &state.tuple.option_data_defaults},
    {monitor::monitor_greeks_method, &state.tuple.monitor_defaults},
};

}  // namespace

const std::span<const KestravaMethod> kestrava_methods = methods;

}  // namespace greeks
