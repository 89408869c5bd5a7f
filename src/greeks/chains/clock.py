"""Time to expiry, to the exchange's close or in the module's whole days.

A naive datetime is India Standard Time, the exchange's clock, whatever the machine's zone."""
from __future__ import annotations

import datetime as dt

import numpy as np

from greeks.exchange.reading import INDIA

CLOSE = dt.time(15, 30)
SECONDS_PER_YEAR = 365 * 86400
DAYS_PER_YEAR = 365.0
CLOCKS = ("close", "days")


def resolve_now(now: dt.datetime | None, captured: dt.datetime | None = None) -> dt.datetime:
    """`now` as an aware datetime: a naive one is India Standard Time; None is `captured` (the
    chain's capture time) when there is one, else the current time."""
    if now is None:
        return captured if captured is not None else dt.datetime.now(dt.timezone.utc)
    if not isinstance(now, dt.datetime):
        raise TypeError(f"now must be a datetime or None, not {type(now).__name__}")
    return now if now.tzinfo is not None else now.replace(tzinfo=INDIA)


def close_of(expiry: dt.date) -> dt.datetime:
    return dt.datetime.combine(expiry, CLOSE, tzinfo=INDIA)


def years_to_close(expiry: dt.date, now: dt.datetime) -> float:
    """(15:30 IST on the expiry day − now) in years of 365 days."""
    return (close_of(expiry) - now).total_seconds() / SECONDS_PER_YEAR


def years_in_whole_days(expiry: dt.date, now: dt.datetime) -> float:
    """Whole days from now to the expiry day's midnight on the machine's clock, floored, over 365:
    the count that `Kestrava.get_option_data` uses (−1/365 during the expiry day itself)."""
    local_now = now.astimezone().replace(tzinfo=None)
    return (dt.datetime.combine(expiry, dt.time()) - local_now).days / DAYS_PER_YEAR


def years_to_expiry(expiries: np.ndarray, now: dt.datetime, clock: str) -> np.ndarray:
    """Time to expiry for an array of datetime64[D] expiry days, from an aware `now`."""
    years = years_to_close if clock == "close" else years_in_whole_days
    days, positions = np.unique(expiries, return_inverse=True)
    per_day = np.array([years(day.item(), now) for day in days], dtype=np.float64)
    return per_day[positions].reshape(expiries.shape)
