"""The recorded exchange responses the tests read."""
import datetime as dt
import json
import pathlib

DATA = pathlib.Path(__file__).parent / "data"
# The full NIFTY recording is kept once, with the examples, where the README reads it.
EXAMPLES = pathlib.Path(__file__).parent.parent / "examples" / "data"
CHAIN_FILES = {
    "SBIN": DATA / "sbin-chain-2025-07-17.json",
    "BANKNIFTY": DATA / "banknifty-chain-2025-07-17.json",
    "NIFTY": EXAMPLES / "nifty-full-chain-2025-08-05.json",
}
NEWER_SHAPE_FILE = "nifty-chain-newer-shape-2026-07-10.json"


def load(name):
    return json.loads((DATA / name).read_text())


def chain(symbol):
    return json.loads(CHAIN_FILES[symbol].read_text())


def capture_time(recorded):
    """The capture time of a chain in the shape with "records", as a naive local datetime."""
    return dt.datetime.strptime(recorded["records"]["timestamp"], "%d-%b-%Y %H:%M:%S")
