"""The command line's parser: one subcommand per module of greeks.cli, each declaring its own
arguments beside its behaviour (SUMMARY, DESCRIPTION, add_arguments and run)."""
from __future__ import annotations

import argparse
import importlib

COMMANDS = ("watch", "chain", "record", "position", "history", "backfill", "reprice", "serve",
            "probe", "backtest")


def build_parser() -> argparse.ArgumentParser:
    from greeks import __version__

    parser = argparse.ArgumentParser(
        prog="greeks", description="Black-Scholes Greeks of NSE options, from the exchange or "
                                   "from a recorded option chain.")
    parser.add_argument("--version", action="version", version=f"greeks {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in COMMANDS:
        module = importlib.import_module(f"greeks.cli.{name}")
        command = commands.add_parser(name, help=module.SUMMARY, description=module.DESCRIPTION)
        if getattr(module, "TAKES_SYMBOL", True):
            command.add_argument("symbol", metavar="SYMBOL", help="underlying, such as NIFTY")
        module.add_arguments(command)
        command.set_defaults(run=module.run, parser=command)
    return parser
