"""greeks chain: the Greeks of a whole chain as a table, a CSV file and a plot."""
from __future__ import annotations

import argparse
import warnings
from typing import Any

from greeks.chains.frame import chain_greeks
from greeks.cli.common import CommandFailed, UsageError, open_source, pricing_of, status
from greeks.cli.options import (add_clock, add_outputs, add_pricing, add_replay, count_argument,
                                expiry_argument)
from greeks.cli.output import checked_plot_format, write_atomically
from greeks.display.table import expiry_table, smile_table
from greeks.display.text import SOLVED_NOTE
from greeks.exchange.reading import MissingSpot
from greeks.market import DAYS_PER_YEAR

SUMMARY = "print, export or plot the Greeks of a whole chain"
DESCRIPTION = "Greeks of every leg of an option chain from one fetch."


def shown_expiry(frame: Any) -> Any:
    """The nearest expiry whose legs still have time to run, else the first."""
    running = frame[frame["time_to_expiry"] > 0]
    return (running if len(running) else frame)["expiry"].min()


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--expiry", type=expiry_argument,
                        help="this expiry only (default: all in the CSV, the nearest in the table "
                             "and the plot)")
    parser.add_argument("--around", type=count_argument, default=10, metavar="N",
                        help="strikes each side of the spot in the table (default 10)")
    parser.add_argument("--smile", action="store_true",
                        help="print the expiry's smile (each strike's volatility from the side "
                             "out of the money) in place of the Greeks")
    add_outputs(parser, "write every leg to this CSV file",
                "draw delta, gamma, theta and vega against strike")
    add_clock(parser, "whole days as Kestrava counts them")
    add_pricing(parser)
    add_replay(parser)


def run(args: argparse.Namespace) -> int:
    plot_format = checked_plot_format(args.plot) if args.plot else None
    pricing = pricing_of(args)
    recorded = open_source(args)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = chain_greeks(recorded, expiry=args.expiry, pricing=pricing)
    except MissingSpot:
        raise  # a failure of the data (exit 1), though a ValueError like the usage errors below
    except ValueError as error:
        raise UsageError(str(error)) from None
    for warning in caught:
        status(str(warning.message))
    if frame.empty:
        raise CommandFailed(f"the {args.symbol} option chain holds no legs")
    expiry = shown_expiry(frame)
    legs = frame[frame["expiry"] == expiry]
    days = legs["time_to_expiry"].iloc[0] * DAYS_PER_YEAR
    forward = legs["forward"].iloc[0]
    forward_text = f"  forward {forward:.2f} ({legs['forward_source'].iloc[0]})" \
        if pricing.fits_forward else ""
    print(f"{args.symbol} {expiry:%d-%b-%Y}  spot {legs['spot'].iloc[0]:.2f}{forward_text}  "
          f"{days:.2f} days to expiry  {pricing.describe()}")
    if args.smile:
        from greeks.chains.smile import smile

        curve = smile(legs)
        print(smile_table(curve, args.around) if len(curve) else
              "no leg of this expiry has a price of its own and a volatility")
    else:
        table, marked = expiry_table(legs, args.around)
        print(table)
        if marked:
            print(SOLVED_NOTE)
    if args.csv:
        written = write_atomically(args.csv, lambda path: frame.to_csv(path, index=False))
        status(f"wrote {len(frame)} legs to {written}")
    if args.plot:
        from greeks.display.plot import draw_greeks

        title = f"{args.symbol} {expiry:%d-%b-%Y}, spot {legs['spot'].iloc[0]:.2f}"
        written = write_atomically(args.plot,
                                   lambda path: draw_greeks(legs, path, title, plot_format))
        status(f"drew delta, gamma, theta and vega into {written}")
    return 0
