"""greeks record: one chain saved as the exchange gave it, for --replay; or, with --store, every
symbol's chain captured into a history store each cycle until Ctrl+C or SIGTERM."""
from __future__ import annotations

import argparse
import copy
import datetime as dt
import json
import pathlib
import signal
import time
from typing import Any

from greeks.cli.common import (CommandFailed, UsageError, install_source, os_reason, pricing_of,
                               refuse_fast_live, status)
from greeks.cli.options import add_clock, add_pricing, interval_argument
from greeks.cli.output import write_atomically
from greeks.exchange import vocabulary as words
from greeks.exchange.reading import capture_time, chain_parts
from greeks.exchange.recordings import load_recording, shift_expiries
from greeks.exchange.sources import SourceError, fetch_chain, install
from greeks.market import CLOSE, INDIA, OPEN, market_open

SUMMARY = "save one chain to replay later, or record chains into a store"
DESCRIPTION = ("Save one option chain as JSON for --replay (SYMBOL FILE), or with --store keep "
               "recording every symbol's chain into a history store until Ctrl+C.")
TAKES_SYMBOL = False

# The longest wait after failed fetches, and the longest single pause while the market is shut.
MAX_BACKOFF = 300
CLOSED_PAUSE = 60


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("targets", metavar="SYMBOL", nargs="+",
                        help="underlyings; without --store, one SYMBOL then the FILE to save")
    parser.add_argument("--store", metavar="DIR", help="record into this history store")
    parser.add_argument("--every", type=interval_argument, default=60, metavar="SECONDS",
                        help="with --store: seconds between captures (default 60; at least 1 "
                             "against the exchange)")
    parser.add_argument("--always", action="store_true",
                        help=f"with --store: record outside market hours too "
                             f"({OPEN:%H:%M}-{CLOSE:%H:%M} IST on weekdays)")
    parser.add_argument("--replay", metavar="FILE",
                        help="with --store: serve this recording, as if captured at each moment")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)


def run(args: argparse.Namespace) -> int:
    if args.store is None:
        return save_one(args)
    refuse_fast_live(args, args.every, "--every")
    if args.replay is not None and len(args.targets) > 1:
        raise UsageError("--replay serves one underlying; name one SYMBOL")
    return record_into(args)


def save_one(args: argparse.Namespace) -> int:
    if len(args.targets) != 2 or args.replay is not None:
        raise UsageError("without --store, name one SYMBOL and the FILE to save it to")
    args.symbol, path = args.targets
    install_source(args, args.symbol)
    chain = fetch_chain(args.symbol)
    try:
        text = json.dumps(chain)
    except (TypeError, ValueError) as error:
        raise CommandFailed(f"cannot save the {args.symbol} option chain as JSON: "
                            f"{error}") from None
    written = write_atomically(path, lambda target: pathlib.Path(target).write_text(text))
    status(f"saved the {args.symbol} option chain to {written}")
    return 0


class CapturedNow:
    """A recording served as if captured at each fetch: moved forward by whole weeks, its
    timestamp the moment of the fetch."""

    def __init__(self, path: str):
        recorded = load_recording(path)
        self.chain, _ = shift_expiries(recorded, dt.datetime.now(INDIA).date())

    def __call__(self, symbol: str) -> Any:
        chain = copy.deepcopy(self.chain)
        holder = chain.get(words.RECORDS_KEY) if chain_parts(chain)[0] == "records" else chain
        holder[words.TIMESTAMP_KEY] = dt.datetime.now(INDIA).strftime(words.CAPTURE_FORMAT)
        return chain


class StopBetweenCaptures:
    """Ctrl+C and SIGTERM end the recording between captures: one that arrives while a capture
    is being made lets it finish first."""

    def __init__(self) -> None:
        self.capturing = False
        self.asked = False
        self.received = signal.SIGINT  # what stopped the recording
        signal.signal(signal.SIGINT, self)
        signal.signal(signal.SIGTERM, self)

    def __call__(self, number: int, *_: object) -> None:
        self.received = number
        if self.capturing:
            self.asked = True
        else:
            raise KeyboardInterrupt

    def __enter__(self) -> None:
        self.capturing = True

    def __exit__(self, *exception: object) -> None:
        self.capturing = False
        if self.asked:
            raise KeyboardInterrupt


def record_into(args: argparse.Namespace) -> int:
    from greeks.history.history import History

    try:
        history = History(args.store)
        pricing = pricing_of(args)
    except ImportError as error:
        raise CommandFailed(str(error)) from None
    if args.replay is not None:
        install(CapturedNow(args.replay))
        status(f"recording {args.targets[0]} from {args.replay} into {args.store}")
    else:
        args.as_captured = False
        install_source(args, args.targets[0])
    between_captures = StopBetweenCaptures()
    # A capture whose exchange time is already stored is a duplicate, across restarts too.
    last = {symbol: history.last_capture(symbol) for symbol in args.targets}
    failures = 0
    compacted_until = None
    try:
        while True:
            today = dt.datetime.now(INDIA).date()
            if compacted_until != today:  # at start, and when the day turns
                compact_past_days(history, args.targets, today)
                compacted_until = today
            if not args.always and not market_open(dt.datetime.now(INDIA)):
                status(f"the market is closed ({OPEN:%H:%M}-{CLOSE:%H:%M} IST, weekdays); waiting")
                time.sleep(CLOSED_PAUSE)
                continue
            failed = False
            for symbol in args.targets:
                with between_captures:
                    failed |= not capture(history, symbol, last, pricing)
            failures = failures + 1 if failed else 0
            pause = min(args.every * 2 ** failures, max(MAX_BACKOFF, args.every)) if failed \
                else args.every
            if failed:
                status(f"next try in {pause} s")
            time.sleep(pause)
    except KeyboardInterrupt:
        status("stopped recording")
    # Ctrl+C ends with 130, as every command; SIGTERM is the stop a service manager asks for.
    return 130 if between_captures.received == signal.SIGINT else 0


def compact_past_days(history: Any, symbols: list[str], today: dt.date) -> None:
    """Merges each finished day's captures into one file."""
    for symbol in symbols:
        for day in history.store.days(symbol):
            if day < today and history.compact(symbol, day) is not None:
                status(f"{symbol} {day:%d-%b-%Y}: captures compacted into one file")


def capture(history: Any, symbol: str, last: dict[str, dt.datetime | None],
            pricing: Any) -> bool:
    """One fetch and capture of `symbol`; False when the fetch failed."""
    started = time.perf_counter()
    try:
        chain = fetch_chain(symbol)
    except SourceError as error:
        status(str(error))
        return False
    captured = capture_time(chain)
    if captured is not None and captured == last[symbol]:
        status(f"{symbol} unchanged since {captured:%H:%M:%S}; skipped")
        return True
    try:
        frame = history.record(chain, symbol=symbol, pricing=pricing)
    except OSError as error:
        raise CommandFailed(f"cannot write to the store {history.store.root}: "
                          f"{os_reason(error)}") from None
    except ValueError as error:  # no spot, no legs: this capture only
        status(f"{symbol}: {error}")
        return False
    last[symbol] = captured
    if not frame.attrs["stored"]:
        when = f"{captured:%H:%M:%S}" if captured else "this capture"
        status(f"{symbol} {when} is stored already (by another recorder?); skipped")
        return True
    spot = frame["spot"].iloc[0] if len(frame) else float("nan")
    status(f"{symbol} {len(frame)} legs, spot {spot:.2f}, "
           f"{(time.perf_counter() - started) * 1e3:.0f} ms")
    return True
