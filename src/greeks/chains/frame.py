"""Greeks of a whole option chain from one fetch, as a pandas DataFrame."""
from __future__ import annotations

import datetime as dt
import functools
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks import _vector
from greeks.arrays import GREEK_NAMES
from greeks.chains import clock as clocks
from greeks.chains.blocks import frame_of
from greeks.chains.pricing import Pricing
from greeks.exchange.reading import (ChainLegs, MissingSpot, capture_time, listed_expiries,
                                     read_chain)
from greeks.exchange.sources import exchange_chain
from greeks.market import CALL, PUT, expiry_day
from greeks.units import warn_user

if TYPE_CHECKING:
    import pandas

COLUMNS = ("expiry", "strike", "side", "spot", "last_price", "iv", "time_to_expiry",
           *GREEK_NAMES, "iv_source", "open_interest", "volume", "bid", "ask", "mid",
           "change_in_oi", "symbol", "price", "price_source", "exchange_iv", "forward",
           "forward_source", "carry", "lot_size")
TEXT_COLUMNS = ("expiry", "side", "iv_source", "symbol", "price_source", "forward_source")
# The frame's float columns, in its order: price_legs writes them as the rows of one array.
FLOAT_COLUMNS = tuple(name for name in COLUMNS if name not in TEXT_COLUMNS)
# The columns taken from the exchange's records as they are.
EXCHANGE_COLUMNS = ("last_price", "open_interest", "volume", "bid", "ask", "change_in_oi",
                    "lot_size")
# The float columns the pricing kernel writes, in its order.
KERNEL_OUTPUTS = ("mid", "price", "iv", "exchange_iv", "forward", "carry", *GREEK_NAMES)
SIDE_TEXTS = (PUT, CALL)  # by is_call
IV_SOURCE_TEXTS: tuple[str, ...] = _vector.IV_SOURCES  # by the codes price_legs gives
PRICE_SOURCE_TEXTS: tuple[str, ...] = _vector.PRICE_SOURCES
FORWARD_SOURCE_TEXTS: tuple[str, ...] = _vector.FORWARD_SOURCES
# The source codes price_legs gives, and the texts they index.
UNPRICED_TEXTS: tuple[str, ...] = _vector.UNPRICED_REASONS
SOURCE_CODES = {"iv_source_code": IV_SOURCE_TEXTS, "price_source_code": PRICE_SOURCE_TEXTS,
                "forward_source_code": FORWARD_SOURCE_TEXTS, "unpriced_code": UNPRICED_TEXTS}


@functools.lru_cache(maxsize=32)
def text_choices(choices: tuple[str, ...]) -> Any:
    """pandas' str array of `choices`, stored as Python strings, from which text columns are taken
    by code: pandas builds its default, Arrow-backed str column from a thousand short texts in
    several times the time the whole chain is priced in, and checks every text of a column built
    from texts, where a take copies references. Pandas before 2.3 has no such dtype and gets
    the plain object array."""
    import pandas as pd

    try:
        return pd.array(list(choices), dtype=pd.StringDtype("python", na_value=np.nan))
    except TypeError:
        return np.array(choices, dtype=object)


def text_column(choices: tuple[str, ...], codes: np.ndarray) -> Any:
    """The str column holding choices[code] for each code."""
    return text_choices(choices).take(codes)


def fetch_symbol(symbol: str) -> tuple[Any, str]:
    chain = exchange_chain(symbol)
    if chain is None or (hasattr(chain, "__len__") and len(chain) == 0):
        raise ValueError("the exchange returned no option chain")
    return chain, symbol


def warn_of_passed_expiries(legs: ChainLegs, moment: dt.datetime) -> None:
    """A live chain lists no expiry that has passed: one that does is a recording priced at the
    wrong moment, whose expired legs would quietly have no Greeks."""
    days = np.unique(legs.expiry)
    passed = days[clocks.microseconds_to_close(days, moment) <= 0]
    if not passed.size:
        return
    which = "every expiry" if len(passed) == len(days) else \
        f"{len(passed)} of its {len(days)} expiries ({listed_expiries(passed[:3])}" + \
        (", ..." if len(passed) > 3 else "") + ")"
    warn_user(f"{which} of this chain passed before {moment:%d-%b-%Y %H:%M %Z}: those legs "
              f"have no Greeks (price a recording at its capture time with now=)")


def price_legs(legs: ChainLegs, selected: Any, moment: dt.datetime,
               pricing: Pricing) -> dict[str, Any]:
    """The price, forward, volatility, their sources and the Greeks of the legs `selected` (a
    mask, positions or a slice) at `moment`, with their inputs: the work of chain_greeks without
    the frame, for callers that want a few legs of a chain. Every float column is a row of
    "block", in the order of FLOAT_COLUMNS; each "*_code" array indexes its SOURCE_CODES texts."""
    expiries = legs.expiry[selected]
    is_call = np.ascontiguousarray(legs.is_call[selected])
    block = np.empty((len(FLOAT_COLUMNS), len(expiries)))
    row = dict(zip(FLOAT_COLUMNS, block))
    row["strike"][:] = legs.strike[selected]
    row["spot"].fill(legs.spot)
    for name in EXCHANGE_COLUMNS:
        row[name][:] = legs.column(name)[selected]
    row["time_to_expiry"][:] = clocks.years_to_expiry(expiries, moment, pricing.clock)
    codes = {name: np.empty(len(expiries), dtype=np.int8) for name in SOURCE_CODES}
    _vector.price_chain(row["strike"], row["time_to_expiry"], row["last_price"],
                        np.ascontiguousarray(legs.column("iv_percent")[selected]), row["bid"],
                        row["ask"], row["volume"], np.ascontiguousarray(expiries).view(np.int64),
                        is_call, float(legs.spot), pricing.rate, pricing.dividend_yield,
                        pricing.model, pricing.iv, pricing.price,
                        *(row[name] for name in KERNEL_OUTPUTS), *codes.values())
    return {"expiry": expiries, "strike": row["strike"], "is_call": is_call,
            "column": row.__getitem__, "time_to_expiry": row["time_to_expiry"],
            "spot": row["spot"], "mid": row["mid"], "iv": row["iv"], "price": row["price"],
            "carry": row["carry"], "forward": row["forward"], "rate": pricing.rate, **codes,
            "greeks": {name: row[name] for name in GREEK_NAMES}, "block": block}


def text_codes(priced: dict[str, Any]) -> dict[str, tuple[tuple[str, ...], np.ndarray]]:
    """The text columns of priced legs but the symbol: each its texts, and each leg's code."""
    return {"side": (SIDE_TEXTS, priced["is_call"].view(np.int8)),
            "iv_source": (IV_SOURCE_TEXTS, priced["iv_source_code"]),
            "price_source": (PRICE_SOURCE_TEXTS, priced["price_source_code"]),
            "forward_source": (FORWARD_SOURCE_TEXTS, priced["forward_source_code"])}


def unpriced_reasons(priced: dict[str, Any]) -> dict[str, int]:
    """Why the legs without a volatility have none, counted by the pricing kernel's reasons."""
    counts = np.bincount(priced["unpriced_code"], minlength=len(UNPRICED_TEXTS))
    return {UNPRICED_TEXTS[code]: int(count) for code, count in enumerate(counts)
            if code and count}


def chain_greeks(chain: Any, *, expiry: Any = None, pricing: Pricing | None = None,
                 model: str | None = None, now: dt.datetime | None = None,
                 rate: float | None = None, dividend_yield: float | None = None,
                 clock: str | None = None, iv: str | None = None,
                 price: str | None = None) -> pandas.DataFrame:
    """Greeks of every leg of an option chain, one row per leg.

    `chain` is a mapping as the exchange or nsepython returns it (any of its shapes), or a symbol
    to fetch once through ``greeks.greeks.nse_optionchain_scrapper``. `expiry` keeps one expiry
    (None keeps all). The pricing choices come as a ``greeks.Pricing`` or as its keywords (a
    keyword given overrides the object's): `model` "forward" (the default) prices each expiry by
    Black-76 on the forward its own prices imply through put-call parity, "spot" by
    Black-Scholes-Merton on the spot as the package did before the forward model, "exchange" in
    the exchange's convention (the spot at 10 %). `now` is the moment priced: a naive datetime is
    India Standard Time; None is the chain's capture time when it carries one, else the current
    time. `clock` "close" counts to 15:30 IST on the expiry day; "days" whole days to its
    midnight in India, as ``Kestrava.get_option_data`` counts them. `rate` and `dividend_yield`
    (continuous; under "forward" only where an expiry has no parity pair) are annual fractions;
    above 1 they warn, as likely percentages. `iv` "solve" solves every leg's volatility from its
    price, "exchange" takes the exchange's, "fill" the exchange's where above 0 and solved
    elsewhere; "iv_source" says which ("exchange", "solved", or "none": NaN Greeks). `price`
    "auto" judges a leg at the mid of a narrow quote (spread at most 10 % of the mid, or ₹0.20),
    else its last price if it traded (volume above 0); "last" and "mid" at those alone;
    "price_source" says which ("mid", "last" or "none").

    Rows are ordered by expiry, strike, CE before PE. The columns "forward" and
    "forward_source" ("parity", or "carry": S·e^((r−q)T)) give each expiry's forward, "carry"
    the yield q = r − ln(F/S)/T it implies, "exchange_iv" the exchange's own volatility (a
    fraction, NaN where it publishes none). ``attrs`` holds "skipped" (rows and records that
    could not be read), "futures" (records that are no option), "duplicates" (second records of
    a leg), "unpriced" (why legs have no volatility, counted), "spot_source", "timestamp", "now"
    and "pricing". ValueError when the chain has legs but no price of the underlying; a chain
    with an expiry that has passed at `now` warns.
    """
    pricing = Pricing.of(pricing, model=model, now=now, rate=rate,
                         dividend_yield=dividend_yield, clock=clock, iv=iv, price=price)
    wanted = None if expiry is None else expiry_day(expiry)
    chain, asked = fetch_symbol(chain) if isinstance(chain, str) else (chain, None)

    legs = read_chain(chain)
    if len(legs.strike) and legs.spot_source is None:
        raise MissingSpot()
    moment = clocks.resolve_now(pricing.now, capture_time(chain))
    selected = slice(None)
    if wanted is not None:
        day = np.datetime64(wanted, "D")
        held = np.unique(legs.expiry)
        if day not in held:
            raise ValueError(f"the chain has no expiry {wanted:%d-%b-%Y}; "
                             f"it holds: {listed_expiries(held)}")
        selected = legs.expiry == day
    warn_of_passed_expiries(legs, moment)

    priced = price_legs(legs, selected, moment, pricing)
    frame = frame_of(COLUMNS, priced["block"], FLOAT_COLUMNS, {
        "expiry": priced["expiry"].astype("datetime64[ns]"),
        "symbol": text_column((legs.symbol or asked or "",),
                              np.zeros(len(priced["is_call"]), np.int8)),
        **{name: text_column(*coded) for name, coded in text_codes(priced).items()},
    })
    frame.attrs.update(skipped=legs.skipped, futures=legs.not_options,
                       duplicates=legs.duplicates, unpriced=unpriced_reasons(priced),
                       spot_source=legs.spot_source, timestamp=legs.timestamp, now=moment,
                       pricing=pricing)
    return frame
