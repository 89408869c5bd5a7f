"""greeks serve: the live dashboard of one or more underlyings in the browser."""
from __future__ import annotations

import argparse
import os
from typing import Any

from greeks.cli.common import UsageError, install_source, pricing_of, status
from greeks.cli.position import read_position
from greeks.exchange.sources import SourceError


def checked_interval(args: argparse.Namespace) -> float:
    if args.replay is None and args.interval < 1:
        raise UsageError("--interval below 1 second is refused against the live exchange")
    return args.interval


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
        raise SourceError(str(error)) from None


def run(args: argparse.Namespace) -> int:
    try:
        from greeks.dashboard import app, server
        from greeks.dashboard.feed import Feed
        from greeks.dashboard.refresh import refresher
    except ImportError as error:
        raise SourceError(f"the dashboard needs {error.name}: pip install 'greeks[serve]'") \
            from None
    interval = checked_interval(args)
    legs = read_position(args.position) if args.position else []
    symbols = served_symbols(args, legs)
    install_source(args, symbols[0])
    days = stored_days(args, symbols)
    options = {"pricing": pricing_of(args)}
    feeds = {symbol: Feed(symbol, refresher(symbol, options, legs, args.at, days.get(symbol)),
                          interval, status)
             for symbol in symbols}
    try:
        sock = server.listen(args.host, args.port)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)
        raise SourceError(f"cannot listen on {args.host} port {args.port}: {reason}") from None
    port = sock.getsockname()[1]
    if not server.is_loopback(args.host):
        status(f"warning: --host {args.host} makes the page reachable from the network, "
               f"to anyone who can reach this machine; it has no login")
    hosts = ["*"] if not server.is_loopback(args.host) else \
        ["127.0.0.1", "localhost", "::1", "[::1]", args.host]
    print(f"Serving {', '.join(symbols)} every {interval:g} s at "
          f"{server.page_address(args.host, port)}  (Ctrl+C stops)", flush=True)
    server.run(app.create_app(feeds, hosts), sock)
    return 0


