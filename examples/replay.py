"""An offline exchange: serves recorded option-chain snapshots through the module's
`nse_optionchain_scrapper` global, with the expiries moved forward so that each keeps the
distance to today that it had to the capture date."""
import copy
import datetime as dt
import json
import pathlib

EXPIRY_FORMAT = "%d-%b-%Y"
CAPTURE_FORMAT = "%d-%b-%Y %H:%M:%S"


def shift_expiries(chain, today):
    """A copy of `chain` whose expiry texts lie as far after `today` as they lay after the capture."""
    shifted = copy.deepcopy(chain)
    records = shifted["records"]
    captured = dt.datetime.strptime(records["timestamp"], CAPTURE_FORMAT).date()
    offset = today - captured

    def move(text):
        return (dt.datetime.strptime(text, EXPIRY_FORMAT).date() + offset).strftime(EXPIRY_FORMAT)

    records["expiryDates"] = [move(text) for text in records["expiryDates"]]
    for row in records["data"]:
        row["expiryDate"] = move(row["expiryDate"])
        for side in ("CE", "PE"):
            if side in row:
                row[side]["expiryDate"] = move(row[side]["expiryDate"])
    return shifted, offset


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


def load(path):
    return json.loads(pathlib.Path(path).read_text())
