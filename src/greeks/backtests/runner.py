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
        while True:
            try:
                if isinstance(expiry, Exception):
                    raise expiry
                trade = engine.run_trade(strategy, market, entry_day, expiry, charges)
            except engine.Skip as reason:
                skipped.append({"entry": entry_day, "expiry": None if isinstance(
                    expiry, Exception) else expiry, "reason": str(reason)})
                break
            rows.append(trade)
            # after a stop, the same trade again from the next trading day, while it runs
            following = market.index[trade["exit"]] + 1
            if not (strategy.reenter and trade["reason"] == "stop-loss" and
                    following < market.index[expiry]):
                break
            entry_day = market.days[following]
    return rows, skipped
