"""greeks chain: the Greeks of a whole chain as a table, a CSV file and a plot."""
from __future__ import annotations

import argparse
import warnings
from typing import Any

from greeks.chains.frame import chain_greeks
from greeks.cli.common import UsageError, open_source, pricing_of, status
from greeks.cli.output import write_atomically
from greeks.display.table import expiry_table, smile_table
from greeks.display.text import SOLVED_NOTE
from greeks.exchange.reading import MissingSpot
from greeks.exchange.sources import SourceError
from greeks.market import DAYS_PER_YEAR


def shown_expiry(frame: Any) -> Any:
    """The nearest expiry whose legs still have time to run, else the first."""
    running = frame[frame["time_to_expiry"] > 0]
    return (running if len(running) else frame)["expiry"].min()


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
        raise SourceError(f"the {args.symbol} option chain holds no legs")
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


def checked_plot_format(path: str) -> str:
    """The image format the --plot file's suffix names; UsageError when it names none, or
    SourceError when matplotlib is missing."""
    from greeks.display.plot import image_format

    try:
        return image_format(path)
    except ImportError as error:
        raise SourceError(str(error)) from None
    except ValueError as error:
        raise UsageError(str(error)) from None
