"""The `greeks` command: watch one option, print, export or plot a chain's Greeks, record a chain,
serve a live dashboard, probe what the exchange sends.

Exit codes follow argparse: 2 for bad usage (including a strike or expiry the chain does not
list), 1 for a failure at run time (a fetch, a file), 130 for Ctrl+C outside a watch. Only what
the interpreter has already loaded is imported before `main` runs, and Ctrl+C is held back while
the command's modules load, so that an early Ctrl+C ends in one quiet line, not a traceback."""
from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


class HeldInterrupt:
    """Holds Ctrl+C back while modules load (an interrupt inside an import can surface as an
    "Exception ignored" traceback the command cannot catch) and raises it once they have."""

    def __enter__(self) -> HeldInterrupt:
        import signal

        self.signal, self.pressed, self.previous = signal, False, None
        try:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self.previous = signal.signal(signal.SIGINT, self.hold)
        except ValueError:  # not the main thread: signals go elsewhere anyway
            pass
        return self

    def hold(self, *_: object) -> None:
        self.pressed = True

    def __exit__(self, *exception: object) -> None:
        if self.previous is not None:
            self.signal.signal(self.signal.SIGINT, self.previous)
        if self.pressed and exception[0] is None:
            raise KeyboardInterrupt


def command() -> None:
    """The program `greeks` (and `python -m greeks`): main, then the exit. Once the command is
    over, Ctrl+C is ignored: pressed while the interpreter shuts down it would otherwise end a
    finished command as killed by the signal, not with its exit code."""
    import signal

    code = main()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(code)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        with HeldInterrupt():
            from greeks.cli.common import Failures, UsageError, fail
            from greeks.cli.parser import build_parser

            args = build_parser().parse_args(argv)
        try:
            return args.run(args)
        # As argparse ends its own refusals: its program name, "error:", the reason.
        except UsageError as error:
            return fail(args.parser.prog, error, 2)
        except Failures as error:
            return fail(args.parser.prog, error, 1)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`greeks watch ... | head`): end quietly, and keep the interpreter
        # from failing again when it flushes standard output on exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
