"""Reading an option chain as the exchange returns it into arrays, one entry per leg.

Two shapes are read: the one ``nse_optionchain_scrapper`` returns ("records" → "data", expiry
texts like 07-Aug-2025, bid and ask under "bidprice"/"askPrice"), and the newer one with a
top-level "data" (expiry texts like 07-08-2025 under "expiryDates", bid and ask under
"buyPrice1"/"sellPrice1"). Rows and sides are dicts, as the exchange's JSON gives them; anything
else, a strike that is not a number or an expiry that is not a date is left out and counted,
never raised. The walk over the rows is done in C++ (``greeks._vector.read_legs``)."""
from __future__ import annotations

import datetime as dt
import functools
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from greeks import _vector

ROW_KEYS = ("strikePrice", "expiryDate", "expiryDates")
SIDES = ("CE", "PE")
EXPIRY_FORMATS = ("%d-%b-%Y", "%d-%m-%Y")
# The per-leg numbers, in the order of ChainLegs.values' columns.
VALUE_NAMES = ("last_price", "iv_percent", "bid", "ask", "open_interest", "volume")
EPOCH = dt.date(1970, 1, 1)


@dataclass
class ChainLegs:
    """The legs of one chain in the chain's own order."""
    spot: float
    timestamp: Any
    expiry: np.ndarray   # datetime64[D]
    strike: np.ndarray   # float64
    is_call: np.ndarray  # bool
    values: np.ndarray   # float64, one column per VALUE_NAMES entry; NaN where not a number
    skipped: int


@functools.lru_cache(maxsize=4096)
def expiry_and_layout(text: str) -> tuple[dt.date, str] | None:
    """The day an expiry text names and the format it is written in, or None. A chain repeats a
    handful of texts over hundreds of rows, so each is parsed once."""
    for layout in EXPIRY_FORMATS:
        try:
            return dt.datetime.strptime(text, layout).date(), layout
        except ValueError:
            pass
    return None


def parse_expiry_text(text: Any) -> dt.date | None:
    parsed = expiry_and_layout(text) if isinstance(text, str) else None
    return parsed[0] if parsed else None


def listed_expiries(days: Iterable[Any]) -> str:
    """Expiry days (dates or datetime64[D]) as text such as "07-Aug-2025, 14-Aug-2025"."""
    days = [day.item() if isinstance(day, np.datetime64) else day for day in days]
    return ", ".join(f"{day:%d-%b-%Y}" for day in sorted(days)) or "none"


def day_number(text: str) -> int | None:
    """Days from 1970-01-01 to the expiry a text names, or None when it names none."""
    day = parse_expiry_text(text)
    return None if day is None else (day - EPOCH).days


def value_keys(bid_key: str, ask_key: str) -> tuple[str, ...]:
    """A side's keys for the columns of ChainLegs.values, in order."""
    return ("lastPrice", "impliedVolatility", bid_key, ask_key, "openInterest",
            "totalTradedVolume")


def chain_layout(chain: Any) -> tuple[Any, Any, Any, tuple[str, ...]]:
    """(rows, spot, timestamp, a side's value keys) of a chain in either shape; ValueError naming
    the keys it found otherwise."""
    if not isinstance(chain, Mapping):
        raise TypeError(f"chain must be a mapping as the exchange returns it, or a symbol; "
                        f"got {type(chain).__name__}")
    records = chain.get("records")
    if isinstance(records, Mapping) and "data" in records:
        return (records["data"], records.get("underlyingValue"), records.get("timestamp"),
                value_keys("bidprice", "askPrice"))
    if "data" in chain:
        return (chain["data"], chain.get("underlyingValue"), chain.get("timestamp"),
                value_keys("buyPrice1", "sellPrice1"))
    found = ", ".join(repr(key) for key in list(chain)[:20]) or "none"
    raise ValueError(f"not an option chain: expected 'records' with 'data', or a top-level "
                     f"'data'; found keys: {found}")


def finite_number(value: Any) -> float:
    if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        return float(value)
    return math.nan


def read_chain(chain: Any) -> ChainLegs:
    rows, spot, timestamp, keys = chain_layout(chain)
    if isinstance(rows, (str, bytes)) or not isinstance(rows, Sequence):
        raise ValueError(f"the chain's 'data' must be a list of rows, not {type(rows).__name__}")
    rows = rows if type(rows) is list else list(rows)
    capacity = len(SIDES) * len(rows)
    strike = np.empty(capacity, dtype=np.float64)
    day = np.empty(capacity, dtype=np.int64)
    is_call = np.empty(capacity, dtype=bool)
    values = np.empty((capacity, len(keys)), dtype=np.float64)
    legs, skipped = _vector.read_legs(rows, ROW_KEYS, SIDES, keys, day_number, strike, day,
                                      is_call, values)
    return ChainLegs(
        spot=finite_number(spot),
        timestamp=timestamp,
        expiry=day[:legs].view("datetime64[D]"),
        strike=strike[:legs],
        is_call=is_call[:legs],
        values=values[:legs],
        skipped=skipped,
    )
