"""greeks watch: one option's Greeks every few seconds until Ctrl+C.

On the clock to the close (the default) each cycle prices the option from one fetch exactly as
`greeks chain` does, and prints the module's report block; with --clock days the module's own
``Kestrava.monitor_greeks`` runs, reading the chain through the "records" shape."""
from __future__ import annotations

import argparse
import datetime as dt
import math
import time
import warnings
from typing import Any

from greeks.chains.frame import chain_greeks
from greeks.cli.common import UsageError, open_source, pricing_of, refuse_fast_live, status
from greeks.cli.options import (add_alerts, add_clock, add_pricing, add_replay, alerts_of,
                                expiry_argument, interval_argument, side_argument,
                                strike_argument)
from greeks.display import report
from greeks.exchange.reading import ChainLegs, LegNotListed, MissingSpot, find_leg, read_chain
from greeks.exchange.sources import SourceError, fetch_chain
from greeks.exchange.vocabulary import RECORDS_EXPIRY_FORMAT
from greeks.market import CALL

SUMMARY = "watch one option's Greeks until Ctrl+C"
DESCRIPTION = ("Watch one option: fetch, compute and print its Greeks every few seconds until "
               "Ctrl+C.")


def check_option(chain: Any, symbol: str, strike: float, day: dt.date, side: str
                 ) -> tuple[ChainLegs, int]:
    """The chain's legs and the option's place among them; UsageError naming what the chain
    lists instead, MissingSpot when it carries no price of the underlying."""
    legs = read_chain(chain)
    if len(legs.strike) and legs.spot_source is None:
        raise MissingSpot()
    try:
        return legs, find_leg(legs, symbol, day, strike, side)
    except LegNotListed as error:
        raise UsageError(str(error)) from None


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("strike", metavar="STRIKE", type=strike_argument)
    parser.add_argument("expiry", metavar="EXPIRY", type=expiry_argument,
                        help="07-Aug-2025 in any letter case, or 2025-08-07")
    parser.add_argument("side", metavar="SIDE", nargs="?", default=CALL, type=side_argument,
                        help="CE (default), PE, call or put")
    parser.add_argument("--interval", type=interval_argument, default=5,
                        help="seconds between reports (default 5; at least 1 against the "
                             "exchange)")
    add_clock(parser, "whole days as Kestrava counts them (runs Kestrava.monitor_greeks)")
    add_pricing(parser)
    add_replay(parser)
    add_alerts(parser, ", ".join(ALERT_FIGURES))


# What an alert may follow: the leg's Greeks, its volatility (a fraction), price and the spot.
ALERT_FIGURES = ("delta", "gamma", "theta", "vega", "rho", "iv", "price", "spot")


def run(args: argparse.Namespace) -> int:
    refuse_fast_live(args, args.interval)
    args.alerts = alerts_of(args, ALERT_FIGURES)
    if args.alerts is not None and args.clock == "days":
        raise UsageError("--alert goes with --clock close: Kestrava's own watch prints its "
                         "report and nothing else")
    if args.clock == "days" and args.as_captured:
        raise UsageError("--as-captured goes with --clock close: Kestrava counts days from the "
                         "machine's own clock")
    chain = open_source(args)
    legs, leg = check_option(chain, args.symbol, args.strike, args.expiry, args.side)
    if not legs.column("iv_percent")[leg] > 0:
        status(f"the exchange publishes no volatility for {args.symbol} {args.strike:g} "
               f"{args.side}; the watch solves one from its last price each cycle")
    if args.clock == "days":
        return watch_with_kestrava(args)
    return watch_to_the_close(args)


def watch_with_kestrava(args: argparse.Namespace) -> int:
    from greeks.exchange.records_shape import use_records_shape
    from greeks.greeks import Kestrava

    use_records_shape()
    Kestrava(args.symbol).monitor_greeks(args.strike, args.expiry.strftime(RECORDS_EXPIRY_FORMAT),
                                         args.side, args.interval)
    return 0


def watch_to_the_close(args: argparse.Namespace) -> int:
    expiry_text = args.expiry.strftime(RECORDS_EXPIRY_FORMAT)
    for line in report.banner(args.symbol, args.strike, expiry_text, args.side):
        print(line, flush=True)
    try:
        while True:
            print(report.FETCHING, flush=True)
            for line in one_cycle(args):
                print(line, flush=True)
            time.sleep(args.interval)
    except KeyboardInterrupt:
        print(report.STOPPED, flush=True)
    return 0


def one_cycle(args: argparse.Namespace) -> list[str]:
    """The report block of one fetch, or the waiting line with the reason on standard error."""
    try:
        chain = fetch_chain(args.symbol)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # an expired chain: said below as no Greeks
            frame = chain_greeks(chain, expiry=args.expiry, pricing=pricing_of(args))
    except (SourceError, ValueError) as error:
        status(str(error))
        return [report.WAITING]
    leg = frame[(frame["strike"] == args.strike) & (frame["side"] == args.side)]
    if leg.empty:
        status(f"the chain no longer lists {args.symbol} {args.strike:g} {args.side}")
        return [report.WAITING]
    row = leg.iloc[0]
    if not math.isfinite(row["delta"]):
        status("no Greeks: " + ("the option has expired" if row["time_to_expiry"] <= 0 else
                                "no volatility, published or solved from the last price"))
        return [report.WAITING]
    if args.alerts is not None:
        args.alerts.check({**{name: float(row[name]) for name in ALERT_FIGURES[:5]},
                           "iv": float(row["iv"]), "price": float(row["last_price"]),
                           "spot": float(row["spot"])})
    return report.report(dt.datetime.now().strftime("%H:%M:%S"), row["spot"],
                         row["last_price"], row["iv"], row)
