"""What the subcommands' arguments share: the types that check them (each refusal one line, as
argparse writes it), and the options several commands take, each added by one helper."""
from __future__ import annotations

import argparse
import math

from typing import Any

from greeks.market import CLOSE, DEFAULT_RATE, EXCHANGE_RATE, OPTION_SIDES

# The longest pause between two reports: a day.
MAX_INTERVAL = 86_400
REPLAY_HELP = ("serve this recorded chain (JSON as the exchange or nsepython gives it, or "
               "STORE@TIME: a history store's capture at that IST time) instead of the exchange, "
               "moved forward by whole weeks to lie ahead of today as it did")
# Where the exchange publishes its daily F&O files.
ARCHIVE_URL = "https://nsearchives.nseindia.com/content/fo"
AS_CAPTURED_HELP = "with --replay: price the recording at its own capture time, unmoved"


# ---- argument types

def expiry_argument(text: str) -> Any:
    from greeks.market import expiry_day

    try:
        return expiry_day(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an expiry such as 07-Aug-2025 or 2025-08-07") from None


def side_argument(text: str) -> str:
    try:
        return OPTION_SIDES[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a side: CE, PE, call or put") from None


def number_argument(convert: Any, accept: Any, wanted: str) -> Any:
    """An argparse type: `convert(text)`, refused unless `accept` holds for the number."""

    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except (ValueError, OverflowError):
            value = None
        if value is None or not accept(value):
            raise argparse.ArgumentTypeError(f"{text!r} is not {wanted}")
        return value

    return parse


def fraction_argument(name: str) -> Any:
    """An argparse type for an annual fraction (a rate, a dividend yield): refused when it is not
    a finite number or looks like a percentage."""
    as_number = number_argument(float, math.isfinite,
                                f"a {name.replace('_', ' ')} such as {DEFAULT_RATE:g}")

    def parse(text: str) -> float:
        from greeks.units import implausible

        value = as_number(text)
        reason = implausible(name, value)
        if reason is not None:
            raise argparse.ArgumentTypeError(reason)
        return value

    return parse


strike_argument = number_argument(float, lambda x: math.isfinite(x) and x > 0, "a strike price")
count_argument = number_argument(int, lambda n: n >= 0, "a whole number of 0 or more")
interval_argument = number_argument(int, lambda n: 0 <= n <= MAX_INTERVAL,
                                    f"a whole number of seconds from 0 to {MAX_INTERVAL}")
days_argument = number_argument(float, lambda x: 0 <= x <= 3650, "a number of days from 0 to 3650")
shift_argument = number_argument(float, lambda x: -100 < x < 500,
                                 "a volatility shift in points, such as 2 or -1.5")
seconds_argument = number_argument(float, lambda x: 0 <= x <= MAX_INTERVAL,
                                   f"a number of seconds from 0 to {MAX_INTERVAL}")
port_argument = number_argument(int, lambda n: 0 <= n <= 65535, "a port from 0 to 65535")
range_argument = number_argument(float, lambda x: 0 < x < 100, "a percentage between 0 and 100")


# ---- shared options

def add_outputs(parser: argparse.ArgumentParser, csv_help: str, plot_help: str) -> None:
    """--csv and --plot, each written whole or not at all."""
    parser.add_argument("--csv", metavar="FILE", help=csv_help)
    parser.add_argument("--plot", metavar="FILE.png", help=plot_help)


def add_replay(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--replay", metavar="FILE", help=REPLAY_HELP)
    parser.add_argument("--as-captured", action="store_true", help=AS_CAPTURED_HELP)


def add_clock(parser: argparse.ArgumentParser, days_help: str) -> None:
    parser.add_argument("--clock", choices=("close", "days"), default="close",
                        help=f"time to the {CLOSE:%H:%M} IST close on expiry day (default), or "
                             + days_help)


def add_pricing(parser: argparse.ArgumentParser) -> None:
    """The pricing choices of chain_greeks; those left out take the model's defaults."""
    parser.add_argument("--model", choices=("forward", "spot", "exchange"), default="forward",
                        help="forward: Black-76 on each expiry's forward from put-call parity "
                             "(default); spot: Black-Scholes on the spot; exchange: the "
                             "exchange's convention (the spot at 10 %%)")
    parser.add_argument("--iv", choices=("exchange", "fill", "solve"),
                        help="solved for every leg (default under forward); the exchange's, "
                             "solved where it is 0 or missing (default otherwise); or the "
                             "exchange's only")
    parser.add_argument("--price", choices=("auto", "last", "mid"),
                        help="the price volatilities are solved from: a narrow quote's mid, "
                             "else a traded last price (auto, default under forward); or the "
                             "last price (default otherwise) or the mid alone")
    parser.add_argument("--rate", type=fraction_argument("rate"),
                        help=f"risk-free rate as a fraction (default {DEFAULT_RATE:g}; "
                             f"{EXCHANGE_RATE:g} under exchange)")
    parser.add_argument("--dividend-yield", type=fraction_argument("dividend_yield"),
                        default=0.0, help="continuous dividend yield as a fraction (default 0)")


def add_alerts(parser: argparse.ArgumentParser, names: str) -> None:
    parser.add_argument("--alert", metavar="CONDITION", action="append", default=[],
                        help=f"say once on standard error when a condition starts holding, "
                             f"such as \"delta > 0.6\" (repeatable; figures: {names})")
    parser.add_argument("--alert-command", metavar="COMMAND",
                        help="with --alert: also run COMMAND, given the alert and the value")


def alerts_of(args: argparse.Namespace, names: Any) -> Any:
    """The watch's alerts, or None without any; UsageError naming a wrong one."""
    from greeks.alerts import Alerts, parse_alert
    from greeks.cli.common import UsageError, status

    if args.alert_command and not args.alert:
        raise UsageError("--alert-command goes with --alert")
    if not args.alert:
        return None
    try:
        return Alerts([parse_alert(text, names) for text in args.alert], args.alert_command,
                      say=status)
    except ValueError as error:
        raise UsageError(str(error)) from None
