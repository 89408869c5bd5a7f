"""The pricing choices, travelling together: the model, the rate and dividend yield, the clock, the
volatility and price rules, and the moment priced. One frozen object, checked once, that
``chain_greeks``, positions, the history store, the dashboard and the command line share.

The models:
- "forward" (the default): each expiry priced by Black-76 on its own forward, which put-call
  parity gives from the chain's prices (F = K + e^(rT)·(C − P) at the strikes nearest the money),
  discounted at the rate; every leg's volatility solved from its price ("solve"), judged by the
  "auto" rule (a narrow quote's mid, else a traded last price).
- "spot": Black-Scholes-Merton on the spot at the rate and dividend yield, the exchange's
  volatility where it publishes one and the last price solved elsewhere ("fill", "last"): the
  package's pricing before the forward model, kept to the bit.
- "exchange": the exchange's own convention for its published volatility: Black-Scholes on the
  spot at 10 %, to the close.
"""
from __future__ import annotations

import dataclasses
import datetime as dt
import numbers
from typing import Any

from greeks.market import DEFAULT_RATE, EXCHANGE_RATE
from greeks.units import warn_if_implausible

MODELS = ("forward", "spot", "exchange")
CLOCKS = ("close", "days")
IV_CHOICES = ("exchange", "fill", "solve")
PRICE_CHOICES = ("auto", "last", "mid")
# What each model takes for a choice the caller leaves unset.
MODEL_DEFAULTS = {
    "forward": {"rate": DEFAULT_RATE, "iv": "solve", "price": "auto"},
    "spot": {"rate": DEFAULT_RATE, "iv": "fill", "price": "last"},
    "exchange": {"rate": EXCHANGE_RATE, "iv": "fill", "price": "last"},
}
FIELDS = ("model", "rate", "dividend_yield", "clock", "iv", "price", "now")


def check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, not {value!r}")


def check_number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


@dataclasses.dataclass(frozen=True)
class Pricing:
    """How legs are priced. A choice left as None takes the model's default (rate 0.07, or 0.10
    under "exchange"; iv "solve" and price "auto" under "forward", "fill" and "last"
    otherwise). `now` None prices a chain at its own capture time; a naive datetime is India
    Standard Time. A rate or dividend yield above 1 warns, as a likely percentage."""
    model: str = "forward"
    rate: float | None = None
    dividend_yield: float = 0.0
    clock: str = "close"
    iv: str | None = None
    price: str | None = None
    now: dt.datetime | None = None
    # The fields the model filled in, so that a changed model fills them anew.
    defaulted: frozenset = dataclasses.field(default=frozenset(), repr=False, compare=False)

    def __post_init__(self) -> None:
        check_choice("model", self.model, MODELS)
        check_choice("clock", self.clock, CLOCKS)
        defaults = MODEL_DEFAULTS[self.model]
        filled = {name for name in defaults if getattr(self, name) is None}
        for name in filled:
            object.__setattr__(self, name, defaults[name])
        object.__setattr__(self, "defaulted", frozenset(filled) | self.defaulted & set(defaults))
        check_choice("iv", self.iv, IV_CHOICES)
        check_choice("price", self.price, PRICE_CHOICES)
        object.__setattr__(self, "rate", check_number("rate", self.rate))
        object.__setattr__(self, "dividend_yield",
                           check_number("dividend_yield", self.dividend_yield))
        if self.now is not None and not isinstance(self.now, dt.datetime):
            raise TypeError(f"now must be a datetime or None, not {type(self.now).__name__}")
        warn_if_implausible({"rate": self.rate, "dividend_yield": self.dividend_yield})

    @classmethod
    def of(cls, pricing: Pricing | None = None, **choices: Any) -> Pricing:
        """`pricing` (default: the defaults) with the choices given that are not None."""
        if pricing is not None and not isinstance(pricing, Pricing):
            raise TypeError(f"pricing must be a greeks.Pricing, not {type(pricing).__name__}")
        unknown = set(choices) - set(FIELDS)
        if unknown:
            raise TypeError(f"unknown pricing choice {sorted(unknown)[0]!r}")
        given = {name: value for name, value in choices.items() if value is not None}
        if pricing is None:
            return cls(**given) if given else DEFAULT
        return pricing.replace(**given) if given else pricing

    def replace(self, **changes: Any) -> Pricing:
        """A copy with `changes`; what the old model filled in is filled by the new one."""
        kept = {name: getattr(self, name) for name in FIELDS
                if name not in changes and name not in self.defaulted}
        return Pricing(**kept, **changes)

    def __deepcopy__(self, memo: dict) -> Pricing:
        # Immutable: pandas deep-copies a frame's attrs into every frame and column derived from
        # it, and a copy per column access would cost more than the access.
        return self

    @property
    def fits_forward(self) -> bool:
        return self.model == "forward"

    def describe(self) -> str:
        """The choices as a status line says them."""
        parts = [f"model {self.model}", f"rate {self.rate:g}"]
        if self.dividend_yield:
            parts.append(f"dividend yield {self.dividend_yield:g}")
        parts.append(f"iv {self.iv}" + (f" from the {self.price} price"
                                        if self.iv != "exchange" else ""))
        return "  ".join(parts)


DEFAULT = Pricing()
