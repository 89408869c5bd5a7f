"""greeks.Position: a list of legs, read from a file, a list or a DataFrame, and everything a
trader asks of it."""
from __future__ import annotations

import datetime as dt
import pathlib
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from greeks.chains.pricing import Pricing
from greeks.exchange.lots import contract_lot_sizes
from greeks.positions import files, payoff as curves
from greeks.positions.legs import Leg, leg_from_fields
from greeks.positions.valuation import Marked, mark

if TYPE_CHECKING:
    import pandas


class Position:
    """Legs of options (CE, PE) and futures (FUT), each with a signed quantity in units.

    Build one from a file (``Position.from_file``: CSV with the header
    ``symbol,expiry,strike,side,quantity,entry_price``, or TOML with ``[[leg]]`` tables of the same
    fields; ``lots`` and ``lot_size`` may stand in for ``quantity``), from a list of legs or of
    mappings with those fields, or from a DataFrame with those columns. Every leg is checked as it
    is read; a ValueError names where it came from and the field.

    The methods that price it take `chains`: one chain (for a position in one underlying), a
    mapping of symbol to chain, or None to fetch each underlying's chain once through
    ``greeks.greeks.nse_optionchain_scrapper``; and the options of ``greeks.chain_greeks``
    (`now`, `rate`, `dividend_yield`, `clock`, `iv`, `price`). A naive `now` is India Standard
    Time; None prices each chain as of its own capture time.
    """

    def __init__(self, legs: Iterable[Leg | Mapping[str, Any]], *, store: Any = None):
        sizes = contract_lot_sizes(store)
        self.legs: list[Leg] = [leg if isinstance(leg, Leg) else
                                leg_from_fields(leg, f"leg {index}", sizes)
                                for index, leg in enumerate(legs, 1)]
        if not self.legs:
            raise ValueError("a position holds at least one leg")
        if len(self.legs) > files.MAX_LEGS:
            raise ValueError(f"a position holds at most {files.MAX_LEGS} legs, not "
                             f"{len(self.legs):,}")

    @classmethod
    def from_file(cls, path: str | pathlib.Path, *, store: Any = None) -> Position:
        """The legs of a .csv or .toml position file. A leg in `lots` alone takes the lot size of
        its contract (``greeks.lot_size``: from `store`, a history store's folder, else the
        exchange's lot-size file)."""
        return cls(files.read_legs(path, contract_lot_sizes(store)))

    @classmethod
    def from_frame(cls, frame: pandas.DataFrame, *, store: Any = None) -> Position:
        """One leg per row of a DataFrame with the fields as columns."""
        sizes = contract_lot_sizes(store)
        return cls(leg_from_fields(row, f"row {index}", sizes)
                   for index, row in zip(frame.index, frame.to_dict("records")))

    def to_file(self, path: str | pathlib.Path) -> None:
        """Writes the legs as CSV, or as TOML for a .toml path."""
        files.write_legs(self.legs, path)

    @property
    def symbols(self) -> list[str]:
        return list(dict.fromkeys(leg.symbol for leg in self.legs))

    def mark(self, chains: Any = None, *, pricing: Pricing | None = None,
             model: str | None = None, now: dt.datetime | None = None,
             rate: float | None = None, dividend_yield: float | None = None,
             clock: str | None = None, iv: str | None = None,
             price: str | None = None) -> Marked:
        """The position priced once: its frame and the inputs its curves start from."""
        return mark(self.legs, chains, pricing, model=model, now=now, rate=rate,
                    dividend_yield=dividend_yield, clock=clock, iv=iv, price=price)

    def value(self, chains: Any = None, **options: Any) -> pandas.DataFrame:
        """Per leg, then a row "net": value, P&L against entry, delta (units and rupees per 1 %
        move), gamma, theta (rupees per day), vega (rupees per volatility point) and rho, with
        each option's volatility and its source. A net figure that a leg lacks is NaN, and the
        column "note" says why."""
        return self.mark(chains, **options).frame

    def payoff(self, chains: Any = None, *, days: float | None = None, iv_shift: float = 0.0,
               spot_range: float = 0.1, points: int = 201,
               pop_volatility: float | None = None, **options: Any) -> curves.Payoff:
        """P&L over spots within ±`spot_range` of the spot: at expiry (exact), and with `days`
        at T+days with every volatility shifted by `iv_shift` points; the breakevens, the
        maximum profit and loss (±inf where unbounded), and the probability of profit at expiry
        under a lognormal spot with `pop_volatility` (default: the at-the-money volatility of
        the nearest expiry held). Legs without an entry price cost today's price."""
        return curves.payoff(self.mark(chains, **options), days=days, iv_shift=iv_shift,
                             spot_range=spot_range, points=points,
                             pop_volatility=pop_volatility)

    def what_if(self, chains: Any = None, *, spots: Any = None, days: Any = (0,),
                iv_shifts: Any = (0,), spot_range: float = 0.1, points: int = 21,
                **options: Any) -> curves.WhatIf:
        """Value and P&L over every spot × days ahead × volatility shift (points): arrays
        .value and .pnl indexed [spot, day, shift], and .frame, one row a point (columns spot,
        days, iv_shift, value, pnl), built when first read; the result reads as that frame."""
        return curves.what_if(self.mark(chains, **options), spots=spots, days=days,
                              iv_shifts=iv_shifts, spot_range=spot_range, points=points)

    def __len__(self) -> int:
        return len(self.legs)

    def __repr__(self) -> str:
        return f"Position({len(self.legs)} legs in {', '.join(self.symbols)})"
