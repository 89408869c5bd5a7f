"""The volatility smile of each expiry: one volatility per strike, from the side out of the money.

Out of the money an option is mostly time value, so its price pins its volatility; in the money
the intrinsic value dominates and the quote's spread is a large part of what is left. So a call
speaks for strikes above the forward and a put for strikes below it; at the strike nearest the
forward both are about as good, and their volatilities are averaged. Legs without a price of
their own (no narrow quote, no trade) or without a volatility are left out."""
from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks.chains.blocks import frame_of
from greeks.chains.frame import text_column
from greeks.market import CALL, PUT, expiry_day

if TYPE_CHECKING:
    import pandas

SMILE_COLUMNS = ("expiry", "strike", "forward", "log_moneyness", "time_to_expiry", "iv", "side")
FLOAT_COLUMNS = ("strike", "forward", "log_moneyness", "time_to_expiry", "iv")
BOTH = "both"
SIDES = (PUT, CALL, BOTH)  # by the codes smile_columns gives


def smile(chain_or_frame: Any, expiry: Any = None, **pricing: Any) -> pandas.DataFrame:
    """Per expiry and strike one volatility (a fraction): the call's above the expiry's forward,
    the put's below it, the mean of both at the strike nearest it (side "both"). Columns:
    expiry, strike, forward, log_moneyness ln(K/F), time_to_expiry, iv, side. Takes a chain (or a
    symbol) and the options of ``chain_greeks``, or a frame ``chain_greeks`` made; `expiry`
    keeps one expiry."""
    import pandas as pd

    if isinstance(chain_or_frame, pd.DataFrame):
        frame = chain_or_frame
        if expiry is not None:
            frame = frame[frame["expiry"] == pd.Timestamp(expiry_day(expiry))]
    elif isinstance(chain_or_frame, (Mapping, str)):
        from greeks.chains.frame import chain_greeks

        frame = chain_greeks(chain_or_frame, expiry=expiry, **pricing)
    else:
        raise TypeError(f"smile takes a chain, a symbol or a chain_greeks frame, not "
                        f"{type(chain_or_frame).__name__}")
    missing = [name for name in ("forward", "price", "iv", "side", "strike", "expiry",
                                 "time_to_expiry") if name not in frame]
    if missing:
        raise ValueError(f"not a chain_greeks frame: no {', '.join(missing)}")
    columns = smile_columns(frame)
    floats = np.array([columns[name] for name in FLOAT_COLUMNS], dtype=np.float64).reshape(
        len(FLOAT_COLUMNS), -1)
    return frame_of(SMILE_COLUMNS, floats, FLOAT_COLUMNS, {
        "expiry": np.asarray(columns["expiry"], dtype="datetime64[ns]"),
        "side": text_column(SIDES, columns["side_code"])})


def smile_columns(frame: pandas.DataFrame) -> dict[str, Any]:
    """The smile's columns from a chain_greeks frame (ordered by expiry, strike, CE before PE)."""
    iv = frame["iv"].to_numpy(dtype=np.float64)
    # A leg without a price of its own has NaN in "price" (its price_source is "none").
    usable = np.isfinite(iv) & np.isfinite(frame["price"].to_numpy(dtype=np.float64)) & \
        (frame["time_to_expiry"].to_numpy() > 0)
    legs = np.flatnonzero(usable)
    day = frame["expiry"].to_numpy().view(np.int64)[legs]
    strike = frame["strike"].to_numpy(dtype=np.float64)[legs]
    forward = frame["forward"].to_numpy(dtype=np.float64)[legs]
    is_call = frame["side"].to_numpy()[legs] == CALL
    iv = iv[legs]
    if legs.size == 0:
        return {**{name: np.empty(0) for name in FLOAT_COLUMNS},
                "expiry": np.empty(0, "datetime64[ns]"), "side_code": np.empty(0, np.int8)}
    # The strike nearest the forward, per expiry (its legs lie together: the frame is ordered).
    starts = np.flatnonzero(np.r_[True, day[1:] != day[:-1]])
    distance = np.abs(strike - forward)
    nearest = np.repeat(np.minimum.reduceat(distance, starts), np.diff(np.r_[starts, day.size]))
    at_money = distance == nearest
    chosen = np.flatnonzero(at_money | np.where(is_call, strike > forward, strike < forward))
    day, strike, forward, is_call, iv = (column[chosen] for column in (
        day, strike, forward, is_call, iv))
    # One row per strike: the two sides at the money averaged.
    first = np.flatnonzero(np.r_[True, (day[1:] != day[:-1]) | (strike[1:] != strike[:-1])])
    count = np.diff(np.r_[first, day.size])
    blended = np.add.reduceat(iv, first) / count
    side = np.where(count > 1, SIDES.index(BOTH), np.where(is_call[first], SIDES.index(CALL),
                                                           SIDES.index(PUT))).astype(np.int8)
    forward, strike = forward[first], strike[first]
    years = frame["time_to_expiry"].to_numpy(dtype=np.float64)[legs][chosen][first]
    return {"expiry": day[first].view("datetime64[ns]"), "strike": strike, "forward": forward,
            "log_moneyness": np.log(strike / forward), "time_to_expiry": years, "iv": blended,
            "side_code": side}
