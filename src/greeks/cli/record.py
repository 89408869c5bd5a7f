"""greeks record: one live chain saved as the exchange gave it, for --replay."""
from __future__ import annotations

import argparse
import json
import pathlib

from greeks.cli.common import open_source, status
from greeks.cli.output import write_atomically
from greeks.exchange.sources import SourceError


def run(args: argparse.Namespace) -> int:
    args.replay = None
    chain = open_source(args)
    try:
        text = json.dumps(chain)
    except (TypeError, ValueError) as error:
        raise SourceError(f"cannot save the {args.symbol} option chain as JSON: {error}") from None
    written = write_atomically(args.file, lambda path: pathlib.Path(path).write_text(text))
    status(f"saved the {args.symbol} option chain to {written}")
    return 0
