"""The `greeks` command: watch one option, print, export or plot a chain's Greeks, record a chain,
probe what the exchange sends.

Exit codes follow argparse: 2 for bad usage (including a strike or expiry the chain does not
list), 1 for a failure at run time (a fetch, a file), 130 for Ctrl+C outside a watch. Only the
standard library is imported before the command runs, so that Ctrl+C at any moment after start-up
ends in one quiet line rather than a traceback."""
from __future__ import annotations

import os
import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    command = "greeks"
    try:
        from greeks.cli.common import SourceErrors, UsageError, fail
        from greeks.cli.parser import build_parser

        args = build_parser().parse_args(argv)
        command = f"greeks {args.command}"
        try:
            return args.run(args)
        except UsageError as error:
            return fail(command, error, 2)
        except SourceErrors as error:
            return fail(command, error, 1)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`greeks watch ... | head`): end quietly, and keep the interpreter
        # from failing again when it flushes standard output on exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
