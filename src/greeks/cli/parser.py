"""The command line's parser: every subcommand, its arguments and their checks. Only the standard
library and the market's rules are imported here; each subcommand's module is imported when it
runs."""
from __future__ import annotations

import argparse
import math

from greeks.market import CALL, CLOSE, DEFAULT_RATE, EXCHANGE_RATE, OPEN
from typing import Any

# The longest pause between two reports: a day.
MAX_INTERVAL = 86_400
REPLAY_HELP = ("serve this recorded chain (JSON as the exchange or nsepython gives it, or "
               "STORE@TIME: a history store's capture at that IST time) instead of the exchange, "
               "moved forward by whole weeks to lie ahead of today as it did")
# Where the exchange publishes its daily F&O files.
ARCHIVE_URL = "https://nsearchives.nseindia.com/content/fo"
AS_CAPTURED_HELP = "with --replay: price the recording at its own capture time, unmoved"


# ---- argument types

def expiry_argument(text: str) -> Any:
    from greeks.market import expiry_day

    try:
        return expiry_day(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an expiry such as 07-Aug-2025 or 2025-08-07") from None


def side_argument(text: str) -> str:
    try:
        from greeks.market import OPTION_SIDES

        return OPTION_SIDES[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a side: CE, PE, call or put") from None


def number_argument(convert: Any, accept: Any, wanted: str) -> Any:
    """An argparse type: `convert(text)`, refused unless `accept` holds for the number."""

    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except (ValueError, OverflowError):
            value = None
        if value is None or not accept(value):
            raise argparse.ArgumentTypeError(f"{text!r} is not {wanted}")
        return value

    return parse


def fraction_argument(name: str) -> Any:
    """An argparse type for an annual fraction (a rate, a dividend yield): refused when it is not
    a finite number or looks like a percentage."""
    as_number = number_argument(float, math.isfinite, f"a {name.replace('_', ' ')} such as {DEFAULT_RATE:g}")

    def parse(text: str) -> float:
        from greeks.units import implausible

        value = as_number(text)
        reason = implausible(name, value)
        if reason is not None:
            raise argparse.ArgumentTypeError(reason)
        return value

    return parse


strike_argument = number_argument(float, lambda x: math.isfinite(x) and x > 0, "a strike price")
count_argument = number_argument(int, lambda n: n >= 0, "a whole number of 0 or more")
interval_argument = number_argument(int, lambda n: 0 <= n <= MAX_INTERVAL,
                                    f"a whole number of seconds from 0 to {MAX_INTERVAL}")
days_argument = number_argument(float, lambda x: 0 <= x <= 3650, "a number of days from 0 to 3650")
shift_argument = number_argument(float, lambda x: -100 < x < 500,
                                 "a volatility shift in points, such as 2 or -1.5")
seconds_argument = number_argument(float, lambda x: 0 <= x <= MAX_INTERVAL,
                                   f"a number of seconds from 0 to {MAX_INTERVAL}")
port_argument = number_argument(int, lambda n: 0 <= n <= 65535, "a port from 0 to 65535")
range_argument = number_argument(float, lambda x: 0 < x < 100, "a percentage between 0 and 100")


# ---- the parser

def add_command(commands: Any, name: str, summary: str, description: str,
                symbol: bool = True) -> argparse.ArgumentParser:
    """A subcommand, run by greeks.cli.NAME.run, taking the underlying's symbol first."""
    parser = commands.add_parser(name, help=summary, description=description)
    if symbol:
        parser.add_argument("symbol", metavar="SYMBOL", help="underlying, such as NIFTY")
    return parser


def add_replay(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--replay", metavar="FILE", help=REPLAY_HELP)
    parser.add_argument("--as-captured", action="store_true", help=AS_CAPTURED_HELP)


def add_clock(parser: argparse.ArgumentParser, days_help: str) -> None:
    parser.add_argument("--clock", choices=("close", "days"), default="close",
                        help=f"time to the {CLOSE:%H:%M} IST close on expiry day (default), or " + days_help)


def add_pricing(parser: argparse.ArgumentParser) -> None:
    """The pricing choices of chain_greeks; those left out take the model's defaults."""
    parser.add_argument("--model", choices=("forward", "spot", "exchange"), default="forward",
                        help="forward: Black-76 on each expiry's forward from put-call parity "
                             "(default); spot: Black-Scholes on the spot; exchange: the "
                             "exchange's convention (the spot at 10 %%)")
    parser.add_argument("--iv", choices=("exchange", "fill", "solve"),
                        help="solved for every leg (default under forward); the exchange's, "
                             "solved where it is 0 or missing (default otherwise); or the "
                             "exchange's only")
    parser.add_argument("--price", choices=("auto", "last", "mid"),
                        help="the price volatilities are solved from: a narrow quote's mid, "
                             "else a traded last price (auto, default under forward); or the "
                             "last price (default otherwise) or the mid alone")
    parser.add_argument("--rate", type=fraction_argument("rate"),
                        help=f"risk-free rate as a fraction (default {DEFAULT_RATE:g}; "
                             f"{EXCHANGE_RATE:g} under exchange)")
    parser.add_argument("--dividend-yield", type=fraction_argument("dividend_yield"),
                        default=0.0, help="continuous dividend yield as a fraction (default 0)")


def build_parser() -> argparse.ArgumentParser:
    from greeks import __version__

    parser = argparse.ArgumentParser(
        prog="greeks", description="Black-Scholes Greeks of NSE options, from the exchange or "
                                   "from a recorded option chain.")
    parser.add_argument("--version", action="version", version=f"greeks {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    watch = add_command(
        commands, "watch", "watch one option's Greeks until Ctrl+C",
        "Watch one option: fetch, compute and print its Greeks every few seconds until Ctrl+C.")
    watch.add_argument("strike", metavar="STRIKE", type=strike_argument)
    watch.add_argument("expiry", metavar="EXPIRY", type=expiry_argument,
                       help="07-Aug-2025 in any letter case, or 2025-08-07")
    watch.add_argument("side", metavar="SIDE", nargs="?", default=CALL, type=side_argument,
                       help="CE (default), PE, call or put")
    watch.add_argument("--interval", type=interval_argument, default=5,
                       help="seconds between reports (default 5; at least 1 against the "
                            "exchange)")
    add_clock(watch, "whole days as Kestrava counts them (runs Kestrava.monitor_greeks)")
    add_pricing(watch)
    add_replay(watch)

    chain = add_command(commands, "chain", "print, export or plot the Greeks of a whole chain",
                        "Greeks of every leg of an option chain from one fetch.")
    chain.add_argument("--expiry", type=expiry_argument,
                       help="this expiry only (default: all in the CSV, the nearest in the table "
                            "and the plot)")
    chain.add_argument("--around", type=count_argument, default=10, metavar="N",
                       help="strikes each side of the spot in the table (default 10)")
    chain.add_argument("--smile", action="store_true",
                       help="print the expiry's smile (each strike's volatility from the side "
                            "out of the money) in place of the Greeks")
    chain.add_argument("--csv", metavar="FILE", help="write every leg to this CSV file")
    chain.add_argument("--plot", metavar="FILE.png",
                       help="draw delta, gamma, theta and vega against strike")
    add_clock(chain, "whole days as Kestrava counts them")
    add_pricing(chain)
    add_replay(chain)

    record = add_command(
        commands, "record", "save one chain to replay later, or record chains into a store",
        "Save one option chain as JSON for --replay (SYMBOL FILE), or with --store keep "
        "recording every symbol's chain into a history store until Ctrl+C.", symbol=False)
    record.add_argument("targets", metavar="SYMBOL", nargs="+",
                        help="underlyings; without --store, one SYMBOL then the FILE to save")
    record.add_argument("--store", metavar="DIR", help="record into this history store")
    record.add_argument("--every", type=interval_argument, default=60, metavar="SECONDS",
                        help="with --store: seconds between captures (default 60; at least 1 "
                             "against the exchange)")
    record.add_argument("--always", action="store_true",
                        help=f"with --store: record outside market hours too "
                             f"({OPEN:%H:%M}-{CLOSE:%H:%M} IST on weekdays)")
    record.add_argument("--replay", metavar="FILE",
                        help="with --store: serve this recording, as if captured at each moment")
    add_clock(record, "whole days as Kestrava counts them")
    add_pricing(record)

    position = add_command(
        commands, "position", "value a position: net Greeks in rupees, payoff, what-if",
        "Value the legs of a position file (CSV or TOML) from one fetch of each underlying: per "
        "leg and net, then the payoff at expiry and, with --at, at T+n days.", symbol=False)
    position.add_argument("file", metavar="FILE", help="the position: .csv or .toml")
    position.add_argument("--at", type=days_argument, metavar="DAYS",
                          help="also the P&L this many days ahead")
    position.add_argument("--iv-shift", type=shift_argument, default=0.0, metavar="POINTS",
                          help="with --at: every volatility shifted by this many points")
    position.add_argument("--spot-range", type=range_argument, default=10.0, metavar="PCT",
                          help="spots within this percentage of today's (default 10)")
    position.add_argument("--csv", metavar="FILE", help="write the legs and net line to CSV")
    position.add_argument("--plot", metavar="FILE.png",
                          help="draw the P&L at expiry and at T+n against spot")
    position.add_argument("--watch", action="store_true",
                          help="refresh until Ctrl+C, printing what changed")
    position.add_argument("--interval", type=interval_argument, default=5,
                          help="with --watch: seconds between refreshes (default 5)")
    add_clock(position, "whole days as Kestrava counts them")
    add_pricing(position)
    add_replay(position)

    history = add_command(commands, "history", "a symbol's series from a history store",
                          "Per capture: spot, ATM and 30-day volatility, 25-delta risk reversal "
                          "and butterfly, put-call ratios, max pain, open interest; IV rank and "
                          "percentile of the 30-day volatility.")
    history.add_argument("--store", metavar="DIR", required=True, help="the history store")
    history.add_argument("--from", dest="start", type=expiry_argument, metavar="DATE",
                         help="first day (default: the first stored)")
    history.add_argument("--to", dest="end", type=expiry_argument, metavar="DATE",
                         help="last day (default: the last stored)")
    history.add_argument("--lookback", type=count_argument, default=252, metavar="DAYS",
                         help="daily closes behind IV rank and percentile (default 252)")
    history.add_argument("--csv", metavar="FILE", help="write every capture's row to CSV")
    history.add_argument("--plot", metavar="FILE.png",
                         help="draw spot, ATM volatility and IV rank over time")

    backfill = add_command(commands, "backfill",
                           "load the exchange's daily F&O files into a history store",
                           "Each trading day's close from the exchange's daily F&O file (UDiFF "
                           "CSV, zipped or not), every volatility solved from the settlement "
                           f"price, stored as that day's {CLOSE:%H:%M} IST capture.", symbol=False)
    backfill.add_argument("symbols", metavar="SYMBOL", nargs="+", help="underlyings")
    backfill.add_argument("--store", metavar="DIR", required=True, help="the history store")
    backfill.add_argument("--files", metavar="PATH", nargs="+",
                          help="daily files, or folders of them")
    backfill.add_argument("--from", dest="start", type=expiry_argument, metavar="DATE",
                          help="download each weekday's file from this day ...")
    backfill.add_argument("--to", dest="end", type=expiry_argument, metavar="DATE",
                          help="... to this day (downloads are cached in the store)")
    backfill.add_argument("--archive-url", default=ARCHIVE_URL, metavar="URL",
                          help="where the daily files are downloaded from")
    add_clock(backfill, "whole days as Kestrava counts them")
    add_pricing(backfill)

    reprice = add_command(
        commands, "reprice", "price a stored day again under the current pricing",
        "Price every capture of one stored day again from its kept payload, under the model "
        "and choices given, and store the day so priced in place of the old.")
    reprice.add_argument("--store", metavar="DIR", required=True, help="the history store")
    reprice.add_argument("--date", dest="day", type=expiry_argument, required=True,
                         metavar="DATE", help="the trading day to price again")
    add_clock(reprice, "whole days as Kestrava counts them")
    add_pricing(reprice)

    serve = add_command(
        commands, "serve", "a live dashboard of chains in the browser",
        "Serve a page that shows each underlying's chain, Greeks, smile, open interest, put-call "
        "ratio and max pain, refreshed every interval with one fetch per underlying for every "
        "open page; with --position its payoff and net Greeks, with --store the day's series.",
        symbol=False)
    serve.add_argument("symbols", metavar="SYMBOL", nargs="+", help="underlyings")
    serve.add_argument("--interval", type=seconds_argument, default=5,
                       help="seconds between refreshes (default 5; at least 1 against the "
                            "exchange)")
    serve.add_argument("--position", metavar="FILE", help="a position file (.csv or .toml)")
    serve.add_argument("--at", type=days_argument, default=0.0, metavar="DAYS",
                       help="with --position: the second payoff curve this many days ahead "
                            "(default 0: today)")
    serve.add_argument("--store", metavar="DIR", help="a history store to show the day from")
    serve.add_argument("--port", type=port_argument, default=8050,
                       help="port to listen on (default 8050; 0 picks a free one)")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to listen on (default 127.0.0.1: this machine only)")
    add_clock(serve, "whole days as Kestrava counts them")
    add_pricing(serve)
    add_replay(serve)

    probe = add_command(commands, "probe", "show what one fetch of the chain holds",
                        "Fetch the chain once and show its shape, counts, expiries, where the "
                        "spot came from and which fields are present.")
    probe.add_argument("--replay", metavar="FILE", help="describe this recorded chain instead")
    return parser
