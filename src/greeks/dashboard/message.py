"""What the page receives at each refresh of one underlying: every expiry's legs aligned by strike,
with the table's texts formatted here exactly as the command line formats them (so both show the
same digits) and the numbers the charts draw; the put-call ratio and max pain; and, when asked
for, the position's payoff and net Greeks and the store's series of the day."""
from __future__ import annotations

import datetime as dt
import math
import threading
import warnings
from typing import Any

import numpy as np

from greeks.chains.frame import chain_greeks
from greeks.chains.summary import max_pain, put_call_ratio
from greeks.chains.smile import smile_columns
from greeks.display.table import CELLS, column_texts, format_strike
from greeks.display.text import NEAREST_MARK, SOLVED_MARK
from greeks.market import CALL, DAYS_PER_YEAR

# Numbers the charts draw beyond the table's cells, which the page draws as they are printed:
# (key in the message, column of chain_greeks).
CHART_COLUMNS = (("oi", "open_interest"), ("oi_change", "change_in_oi"))
DATE_TEXT = "%d-%b-%Y"
EMPTY_CELLS = [""] * len(CELLS)
PRICING = threading.Lock()


def numbers(values: np.ndarray) -> list[float | None]:
    """Numbers as JSON can carry them: NaN and infinities become null."""
    return [value if math.isfinite(value) else None for value in values.tolist()]


class StrikeRows:
    """The chain's legs laid out one row per expiry and strike (the frame is ordered by expiry,
    strike, then call before put), each side's values aligned to those rows once for the whole
    chain, so that an expiry's part is a slice."""

    def __init__(self, columns: dict[str, np.ndarray]):
        expiry, strike = columns["expiry"], columns["strike"]
        starts = np.r_[True, (expiry[1:] != expiry[:-1]) | (strike[1:] != strike[:-1])]
        row = np.cumsum(starts) - 1
        self.count = int(row[-1]) + 1 if row.size else 0
        self.strike = strike[starts]
        self.expiry = expiry[starts]
        self.first_leg = np.flatnonzero(starts)
        self.sides = {side: self.side(columns, row, mask) for side, mask in
                      (("call", columns["is_call"]), ("put", ~columns["is_call"]))}

    def side(self, columns: dict[str, np.ndarray], row: np.ndarray, mask: np.ndarray
             ) -> dict[str, list[Any]]:
        at = row[mask]
        listed = np.zeros(self.count, dtype=bool)
        listed[at] = True
        was_solved = columns["iv_source"][mask] == "solved"
        solved = np.zeros(self.count, dtype=bool)
        solved[at] = was_solved
        part: dict[str, list[Any]] = {"listed": listed.tolist(), "solved": solved.tolist()}
        for key, column in CHART_COLUMNS:
            aligned = np.full(self.count, np.nan)
            aligned[at] = columns[column][mask]
            part[key] = numbers(aligned)
        solved_legs = was_solved.tolist()
        texts = zip(*(column_texts(columns[column][mask].tolist(), column, layout, solved_legs)
                      for _, column, layout in CELLS))
        cells: list[Any] = [EMPTY_CELLS] * self.count
        for place, leg_texts in zip(at.tolist(), texts):
            cells[place] = leg_texts
        part["cells"] = cells  # per strike, in the order of CELLS
        return part


def smile_parts(frame: Any) -> dict[Any, dict[str, Any]]:
    """Each expiry's smile (greeks.smile: the side out of the money), by expiry day."""
    curve = smile_columns(frame)
    days = np.asarray(curve["expiry"]).astype("datetime64[D]")
    parts = {}
    for day in np.unique(days):
        at = days == day
        parts[day.item()] = {"strikes": curve["strike"][at].tolist(),
                             "iv": numbers(curve["iv"][at] * 100),
                             "forward": nullable(float(curve["forward"][at][0]))}
    return parts


def expiry_part(columns: dict[str, np.ndarray], rows: StrikeRows, first: int, stop: int,
                spot: float, smiles: dict[Any, dict[str, Any]]) -> dict[str, Any]:
    """One expiry (rows `first` to `stop`), with its smile and what its open interest says."""
    strikes = rows.strike[first:stop]
    nearest = float(strikes[np.argmin(np.abs(strikes - spot))])
    legs = slice(int(rows.first_leg[first]),
                 int(rows.first_leg[stop]) if stop < rows.count else None)
    is_call = columns["is_call"][legs]
    open_interest = np.nan_to_num(columns["open_interest"][legs])
    day = rows.expiry[first].astype("datetime64[D]").item()
    strike_list = strikes.tolist()
    return {
        "expiry": day.isoformat(),
        "label": day.strftime(DATE_TEXT),
        "days_text": f"{columns['time_to_expiry'][legs.start] * DAYS_PER_YEAR:.2f}",
        "strikes": strike_list,
        "strike_texts": [(NEAREST_MARK if value == nearest else "") + format_strike(value)
                         for value in strike_list],
        "nearest": nearest,
        "pcr": nullable(put_call_ratio(open_interest, is_call)),
        "max_pain": nullable(max_pain(columns["strike"][legs], is_call, open_interest)),
        "smile": smiles.get(day, {"strikes": [], "iv": [], "forward": None}),
        **{side: {key: values[first:stop] for key, values in part.items()}
           for side, part in rows.sides.items()},
    }


def nullable(value: float) -> float | None:
    return value if math.isfinite(value) else None


def chain_part(chain: Any, options: dict[str, Any]) -> dict[str, Any]:
    """The chain priced as ``greeks chain`` prices it, as the page shows it."""
    # Catching warnings swaps a process-wide hook: one feed's thread at a time.
    with PRICING, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = chain_greeks(chain, **options)
    if frame.empty:
        raise ValueError("the option chain holds no legs")
    columns = {name: frame[name].to_numpy() for name in
               ("strike", "time_to_expiry", "iv_source", *(column for _, column, _ in CELLS),
                *(column for _, column in CHART_COLUMNS))}
    columns["expiry"] = frame["expiry"].to_numpy()
    columns["is_call"] = frame["side"].to_numpy() == CALL
    spot = float(frame["spot"].iloc[0])
    rows = StrikeRows(columns)
    firsts = np.flatnonzero(np.r_[True, rows.expiry[1:] != rows.expiry[:-1]]).tolist()
    moment: dt.datetime = frame.attrs["now"]
    smiles = smile_parts(frame)
    return {
        "spot": spot,
        "spot_text": f"{spot:.2f}",
        "captured": moment.isoformat(),
        "captured_text": moment.strftime("%d-%b-%Y %H:%M:%S %Z"),
        "columns": [name for name, _, _ in CELLS],
        "solved_mark": SOLVED_MARK,
        "notes": list(dict.fromkeys(str(warning.message) for warning in caught
                                    if issubclass(warning.category, UserWarning))),
        "expiries": [expiry_part(columns, rows, first, stop, spot, smiles)
                     for first, stop in zip(firsts, firsts[1:] + [rows.count])],
    }
