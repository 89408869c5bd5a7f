"""What a backtest made: its trades, the trades it could not make and why, the P&L by date with
its drawdown, and a summary."""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

TRADE_COLUMNS = ("entry", "exit", "expiry", "legs", "strikes", "entry_prices", "exit_prices",
                 "lots", "lot_size", "entry_premium", "exit_value", "gross_pnl", "costs", "pnl",
                 "reason", "days_held")


@dataclass
class Backtest:
    trades: Any    # pandas.DataFrame, a row per trade (TRADE_COLUMNS)
    skipped: Any   # pandas.DataFrame: entry, expiry, reason
    equity: Any    # pandas.DataFrame by exit date: pnl, cumulative, drawdown
    summary: dict[str, Any]


def summarise(rows: list[dict]) -> dict[str, Any]:
    """The summary of trades in the order of their exits (rows as the engine makes them)."""
    if not rows:
        return {"trades": 0, "win_rate": math.nan, "total_pnl": 0.0, "average_pnl": math.nan,
                "best": math.nan, "worst": math.nan, "max_drawdown": 0.0, "days_held": math.nan}
    ordered = sorted(rows, key=lambda row: (row["exit"], row["entry"]))
    pnl = [row["pnl"] for row in ordered]
    total, peak, drawdown = 0.0, 0.0, 0.0
    for value in pnl:
        total += value
        peak = max(peak, total)
        drawdown = min(drawdown, total - peak)
    return {"trades": len(pnl), "win_rate": sum(value > 0 for value in pnl) / len(pnl),
            "total_pnl": math.fsum(pnl), "average_pnl": math.fsum(pnl) / len(pnl),
            "best": max(pnl), "worst": min(pnl), "max_drawdown": drawdown,
            "days_held": sum(row["days_held"] for row in ordered) / len(pnl)}


def assemble(rows: list[dict], skipped: list[dict]) -> Backtest:
    import pandas as pd

    trades = pd.DataFrame(rows, columns=[*TRADE_COLUMNS])
    if len(trades):
        trades = trades.sort_values(["exit", "entry"], kind="stable").reset_index(drop=True)
        for name in ("entry", "exit", "expiry"):
            trades[name] = pd.to_datetime(trades[name])
    by_date = trades.groupby("exit")["pnl"].sum() if len(trades) else pd.Series(dtype=float)
    cumulative = by_date.cumsum()
    equity = pd.DataFrame({"pnl": by_date, "cumulative": cumulative,
                           "drawdown": cumulative - cumulative.cummax().clip(lower=0)})
    equity.index.name = "date"
    skips = pd.DataFrame(skipped, columns=["entry", "expiry", "reason"])
    return Backtest(trades=trades, skipped=skips, equity=equity, summary=summarise(rows))
