"""Any chain rewritten in the "records" shape that ``Kestrava`` reads, so that the module works with
today's nsepython: the spot under ``records.underlyingValue``, one row per strike and expiry with
the sides under CE and PE, expiries written 07-Aug-2025, and, where the exchange publishes no
volatility (missing or 0), one solved from the leg's last price on the module's own whole-day
clock and marked so under SOLVED_MARK."""
from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

import numpy as np

from greeks.exchange import vocabulary as words
from greeks.exchange.reading import ChainLegs, MissingSpot, read_chain
from greeks.market import DEFAULT_RATE

# Set to True in a side whose impliedVolatility was solved here rather than published.
SOLVED_MARK = "impliedVolatilitySolved"
# The module's own rate, at which it will price what it reads.
MODULE_RATE = DEFAULT_RATE  # the module prices at it


def solved_volatility_percent(legs: ChainLegs, now: dt.datetime) -> np.ndarray:
    """Each leg's volatility in percent as the module will read it: the exchange's where above 0,
    else solved from the last price on the whole-day clock (NaN where none solves)."""
    from greeks.arrays import implied_volatility
    from greeks.chains.clock import years_to_expiry

    published = legs.column("iv_percent")
    missing = ~(published > 0)
    if not missing.any():
        return published
    years = years_to_expiry(legs.expiry[missing], now, "days")
    solved = implied_volatility(legs.column("last_price")[missing], legs.spot,
                                legs.strike[missing], years, MODULE_RATE, legs.is_call[missing],
                                warn=False)
    percent = published.copy()
    percent[missing] = solved * 100.0
    return percent


def as_records_shape(chain: Any, now: dt.datetime | None = None) -> Any:
    """`chain` in the "records" shape; a chain that is not a mapping, or is empty, is returned as
    it is (the module reports those itself). MissingSpot when it has legs but no spot."""
    if not isinstance(chain, dict) or not chain:
        return chain
    legs = read_chain(chain)
    if len(legs.strike) and legs.spot_source is None:
        raise MissingSpot()
    percent = solved_volatility_percent(legs, now or dt.datetime.now().astimezone())
    published = legs.column("iv_percent") > 0
    rows: dict[tuple[int, float], dict] = {}
    for leg, (day, strike) in enumerate(zip(legs.expiry.tolist(), legs.strike.tolist())):
        text = day.strftime(words.RECORDS_EXPIRY_FORMAT)
        row = rows.setdefault((day, strike), {words.RECORDS_FIELDS["strike"]: strike,
                                              words.RECORDS_FIELDS["expiry"]: text})
        side = dict(legs.record(leg))
        side[words.RECORDS_FIELDS["strike"]] = strike
        side[words.RECORDS_FIELDS["expiry"]] = text
        if not published[leg]:
            volatility = percent[leg]
            side[words.RECORDS_FIELDS["iv_percent"]] = (float(volatility)
                                                       if np.isfinite(volatility) else 0.0)
            side[SOLVED_MARK] = bool(np.isfinite(volatility))
        if words.RECORDS_FIELDS["last_price"] not in side:
            side[words.RECORDS_FIELDS["last_price"]] = 0.0
        row[words.RECORDS_SIDES[words.CALL if legs.is_call[leg] else words.PUT]] = side
    expiries = sorted({day for day, _ in rows})
    return {words.RECORDS_KEY: {
        words.SPOT_KEY: legs.spot if legs.spot_source else None,
        words.TIMESTAMP_KEY: legs.timestamp,
        words.EXPIRY_LIST_KEY: [day.strftime(words.RECORDS_EXPIRY_FORMAT) for day in expiries],
        words.ROWS_KEY: list(rows.values()),
    }}


class InRecordsShape:
    """A chain source whose chains come out in the "records" shape."""

    def __init__(self, fetch: Callable[[str], Any]):
        self.fetch = fetch

    def __call__(self, symbol: str) -> Any:
        return as_records_shape(self.fetch(symbol))

    def __repr__(self) -> str:
        return f"InRecordsShape({self.fetch!r})"


def use_records_shape() -> None:
    """Lets ``Kestrava`` read chains as today's nsepython returns them.

    Wraps the module global ``greeks.greeks.nse_optionchain_scrapper`` (nsepython's own, or
    whatever stands in its place) so that every chain it returns reaches the module in the
    "records" shape it reads, with missing volatilities solved from the last price. Calling it
    again changes nothing; importing ``greeks.greeks`` alone leaves the global as nsepython's.
    """
    import greeks.greeks as module

    if not isinstance(module.nse_optionchain_scrapper, InRecordsShape):
        module.nse_optionchain_scrapper = InRecordsShape(module.nse_optionchain_scrapper)
