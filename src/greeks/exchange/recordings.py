"""Recorded option chains: loading one, and replaying it in place of the exchange.

A replay either shows the recording as it was captured, or moves it forward by whole weeks, so
that the capture lands on the same weekday on or after today and every expiry keeps its weekday
and the time it had left at the capture. The capture time moves with it, so that a chain priced
"as of its capture" is priced at the moved moment."""
from __future__ import annotations

import copy
import datetime as dt
import json
import pathlib
from collections.abc import Mapping
from typing import Any

from greeks.exchange import vocabulary as words
from greeks.exchange.reading import capture_time, chain_parts, read_chain
from greeks.market import expiry_and_layout
from greeks.exchange.sources import SourceError

WEEK = dt.timedelta(days=7)


def load_recording(path: str | pathlib.Path) -> Any:
    """A recorded chain, checked to be one; SourceError with one short line otherwise."""
    try:
        chain = json.loads(pathlib.Path(path).read_text())
    except OSError as error:
        raise SourceError(f"cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise SourceError(f"{path} is not a text file") from None
    except ValueError as error:
        raise SourceError(f"{path} is not JSON: {error}") from None
    except RecursionError:
        raise SourceError(f"{path} is nested too deeply to be an option chain") from None
    try:
        chain_parts(chain)
    except (TypeError, ValueError) as error:
        raise SourceError(f"{path} is not an option chain: {error}") from None
    return chain


def recorded_symbol(chain: Any) -> str | None:
    """The underlying a recording's legs name, or None."""
    try:
        return read_chain(chain).symbol
    except (TypeError, ValueError):
        return None


def weeks_forward(captured: dt.date, today: dt.date) -> dt.timedelta:
    """The whole weeks that move `captured` to the same weekday on or after `today`."""
    return WEEK * -((captured - today).days // 7)


def moved(text: Any, offset: dt.timedelta) -> Any:
    """An expiry text moved by `offset`, written as it was; anything else unchanged."""
    parsed = expiry_and_layout(text) if isinstance(text, str) else None
    if parsed is None:
        return text
    day, layout = parsed
    return (day + offset).strftime(layout)


def move_record(record: dict, offset: dt.timedelta) -> None:
    for key in words.EXPIRY_KEYS:
        if key in record:
            record[key] = moved(record[key], offset)


def shift_expiries(chain: Mapping, today: dt.date) -> tuple[Any, dt.timedelta]:
    """A copy of `chain` moved forward by whole weeks to lie as far after `today` as it lay after
    its capture: every expiry text of every row, side and contract, the list of expiries, and the
    capture time."""
    captured = capture_time(chain)
    if captured is None:
        stamp = chain_parts(chain)[2]
        raise SourceError(f"the recording has no capture time (timestamp {stamp!r})")
    offset = weeks_forward(captured.date(), today)
    shifted = copy.deepcopy(chain)
    try:
        _, rows, _ = chain_parts(shifted)
        for row in rows:
            if isinstance(row, dict):
                move_record(row, offset)
                for value in row.values():
                    if isinstance(value, dict):
                        move_record(value, offset)
        holder = shifted.get(words.RECORDS_KEY)
        holder = holder if isinstance(holder, dict) and words.ROWS_KEY in holder else shifted
        if isinstance(holder.get(words.EXPIRY_LIST_KEY), list):
            holder[words.EXPIRY_LIST_KEY] = [moved(text, offset)
                                             for text in holder[words.EXPIRY_LIST_KEY]]
        stamp_holder = holder if words.TIMESTAMP_KEY in holder else shifted
        stamp_holder[words.TIMESTAMP_KEY] = (captured + offset).strftime(words.CAPTURE_FORMAT)
    except OverflowError:
        raise SourceError(f"cannot move a recording captured {captured:%d-%b-%Y} to "
                          f"{today:%d-%b-%Y}: a date would leave the calendar") from None
    return shifted, offset


class Replay:
    """Serves one recorded chain, as a stand-in for ``nse_optionchain_scrapper``: a fresh copy at
    every fetch, so that nothing a caller does to one answer changes the next."""

    def __init__(self, chain: Any):
        self.chain = chain

    def __call__(self, symbol: str) -> Any:
        return copy.deepcopy(self.chain)
