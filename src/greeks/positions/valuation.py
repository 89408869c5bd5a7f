"""A position marked against one fetch of each underlying's chain: per leg and net, the value, the
P&L against entry, and the Greeks in the units a trader watches (delta in units of the underlying
and in rupees per 1 % move, theta in rupees per day, vega in rupees per volatility point)."""
from __future__ import annotations

import datetime as dt
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np

from greeks.arrays import GREEK_NAMES, option_price
from greeks.chains import clock as clocks
from greeks.chains.frame import FORWARD_SOURCE_TEXTS, IV_SOURCE_TEXTS, PRICE_SOURCE_TEXTS, price_legs
from greeks.chains.pricing import Pricing
from greeks.exchange.reading import (ChainLegs, LegNotListed, MissingSpot, capture_time,
                                     find_leg, futures_prices, read_chain)
from greeks.exchange.sources import exchange_chain
from greeks.market import CALL, DAYS_PER_YEAR, FUTURE, PUT
from greeks.positions.legs import Leg, PositionError

FORWARD_BY_PARITY = FORWARD_SOURCE_TEXTS.index("parity")
# Leg kinds as the position kernel codes them.
KIND_CODES = {PUT: 0.0, CALL: 1.0, FUTURE: 2.0}
GREEKS = GREEK_NAMES
COLUMNS = ("symbol", "expiry", "strike", "side", "quantity", "lot_size", "entry_price", "spot",
           "last_price", "price", "price_source", "iv", "iv_source", "time_to_expiry", "value",
           "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho", "delta_per_lot",
           "gamma_per_lot", "theta_per_lot", "vega_per_lot", "note")
# The Greeks a trader reads per lot: the leg's Greek per unit times its lot size.
PER_LOT = ("delta", "gamma", "theta", "vega")
# Net figures: summed over the legs, NaN with the reason when a leg lacks one.
SUMMED = ("value", "pnl", "delta", "delta_rupees", "gamma", "theta", "vega", "rho")
# Summed only within one underlying: units of two underlyings do not add.
PER_UNDERLYING = ("delta", "gamma")


@dataclass
class Marked:
    """A position priced at one moment: the frame of legs and net, and the model inputs the
    payoff and what-if grids start from. The frame is built when first read: the curves and
    grids need only the arrays, and a small frame of some thirty columns costs pandas more than
    pricing the legs does."""
    legs: list[Leg]
    build_frame: Callable[[], Any] = field(repr=False)
    kind: np.ndarray         # KIND_CODES per leg
    strike: np.ndarray       # NaN for futures
    quantity: np.ndarray
    years: np.ndarray        # time to each leg's expiry at `now`
    vol: np.ndarray          # each option leg's volatility (NaN for futures)
    carry: np.ndarray        # each leg's dividend yield: its expiry's carry under "forward"
    entry: np.ndarray        # entry price, else today's price: the cost basis of P&L curves
    spots: dict[str, float]  # by underlying
    atm_iv: dict[str, float]  # at-the-money volatility of each underlying's nearest expiry held
    pricing: Pricing
    now: dt.datetime

    @property
    def rate(self) -> float:
        return self.pricing.rate

    @cached_property
    def frame(self) -> Any:
        """pandas.DataFrame: one row per leg, then "net"."""
        return self.build_frame()


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


def legs_of(priced: dict[str, Any], where: np.ndarray) -> dict[str, Any]:
    """The priced legs at the positions `where` among those `priced` holds."""
    taken = {name: value[where] for name, value in priced.items()
             if isinstance(value, np.ndarray) and value.ndim == 1}
    taken["greeks"] = {name: column[where] for name, column in priced["greeks"].items()}
    taken["column"] = lambda name: priced["column"](name)[where]
    return {**priced, **taken}


def leg_note(iv_source: str, years: float, price_basis: str) -> str:
    if years <= 0:
        return "expired"
    if iv_source == "none":
        return f"no volatility: none published, none solved from the {price_basis} price"
    return ""


def mark(legs: list[Leg], chains: Any = None, pricing: Pricing | None = None,
         **choices: Any) -> Marked:
    """Prices every leg from its underlying's chain: the chain is read once and only the legs
    held (and the at-the-money pair) are priced. Under the "spot" model a leg is worth the model
    price at its volatility; under the others, the price its volatility was solved from (the
    mid or last price the pricing judged it at) where it was solved."""
    pricing = Pricing.of(pricing, **choices)
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
        moment = moments[symbol] = clocks.resolve_now(pricing.now, capture_time(chain))
        spots[symbol] = read.spot
        held = [(index, leg) for index, leg in enumerate(legs) if leg.symbol == symbol]
        options = [(index, leg) for index, leg in held if not leg.is_future]
        where = np.array([option_index(read, leg) for _, leg in options] +
                         at_the_money(read, [leg for _, leg in held]).tolist(), dtype=np.int64)
        # An expiry's forward is fitted over all its legs: the forward model prices every leg of
        # the expiries the position holds.
        whole = None
        if pricing.fits_forward:
            days = np.unique(np.r_[read.expiry[where], np.array(
                [leg.expiry for _, leg in held], dtype="datetime64[D]")])
            expiries = np.flatnonzero(np.isin(read.expiry, days))
            whole = price_legs(read, expiries, moment, pricing)
            whole["legs"] = expiries
        priced = price_legs(read, where, moment, pricing) if whole is None else \
            legs_of(whole, np.searchsorted(whole["legs"], where))
        for n, (index, _) in enumerate(options):
            source = IV_SOURCE_TEXTS[priced["iv_source_code"][n]]
            judged = priced["price"][n] if source == "solved" and pricing.model != "spot" \
                else None
            rows[index] = {"spot": read.spot, "last_price": priced["column"]("last_price")[n],
                           "iv": priced["iv"][n], "iv_source": source, "market_price": judged,
                           "price_source": PRICE_SOURCE_TEXTS[priced["price_source_code"][n]],
                           "carry": priced["carry"][n],
                           "time_to_expiry": priced["time_to_expiry"][n],
                           **{name: priced["greeks"][name][n] for name in GREEKS},
                           "note": leg_note(source, priced["time_to_expiry"][n],
                                            pricing.price)}
        forwards = {day.item(): (value, code) for day, value, code in zip(
            whole["expiry"], whole["forward"], whole["forward_source_code"])} \
            if whole is not None and len(options) < len(held) else {}
        pair = priced["iv"][len(options):]
        pair = pair[np.isfinite(pair)]
        atm_iv[symbol] = float(pair.mean()) if pair.size else math.nan
        futures = futures_prices(chain) if len(options) < len(held) else {}
        for index, leg in held:
            if leg.is_future:
                years = float(clocks.years_to_expiry(np.array([leg.expiry], "datetime64[D]"),
                                                     moment, pricing.clock)[0])
                fitted = forwards.get(leg.expiry, (None, 0))
                parity = fitted[0] if fitted[1] == FORWARD_BY_PARITY else None
                rows[index] = future_row(leg, read.spot, years, futures.get(leg.expiry), parity,
                                         pricing)
    return assemble(legs, [rows[index] for index in range(len(legs))], spots, atm_iv,
                    moments[symbols[0]], pricing)


def assemble(legs: list[Leg], rows: list[dict[str, Any]], spots: dict[str, float],
             atm_iv: dict[str, float], now: dt.datetime, pricing: Pricing) -> Marked:
    """The frame of legs and net, in rupees, and the model inputs of the curves."""
    kind = np.array([KIND_CODES[leg.side] for leg in legs])
    strike = np.array([math.nan if leg.strike is None else leg.strike for leg in legs])
    quantity = np.array([leg.quantity for leg in legs])
    years = np.array([row["time_to_expiry"] for row in rows], dtype=np.float64)
    vol = np.array([row["iv"] for row in rows], dtype=np.float64)
    spot = np.array([row["spot"] for row in rows], dtype=np.float64)
    carry = np.array([row["carry"] for row in rows], dtype=np.float64)
    unit_price = np.array([row.pop("price", math.nan) for row in rows], dtype=np.float64)
    options = kind != KIND_CODES[FUTURE]
    unit_price[options] = option_price(spot[options], strike[options], years[options],
                                       pricing.rate, vol[options],
                                       kind[options] == KIND_CODES[CALL],
                                       dividend_yield=carry[options], warn=False)
    # Where the pricing solved a leg's volatility from a market price, the leg is worth that
    # price itself, not the model's rounding of it.
    market = np.array([math.nan if row.get("market_price") is None else row["market_price"]
                       for row in rows], dtype=np.float64)
    unit_price = np.where(np.isnan(market), unit_price, market)
    lot_size = np.array([math.nan if leg.lot_size is None else leg.lot_size for leg in legs])
    entry = np.array([math.nan if leg.entry_price is None else leg.entry_price for leg in legs])
    columns: dict[str, Any] = {
        "symbol": [leg.symbol for leg in legs],
        "expiry": np.array([leg.expiry for leg in legs], dtype="datetime64[ns]"),
        "strike": strike, "side": [leg.side for leg in legs], "quantity": quantity,
        "lot_size": lot_size, "entry_price": entry, "spot": spot,
        "last_price": np.array([row["last_price"] for row in rows], dtype=np.float64),
        "price": unit_price, "price_source": [row.get("price_source", "") for row in rows],
        "iv": vol, "iv_source": [row["iv_source"] for row in rows],
        "time_to_expiry": years, "value": quantity * unit_price,
        "pnl": quantity * (unit_price - entry),
        **{name: quantity * np.array([row[name] for row in rows], dtype=np.float64)
           for name in GREEKS},
        "note": [row["note"] for row in rows]}
    columns["delta_rupees"] = columns["delta"] * spot / 100.0
    for name in PER_LOT:
        columns[f"{name}_per_lot"] = columns[name] / quantity * lot_size
    def build_frame() -> Any:
        import pandas as pd

        net = net_figures(columns, legs)
        frame = pd.DataFrame({name: list(values) + [net.get(name, math.nan if name not in (
            "symbol", "side", "iv_source", "note", "expiry") else None)]
                              for name, values in ((name, columns[name]) for name in COLUMNS)},
                             index=[*range(1, len(legs) + 1), "net"])
        frame["expiry"] = pd.to_datetime(frame["expiry"])
        frame.attrs.update(now=now, spots=spots, rate=pricing.rate,
                           dividend_yield=pricing.dividend_yield, pricing=pricing)
        return frame

    return Marked(legs=legs, build_frame=build_frame, kind=kind, strike=strike, quantity=quantity,
                  years=years, vol=vol, carry=carry,
                  entry=np.where(np.isnan(entry), unit_price, entry), spots=spots, atm_iv=atm_iv,
                  pricing=pricing, now=now)


def future_row(leg: Leg, spot: float, years: float, quoted: float | None,
               parity: float | None, pricing: Pricing) -> dict[str, Any]:
    """A future: the exchange's price where the payload carries one, else (under "forward") its
    expiry's forward from put-call parity, else the spot carried at the rate to expiry; delta 1
    per unit, theta the carry that runs off each day. Its dividend yield in the curves is the
    one that carries the spot to that price."""
    carry = pricing.rate - pricing.dividend_yield
    yield_ = pricing.dividend_yield
    if years <= 0:
        price, note = spot, "expired"
    elif quoted is not None:
        price, note = quoted, "the exchange's futures price"
    elif parity is not None:
        price, note = parity, "forward: put-call parity of its expiry"
    else:
        price, note = spot * math.exp(carry * years), "forward: the spot carried at the rate"
    if years > 0 and price != spot * math.exp(carry * years) and pricing.model != "spot":
        carry = math.log(price / spot) / years
        yield_ = pricing.rate - carry
    running = years > 0
    return {"spot": spot, "last_price": quoted if quoted is not None else math.nan, "price": price,
            "iv": math.nan, "iv_source": "future", "price_source": "", "carry": yield_,
            "time_to_expiry": years, "delta": 1.0,
            "gamma": 0.0, "theta": -carry * price / DAYS_PER_YEAR if running else 0.0, "vega": 0.0,
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
