"""The `greeks` command: watch one option, print, export or plot a chain's Greeks, record a chain.

Exit codes follow argparse: 2 for bad usage (including a strike or expiry the chain does not
list), 1 for a failure at run time (a fetch, a file), 130 for Ctrl+C outside a watch."""
from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import pathlib
import sys
from collections.abc import Sequence
from typing import Any

from greeks import sources

SIDES = {"ce": "CE", "call": "CE", "pe": "PE", "put": "PE"}


class UsageError(Exception):
    """Input that the chain shows to be wrong; exit code 2."""


# ---- argument types

def expiry_argument(text: str) -> dt.date:
    from greeks.chain import expiry_day

    try:
        return expiry_day(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an expiry such as 07-Aug-2025 or 2025-08-07") from None


def side_argument(text: str) -> str:
    try:
        return SIDES[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a side: CE, PE, call or put") from None


def number_argument(convert: Any, accept: Any, wanted: str) -> Any:
    """An argparse type: `convert(text)`, refused unless `accept` holds for the number."""

    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not accept(value):
            raise argparse.ArgumentTypeError(f"{text!r} is not {wanted}")
        return value

    return parse


strike_argument = number_argument(float, lambda x: math.isfinite(x) and x > 0, "a strike price")
count_argument = number_argument(int, lambda n: n >= 0, "a whole number of 0 or more")
rate_argument = number_argument(float, math.isfinite, "a rate such as 0.07")


# ---- getting the chain

def status(text: str) -> None:
    print(f"greeks: {text}", file=sys.stderr, flush=True)


def open_source(symbol: str, replay: str | None, records_shape: bool) -> Any:
    """Installs the chain source (the exchange, or a replay) and fetches one chain from it."""
    import greeks.greeks as module

    if replay is not None:
        recorded = sources.load_recording(replay)
        chain, offset = sources.shift_expiries(recorded, dt.date.today())
        status(f"replaying {symbol} from {replay}, expiries moved {offset.days} days forward")
        fetch = sources.Replay(chain)
    else:
        status(f"fetching the {symbol} option chain from the exchange")
        fetch = module.nse_optionchain_scrapper
    sources.install(sources.in_records_shape(fetch) if records_shape else fetch)
    return sources.fetch_chain(symbol)


# ---- greeks watch

def nearest(values: Sequence[float], wanted: float, count: int = 4) -> list[float]:
    return sorted(sorted(values, key=lambda value: abs(value - wanted))[:count])


def listed_expiry_text(rows: Sequence[Any], day: dt.date) -> str | None:
    """The chain's own text for the expiry `day` (the watch compares texts), or None."""
    from greeks.chain_reading import parse_expiry_text

    texts = {row.get("expiryDate") for row in rows if isinstance(row, dict)}
    return next((text for text in texts if parse_expiry_text(text) == day), None)


def check_option(chain: Any, symbol: str, strike: float, day: dt.date, side: str) -> str:
    """The chain's expiry text for the option; UsageError naming what the chain lists instead."""
    import numpy as np

    from greeks.chain_reading import listed_expiries, read_chain

    legs = read_chain(chain)
    same_day = legs.expiry == np.datetime64(day, "D")
    if not same_day.any():
        raise UsageError(f"{symbol} has no expiry {day:%d-%b-%Y}; "
                         f"it lists {listed_expiries(set(legs.expiry))}")
    strikes = sorted(set(legs.strike[same_day & (legs.is_call == (side == "CE"))]))
    if strike not in strikes:
        near = ", ".join(f"{value:g}" for value in nearest(strikes, strike)) or "none"
        raise UsageError(f"{symbol} {day:%d-%b-%Y} has no {side} at strike {strike:g}; "
                         f"the nearest listed are {near}")
    return listed_expiry_text(chain["records"]["data"], day)


def watch(args: argparse.Namespace) -> int:
    from greeks.greeks import Kestrava

    chain = open_source(args.symbol, args.replay, records_shape=True)
    expiry_text = check_option(chain, args.symbol, args.strike, args.expiry, args.side)
    Kestrava(args.symbol).monitor_greeks(args.strike, expiry_text, args.side, args.interval)
    return 0


# ---- greeks chain

def shown_expiry(frame: Any) -> Any:
    """The nearest expiry whose legs still have time to run, else the first."""
    running = frame[frame["time_to_expiry"] > 0]
    return (running if len(running) else frame)["expiry"].min()


def chain(args: argparse.Namespace) -> int:
    from greeks.chain import chain_greeks
    from greeks.table import expiry_table

    recorded = open_source(args.symbol, args.replay, records_shape=False)
    try:
        frame = chain_greeks(recorded, expiry=args.expiry, clock=args.clock, iv=args.iv,
                             price=args.price, rate=args.rate)
    except ValueError as error:
        raise UsageError(str(error)) from None
    if frame.empty:
        raise sources.SourceError(f"the {args.symbol} option chain holds no legs")
    expiry = shown_expiry(frame)
    legs = frame[frame["expiry"] == expiry]
    days = legs["time_to_expiry"].iloc[0] * 365
    print(f"{args.symbol} {expiry:%d-%b-%Y}  spot {legs['spot'].iloc[0]:.2f}  "
          f"{days:.2f} days to expiry  rate {args.rate:g}  iv {args.iv}"
          + (f" from the {args.price} price" if args.iv != "exchange" else ""))
    print(expiry_table(legs, args.around))
    if (legs["iv_source"] == "solved").any():
        print("* volatility solved from the price")
    if args.csv:
        write(args.csv, lambda path: frame.to_csv(path, index=False))
        status(f"wrote {len(frame)} legs to {args.csv}")
    if args.plot:
        from greeks.plot import draw_greeks

        title = f"{args.symbol} {expiry:%d-%b-%Y}, spot {legs['spot'].iloc[0]:.2f}"
        try:
            write(args.plot, lambda path: draw_greeks(legs, path, title))
        except ImportError as error:
            raise sources.SourceError(str(error)) from None
        status(f"drew delta, gamma, theta and vega into {args.plot}")
    return 0


def write(path: str, writer: Any) -> None:
    try:
        writer(path)
    except OSError as error:
        raise sources.SourceError(f"cannot write {path}: {error.strerror}") from None


# ---- greeks record

def record(args: argparse.Namespace) -> int:
    recorded = open_source(args.symbol, None, records_shape=False)
    write(args.file, lambda path: pathlib.Path(path).write_text(json.dumps(recorded)))
    status(f"saved the {args.symbol} option chain to {args.file}")
    return 0


# ---- the parser

def add_command(commands: Any, name: str, run: Any, summary: str,
                description: str) -> argparse.ArgumentParser:
    """A subcommand taking the underlying's symbol first."""
    parser = commands.add_parser(name, help=summary, description=description)
    parser.add_argument("symbol", metavar="SYMBOL", help="underlying, such as NIFTY")
    parser.set_defaults(run=run)
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="greeks", description="Black-Scholes Greeks of NSE options, from the exchange or "
                                   "from a recorded option chain.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    replay_help = "serve this recorded chain (JSON as the exchange gives it) instead of the " \
                  "exchange, with its expiries moved forward to lie ahead of today as they did"
    watch_parser = add_command(
        commands, "watch", watch, "watch one option's Greeks until Ctrl+C",
        "Watch one option: fetch, compute and print its Greeks every few seconds until Ctrl+C.")
    watch_parser.add_argument("strike", metavar="STRIKE", type=strike_argument)
    watch_parser.add_argument("expiry", metavar="EXPIRY", type=expiry_argument,
                              help="07-Aug-2025 in any letter case, or 2025-08-07")
    watch_parser.add_argument("side", metavar="SIDE", nargs="?", default="CE",
                              type=side_argument, help="CE (default), PE, call or put")
    watch_parser.add_argument("--interval", type=count_argument, default=5,
                              help="seconds between reports (default 5)")
    watch_parser.add_argument("--replay", metavar="FILE", help=replay_help)

    chain_parser = add_command(commands, "chain", chain,
                               "print, export or plot the Greeks of a whole chain",
                               "Greeks of every leg of an option chain from one fetch.")
    chain_parser.add_argument("--expiry", type=expiry_argument,
                              help="this expiry only (default: all in the CSV, the nearest in "
                                   "the table and the plot)")
    chain_parser.add_argument("--around", type=count_argument, default=10, metavar="N",
                              help="strikes each side of the spot in the table (default 10)")
    chain_parser.add_argument("--csv", metavar="FILE", help="write every leg to this CSV file")
    chain_parser.add_argument("--plot", metavar="FILE.png",
                              help="draw delta, gamma, theta and vega against strike")
    chain_parser.add_argument("--clock", choices=("close", "days"), default="close",
                              help="time to the 15:30 IST close on expiry day (default), or "
                                   "whole days as Kestrava counts them")
    chain_parser.add_argument("--iv", choices=("exchange", "fill", "solve"), default="fill",
                              help="the exchange's volatility only; the exchange's, solved from "
                                   "the price where it is 0 (default); or solved for every leg")
    chain_parser.add_argument("--price", choices=("last", "mid"), default="last",
                              help="the price volatilities are solved from (default last)")
    chain_parser.add_argument("--rate", type=rate_argument, default=0.07,
                              help="risk-free rate as a fraction (default 0.07)")
    chain_parser.add_argument("--replay", metavar="FILE", help=replay_help)

    record_parser = add_command(commands, "record", record,
                                "save one live option chain to replay later",
                                "Save one option chain from the exchange as JSON, for --replay.")
    record_parser.add_argument("file", metavar="FILE")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as error:
        print(f"greeks {args.command}: error: {error}", file=sys.stderr)
        return 2
    except sources.SourceError as error:
        print(f"greeks {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
