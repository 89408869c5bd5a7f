"""The history store's part of the page: the last stored day's spot and at-the-money volatility,
capture by capture, and the IV rank and percentile at its last capture. The store is only read."""
from __future__ import annotations

import datetime as dt
import math
from typing import Any

from greeks.dashboard.message import numbers
from greeks.market import INDIA


class StoredDay:
    """Reads a symbol's series from a store when its files have changed, not at every refresh: a
    day's captures come a minute or more apart, and a query opens every file of the store. The
    files' names in the newest day's folder, with the number of days, tell a change."""

    def __init__(self, path: str, symbol: str):
        from greeks.history.history import History

        self.history = History(path)
        self.symbol = symbol
        self.seen: Any = None
        self.part: dict[str, Any] = {}

    def files_now(self) -> Any:
        days = self.history.store.partitions(self.symbol)
        if not days:
            return None
        newest = days[-1][2]
        return len(days), newest, sorted(path.name for path in newest.glob("*.parquet"))

    def current(self) -> dict[str, Any]:
        seen = self.files_now()
        if seen is None or seen != self.seen:
            last = self.history.last_capture(self.symbol) if seen is not None else None
            self.part = ({"error": f"the store holds no capture of {self.symbol} yet"}
                         if last is None else self.read(last))
            self.seen = seen
        return self.part

    def read(self, last: dt.datetime) -> dict[str, Any]:
        day = last.astimezone(INDIA).date()
        series = self.history.series(self.symbol, start=day, end=day)
        final = series.iloc[-1] if len(series) else None

        def figure(name: str) -> float | None:
            value = math.nan if final is None else float(final[name])
            return value if math.isfinite(value) else None

        return {
            "day": f"{day:%d-%b-%Y}",
            "times": [time.astimezone(INDIA).strftime("%H:%M") for time in series["time"]],
            "spot": numbers(series["spot"].to_numpy(dtype=float)),
            "atm_iv": numbers(series["atm_iv"].to_numpy(dtype=float) * 100),
            "iv_rank": figure("iv_rank"),
            "iv_percentile": figure("iv_percentile"),
        }
