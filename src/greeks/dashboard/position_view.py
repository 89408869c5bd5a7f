"""A position's part of the page: its legs and net line as the command line prints them, and its
P&L at expiry and at T+n against spot."""
from __future__ import annotations

from typing import Any

from greeks.dashboard.message import numbers
from greeks.display.position_table import CELLS, cell, payoff_summary
from greeks.display.text import SOLVED_NOTE
from greeks.positions.legs import Leg
from greeks.positions.payoff import payoff
from greeks.positions.valuation import mark

# What the page's alerts may follow: the position's net line, and the spot.
ALERT_FIGURES = ("value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")
# The spots the curves are drawn over: within 10 % of today's.
SPOT_RANGE = 0.1


def position_part(legs: list[Leg], symbol: str, chain: Any, options: dict[str, Any],
                  days: float) -> dict[str, Any]:
    """The legs of `legs` in `symbol`, priced from `chain` as ``greeks position`` prices them."""
    held = [leg for leg in legs if leg.symbol == symbol]
    marked = mark(held, {symbol: chain}, **options)
    frame = marked.frame
    curves = payoff(marked, days=days, spot_range=SPOT_RANGE)
    notes = [f"{index}: {row['note']}" for index, row in frame.iterrows() if row["note"]]
    if (frame["iv_source"] == "solved").any():
        notes.append(SOLVED_NOTE)
    return {
        "header": [name for name, _, _ in CELLS],
        "rows": [[cell(row, index, column, layout) for _, column, layout in CELLS]
                 for index, row in frame.iterrows()],
        "notes": notes,
        "summary": payoff_summary(curves, f"{min(leg.expiry for leg in held):%d-%b-%Y}"),
        "spots": numbers(curves.spots),
        "at_expiry": numbers(curves.at_expiry),
        "at_days": None if curves.at_days is None else numbers(curves.at_days),
        "days": days,
        "breakevens": curves.breakevens,
        # the net line's figures, for the page's alerts
        "net": {name: float(frame.loc["net", name]) for name in ALERT_FIGURES},
    }
