"""One refresh of one underlying: fetch its chain once and build everything the page shows of it.
A position or a store that cannot be read this time says why in its own part; the chain's part
still arrives."""
from __future__ import annotations

import math

import threading
from collections.abc import Callable
from typing import Any

from greeks.dashboard.history_view import StoredDay
from greeks.dashboard.message import chain_part
from greeks.dashboard.position_view import position_part
from greeks.exchange.sources import fetch_chain, short_reason
from greeks.positions.legs import Leg

# One fetch at a time, whatever the number of symbols: nsepython's session is one, shared, and the
# exchange answers a burst of requests from one address with refusals.
FETCHING = threading.Lock()


def refresher(symbol: str, options: dict[str, Any], legs: list[Leg], days: float,
              stored: StoredDay | None, alerts: Any = None) -> Callable[[], dict[str, Any]]:
    """The refresh of `symbol`: `options` as for chain_greeks; the legs of `legs` in `symbol`
    valued with their payoff at T+`days`; the store's day when `stored` is given; `alerts`
    (greeks.alerts.Alerts over the spot and the position's net figures) checked each time, those
    holding listed in the message."""
    held = [leg for leg in legs if leg.symbol == symbol]

    def refresh() -> dict[str, Any]:
        with FETCHING:
            chain = fetch_chain(symbol)
        data = chain_part(chain, options)
        data["position"] = part_or_reason(lambda: position_part(held, symbol, chain, options,
                                                                days)) if held else None
        data["history"] = part_or_reason(stored.current) if stored is not None else None
        if alerts is not None:
            position = data["position"] or {}
            figures = {"spot": float(data["spot"]) if data.get("spot") is not None else math.nan,
                       **position.get("net", {})}
            alerts.check(figures)
            data["alerts"] = [f"{alert.text} ({alert.name} {figures[alert.name]:,.6g})"
                              for alert in alerts.alerts if alert.holds(figures)]
        return data

    return refresh


def part_or_reason(build: Callable[[], dict[str, Any] | None]) -> dict[str, Any] | None:
    try:
        return build()
    except Exception as error:  # one part's failure leaves the others on the page
        return {"error": str(error) if isinstance(error, ValueError) else short_reason(error)}
