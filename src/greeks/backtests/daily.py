"""The exchange's daily F&O files in both layouts (read by the history's reader of them), as one
frame of a symbol's contracts a day.

UDiFF (since 8 July 2024): `TradDt, FinInstrmTp, TckrSymb, XpryDt, StrkPric, OptnTp, ClsPric,
SttlmPric, UndrlygPric, TtlTradgVol, NewBrdLotQty, ...`, options IDO/STO, futures IDF/STF. The
older layout (`foDDMMMYYYYbhav.csv`): `INSTRUMENT, SYMBOL, EXPIRY_DT, STRIKE_PR, OPTION_TYP, OPEN,
HIGH, LOW, CLOSE, SETTLE_PR, CONTRACTS, VAL_INLAKH, OPEN_INT, CHG_IN_OI, TIMESTAMP` and a trailing
comma on every line, options OPTIDX/OPTSTK, futures FUTIDX/FUTSTK (strike 0, side XX), expiries
such as 30-Jan-2020 beside a timestamp 01-JAN-2020; it carries no underlying price and no lot
size, which are NaN here."""
from __future__ import annotations

import pathlib
from typing import Any

import numpy as np

from greeks.history.bhavcopy import BhavcopyError, read_text
from greeks.history.daily_rows import iso_day, read_rows
from greeks.market import CALL, FUTURE, PUT


def read_day(path: pathlib.Path, symbol: str) -> tuple[Any, np.datetime64]:
    """The options and futures of `symbol` in one daily file, and the file's trade date: a frame
    with the columns date, symbol, expiry (datetime64[D]), strike, side (CE, PE or FUT), close,
    settle, volume, underlying, lot_size. BhavcopyError, one line naming the file, when it is
    neither layout or cannot be read."""
    import pandas as pd

    text = read_text(path)
    try:
        rows = read_rows(text, {symbol}, futures=True)
    except BhavcopyError as error:
        raise BhavcopyError(f"{path}: {error}") from None
    days = {iso_day(traded) for traded in rows.file_dates} - {None}
    if not days:
        raise BhavcopyError(f"{path}: holds no option or future that can be read")
    if len(days) > 1:
        raise BhavcopyError(f"{path}: holds {len(days)} trade dates, not one")
    day = np.datetime64(days.pop(), "D")
    dated = np.array([iso_day(traded) is not None for traded in rows.dates], dtype=bool)
    side = np.where(rows.is_future, FUTURE, np.where(rows.is_call, CALL,
                                                     np.where(rows.is_option, PUT, "")))
    strike = np.where(rows.is_future, np.nan, rows.strike)
    keep = dated[rows.traded] & ~np.isnat(rows.expiry) & (side != "") & (
        rows.is_future | (strike > 0))
    return pd.DataFrame({
        "date": np.full(int(keep.sum()), day), "symbol": symbol, "expiry": rows.expiry[keep],
        "strike": strike[keep], "side": side[keep], "close": rows.close[keep],
        "settle": rows.settle[keep], "volume": rows.volume[keep],
        # the older layout has no underlying price (its nearest future is no spot for a
        # backtest): each expiry's forward stands in, in Market.underlying
        "underlying": np.full(int(keep.sum()), np.nan) if rows.older else rows.spot[keep],
        "lot_size": rows.lot_size[keep]}), day
