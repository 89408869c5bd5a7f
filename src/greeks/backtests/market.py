"""One underlying's contracts over the days of the daily files, and what a fill reads from them:
the days, the expiries listed on a day, a leg's price (its close where it traded, else its
settlement price), and the underlying's price (UDiFF: the file's own; the older layout: its
expiry's forward)."""
from __future__ import annotations

import math
import pathlib
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np

from greeks.backtests.daily import read_day
from greeks.history.bhavcopy import BhavcopyError
from greeks.market import CALL, DAYS_PER_YEAR, DEFAULT_RATE, FUTURE, PUT


def leg_price(close: float, settle: float, volume: float) -> float:
    """A contract's price on a day: its close where it traded, else its settlement price."""
    return float(close) if volume > 0 and close > 0 else float(settle)


class Market:
    """The contracts of `symbol` in the daily files, between start and end (dates, inclusive)."""

    def __init__(self, symbol: str, paths: Iterable[pathlib.Path], start: Any = None,
                 end: Any = None):
        import pandas as pd

        frames, self.damaged = [], []
        start = None if start is None else np.datetime64(start, "D")
        end = None if end is None else np.datetime64(end, "D")
        days = set()
        for path in paths:
            try:
                day = read_day(path)
            except BhavcopyError as error:
                warnings.warn(f"{error}; that day is skipped", stacklevel=3)
                self.damaged.append(str(path))
                continue
            date = day["date"].iloc[0]
            if (start is not None and date < start) or (end is not None and date > end):
                continue
            days.add(np.datetime64(date, "D"))
            frames.append(day[day["symbol"] == symbol])
        self.symbol = symbol
        self.days = sorted(days)
        rows = pd.concat(frames, ignore_index=True) if frames else None
        if rows is None or rows.empty:
            raise LookupError(f"the daily files hold no contract of {symbol}")
        rows["price"] = [leg_price(c, s, v) for c, s, v in
                         zip(rows["close"], rows["settle"], rows["volume"].fillna(0))]
        self.rows = rows
        self.by_day = {np.datetime64(day.date(), "D"): group
                       for day, group in rows.groupby("date")}

    def on(self, day: Any) -> Any:
        """The contracts of one day (an empty frame when the symbol has none that day)."""
        return self.by_day.get(np.datetime64(day, "D"), self.rows.iloc[:0])

    def expiries(self, day: Any) -> list[np.datetime64]:
        rows = self.on(day)
        return sorted(set(rows.loc[rows["side"] != FUTURE, "expiry"].values.astype("datetime64[D]")))

    def options(self, day: Any, expiry: Any) -> Any:
        rows = self.on(day)
        return rows[(rows["expiry"] == np.datetime64(expiry, "D")) & (rows["side"] != FUTURE)]

    def underlying(self, day: Any, expiry: Any) -> float:
        """The underlying's price on `day`: UDiFF's own; the older layout has none, and takes the
        forward of `expiry`: its future's price, else put-call parity at the strike where the
        call and the put are nearest in price, F = K + e^(rT)·(C − P)."""
        rows = self.on(day)
        given = rows["underlying"].dropna()
        if len(given):
            return float(given.mode().iloc[0])
        future = rows[(rows["side"] == FUTURE) & (rows["expiry"] == np.datetime64(expiry, "D"))]
        if len(future):
            return float(future["price"].iloc[0])
        legs = self.options(day, expiry)
        calls = legs[legs["side"] == CALL].set_index("strike")["price"]
        puts = legs[legs["side"] == PUT].set_index("strike")["price"]
        both = (calls - puts).dropna()
        if both.empty:
            return math.nan
        strike = float(both.abs().idxmin())
        years = (np.datetime64(expiry, "D") - np.datetime64(day, "D")).astype(int) / DAYS_PER_YEAR
        return strike + math.exp(DEFAULT_RATE * years) * float(both.loc[strike])
