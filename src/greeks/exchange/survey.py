"""What one fetch of a chain held, for the day the exchange changes its payload again: the shape,
counts of rows, legs and what was left out, the expiries, where the spot came from, and which of
the fields the package reads were present."""
from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from greeks.exchange import vocabulary as words
from greeks.exchange.reading import SIDE_KEY_NAMES, capture_time, futures_prices, read_chain


@dataclass
class Survey:
    shape: str
    rows: int
    legs: int
    calls: int
    skipped: int
    not_options: int
    duplicates: int
    expiries: list            # dates, nearest first
    spot: float
    spot_source: str | None
    timestamp: Any
    symbol: str | None
    holders: Counter = field(default_factory=Counter)  # where legs sat: side key or "contract"
    fields: dict = field(default_factory=dict)  # leg column -> {key found: count of legs}
    # expiry -> (forward, "parity" or "carry", the future's last price or None)
    forwards: dict = field(default_factory=dict)


def expiry_forwards(chain: Any, legs: Any) -> dict:
    """Each running expiry's forward as the forward model fits it at the chain's capture time,
    beside the price of a future of that expiry where the payload carries one."""
    from greeks.chains import clock
    from greeks.chains.frame import FORWARD_SOURCE_TEXTS, price_legs
    from greeks.chains.pricing import DEFAULT

    if not len(legs.strike) or legs.spot_source is None:
        return {}
    moment = clock.resolve_now(None, capture_time(chain))
    priced = price_legs(legs, slice(None), moment, DEFAULT)
    futures = futures_prices(chain)
    found = {}
    for day, forward, code, years in zip(legs.expiry, priced["forward"],
                                         priced["forward_source_code"],
                                         priced["time_to_expiry"]):
        if years > 0:
            found.setdefault(day.item(), (float(forward), FORWARD_SOURCE_TEXTS[code],
                                          futures.get(day.item())))
    return found


def survey(chain: Any) -> Survey:
    legs = read_chain(chain)
    holders: Counter = Counter()
    fields: dict[str, Counter] = {leg_field.column: Counter() for leg_field in words.LEG_FIELDS}
    for leg in range(len(legs.strike)):
        slot = int(legs.origin[leg, 1])
        holders["contract" if slot < 0 else SIDE_KEY_NAMES[slot]] += 1
        record = legs.record(leg)
        for leg_field in words.LEG_FIELDS:
            key = next((key for key in leg_field.keys if key in record), None)
            fields[leg_field.column][key] += 1
    return Survey(
        forwards=expiry_forwards(chain, legs),
        shape=legs.shape, rows=len(legs.rows), legs=len(legs.strike),
        calls=int(legs.is_call.sum()), skipped=legs.skipped, not_options=legs.not_options,
        duplicates=legs.duplicates,
        expiries=sorted({day.item() for day in legs.expiry}), spot=legs.spot,
        spot_source=legs.spot_source, timestamp=legs.timestamp, symbol=legs.symbol,
        holders=holders, fields=fields)
