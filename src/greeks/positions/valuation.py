"""A position marked against one fetch of each underlying's chain: per leg and net, the value, the
P&L against entry, and the Greeks in the units a trader watches (delta in units of the underlying
and in rupees per 1 % move, theta in rupees per day, vega in rupees per volatility point)."""
from __future__ import annotations

import datetime as dt
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from greeks.arrays import option_price
from greeks.chains import clock as clocks
from greeks.chains.frame import chain_greeks
from greeks.exchange.reading import futures_prices, listed_expiries
from greeks.exchange.sources import exchange_chain
from greeks.positions.legs import Leg, PositionError

# Leg kinds as the position kernel codes them.
KIND_CODES = {"PE": 0.0, "CE": 1.0, "FUT": 2.0}
GREEKS = ("delta", "gamma", "theta", "vega", "rho")
COLUMNS = ("symbol", "expiry", "strike", "side", "quantity", "entry_price", "spot", "last_price",
           "price", "iv", "iv_source", "time_to_expiry", "value", "pnl", "delta", "delta_rupees",
           "gamma", "theta", "vega", "rho", "note")
# Net figures: summed over the legs, NaN with the reason when a leg lacks one.
SUMMED = ("value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")
# Summed only within one underlying: units of two underlyings do not add.
PER_UNDERLYING = ("delta", "gamma")


@dataclass
class Marked:
    """A position priced at one moment: the frame of legs and net, and the model inputs the
    payoff and what-if grids start from."""
    legs: list[Leg]
    frame: Any               # pandas.DataFrame: one row per leg, then "net"
    kind: np.ndarray         # KIND_CODES per leg
    strike: np.ndarray       # NaN for futures
    quantity: np.ndarray
    years: np.ndarray        # time to each leg's expiry at `now`
    vol: np.ndarray          # each option leg's volatility (NaN for futures)
    entry: np.ndarray        # entry price, else today's price: the cost basis of P&L curves
    spots: dict[str, float]  # by underlying
    atm_iv: dict[str, float]  # at-the-money volatility of each underlying's nearest expiry held
    rate: float
    dividend_yield: float
    now: dt.datetime


def is_chain(value: Any) -> bool:
    return isinstance(value, Mapping) and ("records" in value or "data" in value)


def chains_by_symbol(symbols: Sequence[str], chains: Any) -> dict[str, Any]:
    """One chain per underlying: fetched once each when `chains` is None; one chain for a
    position in one underlying; or a mapping of symbol to chain."""
    if chains is None:
        return {symbol: exchange_chain(symbol) for symbol in symbols}
    if is_chain(chains):
        if len(symbols) > 1:
            raise ValueError(f"a position in {', '.join(symbols)} needs a chain for each: "
                             f"pass {{symbol: chain}}")
        return {symbols[0]: chains}
    if not isinstance(chains, Mapping):
        raise TypeError(f"chains must be a chain, a mapping of symbol to chain, or None; got "
                        f"{type(chains).__name__}")
    missing = [symbol for symbol in symbols if symbol not in chains]
    if missing:
        raise ValueError(f"no chain given for {', '.join(missing)}")
    return {symbol: chains[symbol] for symbol in symbols}


def nearest_strikes(strikes: np.ndarray, wanted: float, count: int = 4) -> str:
    near = sorted(sorted(set(strikes.tolist()), key=lambda value: abs(value - wanted))[:count])
    return ", ".join(f"{value:g}" for value in near) or "none"


def option_row(frame: Any, leg: Leg) -> Any:
    """The chain frame's row of an option leg; PositionError naming what the chain lists."""
    day = np.datetime64(leg.expiry, "ns")
    same_day = frame["expiry"].to_numpy() == day
    if not same_day.any():
        raise PositionError(leg.where, "expiry", f"{leg.symbol} has no expiry "
                            f"{leg.expiry:%d-%b-%Y}; it lists "
                            f"{listed_expiries(np.unique(frame['expiry'].to_numpy().astype('datetime64[D]')))}")
    side = same_day & (frame["side"].to_numpy() == leg.side)
    match = np.flatnonzero(side & (frame["strike"].to_numpy() == leg.strike))
    if match.size == 0:
        raise PositionError(leg.where, "strike", f"{leg.symbol} {leg.expiry:%d-%b-%Y} has no "
                            f"{leg.side} at strike {leg.strike:g}; the nearest listed are "
                            f"{nearest_strikes(frame['strike'].to_numpy()[side], leg.strike)}")
    return frame.iloc[int(match[0])]


def atm_volatility(frame: Any, legs: list[Leg], spot: float) -> float:
    """The mean volatility of the call and put at the strike nearest the spot, on the nearest
    expiry the legs hold (or the first listed after it)."""
    expiries = np.unique(frame["expiry"].to_numpy())
    nearest = np.datetime64(min(leg.expiry for leg in legs), "ns")
    later = expiries[expiries >= nearest]
    if later.size == 0:
        return math.nan
    legs_there = frame[frame["expiry"].to_numpy() == later[0]]
    strikes = legs_there["strike"].to_numpy()
    at_money = legs_there[strikes == strikes[np.argmin(np.abs(strikes - spot))]]["iv"].to_numpy()
    at_money = at_money[np.isfinite(at_money)]
    return float(at_money.mean()) if at_money.size else math.nan


def leg_note(leg: Leg, iv_source: str, years: float, price_basis: str) -> str:
    if years <= 0:
        return "expired"
    if iv_source == "none":
        return f"no volatility: none published, none solved from the {price_basis} price"
    return ""


def mark(legs: list[Leg], chains: Any = None, *, now: dt.datetime | None = None,
         rate: float = 0.07, dividend_yield: float = 0.0, clock: str = "close",
         iv: str = "fill", price: str = "last") -> Marked:
    import pandas as pd

    symbols = list(dict.fromkeys(leg.symbol for leg in legs))
    frames, spots, atm_iv, futures, moments = {}, {}, {}, {}, []
    for symbol, chain in chains_by_symbol(symbols, chains).items():
        if isinstance(chain, str) or not chain:
            raise ValueError(f"the exchange returned no option chain for {symbol}")
        frame = chain_greeks(chain, now=now, rate=rate, dividend_yield=dividend_yield,
                             clock=clock, iv=iv, price=price)
        named = frame["symbol"].iloc[0] if len(frame) else ""
        if named and named.upper() != symbol:
            raise ValueError(f"the chain given for {symbol} is the {named} option chain")
        frames[symbol], moments = frame, moments + [frame.attrs["now"]]
        spots[symbol] = float(frame["spot"].iloc[0]) if len(frame) else math.nan
        held = [leg for leg in legs if leg.symbol == symbol]
        atm_iv[symbol] = atm_volatility(frame, held, spots[symbol]) if len(frame) else math.nan
        if any(leg.is_future for leg in held):
            futures[symbol] = futures_prices(chain)

    rows = []
    for leg in legs:
        frame, spot = frames[leg.symbol], spots[leg.symbol]
        years = float(clocks.years_to_expiry(np.array([leg.expiry], dtype="datetime64[D]"),
                                             moments[symbols.index(leg.symbol)], clock)[0])
        if leg.is_future:
            rows.append(future_row(leg, spot, years, futures[leg.symbol].get(leg.expiry), rate,
                                   dividend_yield))
        else:
            found = option_row(frame, leg)
            rows.append({"spot": spot, "last_price": found["last_price"], "iv": found["iv"],
                         "iv_source": found["iv_source"], "time_to_expiry": found["time_to_expiry"],
                         **{name: found[name] for name in GREEKS},
                         "note": leg_note(leg, found["iv_source"], found["time_to_expiry"],
                                          price)})

    kind = np.array([KIND_CODES[leg.side] for leg in legs])
    strike = np.array([math.nan if leg.strike is None else leg.strike for leg in legs])
    quantity = np.array([leg.quantity for leg in legs])
    years = np.array([row["time_to_expiry"] for row in rows])
    vol = np.array([row["iv"] for row in rows], dtype=np.float64)
    spot = np.array([row["spot"] for row in rows])
    unit_price = np.array([row.pop("price", math.nan) for row in rows])
    options = kind != KIND_CODES["FUT"]
    unit_price[options] = option_price(spot[options], strike[options], years[options], rate,
                                       vol[options], kind[options] == KIND_CODES["CE"],
                                       dividend_yield=dividend_yield, warn=False)
    entry = np.array([math.nan if leg.entry_price is None else leg.entry_price for leg in legs])

    table = pd.DataFrame(rows)
    table.insert(0, "symbol", [leg.symbol for leg in legs])
    table.insert(1, "expiry", pd.to_datetime([leg.expiry for leg in legs]))
    table.insert(2, "strike", strike)
    table.insert(3, "side", [leg.side for leg in legs])
    table.insert(4, "quantity", quantity)
    table.insert(5, "entry_price", entry)
    table["price"] = unit_price
    table["value"] = quantity * unit_price
    table["pnl"] = quantity * (unit_price - entry)
    for name in GREEKS:
        table[name] = quantity * table[name].to_numpy(dtype=np.float64)
    table["delta_rupees"] = table["delta"] * spot / 100.0
    table.index = pd.RangeIndex(1, len(legs) + 1)
    frame = pd.concat([table, net_row(table, legs)])[list(COLUMNS)]
    frame.attrs.update(now=moments[0], spots=spots, rate=rate, dividend_yield=dividend_yield)
    return Marked(legs=legs, frame=frame, kind=kind, strike=strike, quantity=quantity,
                  years=years, vol=vol, entry=np.where(np.isnan(entry), unit_price, entry),
                  spots=spots, atm_iv=atm_iv, rate=rate, dividend_yield=dividend_yield,
                  now=moments[0])


def future_row(leg: Leg, spot: float, years: float, quoted: float | None, rate: float,
               dividend_yield: float) -> dict[str, Any]:
    """A future: the exchange's price where the payload carries one, else the spot carried at
    the rate to expiry; delta 1 per unit, theta the carry that runs off each day."""
    carry = rate - dividend_yield
    if years <= 0:
        price, note = spot, "expired"
    elif quoted is not None:
        price, note = quoted, "the exchange's futures price"
    else:
        price, note = spot * math.exp(carry * years), "forward: the spot carried at the rate"
    running = years > 0
    return {"spot": spot, "last_price": quoted if quoted is not None else math.nan, "price": price,
            "iv": math.nan, "iv_source": "future", "time_to_expiry": years, "delta": 1.0,
            "gamma": 0.0, "theta": -carry * price / 365.0 if running else 0.0, "vega": 0.0,
            "rho": years * price / 100.0 if running else 0.0, "note": note}


def net_row(table: Any, legs: list[Leg]) -> Any:
    """The net line: each summed figure, or NaN with the legs that lack it named."""
    import pandas as pd

    net: dict[str, Any] = {"symbol": "net", "spot": math.nan}
    notes = []
    several = table["symbol"].nunique() > 1
    for name in SUMMED:
        column = table[name].to_numpy(dtype=np.float64)
        missing = [index for index, value in zip(table.index, column) if math.isnan(value)]
        if several and name in PER_UNDERLYING:
            net[name] = math.nan
            notes.append(f"{name}: units of several underlyings do not add")
        elif missing:
            net[name] = math.nan
            notes.append(f"{name}: leg {', '.join(map(str, missing))} has none")
        else:
            net[name] = float(column.sum())
    for index, leg in zip(table.index, legs):
        if leg.entry_price is None:
            notes.append(f"leg {index} has no entry price")
    net["note"] = "; ".join(dict.fromkeys(notes))
    return pd.DataFrame([net], index=["net"])
