"""Reading an option chain, in any shape the exchange or nsepython gives it, into arrays with one
entry per leg (``greeks.exchange.vocabulary`` names the shapes and keys).

The walk over the rows is done in C++ (``greeks._vector.read_legs``). Rows and records are dicts,
as JSON gives them; anything else, a strike that is not a number (or numeric text), an expiry that
is not a date, or a contract of an unknown kind is left out and counted, never raised. Futures are
counted apart; a second record for the same expiry, strike and side is dropped and counted."""
from __future__ import annotations

import datetime as dt
import functools
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from greeks import _vector
from greeks.exchange import vocabulary as words
from greeks.market import CALL, INDIA, parse_expiry_text

EPOCH = dt.date(1970, 1, 1)
# Where the price of the underlying was found, as `ChainLegs.spot_source` says it.
SPOT_SOURCES = ("top level", "records", "legs")


class LegNotListed(LookupError):
    """An option the chain does not list; `field` ("expiry" or "strike") says which part, and
    the message names what the chain lists instead."""

    def __init__(self, field: str, message: str):
        super().__init__(message)
        self.field = field


class MissingSpot(ValueError):
    """A chain with legs but no price of the underlying anywhere."""

    def __init__(self) -> None:
        super().__init__("the chain carries no price of the underlying")


@dataclass
class ChainLegs:
    """The legs of one chain, ordered by expiry, strike, then call before put."""
    shape: str                 # "records" or "data" (where the rows were)
    rows: list                 # the chain's rows, as `origin` refers to them
    spot: float                # NaN when the chain carries none
    spot_source: str | None    # one of SPOT_SOURCES, None without a spot
    timestamp: Any             # the chain's capture time as it wrote it, or None
    symbol: str | None         # the underlying the legs name, or None
    expiry: np.ndarray         # datetime64[D]
    strike: np.ndarray         # float64
    is_call: np.ndarray        # bool
    values: np.ndarray         # float64 (fields, legs): a row per vocabulary.LEG_COLUMNS, each
    #                            contiguous, so that a column is handed on without a copy; NaN
    #                            where missing
    origin: np.ndarray         # int64 (legs, 2): row index, side key index (−1: the row itself)
    skipped: int               # rows and records that could not be read
    not_options: int           # futures and other records that are no option
    duplicates: int            # second records of a leg already read

    def column(self, name: str) -> np.ndarray:
        return self.values[words.LEG_COLUMNS.index(name)]

    def record(self, leg: int) -> Mapping:
        """The exchange's record of one leg (a row's side, or a contract row itself)."""
        row, slot = self.origin[leg]
        return self.rows[row] if slot < 0 else self.rows[row][SIDE_KEY_NAMES[slot]]


SIDE_KEY_NAMES = tuple(words.SIDE_KEYS)
OPTION_SIDES = sum(code != words.NOT_AN_OPTION for code in words.SIDE_KEYS.values())


# ---- texts and numbers

def day_number(text: str) -> int | None:
    """Days from 1970-01-01 to the expiry a text names, or None when it names none."""
    day = parse_expiry_text(text)
    return None if day is None else (day - EPOCH).days


def listed_expiries(days: Iterable[Any]) -> str:
    """Expiry days (dates or datetime64[D]) as text such as "07-Aug-2025, 14-Aug-2025"."""
    days = [day.item() if isinstance(day, np.datetime64) else day for day in days]
    return ", ".join(f"{day:%d-%b-%Y}" for day in sorted(days)) or "none"


def nearest_listed(strikes: Iterable[float], wanted: float, count: int = 4) -> str:
    """The `count` listed strikes nearest `wanted`, in order, as text such as "95, 100, 105"."""
    listed = set(np.asarray(list(strikes), dtype=np.float64).tolist())
    near = sorted(sorted(listed, key=lambda value: abs(value - wanted))[:count])
    return ", ".join(f"{value:g}" for value in near) or "none"


def find_leg(legs: ChainLegs, symbol: str, expiry: dt.date, strike: float, side: str) -> int:
    """The position of one option (side CE or PE) among the chain's legs; LegNotListed naming
    the listed expiries, or the nearest listed strikes."""
    same_day = legs.expiry == np.datetime64(expiry, "D")
    if not same_day.any():
        raise LegNotListed("expiry", f"{symbol} has no expiry {expiry:%d-%b-%Y}; it lists "
                                     f"{listed_expiries(np.unique(legs.expiry))}")
    same_side = same_day & (legs.is_call == (side == CALL))
    match = np.flatnonzero(same_side & (legs.strike == strike))
    if match.size == 0:
        raise LegNotListed("strike", f"{symbol} {expiry:%d-%b-%Y} has no {side} at strike "
                                     f"{strike:g}; the nearest listed are "
                                     f"{nearest_listed(legs.strike[same_side], strike)}")
    return int(match[0])


def price_number(value: Any) -> float | None:
    """A price as the exchange writes it (a number, or numeric text) when finite and above 0."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        return None
    try:
        number = float(value)
    except (ValueError, OverflowError):
        return None
    return number if math.isfinite(number) and number > 0 else None


def capture_time(chain: Any) -> dt.datetime | None:
    """The chain's capture time as an aware datetime in India Standard Time, or None."""
    stamp = chain_parts(chain)[2] if isinstance(chain, Mapping) else None
    return stamp_time(stamp) if isinstance(stamp, str) else None


@functools.lru_cache(maxsize=64)
def stamp_time(stamp: str) -> dt.datetime | None:
    """A capture timestamp's moment, parsed once per text (a watch asks for the same one until
    the exchange moves on)."""
    try:
        return dt.datetime.strptime(stamp, words.CAPTURE_FORMAT).replace(tzinfo=INDIA)
    except ValueError:
        return None


# ---- the chain

def chain_parts(chain: Any) -> tuple[str, Any, Any]:
    """(shape, rows, capture timestamp) of a chain in any shape; TypeError or ValueError naming
    what was found otherwise."""
    if not isinstance(chain, Mapping):
        raise TypeError(f"chain must be a mapping as the exchange returns it, or a symbol; "
                        f"got {type(chain).__name__}")
    records = chain.get(words.RECORDS_KEY)
    if isinstance(records, Mapping) and words.ROWS_KEY in records:
        shape, holder = "records", records
    elif words.ROWS_KEY in chain:
        shape, holder = "data", chain
    else:
        found = ", ".join(repr(key) for key in list(chain)[:20]) or "none"
        raise ValueError(f"not an option chain: expected 'records' with 'data', or a top-level "
                         f"'data'; found keys: {found}")
    rows = holder[words.ROWS_KEY]
    if isinstance(rows, (str, bytes)) or not isinstance(rows, Sequence):
        raise ValueError(f"the chain's 'data' must be a list of rows, not {type(rows).__name__}")
    return shape, rows, holder.get(words.TIMESTAMP_KEY, chain.get(words.TIMESTAMP_KEY))


def find_spot(chain: Mapping, legs_values: np.ndarray) -> tuple[float, str | None]:
    """The price of the underlying: the chain's top level, else "records", else the value most
    legs carry."""
    records = chain.get(words.RECORDS_KEY)
    for source, holder in zip(SPOT_SOURCES, (chain, records)):
        spot = price_number(holder.get(words.SPOT_KEY)) if isinstance(holder, Mapping) else None
        if spot is not None:
            return spot, source
    carried = legs_values[np.isfinite(legs_values) & (legs_values > 0)]
    if carried.size == 0:
        return math.nan, None
    prices, counts = np.unique(carried, return_counts=True)
    return float(prices[np.argmax(counts)]), SPOT_SOURCES[2]


READER_LAYOUT = (words.STRIKE_KEYS, words.EXPIRY_KEYS, SIDE_KEY_NAMES,
                 tuple(words.SIDE_KEYS.values()), words.KIND_KEYS, words.KINDS,
                 tuple(field.keys for field in words.LEG_FIELDS), day_number)


def read_chain(chain: Any) -> ChainLegs:
    shape, rows, timestamp = chain_parts(chain)
    rows = rows if type(rows) is list else list(rows)
    capacity = OPTION_SIDES * len(rows)
    strike = np.empty(capacity, dtype=np.float64)
    day = np.empty(capacity, dtype=np.int64)
    is_call = np.empty(capacity, dtype=bool)
    values = np.empty((len(words.LEG_FIELDS), capacity), dtype=np.float64)
    origin = np.empty((capacity, 2), dtype=np.int64)
    count, skipped, not_options = _vector.read_legs(rows, READER_LAYOUT, strike, day, is_call,
                                                    values, origin)
    keep = first_of_each_leg(day[:count], strike[:count], is_call[:count])
    spot, spot_source = find_spot(chain, values[words.LEG_COLUMNS.index("underlying_value"),
                                                :count])
    legs = ChainLegs(
        shape=shape, rows=rows, spot=spot, spot_source=spot_source, timestamp=timestamp,
        symbol=None, expiry=day[keep].view("datetime64[D]"), strike=strike[keep],
        is_call=is_call[keep], values=values.take(keep, axis=1), origin=origin[keep],
        skipped=skipped, not_options=not_options, duplicates=count - len(keep))
    legs.symbol = legs_symbol(legs)
    return legs


def first_of_each_leg(day: np.ndarray, strike: np.ndarray, is_call: np.ndarray) -> np.ndarray:
    """Positions of the legs ordered by expiry, strike, then call before put, each (expiry,
    strike, side) once: the first the chain gave."""
    order = np.lexsort((~is_call, strike, day))  # stable: equal legs keep the chain's order
    if order.size == 0:
        return order
    ordered = (day[order], strike[order], is_call[order])
    repeat = np.zeros(order.size, dtype=bool)
    repeat[1:] = np.logical_and.reduce([column[1:] == column[:-1] for column in ordered])
    return order[~repeat]


def legs_symbol(legs: ChainLegs) -> str | None:
    """The underlying the first leg's record names."""
    for leg in range(min(len(legs.strike), 8)):
        try:
            symbol = legs.record(leg).get(words.UNDERLYING_KEY)
        except (LookupError, AttributeError):  # rows that changed since they were read
            return None
        if isinstance(symbol, str) and symbol.strip():
            return symbol.strip()
    return None


def record_kind(record: Mapping) -> int | None:
    """The kind a contract record names (vocabulary.CALL, PUT or NOT_AN_OPTION), or None."""
    for key in words.KIND_KEYS:
        kind = record.get(key)
        if isinstance(kind, str) and kind in words.KINDS:
            return words.KINDS[kind]
    return None


def futures_prices(chain: Any) -> dict[dt.date, float]:
    """The last price of each future a chain carries, by expiry: per-contract payloads list
    futures among the options, nsepython's rows keep some under their own type; the "records"
    shape has none. Few rows hold one, so this walk stays in Python."""
    _, rows, _ = chain_parts(chain)
    future_keys = [key for key, code in words.SIDE_KEYS.items() if code == words.NOT_AN_OPTION]
    price_keys = next(field.keys for field in words.LEG_FIELDS if field.column == "last_price")
    prices: dict[dt.date, float] = {}
    for row in rows:
        if not isinstance(row, Mapping):
            continue
        for record in [row, *(row.get(key) for key in future_keys)]:
            if not isinstance(record, Mapping) or record_kind(record) != words.NOT_AN_OPTION:
                continue
            day = parse_expiry_text(next((record[key] for key in words.EXPIRY_KEYS
                                          if key in record), None))
            price = next((price_number(record[key]) for key in price_keys if key in record), None)
            if day is not None and price is not None:
                prices.setdefault(day, price)
    return prices
