"""Where the command line's option chains come from: the exchange, through the module global
``greeks.greeks.nse_optionchain_scrapper``, or a recording replayed in its place.

A replay moves every expiry forward by the days between the capture and today, so that each lies
as far ahead as it did when the chain was recorded. Both of the exchange's shapes are read; for
``Kestrava``, which reads only the shape with "records", a chain of the newer shape is presented
in that shape."""
from __future__ import annotations

import copy
import datetime as dt
import json
import pathlib
from collections.abc import Callable, Mapping
from typing import Any

from greeks.chain_reading import chain_layout, expiry_and_layout, parse_expiry_text

CAPTURE_FORMAT = "%d-%b-%Y %H:%M:%S"
RECORDS_EXPIRY_FORMAT = "%d-%b-%Y"


class SourceError(Exception):
    """A chain could not be had; the message is one short line."""


def short_reason(error: BaseException) -> str:
    """An exception as one short line: its type and the first line of its text."""
    text = str(error).strip().splitlines()
    first = text[0] if text else ""
    if len(first) > 100:
        first = first[:97] + "..."
    return f"{type(error).__name__}: {first}" if first else type(error).__name__


def exchange_chain(symbol: str) -> Any:
    """One chain from the exchange, through the module global that tests and replays replace,
    looked up at the call."""
    import greeks.greeks as module

    return module.nse_optionchain_scrapper(symbol)


def fetch_chain(symbol: str) -> Any:
    """One chain from the exchange, checked to be a chain; SourceError otherwise."""
    try:
        chain = exchange_chain(symbol)
    except Exception as error:
        raise SourceError(f"could not fetch the {symbol} option chain: "
                          f"{short_reason(error)}") from None
    if not chain:
        raise SourceError(f"the exchange returned no option chain for {symbol}")
    try:
        chain_layout(chain)
    except (TypeError, ValueError) as error:
        raise SourceError(f"the exchange's answer for {symbol} is not an option chain: "
                          f"{error}") from None
    return chain


# ---- recordings

def load_recording(path: str | pathlib.Path) -> Any:
    try:
        chain = json.loads(pathlib.Path(path).read_text())
    except OSError as error:
        raise SourceError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise SourceError(f"{path} is not JSON: {error}") from None
    try:
        chain_layout(chain)
    except (TypeError, ValueError) as error:
        raise SourceError(f"{path} is not an option chain: {error}") from None
    return chain


def capture_date(chain: Mapping) -> dt.date:
    records = chain.get("records")
    stamp = records.get("timestamp") if isinstance(records, Mapping) else chain.get("timestamp")
    try:
        return dt.datetime.strptime(stamp, CAPTURE_FORMAT).date()
    except (TypeError, ValueError):
        raise SourceError(f"the recording has no capture time (timestamp {stamp!r})") from None


def moved(text: Any, offset: dt.timedelta) -> Any:
    """An expiry text moved by `offset`, written as it was; anything else unchanged."""
    parsed = expiry_and_layout(text) if isinstance(text, str) else None
    if parsed is None:
        return text
    day, layout = parsed
    return (day + offset).strftime(layout)


def shift_expiries(chain: Mapping, today: dt.date) -> tuple[Any, dt.timedelta]:
    """A copy of `chain` whose expiries lie as far after `today` as they lay after the capture."""
    offset = today - capture_date(chain)
    shifted = copy.deepcopy(chain)
    rows, _, _, _ = chain_layout(shifted)
    records = shifted.get("records")
    if isinstance(records, dict) and isinstance(records.get("expiryDates"), list):
        records["expiryDates"] = [moved(text, offset) for text in records["expiryDates"]]
    for row in rows:
        if not isinstance(row, dict):
            continue
        for key in ("expiryDate", "expiryDates"):
            if key in row:
                row[key] = moved(row[key], offset)
        for side in ("CE", "PE"):
            if isinstance(row.get(side), dict) and "expiryDate" in row[side]:
                row[side]["expiryDate"] = moved(row[side]["expiryDate"], offset)
    return shifted, offset


class Replay:
    """Serves one recorded chain, as a stand-in for ``nse_optionchain_scrapper``: a fresh copy at
    every fetch, so that nothing a caller does to one answer changes the next."""

    def __init__(self, chain: Any):
        self.chain = chain

    def __call__(self, symbol: str) -> Any:
        return copy.deepcopy(self.chain)


def install(fetch: Callable[[str], Any]) -> None:
    import greeks.greeks as module

    module.nse_optionchain_scrapper = fetch


# ---- the shape Kestrava reads

def as_records_shape(chain: Any) -> Any:
    """A chain of the newer shape rewritten as the shape with "records" that ``Kestrava``
    reads: expiry texts as 07-Aug-2025, missing sides left out. Other chains are returned as
    they are."""
    if not isinstance(chain, Mapping) or "records" in chain or "data" not in chain:
        return chain
    rows = []
    for row in chain["data"]:
        if not isinstance(row, Mapping):
            continue
        day = parse_expiry_text(row.get("expiryDate", row.get("expiryDates")))
        text = day.strftime(RECORDS_EXPIRY_FORMAT) if day else None
        rows.append({"strikePrice": row.get("strikePrice"), "expiryDate": text,
                     **{side: {**row[side], "expiryDate": text} for side in ("CE", "PE")
                        if isinstance(row.get(side), Mapping)}})
    return {"records": {"underlyingValue": chain.get("underlyingValue"),
                        "timestamp": chain.get("timestamp"), "data": rows}}


def in_records_shape(fetch: Callable[[str], Any]) -> Callable[[str], Any]:
    return lambda symbol: as_records_shape(fetch(symbol))
