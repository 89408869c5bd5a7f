"""One strategy over one market: each trade it makes, or why it makes none."""
from __future__ import annotations

from greeks.backtests import engine, results
from greeks.backtests.costs import Charges
from greeks.backtests.market import Market
from greeks.backtests.strategy import Strategy


def run_strategy(strategy: Strategy, market: Market, charges: Charges) -> results.Backtest:
    return results.assemble(*trades_of(strategy, market, charges))


def trades_of(strategy: Strategy, market: Market, charges: Charges
              ) -> tuple[list[dict], list[dict]]:
    """The trades made, and those not made with why."""
    rows, skipped = [], []
    for entry_day, expiry in engine.entries(strategy, market):
        try:
            if isinstance(expiry, Exception):
                raise expiry
            rows.append(engine.run_trade(strategy, market, entry_day, expiry, charges))
        except engine.Skip as reason:
            skipped.append({"entry": entry_day, "expiry": None if isinstance(expiry, Exception)
                            else expiry, "reason": str(reason)})
    return rows, skipped
