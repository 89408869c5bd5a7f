"""Greeks of a whole option chain from one fetch, as a pandas DataFrame."""
from __future__ import annotations

import datetime as dt
import functools
import numbers
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks import _vector
from greeks.arrays import GREEK_NAMES
from greeks.chains import clock as clocks
from greeks.chains.blocks import frame_of
from greeks.exchange.reading import (ChainLegs, MissingSpot, capture_time, listed_expiries,
                                     parse_expiry_text, read_chain)
from greeks.exchange.sources import exchange_chain
from greeks.units import warn_if_implausible

if TYPE_CHECKING:
    import pandas

IV_CHOICES = ("exchange", "fill", "solve")
PRICE_CHOICES = ("last", "mid")
COLUMNS = ("expiry", "strike", "side", "spot", "last_price", "iv", "time_to_expiry",
           *GREEK_NAMES, "iv_source", "open_interest", "volume", "bid", "ask", "mid",
           "change_in_oi", "symbol")
# The frame's float columns, in its order: price_legs writes them as the rows of one array.
FLOAT_COLUMNS = tuple(name for name in COLUMNS
                      if name not in ("expiry", "side", "iv_source", "symbol"))
# The columns taken from the exchange's records as they are.
EXCHANGE_COLUMNS = ("last_price", "open_interest", "volume", "bid", "ask", "change_in_oi")
SIDE_TEXTS = ("PE", "CE")  # by is_call
IV_SOURCE_TEXTS: tuple[str, ...] = _vector.IV_SOURCES  # by the codes price_legs gives
# Frames from chain_greeks' own checks up to the user's call.
USER_FRAME = 2


def expiry_day(value: Any) -> dt.date:
    """A wanted expiry as a date: "07-Aug-2025" in any letter case, ISO "2025-08-07", or a date."""
    if isinstance(value, dt.datetime):
        return value.date()
    if isinstance(value, dt.date):
        return value
    if not isinstance(value, str):
        raise TypeError(f"expiry must be a date or text such as 07-Aug-2025, "
                        f"not {type(value).__name__}")
    day = parse_expiry_text(value)
    if day is None:
        raise ValueError(f"expiry {value!r} is not a date such as 07-Aug-2025 or 2025-08-07")
    return day


def check_number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, not {value!r}")


@functools.lru_cache(maxsize=32)
def text_choices(choices: tuple[str, ...]) -> Any:
    """pandas' str array of `choices`, stored as Python strings, from which text columns are taken
    by code: pandas builds its default, Arrow-backed str column from a thousand short texts in
    several times the time the whole chain is priced in, and checks every text of a column built
    from texts, where a take copies references. Pandas before 2.3 has no such dtype and gets
    the plain object array."""
    import pandas as pd

    try:
        return pd.array(list(choices), dtype=pd.StringDtype("python", na_value=np.nan))
    except TypeError:
        return np.array(choices, dtype=object)


def text_column(choices: tuple[str, ...], codes: np.ndarray) -> Any:
    """The str column holding choices[code] for each code."""
    return text_choices(choices).take(codes)


def fetch_symbol(symbol: str) -> tuple[Any, str]:
    chain = exchange_chain(symbol)
    if chain is None or (hasattr(chain, "__len__") and len(chain) == 0):
        raise ValueError("the exchange returned no option chain")
    return chain, symbol


def warn_of_passed_expiries(legs: ChainLegs, moment: dt.datetime) -> None:
    """A live chain lists no expiry that has passed: one that does is a recording priced at the
    wrong moment, whose expired legs would quietly have no Greeks."""
    days = np.unique(legs.expiry)
    passed = days[clocks.microseconds_to_close(days, moment) <= 0]
    if not passed.size:
        return
    which = "every expiry" if len(passed) == len(days) else \
        f"{len(passed)} of its {len(days)} expiries ({listed_expiries(passed[:3])}" + \
        (", ..." if len(passed) > 3 else "") + ")"
    warnings.warn(f"{which} of this chain passed before {moment:%d-%b-%Y %H:%M %Z}: those legs "
                  f"have no Greeks (price a recording at its capture time with now=)",
                  UserWarning, stacklevel=USER_FRAME + 1)


def checked_pricing(now: Any, rate: Any, dividend_yield: Any, clock: Any, iv: Any,
                    price: Any, user_frame: int = USER_FRAME + 1) -> tuple[float, float]:
    """The pricing choices checked before any fetch: (rate, dividend_yield) as floats; a likely
    percentage warns `user_frame` frames above this function's caller (chain_greeks' user by
    default)."""
    check_choice("clock", clock, clocks.CLOCKS)
    check_choice("iv", iv, IV_CHOICES)
    check_choice("price", price, PRICE_CHOICES)
    rate = check_number("rate", rate)
    dividend_yield = check_number("dividend_yield", dividend_yield)
    warn_if_implausible({"rate": rate, "dividend_yield": dividend_yield}, user_frame)
    if now is not None:
        clocks.resolve_now(now)  # a wrong type is refused here
    return rate, dividend_yield


def price_legs(legs: ChainLegs, selected: Any, moment: dt.datetime, *, rate: float,
               dividend_yield: float, clock: str, iv: str, price: str) -> dict[str, Any]:
    """The volatility, its source and the Greeks of the legs `selected` (a mask, positions or a
    slice) at `moment`, with their inputs: the work of chain_greeks without the frame, for
    callers that want a few legs of a chain. Every float column is a row of "block", in the
    order of FLOAT_COLUMNS; "iv_source_code" indexes IV_SOURCE_TEXTS."""
    expiries = legs.expiry[selected]
    is_call = np.ascontiguousarray(legs.is_call[selected])
    block = np.empty((len(FLOAT_COLUMNS), len(expiries)))
    row = dict(zip(FLOAT_COLUMNS, block))
    row["strike"][:] = legs.strike[selected]
    row["spot"].fill(legs.spot)
    for name in EXCHANGE_COLUMNS:
        row[name][:] = legs.column(name)[selected]
    row["time_to_expiry"][:] = clocks.years_to_expiry(expiries, moment, clock)
    source = np.empty(len(expiries), dtype=np.int8)
    _vector.price_chain(row["strike"], row["time_to_expiry"], row["last_price"],
                        np.ascontiguousarray(legs.column("iv_percent")[selected]), row["bid"],
                        row["ask"], is_call, float(legs.spot), rate, dividend_yield, iv, price,
                        row["mid"], row["iv"], *(row[name] for name in GREEK_NAMES), source)
    return {"expiry": expiries, "strike": row["strike"], "is_call": is_call,
            "column": row.__getitem__, "time_to_expiry": row["time_to_expiry"],
            "spot": row["spot"], "mid": row["mid"], "iv": row["iv"], "iv_source_code": source,
            "greeks": {name: row[name] for name in GREEK_NAMES}, "block": block}


def chain_greeks(chain: Any, *, expiry: Any = None, now: dt.datetime | None = None,
                 rate: float = 0.07, dividend_yield: float = 0.0, clock: str = "close",
                 iv: str = "fill", price: str = "last") -> pandas.DataFrame:
    """Greeks of every leg of an option chain, one row per leg.

    `chain` is a mapping as the exchange or nsepython returns it (any of its shapes), or a symbol
    to fetch once through ``greeks.greeks.nse_optionchain_scrapper``. `expiry` keeps one expiry
    (None keeps all). `now` is the moment priced: a naive datetime is India Standard Time, the
    exchange's clock; None is the chain's capture time when it carries one, else the current
    time. `clock` "close" counts to 15:30 IST on the expiry day; "days" counts whole days to its
    midnight as ``Kestrava.get_option_data`` does. `rate` and `dividend_yield` (continuous) are
    annual fractions; above 1 they warn, as likely percentages. `iv` "exchange" uses the
    exchange's implied volatility, "solve" solves every leg's volatility from its price, and
    "fill" takes the exchange's where it is above 0 and solves the rest; the column "iv_source"
    says which ("exchange", "solved", or "none" where neither gave one: those legs get NaN
    Greeks). `price` "last" solves from the last traded price, "mid" from the middle of bid and
    ask.

    Rows are ordered by expiry, strike, CE before PE. ``attrs`` holds "skipped" (rows and records
    that could not be read), "futures" (records that are no option), "duplicates" (second
    records of a leg), "spot_source", "timestamp" and "now". ValueError when the chain has legs
    but no price of the underlying; a chain with an expiry that has passed at `now` warns.
    """
    rate, dividend_yield = checked_pricing(now, rate, dividend_yield, clock, iv, price)
    wanted = None if expiry is None else expiry_day(expiry)
    chain, asked = fetch_symbol(chain) if isinstance(chain, str) else (chain, None)

    legs = read_chain(chain)
    if len(legs.strike) and legs.spot_source is None:
        raise MissingSpot()
    moment = clocks.resolve_now(now, capture_time(chain))
    selected = slice(None)
    if wanted is not None:
        day = np.datetime64(wanted, "D")
        held = np.unique(legs.expiry)
        if day not in held:
            raise ValueError(f"the chain has no expiry {wanted:%d-%b-%Y}; "
                             f"it holds: {listed_expiries(held)}")
        selected = legs.expiry == day
    warn_of_passed_expiries(legs, moment)

    priced = price_legs(legs, selected, moment, rate=rate, dividend_yield=dividend_yield,
                        clock=clock, iv=iv, price=price)
    is_call = priced["is_call"]
    frame = frame_of(COLUMNS, priced["block"], FLOAT_COLUMNS, {
        "expiry": priced["expiry"].astype("datetime64[ns]"),
        "side": text_column(SIDE_TEXTS, is_call.view(np.int8)),
        "iv_source": text_column(IV_SOURCE_TEXTS, priced["iv_source_code"]),
        "symbol": text_column((legs.symbol or asked or "",), np.zeros(len(is_call), np.int8)),
    })
    frame.attrs.update(skipped=legs.skipped, futures=legs.not_options,
                       duplicates=legs.duplicates, spot_source=legs.spot_source,
                       timestamp=legs.timestamp, now=moment)
    return frame
