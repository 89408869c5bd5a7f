"""greeks backfill: the exchange's daily F&O files into a history store, each trading day's close
as one capture, every volatility solved from the settlement price."""
from __future__ import annotations

import argparse
import datetime as dt
import pathlib
import warnings
from typing import Any

from greeks.cli.common import CommandFailed, UsageError, os_reason, pricing_of, status
from greeks.cli.options import ARCHIVE_URL, add_clock, add_pricing, expiry_argument
from greeks.history import bhavcopy
from greeks.market import CLOSE, close_of

SUMMARY = "load the exchange's daily F&O files into a history store"
DESCRIPTION = ("Each trading day's close from the exchange's daily F&O file (UDiFF "
               "CSV, zipped or not), every volatility solved from the settlement "
               f"price, stored as that day's {CLOSE:%H:%M} IST capture.")
TAKES_SYMBOL = False


def days_between(start: dt.date, end: dt.date) -> list[dt.date]:
    return [start + dt.timedelta(days=n) for n in range((end - start).days + 1)]


def daily_files(args: argparse.Namespace) -> list[pathlib.Path]:
    """The files to read: those named, or each weekday's from the archive (cached in the store)."""
    if args.files:
        return bhavcopy.local_files(args.files)
    if args.start is None or args.end is None or args.start > args.end:
        raise UsageError("give --files, or --from and --to (in order)")
    cache = pathlib.Path(args.store) / "cache" / "bhavcopy"
    found = []
    for day in days_between(args.start, args.end):
        if day.weekday() >= 5:
            continue
        path = bhavcopy.download(day, args.archive_url, cache)
        if path is None:
            status(f"no daily file for {day:%d-%b-%Y} (a holiday?); skipped")
        else:
            found.append(path)
    return found


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("symbols", metavar="SYMBOL", nargs="+", help="underlyings")
    parser.add_argument("--store", metavar="DIR", required=True, help="the history store")
    parser.add_argument("--files", metavar="PATH", nargs="+",
                        help="daily files, or folders of them")
    parser.add_argument("--from", dest="start", type=expiry_argument, metavar="DATE",
                        help="download each weekday's file from this day ...")
    parser.add_argument("--to", dest="end", type=expiry_argument, metavar="DATE",
                        help="... to this day (downloads are cached in the store)")
    parser.add_argument("--archive-url", default=ARCHIVE_URL, metavar="URL",
                        help="where the daily files are downloaded from")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)


def run(args: argparse.Namespace) -> int:
    from greeks.history.history import History

    symbols = {symbol.upper() for symbol in args.symbols}
    try:
        history = History(args.store)
        # A daily file has no quotes: each leg is judged at its settlement price unless asked
        # otherwise, and every volatility is solved from it.
        pricing = pricing_of(args).replace(iv=args.iv or "solve", price=args.price or "last")
        files = daily_files(args)
        stored = sum(store_file(history, path, symbols, pricing) for path in files)
    except ImportError as error:
        raise CommandFailed(str(error)) from None
    except bhavcopy.BhavcopyError as error:
        raise CommandFailed(str(error)) from None
    except OSError as error:
        raise CommandFailed(f"cannot write to the store {args.store}: "
                          f"{os_reason(error)}") from None
    if stored == 0:
        raise CommandFailed(f"no {', '.join(sorted(symbols))} options stored from "
                          f"{len(files)} daily files")
    return 0


def store_file(history: Any, path: pathlib.Path, symbols: set[str], pricing: Any) -> int:
    """Stores each wanted symbol's day from one daily file; how many were stored (or stored
    already). A file that cannot be read is skipped with one line naming it."""
    try:
        days = list(bhavcopy.chains(bhavcopy.read_rows(bhavcopy.read_text(path), symbols),
                                    status))
    except bhavcopy.BhavcopyError as error:
        status(f"skipping {path}: {error}")
        return 0
    for symbol, day, chain in days:
        if history.store.has_capture(symbol, close_of(day)):
            status(f"{symbol} {day:%d-%b-%Y}: already stored")
            continue
        with warnings.catch_warnings():
            # On an expiry day the expiring legs have run out at the close: said below, once.
            warnings.simplefilter("ignore", UserWarning)
            frame = history.record(chain, symbol=symbol, pricing=pricing)
        solved = int((frame["iv_source"] == "solved").sum())
        expired = int((frame["time_to_expiry"] <= 0).sum())
        status(f"{symbol} {day:%d-%b-%Y}: {len(frame)} legs, {solved} volatilities solved from "
               f"the settlement price" + (f"; {expired} legs expiring that day stored without "
                                          f"Greeks" if expired else ""))
    return len(days)
