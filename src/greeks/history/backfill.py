"""A daily F&O file into the store in one pass: its rows read once as columns, each symbol's day
priced by the chain kernel straight from them (no chain of dicts, no frame) and stored as that
day's close capture, the symbols written side by side. What is stored is what recording the same
day's chain stores, leg for leg and bit for bit; the payload kept is the file's own lines of the
symbol."""
from __future__ import annotations

import concurrent.futures
import dataclasses
import datetime as dt
import math
import os
import pathlib
from collections.abc import Callable
from typing import Any

import numpy as np

from greeks.chains import clock as clocks
from greeks.chains.frame import FLOAT_COLUMNS, IV_SOURCE_TEXTS, SOURCE_CODES, price_legs
from greeks.chains.pricing import Pricing
from greeks.exchange import vocabulary as words
from greeks.exchange.reading import SPOT_SOURCES, ChainLegs, first_of_each_leg
from greeks.history.bhavcopy import read_text
from greeks.history.daily_rows import DailyRows, close_stamp, day_parts, read_rows
from greeks.history.history import priced_table
from greeks.history.store import Store
from greeks.market import close_of

SOLVED = IV_SOURCE_TEXTS.index("solved")
BATCH = 32  # symbols priced into one Table


@dataclasses.dataclass(frozen=True)
class StoredDay:
    """One symbol's day of a daily file: how many legs, how many volatilities solved, how many
    legs expired that day; `stored` False when the store held that day already."""
    symbol: str
    day: dt.date
    legs: int = 0
    solved: int = 0
    expired: int = 0
    stored: bool = False


def store_daily_file(store: Store, path: pathlib.Path, symbols: set[str] | None,
                     pricing: Pricing, report: Callable[[str], None]) -> list[StoredDay]:
    """Stores each symbol's day of the daily file at `path` (`symbols` None: every symbol it
    holds); returns them in symbol order. `report` hears, a line each, what is left out.
    BhavcopyError when the file cannot be read; OSError when the store cannot be written (the
    days stored by then stay, each whole)."""
    rows = read_rows(read_text(path), symbols)
    if rows.left_out:
        report(f"{path.name}: {rows.left_out} line{'s' if rows.left_out > 1 else ''} whose "
               f"fields do not match its header left out")
    held, wanted = [], []
    for symbol, day, group in rows.groups():
        readable, spot = day_parts(rows, symbol, day, group, report)
        if spot is None:
            continue
        if store.has_capture(symbol, moment_of(day, pricing)):
            held.append(StoredDay(symbol, day))
        else:
            wanted.append((symbol, day, chain_legs(rows, symbol, day, readable, spot)))
    rows.lines  # split once, before the writers share it

    def write(day: StoredDay, table: Any) -> StoredDay:
        path = store.write_capture(day.symbol, moment_of(day.day, pricing), table,
                                   rows.lines_of(day.symbol), raw_format="csv")
        return dataclasses.replace(day, stored=path is not None)

    # Priced a batch at a time, each batch's files written (mostly outside the interpreter's
    # lock) while the next is priced.
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        writes = [pool.submit(write, day, table)
                  for start in range(0, len(wanted), BATCH)
                  for day, table in priced_days(wanted[start:start + BATCH], pricing)]
    return sorted(held + [write.result() for write in writes],
                  key=lambda day: (day.symbol, day.day))


def moment_of(day: dt.date, pricing: Pricing) -> dt.datetime:
    return clocks.resolve_now(pricing.now, close_of(day))


def priced_days(days: list[tuple[str, dt.date, ChainLegs]], pricing: Pricing
                ) -> list[tuple[StoredDay, Any]]:
    """Each symbol's day priced, with its Table: the legs of one trade date made one Table (a
    column is one Arrow array, not one per symbol) and cut into each symbol's part."""
    found = []
    for traded in sorted({day for _, day, _ in days}):
        moment = moment_of(traded, pricing)
        parts = [(symbol, price_legs(legs, slice(None), moment, pricing))
                 for symbol, day, legs in days if day == traded]
        table = priced_table(joined([priced for _, priced in parts]), moment, pricing.model)
        offset = 0
        for symbol, priced in parts:
            count = len(priced["expiry"])
            found.append((StoredDay(symbol, traded, count,
                                    int((priced["iv_source_code"] == SOLVED).sum()),
                                    int((priced["time_to_expiry"] <= 0).sum())),
                          table.slice(offset, count)))
            offset += count
    return found


def joined(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """Legs priced apart by price_legs as one set of priced legs, in order."""
    block = np.concatenate([priced["block"] for priced in parts], axis=1)
    return {"column": dict(zip(FLOAT_COLUMNS, block)).__getitem__,
            **{name: np.concatenate([priced[name] for priced in parts])
               for name in ("expiry", "is_call", *SOURCE_CODES)}}


def chain_legs(rows: DailyRows, symbol: str, day: dt.date, readable: np.ndarray,
               spot: float) -> ChainLegs:
    """The legs of one symbol's day as reading its chain gives them: ordered by expiry, strike,
    call before put, each once (a leg the file lists twice at its last line)."""
    backwards = readable[::-1]
    at = backwards[first_of_each_leg(rows.expiry[backwards].view(np.int64),
                                     rows.strike[backwards], rows.is_call[backwards])]
    fields = {"last_price": rows.price[at], "iv_percent": 0.0, "bid": math.nan, "ask": math.nan,
              "open_interest": rows.open_interest[at], "change_in_oi": rows.change_in_oi[at],
              "volume": rows.volume[at], "underlying_value": rows.spot[at],
              "lot_size": rows.lot_size[at]}
    values = np.empty((len(words.LEG_COLUMNS), len(at)))
    for place, name in enumerate(words.LEG_COLUMNS):
        values[place] = fields[name]
    return ChainLegs(
        shape="records", rows=[], spot=spot, spot_source=SPOT_SOURCES[1],  # "records"
        timestamp=close_stamp(day), symbol=symbol, expiry=rows.expiry[at],
        strike=rows.strike[at], is_call=rows.is_call[at], values=values,
        origin=np.full((len(at), 2), -1, dtype=np.int64), skipped=0, not_options=0,
        duplicates=len(readable) - len(at))
