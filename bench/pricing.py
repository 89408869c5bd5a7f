"""calculate_greeks against its plain-Python reference."""
import greeks.greeks as g
import plain_pricing
from timing import compare

RECORD = {
    "spot_price": 24623.45,
    "strike_price": 24600.0,
    "time_to_expiry": 2 / 365.0,
    "risk_free_rate": 0.07,
    "implied_volatility": 0.118,
    "option_price": 131.2,
    "option_type": "CE",
}


def run():
    k = g.Kestrava("NIFTY")
    plain = plain_pricing.PlainKestrava("NIFTY")
    return compare("calculate_greeks, real numpy and scipy",
                   lambda: k.calculate_greeks(RECORD),
                   lambda: plain.calculate_greeks(RECORD), 200, 1.0)
