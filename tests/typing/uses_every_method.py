"""Type-checked, never run: every method of Kestrava and every array function, as the README
uses them."""
import numpy as np

import greeks
from greeks.greeks import Kestrava, __pyx_unpickle_Kestrava

nifty = Kestrava("NIFTY")
nifty.symbol = "BANKNIFTY"
spot: float = nifty.get_spot_price()
record = nifty.get_option_data(24600, "07-Aug-2025", "CE")
if record:
    found = nifty.calculate_greeks(record)
    if found is not None:
        delta: float = found["delta"]
print(nifty.calculate_greeks(nifty.get_option_data(24600, "07-Aug-2025")))
print(nifty.calculate_greeks({"spot_price": 100.0, "option_type": "CE"}))
row = nifty.find_option_in_data([{"strikePrice": 24600}], 24600, "07-Aug-2025")
nifty.monitor_greeks(24600, "07-Aug-2025", "PE", interval=2)
reduced = nifty.__reduce_cython__()
nifty.__setstate_cython__(("NIFTY",))
copy = __pyx_unpickle_Kestrava(Kestrava, 0xB76A7CA, ("NIFTY",))

frame = greeks.chain_greeks({"records": {"data": []}}, expiry="07-Aug-2025", iv="fill")
deltas: np.ndarray = greeks.option_greeks(100.0, [90.0, 110.0], 0.5, 0.07, 0.2, True)["delta"]
volatility: np.ndarray = greeks.implied_volatility(5.0, 100.0, 100.0, 0.5, 0.07, True)
prices: np.ndarray = greeks.option_price(100.0, 100.0, 0.5, 0.07, volatility, False)
