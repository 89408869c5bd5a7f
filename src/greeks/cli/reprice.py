"""greeks reprice: a stored day priced again from its kept payloads, under the pricing given."""
from __future__ import annotations

import argparse
import pathlib

from greeks.cli.common import CommandFailed, os_reason, pricing_of, status
from greeks.cli.options import add_clock, add_pricing, expiry_argument

SUMMARY = "price a stored day again under the current pricing"
DESCRIPTION = ("Price every capture of one stored day again from its kept payload, under the "
               "model and choices given, and store the day so priced in place of the old.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", metavar="DIR", required=True, help="the history store")
    parser.add_argument("--date", dest="day", type=expiry_argument, required=True,
                        metavar="DATE", help="the trading day to price again")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)


def run(args: argparse.Namespace) -> int:
    from greeks.history.history import History

    if not (pathlib.Path(args.store) / "raw").is_dir():
        raise CommandFailed(f"{args.store} is not a history store (it has no raw/ folder)")
    pricing = pricing_of(args)
    try:
        count = History(args.store).reprice(args.symbol, args.day, pricing)
    except ImportError as error:
        raise CommandFailed(str(error)) from None
    except LookupError as error:
        raise CommandFailed(str(error)) from None
    except OSError as error:
        raise CommandFailed(f"cannot write to the store {args.store}: {os_reason(error)}") from None
    status(f"repriced {count} {args.symbol.upper()} captures of {args.day:%d-%b-%Y} "
           f"({pricing.describe()})")
    return 0
