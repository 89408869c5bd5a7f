"""Greeks of a whole option chain from one fetch, as a pandas DataFrame."""
from __future__ import annotations

import datetime as dt
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks import clock as clocks
from greeks.arrays import option_greeks
from greeks.chain_reading import VALUE_NAMES, ChainLegs, parse_expiry_text, read_chain

if TYPE_CHECKING:
    import pandas

IV_CHOICES = ("exchange",)
COLUMNS = ("expiry", "strike", "side", "spot", "last_price", "iv", "time_to_expiry",
           "delta", "gamma", "theta", "vega", "rho", "open_interest", "volume", "bid", "ask")


def fetch_chain(symbol: str) -> Any:
    """One chain from the exchange, through the module global that tests and replays replace."""
    import greeks.greeks as module

    return module.nse_optionchain_scrapper(symbol)


def expiry_day(value: Any) -> dt.date:
    """A wanted expiry as a date: "07-Aug-2025" in any letter case, ISO "2025-08-07", or a date."""
    if isinstance(value, dt.datetime):
        return value.date()
    if isinstance(value, dt.date):
        return value
    if not isinstance(value, str):
        raise TypeError(f"expiry must be a date or text such as 07-Aug-2025, "
                        f"not {type(value).__name__}")
    text = value.strip()
    day = parse_expiry_text(text)
    if day is None:
        try:
            day = dt.date.fromisoformat(text)
        except ValueError:
            raise ValueError(f"expiry {value!r} is not a date such as 07-Aug-2025 or "
                             f"2025-08-07") from None
    return day


def check_rate(rate: Any) -> float:
    if isinstance(rate, bool) or not isinstance(rate, numbers.Real):
        raise TypeError(f"rate must be a number, not {type(rate).__name__}")
    return float(rate)


def leg_order(legs: ChainLegs) -> np.ndarray:
    """Positions of the legs ordered by expiry, strike, then CE before PE."""
    return np.lexsort((~legs.is_call, legs.strike, legs.expiry))


def chain_greeks(chain: Any, *, expiry: Any = None, now: dt.datetime | None = None,
                 rate: float = 0.07, clock: str = "close",
                 iv: str = "exchange") -> pandas.DataFrame:
    """Greeks of every leg of an option chain, one row per leg.

    `chain` is a mapping as the exchange returns it, or a symbol to fetch once through
    ``greeks.greeks.nse_optionchain_scrapper``. `expiry` keeps one expiry (None keeps all).
    `clock` "close" counts to 15:30 IST on the expiry day; "days" counts whole days to its
    midnight as ``Kestrava.get_option_data`` does. `iv` "exchange" uses the exchange's implied
    volatility; legs without one get NaN Greeks. Rows are ordered by expiry, strike, CE before
    PE; ``attrs["skipped"]`` counts rows and sides that could not be read.
    """
    import pandas as pd

    clocks.check_clock(clock)
    if iv not in IV_CHOICES:
        raise ValueError(f"iv must be one of {', '.join(map(repr, IV_CHOICES))}, not {iv!r}")
    rate = check_rate(rate)
    moment = clocks.resolve_now(now)
    wanted = None if expiry is None else expiry_day(expiry)
    if isinstance(chain, str):
        chain = fetch_chain(chain)
        if chain is None or (hasattr(chain, "__len__") and len(chain) == 0):
            raise ValueError("the exchange returned no option chain")

    legs = read_chain(chain)
    order = leg_order(legs)
    if wanted is not None:
        day = np.datetime64(wanted, "D")
        held = np.unique(legs.expiry)
        if day not in held:
            listed = ", ".join(held.astype(object)[i].strftime("%d-%b-%Y")
                               for i in range(len(held))) or "none"
            raise ValueError(f"the chain has no expiry {wanted:%d-%b-%Y}; it holds: {listed}")
        order = order[legs.expiry[order] == day]

    expiries = legs.expiry[order]
    strikes = legs.strike[order]
    is_call = legs.is_call[order]
    values = legs.values[order]
    iv_percent = values[:, VALUE_NAMES.index("iv_percent")]
    volatility = np.where(iv_percent > 0, iv_percent / 100.0, np.nan)
    years = clocks.years_to_expiry(expiries, moment, clock)
    spot = np.full(len(order), legs.spot)
    greeks = option_greeks(spot, strikes, years, rate, volatility, is_call)

    def column(name: str) -> np.ndarray:
        return values[:, VALUE_NAMES.index(name)]

    frame = pd.DataFrame({
        "expiry": expiries.astype("datetime64[ns]"),
        "strike": strikes,
        "side": np.where(is_call, "CE", "PE").astype(object),
        "spot": spot,
        "last_price": column("last_price"),
        "iv": volatility,
        "time_to_expiry": years,
        **greeks,
        "open_interest": column("open_interest"),
        "volume": column("volume"),
        "bid": column("bid"),
        "ask": column("ask"),
    }, columns=list(COLUMNS))
    frame.attrs["skipped"] = legs.skipped
    frame.attrs["timestamp"] = legs.timestamp
    return frame
