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


def read_files(symbol: str, paths: Iterable[pathlib.Path]) -> tuple[Any, list[np.datetime64]]:
    """The contracts of `symbol` in the files, and every file's trade date; a damaged file is
    skipped with a warning naming it."""
    import pandas as pd

    frames, days = [], []
    for path in paths:
        try:
            contracts, day = read_day(path, symbol)
        except BhavcopyError as error:
            warnings.warn(f"{error}; that day is skipped", stacklevel=4)
            continue
        days.append(day)
        frames.append(contracts)
    rows = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame()
    return rows, sorted(set(days))


def price_table(rows: Any) -> dict[tuple, float]:
    """(day, expiry, side, strike) → price, for the walk from entry to exit."""
    return dict(zip(zip(rows["date"].values.astype("datetime64[D]"),
                        rows["expiry"].values.astype("datetime64[D]"),
                        rows["side"], rows["strike"]), rows["price"]))


class Market:
    """The contracts of `symbol` in the daily files, between start and end (dates, inclusive).
    `cache`, a folder, keeps what the files held for the symbol (Parquet, keyed by the files'
    names, sizes and times), so that the next backtest over the same files reads one file."""

    def __init__(self, symbol: str, paths: Iterable[pathlib.Path], start: Any = None,
                 end: Any = None, cache: pathlib.Path | None = None):
        from greeks.backtests.cache import cached

        rows, days = cached(symbol, list(paths), cache, read_files)
        start = None if start is None else np.datetime64(start, "D")
        end = None if end is None else np.datetime64(end, "D")
        days = [day for day in days if (start is None or day >= start) and
                (end is None or day <= end)]
        if len(rows):
            dates = rows["date"].values.astype("datetime64[D]")
            rows = rows[np.isin(dates, np.array(days, dtype="datetime64[D]"))]
        if rows.empty:
            raise LookupError(f"the daily files hold no contract of {symbol}")
        rows = rows.reset_index(drop=True)
        for name in ("symbol", "side"):  # a few texts, compared row by row: plain objects
            rows[name] = rows[name].to_numpy(dtype=object)
        volume = rows["volume"].fillna(0).to_numpy()
        close, settle = rows["close"].to_numpy(), rows["settle"].to_numpy()
        rows["price"] = np.where((volume > 0) & (close > 0), close, settle)
        self.index_rows(symbol, rows, days)

    def index_rows(self, symbol: str, rows: Any, days: list[np.datetime64]) -> None:
        """Keeps the rows (with their price) and the lookups the engine makes in them."""
        self.symbol = symbol
        self.days = days
        self.index = {day: at for at, day in enumerate(days)}
        self.entered: dict[Any, Any] = {}  # the engine's fills on entry, by rule and day
        self.final: dict[Any, float] = {}  # the underlying's price by day and expiry
        self.rows = rows
        dates = rows["date"].values.astype("datetime64[D]")
        self.by_day = {day: rows[dates == day] for day in np.unique(dates)}
        option = rows["side"].to_numpy() != FUTURE
        pairs = np.unique(np.stack([dates[option].astype(np.int64),
                                    rows["expiry"].values.astype("datetime64[D]")[option]
                                    .astype(np.int64)], axis=1), axis=0)
        self.listed: dict[np.datetime64, list[np.datetime64]] = {}
        for day, expiry in pairs:  # in order of day, then expiry
            self.listed.setdefault(np.datetime64(int(day), "D"), []).append(
                np.datetime64(int(expiry), "D"))
        self.prices = price_table(rows)

    def price(self, day: Any, expiry: Any, side: str, strike: float) -> float:
        return float(self.prices.get((day, expiry, side, strike), math.nan))

    def leaving_price(self, day: Any, expiry: Any, side: str, strike: float) -> float:
        """The price a planned exit takes: a daily file has one a day."""
        return self.price(day, expiry, side, strike)

    def on(self, day: Any) -> Any:
        """The contracts of one day (an empty frame when the symbol has none that day)."""
        return self.by_day.get(np.datetime64(day, "D"), self.rows.iloc[:0])

    def expiries(self, day: Any) -> list[np.datetime64]:
        """The option expiries listed on `day`, in order."""
        return self.listed.get(np.datetime64(day, "D"), [])

    def options(self, day: Any, expiry: Any) -> Any:
        """The options of one expiry listed on one day."""
        rows = self.on(day)
        return rows[(rows["expiry"] == np.datetime64(expiry, "D")) & (rows["side"] != FUTURE)]

    def underlying(self, day: Any, expiry: Any) -> float:
        key = (np.datetime64(day, "D"), np.datetime64(expiry, "D"))
        if key not in self.final:
            self.final[key] = self.underlying_price(day, expiry)
        return self.final[key]

    def underlying_price(self, day: Any, expiry: Any) -> float:
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
