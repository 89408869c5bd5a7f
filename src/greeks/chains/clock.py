"""Time to expiry, to the exchange's close or in the module's whole days.

A naive datetime is India Standard Time, the exchange's clock, whatever the machine's zone."""
from __future__ import annotations

import datetime as dt

import numpy as np

from greeks.market import CLOSE, DAYS_PER_YEAR, INDIA, SECONDS_PER_YEAR
CLOCKS = ("close", "days")
# The close as a time after midnight UTC of the same day (10:00: India is 5:30 ahead, all year).
CLOSE_AFTER_UTC_MIDNIGHT = np.timedelta64(
    dt.datetime.combine(dt.date.min, CLOSE) - dt.datetime.min - INDIA.utcoffset(None), "us")


def resolve_now(now: dt.datetime | None, captured: dt.datetime | None = None) -> dt.datetime:
    """`now` as an aware datetime: a naive one is India Standard Time; None is `captured` (the
    chain's capture time) when there is one, else the current time."""
    if now is None:
        return captured if captured is not None else dt.datetime.now(dt.timezone.utc)
    if not isinstance(now, dt.datetime):
        raise TypeError(f"now must be a datetime or None, not {type(now).__name__}")
    return now if now.tzinfo is not None else now.replace(tzinfo=INDIA)


def years_in_whole_days(expiry: dt.date, now: dt.datetime) -> float:
    """Whole days from now to the expiry day's midnight in India, floored, over 365: the count
    that `Kestrava.get_option_data` makes (−1/365 during the expiry day itself), on the exchange's
    calendar rather than the machine's, so that a day turns over at midnight in Mumbai whatever
    zone the machine keeps."""
    local_now = now.astimezone(INDIA).replace(tzinfo=None)
    return (dt.datetime.combine(expiry, dt.time()) - local_now).days / DAYS_PER_YEAR


def microseconds_to_close(expiries: np.ndarray, now: dt.datetime) -> np.ndarray:
    """(15:30 IST on each datetime64[D] expiry day − an aware `now`) in whole microseconds, the
    resolution of a datetime: exactly the difference of the two datetimes, for every leg at
    once."""
    utc_now = now.astimezone(dt.timezone.utc).replace(tzinfo=None)
    return (expiries.astype("datetime64[us]") + CLOSE_AFTER_UTC_MIDNIGHT
            - np.datetime64(utc_now, "us")).astype(np.int64)


def years_to_expiry(expiries: np.ndarray, now: dt.datetime, clock: str) -> np.ndarray:
    """Time to expiry for an array of datetime64[D] expiry days, from an aware `now`."""
    if clock == "close":
        # int64 to float64 is exact below 2**53 µs (285 years), and the division rounds once, as
        # timedelta.total_seconds() does: the same bits as the datetimes' difference in seconds
        # over a year's.
        return microseconds_to_close(expiries, now) / 1e6 / SECONDS_PER_YEAR
    days, positions = np.unique(expiries, return_inverse=True)
    per_day = np.array([years_in_whole_days(day.item(), now) for day in days], dtype=np.float64)
    return per_day[positions].reshape(expiries.shape)
