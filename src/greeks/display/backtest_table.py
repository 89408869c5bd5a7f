"""A backtest as the command line prints it: the summary, then a row per trade."""
from __future__ import annotations

import math
from typing import Any

from greeks.display.text import aligned

TRADE_HEADER = ("entry", "exit", "expiry", "legs", "lot", "premium", "exit value", "gross",
                "costs", "P&L", "reason")


def rupees(value: float) -> str:
    return "" if value is None or (isinstance(value, float) and math.isnan(value)) \
        else f"{value:,.2f}"


def summary_lines(summary: dict[str, Any], skipped: int) -> list[str]:
    win = summary["win_rate"]
    return [f"trades {summary['trades']}  won {'' if win != win else f'{win:.0%}'}  "
            f"total {rupees(summary['total_pnl'])}  average {rupees(summary['average_pnl'])}",
            f"best {rupees(summary['best'])}  worst {rupees(summary['worst'])}  "
            f"max drawdown {rupees(summary['max_drawdown'])}  days held "
            f"{'' if summary['days_held'] != summary['days_held'] else f'{summary['days_held']:.1f}'}"
            + (f"  ({skipped} not made, each for a reason)" if skipped else "")]


def trades_table(trades: Any) -> list[str]:
    rows = [(f"{row.entry:%d-%b-%Y}", f"{row.exit:%d-%b-%Y}", f"{row.expiry:%d-%b-%Y}", row.legs,
             str(row.lot_size), rupees(row.entry_premium), rupees(row.exit_value),
             rupees(row.gross_pnl), rupees(row.costs), rupees(row.pnl), row.reason)
            for row in trades.itertuples()]
    return aligned(TRADE_HEADER, rows, left=("legs", "reason"))


SWEEP_HEADER = ("trades", "won", "total", "average", "worst", "max drawdown")


def sweep_table(rows: Any, varied: list[str]) -> list[str]:
    """A row per variant: the fields varied, then its summary."""
    lines = []
    for values in rows.to_dict("records"):
        win = values["win_rate"]
        lines.append([f"{values[name]:g}" if isinstance(values[name], float) else str(values[name])
                      for name in varied] +
                     [str(values["trades"]), "" if win != win else f"{win:.0%}",
                      rupees(values["total_pnl"]), rupees(values["average_pnl"]),
                      rupees(values["worst"]), rupees(values["max_drawdown"])])
    return aligned((*varied, *SWEEP_HEADER), lines)
