"""The market's rules, each written once: the exchange's clock (India Standard Time, no daylight
saving), its session, the day count, the rates the package and the exchange price at, how a trader
writes a side and an expiry. Everything else imports them from here."""
from __future__ import annotations

import datetime as dt
import functools
from typing import Any

INDIA = dt.timezone(dt.timedelta(hours=5, minutes=30), "IST")
OPEN = dt.time(9, 15)
CLOSE = dt.time(15, 30)
DAYS_PER_YEAR = 365.0
SECONDS_PER_YEAR = 365 * 86400

# The rate the package prices at unless told otherwise (the module's own), and the one the
# exchange computes its published implied volatility at (Black-Scholes on the spot, to the close).
DEFAULT_RATE = 0.07
EXCHANGE_RATE = 0.10

CALL, PUT, FUTURE = "CE", "PE", "FUT"
# How a trader may write a side, in any letter case.
OPTION_SIDES = {"ce": CALL, "call": CALL, "pe": PUT, "put": PUT}
SIDES = {**OPTION_SIDES, "fut": FUTURE, "future": FUTURE, "futures": FUTURE}

# How an expiry may be written: the exchange's 07-Aug-2025 (any letter case), the newer rows'
# 07-08-2025, and ISO 2025-08-07.
EXPIRY_FORMATS = ("%d-%b-%Y", "%d-%m-%Y", "%Y-%m-%d")
EXPIRY_TEXT = "%d-%b-%Y"


def close_of(day: dt.date) -> dt.datetime:
    """The moment of a trading day's close."""
    return dt.datetime.combine(day, CLOSE, tzinfo=INDIA)


def market_open(now: dt.datetime) -> bool:
    """Whether `now` (aware) falls in a weekday's session."""
    local = now.astimezone(INDIA)
    return local.weekday() < 5 and OPEN <= local.time() <= CLOSE


def india_now() -> dt.datetime:
    return dt.datetime.now(INDIA)


@functools.lru_cache(maxsize=4096)
def expiry_and_layout(text: str) -> tuple[dt.date, str] | None:
    """The day an expiry text names and the format it is written in, or None. A chain repeats a
    handful of texts over hundreds of rows, so each is parsed once."""
    for layout in EXPIRY_FORMATS:
        try:
            return dt.datetime.strptime(text.strip(), layout).date(), layout
        except ValueError:
            pass
    return None


def parse_expiry_text(text: Any) -> dt.date | None:
    parsed = expiry_and_layout(text) if isinstance(text, str) else None
    return parsed[0] if parsed else None


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
