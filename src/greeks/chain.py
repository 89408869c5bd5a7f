"""Greeks of a whole option chain from one fetch, as a pandas DataFrame."""
from __future__ import annotations

import datetime as dt
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks import clock as clocks
from greeks.arrays import implied_volatility, option_greeks
from greeks.chain_reading import (VALUE_NAMES, ChainLegs, listed_expiries, parse_expiry_text,
                                  read_chain)
from greeks.sources import exchange_chain

if TYPE_CHECKING:
    import pandas

IV_CHOICES = ("exchange", "fill", "solve")
PRICE_CHOICES = ("last", "mid")
COLUMNS = ("expiry", "strike", "side", "spot", "last_price", "iv", "time_to_expiry",
           "delta", "gamma", "theta", "vega", "rho", "iv_source", "open_interest", "volume",
           "bid", "ask")


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


def check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, not {value!r}")


def solved_price(last: np.ndarray, bid: np.ndarray, ask: np.ndarray, price: str) -> np.ndarray:
    """The price each leg's volatility is solved from: the last trade, or the middle of bid and
    ask where both are above 0 (else NaN)."""
    if price == "last":
        return last
    with np.errstate(invalid="ignore"):
        return np.where((bid > 0) & (ask > 0), 0.5 * (bid + ask), np.nan)


def choose_volatility(exchange: np.ndarray, solve: Any, iv: str) -> tuple[np.ndarray, np.ndarray]:
    """(volatility, iv_source) per leg: the exchange's where it is above 0 and wanted, else the one
    solved from the price (solve() runs only when some leg needs it)."""
    use_exchange = (exchange > 0) if iv != "solve" else np.zeros(exchange.shape, dtype=bool)
    volatility = np.where(use_exchange, exchange, np.nan)
    if iv != "exchange" and not use_exchange.all():
        volatility = np.where(use_exchange, volatility, solve())
    source = np.where(use_exchange, "exchange", np.where(np.isnan(volatility), "none", "solved"))
    return volatility, source.astype(object)


def leg_order(legs: ChainLegs) -> np.ndarray:
    """Positions of the legs ordered by expiry, strike, then CE before PE."""
    return np.lexsort((~legs.is_call, legs.strike, legs.expiry))


def chain_greeks(chain: Any, *, expiry: Any = None, now: dt.datetime | None = None,
                 rate: float = 0.07, clock: str = "close", iv: str = "fill",
                 price: str = "last") -> pandas.DataFrame:
    """Greeks of every leg of an option chain, one row per leg.

    `chain` is a mapping as the exchange returns it, or a symbol to fetch once through
    ``greeks.greeks.nse_optionchain_scrapper``. `expiry` keeps one expiry (None keeps all).
    `clock` "close" counts to 15:30 IST on the expiry day; "days" counts whole days to its
    midnight as ``Kestrava.get_option_data`` does. `iv` "exchange" uses the exchange's implied
    volatility, "solve" solves every leg's volatility from its price, and "fill" takes the
    exchange's where it is above 0 and solves the rest; the column "iv_source" says which
    ("exchange", "solved", or "none" where neither gave one: those legs get NaN Greeks). `price`
    "last" solves from the last traded price, "mid" from the middle of bid and ask. Rows are
    ordered by expiry, strike, CE before PE; ``attrs["skipped"]`` counts rows and sides that
    could not be read.
    """
    import pandas as pd

    check_choice("clock", clock, clocks.CLOCKS)
    check_choice("iv", iv, IV_CHOICES)
    check_choice("price", price, PRICE_CHOICES)
    rate = check_rate(rate)
    moment = clocks.resolve_now(now)
    wanted = None if expiry is None else expiry_day(expiry)
    if isinstance(chain, str):
        chain = exchange_chain(chain)
        if chain is None or (hasattr(chain, "__len__") and len(chain) == 0):
            raise ValueError("the exchange returned no option chain")

    legs = read_chain(chain)
    order = leg_order(legs)
    if wanted is not None:
        day = np.datetime64(wanted, "D")
        held = np.unique(legs.expiry)
        if day not in held:
            raise ValueError(f"the chain has no expiry {wanted:%d-%b-%Y}; "
                             f"it holds: {listed_expiries(held)}")
        order = order[legs.expiry[order] == day]

    expiries = legs.expiry[order]
    strikes = legs.strike[order]
    is_call = legs.is_call[order]
    values = legs.values[order]
    years = clocks.years_to_expiry(expiries, moment, clock)
    spot = np.full(len(order), legs.spot)

    def column(name: str) -> np.ndarray:
        return values[:, VALUE_NAMES.index(name)]

    def solve() -> np.ndarray:
        paid = solved_price(column("last_price"), column("bid"), column("ask"), price)
        return implied_volatility(paid, spot, strikes, years, rate, is_call)

    volatility, source = choose_volatility(column("iv_percent") / 100.0, solve, iv)
    greeks = option_greeks(spot, strikes, years, rate, volatility, is_call)

    frame = pd.DataFrame({
        "expiry": expiries.astype("datetime64[ns]"),
        "strike": strikes,
        "side": np.where(is_call, "CE", "PE").astype(object),
        "spot": spot,
        "last_price": column("last_price"),
        "iv": volatility,
        "time_to_expiry": years,
        **greeks,
        "iv_source": source,
        "open_interest": column("open_interest"),
        "volume": column("volume"),
        "bid": column("bid"),
        "ask": column("ask"),
    }, columns=list(COLUMNS))
    frame.attrs["skipped"] = legs.skipped
    frame.attrs["timestamp"] = legs.timestamp
    return frame
