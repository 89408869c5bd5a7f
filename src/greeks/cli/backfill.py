"""greeks backfill: the exchange's daily F&O files into a history store, each trading day's close
as one capture, every volatility solved from the settlement price."""
from __future__ import annotations

import argparse
import datetime as dt
import pathlib
from typing import Any

from greeks.cli.common import CommandFailed, UsageError, os_reason, pricing_of, status
from greeks.cli.options import ARCHIVE_URL, add_clock, add_pricing, expiry_argument
from greeks.history import bhavcopy
from greeks.market import CLOSE

SUMMARY = "load the exchange's daily F&O files into a history store"
DESCRIPTION = ("Each trading day's close from the exchange's daily F&O file (UDiFF "
               "CSV or the older layout, zipped or not), every volatility solved from the "
               f"settlement price, stored as that day's {CLOSE:%H:%M} IST capture.")
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
    parser.add_argument("symbols", metavar="SYMBOL", nargs="*",
                        help="underlyings (or --all)")
    parser.add_argument("--all", action="store_true", help="every symbol the files hold")
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

    if bool(args.symbols) == args.all:
        raise UsageError("name the symbols to backfill, or give --all (not both)")
    symbols = None if args.all else {symbol.upper() for symbol in args.symbols}
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
        wanted = "option" if symbols is None else f"{', '.join(sorted(symbols))} option"
        raise CommandFailed(f"no {wanted}s stored from {len(files)} daily files")
    return 0


def store_file(history: Any, path: pathlib.Path, symbols: set[str] | None, pricing: Any) -> int:
    """Stores each wanted symbol's day from one daily file; how many were stored (or stored
    already). A file that cannot be read is skipped with one line naming it."""
    from greeks.history.backfill import store_daily_file

    try:
        days = store_daily_file(history.store, path, symbols, pricing, status)
    except bhavcopy.BhavcopyError as error:
        status(f"skipping {path}: {error}")
        return 0
    for day in days:
        if not day.stored:
            status(f"{day.symbol} {day.day:%d-%b-%Y}: already stored")
            continue
        status(f"{day.symbol} {day.day:%d-%b-%Y}: {day.legs} legs, {day.solved} volatilities "
               f"solved from the settlement price" +
               (f"; {day.expired} legs expiring that day stored without Greeks"
                if day.expired else ""))
    return len(days)
