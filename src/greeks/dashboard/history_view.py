"""The history store's part of the page: the last stored day's spot and at-the-money volatility,
capture by capture, and the IV rank and percentile at its last capture. The store is only read."""
from __future__ import annotations

import datetime as dt
import math
from typing import Any

from greeks.dashboard.message import numbers
from greeks.exchange.reading import INDIA


class StoredDay:
    """Reads a symbol's series from a store when its last capture has moved, not at every
    refresh: a day's captures come a minute or more apart."""

    def __init__(self, path: str, symbol: str):
        from greeks.history.history import History

        self.history = History(path)
        self.symbol = symbol
        self.last: dt.datetime | None = None
        self.part: dict[str, Any] | None = None

    def current(self) -> dict[str, Any]:
        last = self.history.last_capture(self.symbol)
        if last is None:
            return {"error": f"the store holds no capture of {self.symbol} yet"}
        if last != self.last:
            self.part, self.last = self.read(last), last
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
