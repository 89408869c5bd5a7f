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

from greeks.arrays import GREEK_NAMES, option_price
from greeks.chains import clock as clocks
from greeks.chains.frame import IV_SOURCE_TEXTS, checked_pricing, price_legs
from greeks.exchange.reading import (ChainLegs, LegNotListed, MissingSpot, capture_time,
                                     find_leg, futures_prices, read_chain)
from greeks.exchange.sources import exchange_chain
from greeks.positions.legs import Leg, PositionError

# Leg kinds as the position kernel codes them.
KIND_CODES = {"PE": 0.0, "CE": 1.0, "FUT": 2.0}
GREEKS = GREEK_NAMES
COLUMNS = ("symbol", "expiry", "strike", "side", "quantity", "entry_price", "spot", "last_price",
           "price", "iv", "iv_source", "time_to_expiry", "value", "pnl", "delta", "delta_rupees",
           "gamma", "theta", "vega", "rho", "note")
# Net figures: summed over the legs, NaN with the reason when a leg lacks one.
SUMMED = ("value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")
# Summed only within one underlying: units of two underlyings do not add.
PER_UNDERLYING = ("delta", "gamma")
# Frames from the pricing checks up to the user's call of a Position method.
USER_FRAME = 4


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


def option_index(legs: ChainLegs, leg: Leg) -> int:
    """Where an option leg sits among the chain's legs; PositionError naming what the chain
    lists."""
    try:
        return find_leg(legs, leg.symbol, leg.expiry, leg.strike, leg.side)
    except LegNotListed as error:
        raise PositionError(leg.where, error.field, str(error)) from None


def at_the_money(legs: ChainLegs, held: list[Leg]) -> np.ndarray:
    """The call and put at the strike nearest the spot, on the nearest expiry the legs hold (or
    the first listed after it)."""
    nearest = np.datetime64(min(leg.expiry for leg in held), "D")
    later = np.unique(legs.expiry[legs.expiry >= nearest])
    if later.size == 0:
        return np.empty(0, dtype=np.int64)
    there = np.flatnonzero(legs.expiry == later[0])
    strikes = legs.strike[there]
    return there[strikes == strikes[np.argmin(np.abs(strikes - legs.spot))]]


def leg_note(iv_source: str, years: float, price_basis: str) -> str:
    if years <= 0:
        return "expired"
    if iv_source == "none":
        return f"no volatility: none published, none solved from the {price_basis} price"
    return ""


def mark(legs: list[Leg], chains: Any = None, *, now: dt.datetime | None = None,
         rate: float = 0.07, dividend_yield: float = 0.0, clock: str = "close",
         iv: str = "fill", price: str = "last") -> Marked:
    """Prices every leg from its underlying's chain: the chain is read once and only the legs
    held (and the at-the-money pair) are priced."""
    rate, dividend_yield = checked_pricing(now, rate, dividend_yield, clock, iv, price,
                                           user_frame=USER_FRAME)
    symbols = list(dict.fromkeys(leg.symbol for leg in legs))
    rows: dict[int, dict[str, Any]] = {}
    spots, atm_iv, moments = {}, {}, {}
    for symbol, chain in chains_by_symbol(symbols, chains).items():
        if isinstance(chain, str) or not chain:
            raise ValueError(f"the exchange returned no option chain for {symbol}")
        read = read_chain(chain)
        if len(read.strike) and read.spot_source is None:
            raise MissingSpot()
        if read.symbol and read.symbol.upper() != symbol:
            raise ValueError(f"the chain given for {symbol} is the {read.symbol} option chain")
        moment = moments[symbol] = clocks.resolve_now(now, capture_time(chain))
        spots[symbol] = read.spot
        held = [(index, leg) for index, leg in enumerate(legs) if leg.symbol == symbol]
        options = [(index, leg) for index, leg in held if not leg.is_future]
        where = np.array([option_index(read, leg) for _, leg in options] +
                         at_the_money(read, [leg for _, leg in held]).tolist(), dtype=np.int64)
        priced = price_legs(read, where, moment, rate=rate, dividend_yield=dividend_yield,
                            clock=clock, iv=iv, price=price)
        for n, (index, _) in enumerate(options):
            source = IV_SOURCE_TEXTS[priced["iv_source_code"][n]]
            rows[index] = {"spot": read.spot, "last_price": priced["column"]("last_price")[n],
                           "iv": priced["iv"][n], "iv_source": source,
                           "time_to_expiry": priced["time_to_expiry"][n],
                           **{name: priced["greeks"][name][n] for name in GREEKS},
                           "note": leg_note(source, priced["time_to_expiry"][n], price)}
        pair = priced["iv"][len(options):]
        pair = pair[np.isfinite(pair)]
        atm_iv[symbol] = float(pair.mean()) if pair.size else math.nan
        futures = futures_prices(chain) if len(options) < len(held) else {}
        for index, leg in held:
            if leg.is_future:
                years = float(clocks.years_to_expiry(np.array([leg.expiry], "datetime64[D]"),
                                                     moment, clock)[0])
                rows[index] = future_row(leg, read.spot, years, futures.get(leg.expiry), rate,
                                         dividend_yield)
    return assemble(legs, [rows[index] for index in range(len(legs))], spots, atm_iv,
                    moments[symbols[0]], rate, dividend_yield)


def assemble(legs: list[Leg], rows: list[dict[str, Any]], spots: dict[str, float],
             atm_iv: dict[str, float], now: dt.datetime, rate: float,
             dividend_yield: float) -> Marked:
    """The frame of legs and net, in rupees, and the model inputs of the curves."""
    import pandas as pd

    kind = np.array([KIND_CODES[leg.side] for leg in legs])
    strike = np.array([math.nan if leg.strike is None else leg.strike for leg in legs])
    quantity = np.array([leg.quantity for leg in legs])
    years = np.array([row["time_to_expiry"] for row in rows], dtype=np.float64)
    vol = np.array([row["iv"] for row in rows], dtype=np.float64)
    spot = np.array([row["spot"] for row in rows], dtype=np.float64)
    unit_price = np.array([row.pop("price", math.nan) for row in rows], dtype=np.float64)
    options = kind != KIND_CODES["FUT"]
    unit_price[options] = option_price(spot[options], strike[options], years[options], rate,
                                       vol[options], kind[options] == KIND_CODES["CE"],
                                       dividend_yield=dividend_yield, warn=False)
    entry = np.array([math.nan if leg.entry_price is None else leg.entry_price for leg in legs])
    columns: dict[str, Any] = {
        "symbol": [leg.symbol for leg in legs],
        "expiry": np.array([leg.expiry for leg in legs], dtype="datetime64[ns]"),
        "strike": strike, "side": [leg.side for leg in legs], "quantity": quantity,
        "entry_price": entry, "spot": spot,
        "last_price": np.array([row["last_price"] for row in rows], dtype=np.float64),
        "price": unit_price, "iv": vol, "iv_source": [row["iv_source"] for row in rows],
        "time_to_expiry": years, "value": quantity * unit_price,
        "pnl": quantity * (unit_price - entry),
        **{name: quantity * np.array([row[name] for row in rows], dtype=np.float64)
           for name in GREEKS},
        "note": [row["note"] for row in rows]}
    columns["delta_rupees"] = columns["delta"] * spot / 100.0
    net = net_figures(columns, legs)
    frame = pd.DataFrame({name: list(values) + [net.get(name, math.nan if name not in (
        "symbol", "side", "iv_source", "note", "expiry") else None)]
                          for name, values in ((name, columns[name]) for name in COLUMNS)},
                         index=[*range(1, len(legs) + 1), "net"])
    frame["expiry"] = pd.to_datetime(frame["expiry"])
    frame.attrs.update(now=now, spots=spots, rate=rate, dividend_yield=dividend_yield)
    return Marked(legs=legs, frame=frame, kind=kind, strike=strike, quantity=quantity,
                  years=years, vol=vol, entry=np.where(np.isnan(entry), unit_price, entry),
                  spots=spots, atm_iv=atm_iv, rate=rate, dividend_yield=dividend_yield, now=now)


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


def net_figures(columns: dict[str, Any], legs: list[Leg]) -> dict[str, Any]:
    """The net line: each summed figure, or NaN with the legs that lack it named."""
    net: dict[str, Any] = {"symbol": "net"}
    notes = []
    several = len(set(columns["symbol"])) > 1
    for name in SUMMED:
        column = np.asarray(columns[name], dtype=np.float64)
        missing = [str(index) for index, value in enumerate(column, 1) if math.isnan(value)]
        if several and name in PER_UNDERLYING:
            net[name] = math.nan
            notes.append(f"{name}: units of several underlyings do not add")
        elif missing:
            net[name] = math.nan
            notes.append(f"{name}: leg {', '.join(missing)} has none")
        else:
            net[name] = float(column.sum())
    notes += [f"leg {index} has no entry price" for index, leg in enumerate(legs, 1)
              if leg.entry_price is None]
    net["note"] = "; ".join(notes)
    return net
