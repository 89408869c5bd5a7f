"""greeks reprice: a stored day priced again from its kept payloads, under the pricing given."""
from __future__ import annotations

import argparse
import pathlib

from greeks.cli.common import os_reason, pricing_of, status
from greeks.exchange.sources import SourceError


def run(args: argparse.Namespace) -> int:
    from greeks.history.history import History

    if not (pathlib.Path(args.store) / "raw").is_dir():
        raise SourceError(f"{args.store} is not a history store (it has no raw/ folder)")
    pricing = pricing_of(args)
    try:
        count = History(args.store).reprice(args.symbol, args.day, pricing)
    except ImportError as error:
        raise SourceError(str(error)) from None
    except LookupError as error:
        raise SourceError(str(error)) from None
    except OSError as error:
        raise SourceError(f"cannot write to the store {args.store}: {os_reason(error)}") from None
    status(f"repriced {count} {args.symbol.upper()} captures of {args.day:%d-%b-%Y} "
           f"({pricing.describe()})")
    return 0
