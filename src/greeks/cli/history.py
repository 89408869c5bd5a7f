"""greeks history: a symbol's series from a history store, as a table, a CSV file and a plot."""
from __future__ import annotations

import argparse
import math

from greeks.cli.common import CommandFailed, UsageError, status
from greeks.cli.options import add_outputs, count_argument, expiry_argument
from greeks.cli.output import checked_plot_format, write_atomically
from greeks.display.text import aligned

SUMMARY = "a symbol's series from a history store"
DESCRIPTION = ("Per capture: spot, ATM and 30-day volatility, 25-delta risk reversal and "
               "butterfly, put-call ratios, max pain, open interest; IV rank and percentile of "
               "the 30-day volatility.")

# (heading, column, format) of the printed series; volatilities in percent
CELLS = (("time", "time", "{:%d-%b-%Y %H:%M:%S}"), ("spot", "spot", "{:.2f}"),
         ("atm iv%", "atm_iv", "{:.2f}"), ("30d iv%", "iv_30d", "{:.2f}"),
         ("rr25", "rr25", "{:+.2f}"), ("bf25", "bf25", "{:+.2f}"), ("pcr oi", "pcr_oi", "{:.3f}"),
         ("pcr vol", "pcr_volume", "{:.3f}"), ("max pain", "max_pain", "{:g}"),
         ("oi", "oi_total", "{:,.0f}"), ("oi chg", "oi_change", "{:+,.0f}"),
         ("iv rank", "iv_rank", "{:.2f}"), ("iv pct", "iv_percentile", "{:.2f}"))
PERCENT = {"atm_iv", "iv_30d", "rr25", "bf25"}
SHOWN = 20


def cell(value: object, column: str, layout: str) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return layout.format(value * 100 if column in PERCENT else value)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", metavar="DIR", required=True, help="the history store")
    parser.add_argument("--from", dest="start", type=expiry_argument, metavar="DATE",
                        help="first day (default: the first stored)")
    parser.add_argument("--to", dest="end", type=expiry_argument, metavar="DATE",
                        help="last day (default: the last stored)")
    parser.add_argument("--lookback", type=count_argument, default=252, metavar="DAYS",
                        help="daily closes behind IV rank and percentile (default 252)")
    add_outputs(parser, "write every capture's row to CSV",
                "draw spot, ATM volatility and IV rank over time")


def run(args: argparse.Namespace) -> int:
    from greeks.history.history import History

    plot_format = checked_plot_format(args.plot) if args.plot else None
    try:
        history = History(args.store)
        series = history.series(args.symbol, args.start, args.end, lookback=args.lookback)
    except ImportError as error:
        raise CommandFailed(str(error)) from None
    except ValueError as error:
        raise UsageError(str(error)) from None
    if series.empty:
        raise CommandFailed(f"the store {args.store} holds no {args.symbol.upper()} capture in "
                          f"that time")
    rows = [[cell(row[column], column, layout) for _, column, layout in CELLS]
            for _, row in series.tail(SHOWN).iterrows()]
    if len(series) > SHOWN:
        print(f"the last {SHOWN} of {len(series)} captures (all of them with --csv)")
    for line in aligned([name for name, _, _ in CELLS], rows):
        print(line)
    if args.csv:
        written = write_atomically(args.csv, lambda path: series.to_csv(path, index=False))
        status(f"wrote {len(series)} captures to {written}")
    if args.plot:
        from greeks.display.history_plot import draw_history

        written = write_atomically(args.plot, lambda path: draw_history(
            series, path, f"{args.symbol.upper()} from {args.store}", plot_format))
        status(f"drew spot, ATM volatility and IV rank into {written}")
    return 0
