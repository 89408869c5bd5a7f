"""The exchange's daily F&O files in both layouts, read into one frame of contracts a day.

UDiFF (since 8 July 2024): `TradDt, FinInstrmTp, TckrSymb, XpryDt, StrkPric, OptnTp, ClsPric,
SttlmPric, UndrlygPric, TtlTradgVol, NewBrdLotQty, ...`, options IDO/STO, futures IDF/STF. The
older layout (`foDDMMMYYYYbhav.csv`): `INSTRUMENT, SYMBOL, EXPIRY_DT, STRIKE_PR, OPTION_TYP, OPEN,
HIGH, LOW, CLOSE, SETTLE_PR, CONTRACTS, VAL_INLAKH, OPEN_INT, CHG_IN_OI, TIMESTAMP` and a trailing
comma on every line, options OPTIDX/OPTSTK, futures FUTIDX/FUTSTK (strike 0, side XX), expiries
such as 30-Jan-2020 beside a timestamp 01-JAN-2020; it carries no underlying price and no lot
size, which are NaN here."""
from __future__ import annotations

import io
import pathlib
from typing import Any

import numpy as np

from greeks.history.bhavcopy import BhavcopyError, read_text
from greeks.history.daily_rows import OLDER_COLUMNS, from_older_layout
from greeks.market import CALL, FUTURE, PUT

# The frame's columns under their UDiFF names; the older layout is read under those names too.
UDIFF = {"date": "TradDt", "instrument": "FinInstrmTp", "symbol": "TckrSymb", "expiry": "XpryDt",
         "strike": "StrkPric", "side": "OptnTp", "close": "ClsPric", "settle": "SttlmPric",
         "volume": "TtlTradgVol", "underlying": "UndrlygPric", "lot_size": "NewBrdLotQty"}
OPTIONS, FUTURES = ("IDO", "STO"), ("IDF", "STF")
NUMBERS = ("strike", "close", "settle", "volume", "underlying", "lot_size")


def read_day(path: pathlib.Path) -> Any:
    """The options and futures of one daily file: a frame with the columns date, symbol, expiry
    (datetime64[D]), strike, side (CE, PE or FUT), close, settle, volume, underlying, lot_size.
    BhavcopyError, one line naming the file, when it is neither layout or cannot be read."""
    import pandas as pd

    text = read_text(path)
    try:
        frame = pd.read_csv(io.StringIO(text), dtype=str, skipinitialspace=True)
    except (ValueError, pd.errors.ParserError) as error:
        raise BhavcopyError(f"{path}: not a daily F&O file: {error}") from None
    frame.columns = [str(name).strip() for name in frame.columns]
    if set(OLDER_COLUMNS) <= set(frame.columns):
        # no underlying price of its own: each expiry's forward stands in (Market.underlying)
        frame = from_older_layout(frame.apply(lambda column: column.str.strip()))
        frame["UndrlygPric"] = ""
    if not set(UDIFF.values()) <= set(frame.columns):
        raise BhavcopyError(f"{path}: not a daily F&O file in the UDiFF or the older layout")
    out = pd.DataFrame({ours: frame[theirs].str.strip() for ours, theirs in UDIFF.items()})
    for name in NUMBERS:
        out[name] = pd.to_numeric(out[name], errors="coerce")
    kind = out.pop("instrument")
    out = out[kind.isin(OPTIONS + FUTURES)].copy()
    out.loc[kind.isin(FUTURES), "side"] = FUTURE
    out.loc[kind.isin(FUTURES), "strike"] = np.nan
    for name in ("date", "expiry"):
        out[name] = pd.to_datetime(out[name], format="%Y-%m-%d", errors="coerce")
    bad = out["date"].isna() | out["expiry"].isna() | ~out["side"].isin((CALL, PUT, FUTURE)) | (
        (out["side"] != FUTURE) & ~(out["strike"] > 0))
    if out["date"].notna().any() and out["date"].nunique() > 1:
        raise BhavcopyError(f"{path}: holds {out['date'].nunique()} trade dates, not one")
    out = out[~bad]
    if out.empty:
        raise BhavcopyError(f"{path}: holds no option or future that can be read")
    out["date"] = out["date"].values.astype("datetime64[D]")
    out["expiry"] = out["expiry"].values.astype("datetime64[D]")
    return out.reset_index(drop=True)
