"""Backtests of option strategies over the exchange's daily F&O files: which contracts a strategy
holds on each date, what they were worth, what they cost, and what the trades made."""
from __future__ import annotations

import pathlib
from collections.abc import Iterable
from typing import Any

from greeks.backtests.results import Backtest
from greeks.backtests.strategy import Strategy, StrategyError

__all__ = ["Backtest", "Strategy", "StrategyError", "backtest"]


def daily_files(store: Any = None, files: Iterable[Any] = ()) -> list[pathlib.Path]:
    """The daily files of a store (those its backfill downloaded) and those named."""
    from greeks.history.bhavcopy import local_files

    named = [str(path) for path in files]
    if store is not None:
        cached = pathlib.Path(store) / "cache" / "bhavcopy"
        if not cached.is_dir() and not named:
            raise LookupError(f"{store} holds no daily files (backfill them into it first)")
        if cached.is_dir():
            named.append(str(cached))
    if not named:
        raise LookupError("no daily files: give a store or files")
    return local_files(named)


def cache_of(store: Any) -> pathlib.Path | None:
    return None if store is None else pathlib.Path(store) / "cache" / "backtests"


def backtest(strategy: Any, store: Any = None, start: Any = None, end: Any = None, *,
             files: Iterable[Any] = ()) -> Backtest:
    """Runs `strategy` (a Strategy, a mapping or a TOML file's path) over the daily F&O files of
    `store` and of `files`, between start and end (dates, inclusive)."""
    from greeks.backtests import strategy as strategies
    from greeks.backtests.costs import Charges
    from greeks.backtests.market import Market
    from greeks.backtests.runner import run_strategy

    if isinstance(strategy, (str, pathlib.Path)):
        strategy = strategies.read(strategy)
    elif not isinstance(strategy, Strategy):
        strategy = strategies.from_mapping(strategy)
    if strategy.time is not None:
        import datetime as dt

        from greeks.backtests.captures import CaptureMarket
        from greeks.history.history import History

        if store is None:
            raise LookupError("a backtest at a time of day runs over a store's captures: give "
                              "the store")
        market: Any = CaptureMarket(
            History(store), strategy.symbol, dt.time.fromisoformat(strategy.time), start, end,
            None if strategy.exit_time is None else dt.time.fromisoformat(strategy.exit_time))
    else:
        market = Market(strategy.symbol, daily_files(store, files), start, end, cache_of(store))
    return run_strategy(strategy, market, Charges(brokerage=strategy.brokerage,
                                                  enabled=strategy.costs))
