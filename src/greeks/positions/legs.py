"""A position's legs as a trader writes them, checked field by field: every error names where the
leg came from (a file and line, or an index) and the field."""
from __future__ import annotations

import datetime as dt
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from greeks.exchange.sources import shown
from greeks.market import FUTURE, SIDES, expiry_day

# The largest magnitude each number of a leg may have: far beyond any contract traded, well
# inside what the payoff's arithmetic keeps finite.
LARGEST = {"strike": 1e9, "quantity": 1e9, "entry_price": 1e9, "lots": 1e7, "lot_size": 1e7}
# A leg's lot size by its symbol and expiry; LookupError where none is known.
LotSizes = Callable[[str, dt.date], float]
# The fields of a leg, in the order files write them.
FIELDS = ("symbol", "expiry", "strike", "side", "quantity", "entry_price")
# Fields that may stand in for quantity: lots × lot_size.
LOT_FIELDS = ("lots", "lot_size")


class PositionError(ValueError):
    """A leg that cannot be read or priced; the message names where and which field."""

    def __init__(self, where: str, field: str, reason: str):
        super().__init__(f"{where}, {field}: {reason}")
        self.where, self.field, self.reason = where, field, reason


@dataclass(frozen=True)
class Leg:
    """One leg: `quantity` in units of the underlying, signed (negative: sold); `strike` None for
    a future; `entry_price` None when not given."""
    symbol: str
    expiry: dt.date
    strike: float | None
    side: str  # CE, PE or FUT
    quantity: float
    entry_price: float | None = None
    where: str = ""
    lot_size: float | None = None  # units per lot, where the leg was given in lots

    @property
    def lots(self) -> float | None:
        return None if self.lot_size is None else self.quantity / self.lot_size

    @property
    def is_future(self) -> bool:
        return self.side == FUTURE

    def fields(self) -> dict[str, Any]:
        """The leg as a file writes it."""
        return {"symbol": self.symbol, "expiry": self.expiry.isoformat(),
                "strike": "" if self.strike is None else number_text(self.strike),
                "side": self.side, "quantity": number_text(self.quantity),
                "entry_price": "" if self.entry_price is None else number_text(self.entry_price)}


def number_text(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def blank(value: Any) -> bool:
    return value is None or (isinstance(value, str) and not value.strip()) or \
        (isinstance(value, float) and math.isnan(value))


def number(value: Any, where: str, field: str) -> float:
    """A finite number from a number or numeric text, within what a leg of any market holds;
    PositionError otherwise."""
    if isinstance(value, bool):
        raise PositionError(where, field, f"{shown(value)} is not a number")
    try:
        result = float(value.strip() if isinstance(value, str) else value)
    except (TypeError, ValueError, OverflowError):
        raise PositionError(where, field, f"{shown(value)} is not a number") from None
    if not math.isfinite(result):
        raise PositionError(where, field, f"{shown(value)} is not a finite number")
    if abs(result) > LARGEST[field]:
        raise PositionError(where, field, f"{shown(value)} is beyond any market's "
                                          f"(at most {LARGEST[field]:g})")
    return result


def read_side(value: Any, where: str) -> str:
    side = SIDES.get(value.strip().lower()) if isinstance(value, str) else None
    if side is None:
        raise PositionError(where, "side", f"{shown(value)} is not a side: CE, PE, call, put or FUT")
    return side


def read_expiry(value: Any, where: str) -> dt.date:
    if isinstance(value, dt.date):
        return value if not isinstance(value, dt.datetime) else value.date()
    try:
        return expiry_day(value if isinstance(value, str) else str(value))
    except ValueError:
        raise PositionError(where, "expiry", f"{shown(value)} is not a date such as 07-Aug-2025 or "
                                             f"2025-08-07") from None


def read_quantity(fields: Mapping[str, Any], where: str,
                  look_up: Callable[[], float] | None = None) -> tuple[float, float | None]:
    """(`quantity`, None), or (`lots` × `lot_size`, lot_size); `lots` alone takes its lot size
    from `look_up`, the exchange's for the leg's contract, never a guessed one."""
    size = None
    if not blank(fields.get("quantity")):
        quantity = number(fields["quantity"], where, "quantity")
    elif not blank(fields.get("lots")):
        lots = number(fields["lots"], where, "lots")
        if not blank(fields.get("lot_size")):
            size = number(fields["lot_size"], where, "lot_size")
        elif look_up is None:
            raise PositionError(where, "lot_size", "lots need a lot_size (units per lot); none is "
                                                   "guessed")
        else:
            try:
                size = float(look_up())
            except LookupError as error:
                raise PositionError(where, "lot_size", str(error)) from None
        if size <= 0:
            raise PositionError(where, "lot_size", f"{shown(fields.get('lot_size', size))} is not a "
                                                   f"positive count of units")
        quantity = lots * size
    else:
        raise PositionError(where, "quantity", "missing (give quantity, or lots and lot_size)")
    if quantity == 0:
        raise PositionError(where, "quantity", "is zero: a leg holds a signed, non-zero quantity")
    return quantity, size


def leg_from_fields(fields: Mapping[str, Any], where: str,
                    lot_sizes: LotSizes | None = None) -> Leg:
    """A checked leg from a mapping of field names to values (text or numbers). A leg in `lots`
    without a `lot_size` takes `lot_sizes(symbol, expiry)`, which raises LookupError when it
    knows none."""
    symbol = fields.get("symbol")
    if blank(symbol) or not isinstance(symbol, str):
        raise PositionError(where, "symbol", "missing")
    side = read_side(fields.get("side"), where)
    expiry = read_expiry(fields.get("expiry"), where)
    strike = None
    if side != FUTURE:
        if blank(fields.get("strike")):
            raise PositionError(where, "strike", f"missing (a {side} needs one)")
        strike = number(fields["strike"], where, "strike")
        if strike <= 0:
            raise PositionError(where, "strike", f"{shown(fields['strike'])} is not a positive price")
    elif not blank(fields.get("strike")):
        raise PositionError(where, "strike", "a future has no strike; leave it empty")
    entry = None if blank(fields.get("entry_price")) else \
        number(fields["entry_price"], where, "entry_price")
    if entry is not None and entry < 0:
        raise PositionError(where, "entry_price", f"{shown(fields['entry_price'])} is below zero")
    name = symbol.strip().upper()
    look_up = None if lot_sizes is None else (lambda: lot_sizes(name, expiry))
    quantity, size = read_quantity(fields, where, look_up)
    return Leg(symbol=name, expiry=expiry, strike=strike, side=side, quantity=quantity,
               entry_price=entry, where=where, lot_size=size)
