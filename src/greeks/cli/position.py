"""greeks position: a position file valued from one fetch of each underlying, its payoff, and a
watch that prints what changed."""
from __future__ import annotations

import argparse
import datetime as dt
import math
import time
import warnings
from typing import Any

from greeks.cli.common import (UsageError, install_source, pricing_of, read_position,
                               refuse_fast_live, status)
from greeks.cli.options import (add_alerts, add_clock, add_outputs, add_pricing, add_replay,
                                alerts_of, days_argument, interval_argument, range_argument,
                                shift_argument)
from greeks.cli.output import checked_plot_format, write_atomically
from greeks.display import report
from greeks.display.position_table import payoff_summary, position_table
from greeks.exchange.sources import SourceError, fetch_chain
from greeks.positions.legs import Leg, PositionError
from greeks.positions.payoff import payoff
from greeks.positions.valuation import Marked, mark

SUMMARY = "value a position: net Greeks in rupees, payoff, what-if"
DESCRIPTION = ("Value the legs of a position file (CSV or TOML) from one fetch of each "
               "underlying: per leg and net, then the payoff at expiry and, with --at, at T+n "
               "days.")
TAKES_SYMBOL = False

# The net figures the watch follows, with how it prints them.
WATCHED = (("value", "{:,.0f}"), ("pnl", "{:,.0f}"), ("delta_rupees", "{:,.0f}"),
           ("theta", "{:,.0f}"), ("vega", "{:,.0f}"))
WATCHED_NAMES = {"value": "value", "pnl": "P&L", "delta_rupees": "delta/1%", "theta": "theta/day",
                 "vega": "vega/pt"}


def fetch_chains(symbols: list[str]) -> dict[str, Any]:
    return {symbol: fetch_chain(symbol) for symbol in symbols}


def marked_position(legs: list[Leg], chains: dict[str, Any], args: argparse.Namespace) -> Marked:
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            marked = mark(legs, chains, pricing_of(args))
    except PositionError as error:
        raise UsageError(str(error)) from None
    for warning in caught:
        status(str(warning.message))
    return marked


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="the position: .csv or .toml")
    parser.add_argument("--at", type=days_argument, metavar="DAYS",
                        help="also the P&L this many days ahead")
    parser.add_argument("--iv-shift", type=shift_argument, default=0.0, metavar="POINTS",
                        help="with --at: every volatility shifted by this many points")
    parser.add_argument("--spot-range", type=range_argument, default=10.0, metavar="PCT",
                        help="spots within this percentage of today's (default 10)")
    add_outputs(parser, "write the legs and net line to CSV",
                "draw the P&L at expiry and at T+n against spot")
    parser.add_argument("--watch", action="store_true",
                        help="refresh until Ctrl+C, printing what changed")
    parser.add_argument("--interval", type=interval_argument, default=5,
                        help="with --watch: seconds between refreshes (default 5)")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)
    add_replay(parser)
    add_alerts(parser, ", ".join(ALERT_FIGURES) + " (the net line's, in rupees)")


# What an alert may follow: the net line's figures.
ALERT_FIGURES = ("value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")


def run(args: argparse.Namespace) -> int:
    args.alerts = alerts_of(args, ALERT_FIGURES)
    if args.alerts is not None and not args.watch:
        raise UsageError("--alert goes with --watch")
    legs = read_position(args.file)
    symbols = list(dict.fromkeys(leg.symbol for leg in legs))
    if args.replay is not None and len(symbols) > 1:
        raise UsageError(f"--replay serves one underlying; {args.file} holds "
                         f"{', '.join(symbols)}")
    if args.watch:
        refuse_fast_live(args, args.interval)
    plot_format = checked_plot_format(args.plot) if args.plot else None
    if args.plot and len(symbols) > 1:
        raise UsageError(f"--plot draws one underlying; {args.file} holds {', '.join(symbols)}")
    install_source(args, symbols[0])
    marked = marked_position(legs, fetch_chains(symbols), args)
    print_position(args, marked)
    curves = payoff_of(args, marked) if len(symbols) == 1 else None
    if curves is not None:
        nearest = f"{min(leg.expiry for leg in legs):%d-%b-%Y}"
        for line in payoff_summary(curves, nearest):
            print(line)
    if args.csv:
        written = write_atomically(args.csv, lambda path: marked.frame.to_csv(path,
                                                                             index_label="leg"))
        status(f"wrote {len(legs)} legs and the net line to {written}")
    if args.plot and curves is not None:
        from greeks.display.payoff_plot import draw_payoff

        written = write_atomically(args.plot, lambda path: draw_payoff(
            curves, path, plot_title(args, marked), plot_format))
        status(f"drew the payoff into {written}")
    if args.watch:
        watch(args, legs, symbols, marked)
    return 0


def payoff_of(args: argparse.Namespace, marked: Marked) -> Any:
    try:
        return payoff(marked, days=args.at, iv_shift=args.iv_shift,
                      spot_range=args.spot_range / 100.0)
    except ValueError as error:
        raise UsageError(str(error)) from None


def print_position(args: argparse.Namespace, marked: Marked) -> None:
    spots = ", ".join(f"{symbol} {spot:.2f}" for symbol, spot in marked.spots.items())
    print(f"{args.file}  priced {marked.now:%d-%b-%Y %H:%M:%S %Z}  spot {spots}  "
          f"{marked.pricing.describe()}  clock {args.clock}")
    print(position_table(marked.frame))


def plot_title(args: argparse.Namespace, marked: Marked) -> str:
    net = marked.frame.loc["net"]
    figures = "  ".join(f"{WATCHED_NAMES[name]} {layout.format(net[name])}"
                        for name, layout in WATCHED if name != "value" and
                        math.isfinite(net[name]))
    return f"{args.file}, {marked.now:%d-%b-%Y %H:%M}\n{figures}"


def changes(before: dict[str, float], after: dict[str, float]) -> list[str]:
    """The figures that moved, each with its move."""
    moved = []
    for name, layout in WATCHED:
        old, new = before.get(name, math.nan), after[name]
        if old != new and not (math.isnan(old) and math.isnan(new)):
            step = "" if math.isnan(old) or math.isnan(new) else \
                f" ({'+' if new >= old else ''}{layout.format(new - old)})"
            moved.append(f"{WATCHED_NAMES[name]} {layout.format(new)}{step}")
    return moved


def net_figures(marked: Marked) -> dict[str, float]:
    net = marked.frame.loc["net"]
    return {name: float(net[name]) for name, _ in WATCHED} | \
        {f"spot {symbol}": spot for symbol, spot in marked.spots.items()}


def alert(args: argparse.Namespace, marked: Marked) -> None:
    if args.alerts is not None:
        net = marked.frame.loc["net"]
        args.alerts.check({name: float(net[name]) for name in ALERT_FIGURES})


def watch(args: argparse.Namespace, legs: list[Leg], symbols: list[str], marked: Marked) -> None:
    """One fetch per underlying per cycle until Ctrl+C; each cycle a line of what changed."""
    previous = net_figures(marked)
    print(f"\nWatching {len(legs)} legs every {args.interval} s; Ctrl+C to stop", flush=True)
    alert(args, marked)
    try:
        while True:
            time.sleep(args.interval)
            try:
                marked = marked_position(legs, fetch_chains(symbols), args)
                current = net_figures(marked)
            except (SourceError, ValueError) as error:
                status(str(error))
                continue
            alert(args, marked)
            spots = [f"{key[5:]} {value:.2f}" for key, value in current.items()
                     if key.startswith("spot ") and value != previous.get(key)]
            moved = spots + changes(previous, current)
            print(f"{dt.datetime.now():%H:%M:%S}  " + ("  ".join(moved) or "no change"),
                  flush=True)
            previous = current
    except KeyboardInterrupt:
        print(report.STOPPED, flush=True)
