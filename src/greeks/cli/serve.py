"""greeks serve: the live dashboard of one or more underlyings in the browser."""
from __future__ import annotations

import argparse
import os
from typing import Any

from greeks.cli.common import (CommandFailed, UsageError, install_source, pricing_of,
                               read_position, refuse_fast_live, status)
from greeks.cli.options import (add_alerts, add_clock, add_pricing, add_replay, alerts_of,
                                days_argument, port_argument, seconds_argument)

SUMMARY = "a live dashboard of chains in the browser"
DESCRIPTION = ("Serve a page that shows each underlying's chain, Greeks, smile, open interest, "
               "put-call ratio and max pain, refreshed every interval with one fetch per "
               "underlying for every open page; with --position its payoff and net Greeks, with "
               "--store the day's series.")
TAKES_SYMBOL = False


def served_symbols(args: argparse.Namespace, legs: list[Any]) -> list[str]:
    """The symbols asked for, then any other underlying the position holds."""
    symbols = list(dict.fromkeys(symbol.upper() for symbol in args.symbols))
    extra = [symbol for symbol in dict.fromkeys(leg.symbol for leg in legs)
             if symbol not in symbols]
    if extra:
        status(f"also serving {', '.join(extra)}, which {args.position} holds")
    symbols += extra
    if args.replay is not None and len(symbols) > 1:
        raise UsageError(f"--replay serves one underlying, not {', '.join(symbols)}")
    return symbols


def stored_days(args: argparse.Namespace, symbols: list[str]) -> dict[str, Any]:
    if args.store is None:
        return {}
    if not os.path.isdir(args.store):
        raise UsageError(f"{args.store} is not a folder: give a history store made by "
                         f"`greeks record --store` or `greeks backfill`")
    try:
        from greeks.dashboard.history_view import StoredDay

        return {symbol: StoredDay(args.store, symbol) for symbol in symbols}
    except ImportError as error:
        raise CommandFailed(str(error)) from None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("symbols", metavar="SYMBOL", nargs="+", help="underlyings")
    parser.add_argument("--interval", type=seconds_argument, default=5,
                        help="seconds between refreshes (default 5; at least 1 against the "
                             "exchange)")
    parser.add_argument("--position", metavar="FILE", help="a position file (.csv or .toml)")
    parser.add_argument("--at", type=days_argument, default=0.0, metavar="DAYS",
                        help="with --position: the second payoff curve this many days ahead "
                             "(default 0: today)")
    parser.add_argument("--store", metavar="DIR", help="a history store to show the day from")
    parser.add_argument("--port", type=port_argument, default=8050,
                        help="port to listen on (default 8050; 0 picks a free one)")
    parser.add_argument("--backtest", metavar="STRATEGY.toml",
                        help="also serve this strategy's backtest over the store's daily files "
                             "at /backtest (with --store)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)
    add_replay(parser)
    add_alerts(parser, ", ".join(ALERT_FIGURES) + " (with --position, the net line's)")


# What the page's alerts may follow: the spot, and the position's net line.
ALERT_FIGURES = ("spot", "value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")


def run(args: argparse.Namespace) -> int:
    try:
        from greeks.dashboard import app, server
        from greeks.dashboard.feed import Feed
        from greeks.dashboard.refresh import refresher
    except ImportError as error:
        raise CommandFailed(f"the dashboard needs {error.name}: pip install 'greeks[serve]'") \
            from None
    refuse_fast_live(args, args.interval)
    checked = alerts_of(args, ALERT_FIGURES)
    interval = args.interval
    legs = read_position(args.position) if args.position else []
    symbols = served_symbols(args, legs)
    install_source(args, symbols[0])
    days = stored_days(args, symbols)
    backtest_page = backtest_of(args)
    options = {"pricing": pricing_of(args)}
    feeds = {symbol: Feed(symbol, refresher(symbol, options, legs, args.at, days.get(symbol),
                                            alerts_for(checked, symbol)), interval, status)
             for symbol in symbols}
    try:
        sock = server.listen(args.host, args.port)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)
        raise CommandFailed(f"cannot listen on {args.host} port {args.port}: {reason}") from None
    port = sock.getsockname()[1]
    if not server.is_loopback(args.host):
        status(f"warning: --host {args.host} makes the page reachable from the network, "
               f"to anyone who can reach this machine; it has no login")
    hosts = ["*"] if not server.is_loopback(args.host) else \
        ["127.0.0.1", "localhost", "::1", "[::1]", args.host]
    print(f"Serving {', '.join(symbols)} every {interval:g} s at "
          f"{server.page_address(args.host, port)}  (Ctrl+C stops)", flush=True)
    server.run(app.create_app(feeds, hosts, backtest_page), sock)
    return 0


def alerts_for(checked: Any, symbol: str) -> Any:
    """The page's alerts of one underlying, with a state of their own, said with its name."""
    return None if checked is None else checked.anew(lambda line: status(f"{symbol} {line}"))


def backtest_of(args: argparse.Namespace) -> str | None:
    """The page of the --backtest strategy over the store's daily files, or None."""
    if args.backtest is None:
        return None
    if args.store is None:
        raise UsageError("--backtest runs over a store's daily files: give --store")
    from greeks.backtests import backtest
    from greeks.backtests.strategy import StrategyError, read
    from greeks.dashboard.backtest_view import backtest_page
    from greeks.history.bhavcopy import BhavcopyError

    try:
        strategy = read(args.backtest)
        result = backtest(strategy, args.store)
    except StrategyError as error:
        raise UsageError(str(error)) from None
    except (LookupError, BhavcopyError) as error:
        raise CommandFailed(str(error).strip("'\"")) from None
    status(f"backtest {strategy.name or strategy.symbol}: {result.summary['trades']} trades, "
           f"served at /backtest")
    return backtest_page(result, f"{strategy.name or 'backtest'}: {strategy.symbol}")


