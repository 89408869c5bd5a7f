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
from greeks.display.table import CELLS, NEAREST_MARK, column_texts, format_strike

# Numbers the charts draw beyond the table's cells, which the page draws as they are printed:
# (key in the message, column of chain_greeks).
CHART_COLUMNS = (("oi", "open_interest"), ("oi_change", "change_in_oi"))
DATE_TEXT = "%d-%b-%Y"
EMPTY_CELLS = [""] * len(CELLS)
PRICING = threading.Lock()


def numbers(values: np.ndarray) -> list[float | None]:
    """Numbers as JSON can carry them: NaN and infinities become null."""
    return [value if math.isfinite(value) else None for value in values.tolist()]


def side_part(frame_columns: dict[str, np.ndarray], rows: np.ndarray, count: int,
              at: np.ndarray) -> dict[str, Any]:
    """One side of one expiry: `rows` are its legs' rows in the frame, `at` their places among
    the expiry's `count` strikes. Strikes the side does not list get null and empty cells."""
    listed = np.zeros(count, dtype=bool)
    listed[at] = True
    was_solved = frame_columns["iv_source"][rows] == "solved"
    solved = np.zeros(count, dtype=bool)
    solved[at] = was_solved
    part: dict[str, Any] = {"listed": listed.tolist(), "solved": solved.tolist()}
    for key, column in CHART_COLUMNS:
        aligned = np.full(count, np.nan)
        aligned[at] = frame_columns[column][rows]
        part[key] = numbers(aligned)
    solved_legs = was_solved.tolist()
    texts = zip(*(column_texts(frame_columns[column][rows].tolist(), column, layout, solved_legs)
                  for _, column, layout in CELLS))
    cells: list[list[str] | tuple[str, ...]] = [EMPTY_CELLS] * count
    for place, leg_texts in zip(at.tolist(), texts):
        cells[place] = leg_texts
    part["cells"] = cells  # per strike, in the order of CELLS
    return part


def expiry_part(frame_columns: dict[str, np.ndarray], rows: slice, spot: float) -> dict[str, Any]:
    """One expiry's legs, aligned by strike, with what its open interest says."""
    strike = frame_columns["strike"][rows]
    is_call = frame_columns["is_call"][rows]
    strikes = np.unique(strike)
    at = np.searchsorted(strikes, strike)
    nearest = float(strikes[np.argmin(np.abs(strikes - spot))]) if strikes.size else math.nan
    day = frame_columns["expiry"][rows.start].astype("datetime64[D]").item()
    open_interest = np.nan_to_num(frame_columns["open_interest"][rows])
    calls, puts = np.arange(rows.start, rows.stop)[is_call], np.arange(rows.start, rows.stop)[~is_call]
    return {
        "expiry": day.isoformat(),
        "label": day.strftime(DATE_TEXT),
        "days_text": f"{frame_columns['time_to_expiry'][rows.start] * 365:.2f}",
        "strikes": strikes.tolist(),
        "strike_texts": [(NEAREST_MARK if value == nearest else "") + format_strike(value)
                         for value in strikes.tolist()],
        "nearest": nearest,
        "pcr": nullable(put_call_ratio(open_interest, is_call)),
        "max_pain": nullable(max_pain(strike, is_call, open_interest)),
        "call": side_part(frame_columns, calls, strikes.size, at[is_call]),
        "put": side_part(frame_columns, puts, strikes.size, at[~is_call]),
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
    columns["is_call"] = frame["side"].to_numpy() == "CE"
    spot = float(frame["spot"].iloc[0])
    starts = np.flatnonzero(np.r_[True, columns["expiry"][1:] != columns["expiry"][:-1]])
    stops = np.r_[starts[1:], len(frame)]
    moment: dt.datetime = frame.attrs["now"]
    return {
        "spot": spot,
        "spot_text": f"{spot:.2f}",
        "captured": moment.isoformat(),
        "captured_text": moment.strftime("%d-%b-%Y %H:%M:%S %Z"),
        "columns": [name for name, _, _ in CELLS],
        "notes": list(dict.fromkeys(str(warning.message) for warning in caught
                                    if issubclass(warning.category, UserWarning))),
        "expiries": [expiry_part(columns, slice(int(start), int(stop)), spot)
                     for start, stop in zip(starts, stops)],
    }
