"""Prints the Greeks of one hand-built option record."""
from greeks.greeks import Kestrava

record = {
    "spot_price": 24623.45,
    "strike_price": 24600.0,
    "time_to_expiry": 2 / 365.0,
    "risk_free_rate": 0.07,
    "implied_volatility": 0.1180,
    "option_price": 131.2,
    "option_type": "CE",
}
for name, value in Kestrava("NIFTY").calculate_greeks(record).items():
    print(f"{name}: {value:.4f}")
