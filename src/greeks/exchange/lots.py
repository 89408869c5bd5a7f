"""Lot sizes by date and contract. The exchange changes them a few times a year, and a change
takes effect from one expiry on (NIFTY went from 75 to 65 with the January 2026 expiry while the
December contracts kept 75), so a lot size belongs to a contract: first from a history store's
daily files (each contract's `NewBrdLotQty`, stored as `lot_size`), else from the exchange's
lot-size file through nsepython, read once a day."""
from __future__ import annotations

import datetime as dt
import functools
import pathlib
from collections.abc import Callable
from typing import Any

from greeks.market import india_now

# The exchange's lot-size file, by the day it was read.
EXCHANGE_FILE: dict[dt.date, Any] = {}
MONTH_HEADER = "%b-%y"  # a column of the file: the lot size of one expiry month, such as DEC-26

STORED_LOT_SIZE = """
SELECT lot_size FROM legs
WHERE symbol = $symbol AND date <= $day AND lot_size > 0 AND ($expiry IS NULL OR expiry = $expiry)
ORDER BY date DESC, expiry LIMIT 1
"""


def lot_size(symbol: str, on: dt.date | None = None, store: Any = None, *,
             expiry: dt.date | None = None) -> int:
    """Units per lot of `symbol`'s contracts (those of `expiry`, else the nearest listed) as of
    the date `on` (default today in India): from `store` (a history store's folder or a
    ``greeks.History``) where its daily files hold that symbol on or before `on`, else from the
    exchange's lot-size file (nsepython's ``nse_get_fno_lot_sizes``, read once a day). LookupError
    naming both sources when neither knows it."""
    if not isinstance(symbol, str) or not symbol.strip():
        raise TypeError("symbol must be a text such as NIFTY")
    symbol = symbol.strip().upper()
    day = on if on is not None else india_now().date()
    reasons = []
    if store is not None:
        found = stored_lot_size(store, symbol, day, expiry)
        if found is not None:
            return found
        folder = getattr(getattr(store, "store", None), "root", store)
        reasons.append(f"the store {folder} holds no daily file of {symbol} on or before "
                       f"{day:%d-%b-%Y}")
    try:
        return exchange_lot_size(symbol, expiry)
    except LookupError as error:
        reasons.append(str(error))
    raise LookupError(f"no lot size known for {symbol}: " + "; ".join(reasons))


def stored_lot_size(store: Any, symbol: str, day: dt.date, expiry: dt.date | None) -> int | None:
    from greeks.history.history import History

    history = store if isinstance(store, History) else History(pathlib.Path(store))
    try:
        found = history.run(STORED_LOT_SIZE, {"symbol": symbol, "day": day, "expiry": expiry},
                            symbol, fetch="one")
    except Exception:  # a store older than lot sizes has no such column: it knows none
        return None
    return int(found[0]) if found else None


def exchange_file(day: dt.date) -> Any:
    """The exchange's lot-size file as nsepython reads it, once a day."""
    if day not in EXCHANGE_FILE:
        import nsepython

        EXCHANGE_FILE.clear()
        EXCHANGE_FILE[day] = nsepython.nse_get_fno_lot_sizes("all", "pandas")
    return EXCHANGE_FILE[day]


def exchange_lot_size(symbol: str, expiry: dt.date | None) -> int:
    """The lot size the exchange's file gives `symbol` for the month of `expiry` (else the
    nearest month it lists)."""
    try:
        table = exchange_file(india_now().date())
    except Exception as error:
        from greeks.exchange.sources import short_reason

        raise LookupError(f"the exchange's lot-size file could not be read "
                          f"({short_reason(error)})") from None
    try:
        names = [str(name).strip() for name in table.columns]
        rows = table.to_numpy(dtype=object)
    except AttributeError:
        raise LookupError("the exchange's lot-size file came in an unknown shape") from None
    months = {}
    for place, name in enumerate(names[2:], 2):
        month = month_of(name)
        if month is not None:
            months[month] = place
    for row in rows:
        if str(row[1]).strip().upper() != symbol:
            continue
        wanted = months.get((expiry.year, expiry.month)) if expiry else None
        for place in ([wanted] if wanted is not None else []) + sorted(months.values()):
            size = whole_number(row[place])
            if size is not None:
                return size
    raise LookupError(f"the exchange's lot-size file lists no {symbol}")


def month_of(header: str) -> tuple[int, int] | None:
    try:
        month = dt.datetime.strptime(header.strip().title(), MONTH_HEADER)
    except ValueError:
        return None
    return month.year, month.month


def whole_number(value: Any) -> int | None:
    try:
        number = float(str(value).strip())
    except ValueError:
        return None
    return int(number) if number > 0 and number.is_integer() else None


def contract_lot_sizes(store: Any = None) -> Callable[[str, dt.date], float]:
    """What a position's legs in lots look their lot size up with: by symbol and expiry."""
    return functools.partial(contract_lot_size, store=store)


def contract_lot_size(symbol: str, expiry: dt.date, store: Any = None) -> float:
    return float(lot_size(symbol, store=store, expiry=expiry))
