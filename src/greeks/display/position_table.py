"""A marked position as the command line prints it: one aligned line per leg, the net line, then
what the payoff says."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from greeks.display.text import SOLVED_MARK, SOLVED_NOTE, aligned

if TYPE_CHECKING:
    import pandas

    from greeks.positions.payoff import Payoff

# (heading, column, format) of each cell; money in rupees
CELLS = (
    ("#", None, "{}"),
    ("symbol", "symbol", "{}"),
    ("expiry", "expiry", "{:%d-%b-%Y}"),
    ("strike", "strike", "{:g}"),
    ("side", "side", "{}"),
    ("qty", "quantity", "{:g}"),
    ("entry", "entry_price", "{:.2f}"),
    ("price", "price", "{:.2f}"),
    ("iv%", "iv", "{:.2f}"),
    ("value", "value", "{:,.0f}"),
    ("P&L", "pnl", "{:,.0f}"),
    ("delta", "delta", "{:,.2f}"),
    ("delta/1%", "delta_rupees", "{:,.0f}"),
    ("gamma", "gamma", "{:.4f}"),
    ("theta/day", "theta", "{:,.0f}"),
    ("vega/pt", "vega", "{:,.0f}"),
)
# Shown where a leg was given in lots: its lot size and its Greeks per lot.
PER_LOT_CELLS = (
    ("lot", "lot_size", "{:g}"),
    ("delta/lot", "delta_per_lot", "{:,.2f}"),
    ("theta/lot", "theta_per_lot", "{:,.0f}"),
    ("vega/lot", "vega_per_lot", "{:,.0f}"),
)
# What a net figure shows when legs lack it.
MISSING = "-"


# The columns the net line sums; the others are blank there.
NET_COLUMNS = {"value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega"}
# Columns a leg may leave empty without anything missing (a future's strike, no entry).
OPTIONAL = {"strike", "entry_price", *(column for _, column, _ in PER_LOT_CELLS)}


def cell(row: Any, index: Any, column: str | None, layout: str) -> str:
    if column is None:
        return str(index)
    if index == "net" and column not in NET_COLUMNS:
        return ""
    value = row[column]
    if value is None or value != value:  # None, NaN or NaT
        return "" if column in OPTIONAL else MISSING
    text = layout.format(value * 100 if column == "iv" else value)
    if text.startswith("-") and not text.strip("-0.,"):
        text = text[1:]  # a tiny negative rounds to 0, not -0
    return text + (SOLVED_MARK if column == "iv" and row["iv_source"] == "solved" else "")


def position_table(frame: pandas.DataFrame) -> str:
    """The legs and the net line, aligned; notes follow, one line each."""
    cells = CELLS + (PER_LOT_CELLS if frame["lot_size"].notna().any() else ())
    rows = [[cell(row, index, column, layout) for _, column, layout in cells]
            for index, row in frame.iterrows()]
    lines = aligned([name for name, _, _ in cells], rows, left={"symbol", "side", "expiry"})
    for index, row in frame.iterrows():
        if row["note"]:
            lines.append(f"  {index}: {row['note']}")
    if (frame["iv_source"] == "solved").any():
        lines.append(f"  {SOLVED_NOTE}")
    return "\n".join(lines)


def money(value: float) -> str:
    if math.isinf(value):
        return "unbounded"
    return f"{value:,.0f}"


def payoff_summary(result: Payoff, nearest_expiry: str) -> list[str]:
    """What the payoff at expiry (and at T+n) says, a line each."""
    evens = ", ".join(f"{point:,.2f}" for point in result.breakevens) or "none"
    lines = [f"at expiry: breakevens {evens}; max profit {money(result.max_profit)}; "
             f"max loss {money(result.max_loss)}"]
    if math.isfinite(result.probability_of_profit):
        lines.append(f"probability of profit {result.probability_of_profit * 100:.1f} % "
                     f"(lognormal to {nearest_expiry}, volatility "
                     f"{result.pop_volatility * 100:.2f} %)")
    if result.at_days is not None:
        middle = len(result.spots) // 2
        shift = f", volatility {result.iv_shift:+g} points" if result.iv_shift else ""
        lines.append(f"at T+{result.days:g} days{shift}: P&L {money(result.at_days[middle])} at "
                     f"the spot, {money(result.at_days.min())} to "
                     f"{money(result.at_days.max())} over "
                     f"{result.spots[0]:,.0f}-{result.spots[-1]:,.0f}")
    return lines
