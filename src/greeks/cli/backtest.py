"""greeks backtest: a strategy file run over the daily F&O files of a store (or files named)."""
from __future__ import annotations

import argparse

from greeks.cli.common import CommandFailed, UsageError, status
from greeks.cli.options import add_outputs, expiry_argument
from greeks.cli.output import checked_plot_format, write_atomically

SUMMARY = "backtest an option strategy over the exchange's daily files"
DESCRIPTION = ("Run the strategy of a TOML file over the daily F&O files a store's backfill "
               "downloaded (or the files named), with lot sizes and costs as of each date; print "
               "the summary and the trades.")
TAKES_SYMBOL = False


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("strategy", metavar="STRATEGY.toml", help="the strategy file")
    parser.add_argument("--store", metavar="DIR", help="a history store holding daily files")
    parser.add_argument("--files", metavar="PATH", nargs="+", default=[],
                        help="daily F&O files, or folders of them, in either layout")
    parser.add_argument("--from", dest="start", type=expiry_argument, metavar="DATE",
                        help="the first trading day to use")
    parser.add_argument("--to", dest="end", type=expiry_argument, metavar="DATE",
                        help="the last trading day to use")
    parser.add_argument("--vary", metavar="FIELD=VALUES", action="append", default=[],
                        help="run every combination: stop_loss=0.3,0.5,1 or entry.days=1..5 "
                             "(repeatable); prints one summary row each")
    add_outputs(parser, "write the trades (with --vary, the summaries) to FILE (CSV)",
                "draw the equity curve and its drawdown into FILE.png")


def run(args: argparse.Namespace) -> int:
    import warnings

    from greeks.backtests import backtest
    from greeks.backtests.strategy import StrategyError, read
    from greeks.display.backtest_table import summary_lines, trades_table
    from greeks.history.bhavcopy import BhavcopyError

    if args.store is None and not args.files:
        raise UsageError("give --store or --files")
    if args.start and args.end and args.start > args.end:
        raise UsageError("--from must not come after --to")
    if args.vary and args.plot:
        raise UsageError("--plot draws one backtest; leave it out with --vary")
    plot_format = checked_plot_format(args.plot) if args.plot else None
    try:
        strategy = read(args.strategy)
    except StrategyError as error:
        raise UsageError(str(error)) from None
    if args.vary:
        return run_sweep(args)
    with warnings.catch_warnings(record=True) as heard:
        warnings.simplefilter("always")
        try:
            result = backtest(strategy, args.store, args.start, args.end, files=args.files)
        except (LookupError, BhavcopyError) as error:
            raise CommandFailed(str(error).strip("'\"")) from None
    for warning in heard:
        status(str(warning.message))
    for line in summary_lines(result.summary, len(result.skipped)):
        print(line)
    if len(result.trades):
        print()
        for line in trades_table(result.trades):
            print(line)
    if args.csv:
        written = write_atomically(args.csv, lambda path: result.trades.to_csv(path, index=False))
        status(f"wrote {len(result.trades)} trades to {written}")
    if args.plot:
        from greeks.display.backtest_plot import draw_equity

        written = write_atomically(args.plot, lambda path: draw_equity(
            result.equity, path, f"{strategy.name or strategy.symbol}: {strategy.symbol}",
            plot_format))
        status(f"wrote the equity curve to {written}")
    return 0


def run_sweep(args: argparse.Namespace) -> int:
    from greeks.backtests import cache_of, daily_files
    from greeks.backtests.market import Market
    from greeks.backtests.strategy import StrategyError, from_mapping, read_mapping
    from greeks.backtests.sweep import sweep
    from greeks.display.backtest_table import sweep_table
    from greeks.history.bhavcopy import BhavcopyError

    fields = read_mapping(args.strategy)
    try:
        symbol = from_mapping(fields).symbol
        market = Market(symbol, daily_files(args.store, args.files), args.start, args.end,
                        cache_of(args.store))
        rows = sweep(fields, args.vary, market)
    except StrategyError as error:
        raise UsageError(str(error)) from None
    except (LookupError, BhavcopyError) as error:
        raise CommandFailed(str(error).strip("'\"")) from None
    for line in sweep_table(rows, [name for name in rows.columns if name not in SUMMARY_NAMES]):
        print(line)
    if args.csv:
        written = write_atomically(args.csv, lambda path: rows.to_csv(path, index=False))
        status(f"wrote {len(rows)} summaries to {written}")
    return 0


SUMMARY_NAMES = ("trades", "win_rate", "total_pnl", "average_pnl", "best", "worst",
                 "max_drawdown", "days_held", "not_made")
