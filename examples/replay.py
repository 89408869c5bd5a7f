"""An offline exchange for the demo: serves recorded option-chain snapshots through the module's
`nse_optionchain_scrapper` global. Loading a recording and moving its expiries forward (so that
each keeps the distance to today that it had to the capture date, in whole weeks) is the package's own,
`greeks.exchange.recordings`, which `greeks watch --replay` uses too."""
from greeks.exchange.recordings import load_recording as load  # noqa: F401
from greeks.exchange.recordings import shift_expiries  # noqa: F401


class Replay:
    """Answers each fetch with the next recorded snapshot. Every monitoring cycle fetches the
    chain twice (spot price, then the rows), so each snapshot is served twice. When the
    recording is over it raises KeyboardInterrupt, as a user pressing Ctrl+C would."""

    def __init__(self, snapshots, fetches_per_cycle=2):
        self.fetches = [snapshot for snapshot in snapshots for _ in range(fetches_per_cycle)]

    def __call__(self, symbol):
        if not self.fetches:
            raise KeyboardInterrupt
        return self.fetches.pop(0)
