"""What every subcommand shares: status lines, errors, and getting the chain (the exchange, or a
recording replayed in its place)."""
from __future__ import annotations

import argparse
import datetime as dt
import pathlib
import sys
from typing import Any

from greeks.exchange import recordings, sources
from greeks.exchange.reading import MissingSpot
from greeks.exchange.sources import SourceError
from greeks.market import INDIA

class UsageError(Exception):
    """Input that the chain shows to be wrong; exit code 2."""


class CommandFailed(Exception):
    """A command that could not do its work (a file it cannot write, a part not installed, a
    port in use); exit code 1, as a chain that cannot be had."""


# Failures at run time: exit code 1.
Failures = (CommandFailed, SourceError, MissingSpot)


def pricing_of(args: argparse.Namespace) -> Any:
    """The command's pricing choices as one object; a choice left out is the model's."""
    from greeks.chains.pricing import Pricing

    return Pricing.of(model=args.model, rate=args.rate, dividend_yield=args.dividend_yield,
                      clock=args.clock, iv=args.iv, price=args.price)


def os_reason(error: OSError) -> str:
    """What the system said, as its own words for the error number (pyarrow's errors carry the
    number but not the words)."""
    import os

    if error.errno:
        return os.strerror(error.errno)
    return error.strerror or str(error)


def status(text: str) -> None:
    print(f"greeks: {text}", file=sys.stderr, flush=True)


def fail(command: str, error: Exception, code: int) -> int:
    print(f"{command}: error: {error}", file=sys.stderr)
    return code


def open_source(args: argparse.Namespace) -> Any:
    """Installs the chain source (the exchange, or a replay of args.replay) and fetches one chain
    of args.symbol from it."""
    install_source(args, args.symbol)
    return sources.fetch_chain(args.symbol)


def install_source(args: argparse.Namespace, symbol: str) -> None:
    """Makes the module global serve `symbol`'s chains: the exchange's, or args.replay's."""
    from greeks.cli import HeldInterrupt

    with HeldInterrupt():  # the module loads here (scipy, nsepython), Ctrl+C held as at start-up
        import greeks.greeks as module
    if args.replay is not None:
        fetch = replay(args, symbol)
    elif getattr(args, "as_captured", False):
        raise UsageError("--as-captured goes with --replay")
    else:
        status(f"fetching the {symbol} option chain from the exchange")
        fetch = module.nse_optionchain_scrapper
    sources.install(fetch)


def stored_capture(named: str, symbol: str) -> Any | None:
    """The payload of a capture named STORE@TIME (TIME in India Standard Time, such as
    2026-12-09T13:59), or None when `named` names no store."""
    folder, _, when = named.rpartition("@")
    if not folder or not (pathlib.Path(folder) / "raw").is_dir():
        return None
    from greeks.history.store import Store

    try:
        moment = dt.datetime.fromisoformat(when)
    except ValueError:
        raise UsageError(f"{when!r} is not a time such as 2026-12-09T13:59") from None
    moment = moment if moment.tzinfo else moment.replace(tzinfo=INDIA)
    try:
        return Store(folder).raw_payload(symbol.upper(), moment.astimezone(INDIA))
    except (LookupError, ValueError) as error:  # none at that time, or a damaged payload
        raise SourceError(str(error)) from None


def replay(args: argparse.Namespace, wanted: str) -> recordings.Replay:
    stored = stored_capture(args.replay, wanted)
    recorded = stored if stored is not None else recordings.load_recording(args.replay)
    symbol = recordings.recorded_symbol(recorded)
    if symbol is not None and symbol.upper() != wanted.upper():
        raise UsageError(f"{args.replay} holds the {symbol} option chain, not {wanted}")
    if getattr(args, "as_captured", False):
        status(f"replaying {wanted} from {args.replay} as captured")
        return recordings.Replay(recorded)
    chain, offset = recordings.shift_expiries(recorded, dt.datetime.now(INDIA).date())
    status(f"replaying {wanted} from {args.replay}, moved {offset.days // 7} weeks "
           f"({offset.days} days) forward")
    return recordings.Replay(chain)


def read_position(path: str) -> list[Any]:
    """The file's legs; a leg in lots alone takes its contract's lot size from the exchange's
    lot-size file."""
    from greeks.exchange.lots import contract_lot_sizes
    from greeks.positions import files
    from greeks.positions.legs import PositionError

    try:
        return files.read_legs(path, contract_lot_sizes())
    except PositionError as error:
        raise UsageError(str(error)) from None
    except (OSError, UnicodeDecodeError) as error:
        reason = getattr(error, "strerror", None) or error
        raise CommandFailed(f"cannot read {path}: {reason}") from None


def refuse_fast_live(args: argparse.Namespace, seconds: float, option: str = "--interval") -> None:
    """Below a second between fetches is for replays: the exchange refuses bursts."""
    if seconds < 1 and args.replay is None:
        raise UsageError(f"{option} below 1 second is refused against the live exchange")
