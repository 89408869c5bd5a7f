"""The command line's table of one expiry: calls on the left, puts on the right, a row per strike,
the strike nearest the spot marked."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING

from greeks.arrays import GREEK_NAMES
from greeks.display.text import NEAREST_MARK, SOLVED_MARK, aligned, column_widths
from greeks.market import CALL, PUT

if TYPE_CHECKING:
    import pandas

# How each Greek the table shows is printed; rho is not shown.
GREEK_LAYOUTS = {"delta": "{:.4f}", "gamma": "{:.6f}", "theta": "{:.2f}", "vega": "{:.2f}"}
# (heading, column of chain_greeks, format) of each side's cells
CELLS = (
    ("last", "last_price", "{:.2f}"),
    ("iv%", "iv", "{:.2f}"),
    *((name, name, GREEK_LAYOUTS[name]) for name in GREEK_NAMES if name in GREEK_LAYOUTS),
)


def column_texts(values: list[float], column: str, layout: str, solved: list[bool]) -> list[str]:
    """A column of legs' numbers as the table shows them (`solved`: whether each leg's volatility
    was solved); the page's table shows the same texts."""
    if column == "iv":
        return [layout.format(value * 100) + (SOLVED_MARK if was_solved else "")
                if math.isfinite(value) else "-" for value, was_solved in zip(values, solved)]
    return [layout.format(value) if math.isfinite(value) else "-" for value in values]


def cell(leg: pandas.Series | None, column: str, layout: str) -> str:
    if leg is None:
        return ""
    return column_texts([leg[column]], column, layout, [leg["iv_source"] == "solved"])[0]


def strikes_around(strikes: list[float], spot: float, around: int) -> tuple[list[float], float]:
    """The `around` strikes each side of the one nearest the spot, and that one."""
    nearest = min(strikes, key=lambda strike: abs(strike - spot))
    at = strikes.index(nearest)
    return strikes[max(0, at - around):at + around + 1], nearest


def format_strike(strike: float) -> str:
    return f"{strike:g}" if strike == int(strike) else f"{strike:.2f}"


def expiry_table(frame: pandas.DataFrame, around: int) -> tuple[str, bool]:
    """The legs of one expiry as aligned text, and whether a solved volatility is shown (marked);
    `frame` holds that expiry's rows only."""
    spot = float(frame["spot"].iloc[0])
    strikes = sorted(set(frame["strike"]))
    shown, nearest = strikes_around(strikes, spot, around)
    legs = {(leg["strike"], leg["side"]): leg for _, leg in frame.iterrows()
            if leg["strike"] in shown}
    headings = [name for name, _, _ in CELLS]
    rows = []
    for strike in shown:
        call, put = legs.get((strike, CALL)), legs.get((strike, PUT))
        mark = NEAREST_MARK if strike == nearest else ""
        rows.append([cell(call, column, layout) for _, column, layout in reversed(CELLS)]
                    + [mark + format_strike(strike)]
                    + [cell(put, column, layout) for _, column, layout in CELLS])
    header = list(reversed(headings)) + ["strike"] + headings
    widths = column_widths(header, rows)
    call_width = sum(widths[:len(CELLS)]) + 2 * (len(CELLS) - 1)
    lines = ["CALLS".center(call_width) + "  " + " " * widths[len(CELLS)] + "  " + "PUTS",
             *aligned(header, rows)]
    marked = any(text.endswith(SOLVED_MARK) for row in rows for text in row)
    return "\n".join(line.rstrip() for line in lines), marked


def smile_table(curve: pandas.DataFrame, around: int) -> str:
    """One expiry's smile (greeks.smile) as aligned text: the `around` strikes each side of the
    one nearest the forward, marked."""
    forward = float(curve["forward"].iloc[0])
    strikes = curve["strike"].tolist()
    shown, nearest = strikes_around(strikes, forward, around)
    header = ["strike", "ln(K/F)", "iv%", "side"]
    rows = [[(NEAREST_MARK if leg.strike == nearest else "") + format_strike(leg.strike),
             f"{leg.log_moneyness:+.4f}", f"{leg.iv * 100:.2f}", leg.side]
            for leg in curve.itertuples() if leg.strike in shown]
    return "\n".join(aligned(header, rows))
