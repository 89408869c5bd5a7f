"""A marked position's P&L over spot prices: at expiry (every leg at its intrinsic value, a future
at the spot: piecewise linear, so breakevens and extremes are exact), at T+n days with the
volatilities shifted, and over a grid of spots × days × shifts. Every value comes from the
position kernel in C++; only the handful of kinks and roots of the expiry line are handled here."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np

from greeks import _vector
from greeks.arrays import thread_count
from greeks.positions.valuation import Marked

AT_EXPIRY = math.inf  # days ahead at which every leg has run out


@dataclass
class Payoff:
    """P&L curves of a position in one underlying, and what the expiry line says."""
    spot: float
    spots: np.ndarray
    at_expiry: np.ndarray
    breakevens: list[float]
    max_profit: float        # +inf where the line rises without end
    max_loss: float          # −inf where it falls without end
    probability_of_profit: float
    pop_volatility: float
    days: float | None = None
    iv_shift: float = 0.0
    at_days: np.ndarray | None = field(default=None, repr=False)


def one_underlying(marked: Marked) -> tuple[str, float]:
    if len(marked.spots) != 1:
        raise ValueError(f"a payoff is drawn against one underlying; this position holds "
                         f"{', '.join(marked.spots)}")
    symbol, spot = next(iter(marked.spots.items()))
    return symbol, spot


def values(marked: Marked, spots: Any, days: Any, shifts: Any, threads: int | None = None
           ) -> np.ndarray:
    """The position's value at every spot × day ahead × volatility shift (fractions), shaped
    (spots, days, shifts)."""
    spots, days, shifts = (np.ascontiguousarray(np.atleast_1d(np.asarray(axis, dtype=np.float64)))
                           for axis in (spots, days, shifts))
    out = np.empty((spots.size, days.size, shifts.size))
    _vector.position_values(marked.kind, marked.strike, marked.quantity, marked.years,
                            marked.vol, marked.carry, float(marked.rate), spots, days, shifts,
                            out.reshape(-1), thread_count(threads))
    return out


def cost(marked: Marked) -> float:
    return float(np.dot(marked.quantity, marked.entry))


def expiry_pnl(marked: Marked, spots: Any) -> np.ndarray:
    return values(marked, spots, AT_EXPIRY, 0.0)[:, 0, 0] - cost(marked)


def expiry_line(marked: Marked) -> tuple[np.ndarray, np.ndarray, float]:
    """The kinks of the expiry P&L (0 and the strikes), its values there, and its slope beyond
    the last kink (per unit of spot)."""
    kinks = np.unique(np.concatenate([[0.0], marked.strike[np.isfinite(marked.strike)]]))
    beyond = kinks[-1] + max(1.0, kinks[-1])
    at = expiry_pnl(marked, np.append(kinks, beyond))
    return kinks, at[:-1], float((at[-1] - at[-2]) / (beyond - kinks[-1]))


def breakevens(kinks: np.ndarray, at: np.ndarray, slope: float) -> list[float]:
    """Where the piecewise linear line crosses zero: between kinks by linear interpolation, and
    beyond the last along its slope. A zero at a kink counts once."""
    roots = []
    for left, right, f_left, f_right in zip(kinks, kinks[1:], at, at[1:]):
        if f_left == 0:
            roots.append(float(left))
        elif f_left * f_right < 0:
            roots.append(float(left + (right - left) * f_left / (f_left - f_right)))
    if at[-1] == 0:
        roots.append(float(kinks[-1]))
    elif slope != 0 and at[-1] * slope < 0:
        roots.append(float(kinks[-1] - at[-1] / slope))
    return [root for root in roots if root > 0]


def extremes(at: np.ndarray, slope: float) -> tuple[float, float]:
    """Maximum profit and loss of the line over every spot from 0 up: at a kink, or without end
    where it keeps sloping."""
    high = math.inf if slope > 0 else float(at.max())
    low = -math.inf if slope < 0 else float(at.min())
    return high, low


def lognormal_cdf(price: float, spot: float, years: float, rate: float, dividend: float,
                  vol: float) -> float:
    """P(S_T ≤ price) for S_T lognormal with the risk-neutral drift r − q."""
    if price <= 0:
        return 0.0
    if math.isinf(price):
        return 1.0
    spread = vol * math.sqrt(years)
    z = (math.log(price / spot) - (rate - dividend - 0.5 * vol * vol) * years) / spread
    return 0.5 * math.erfc(-z / math.sqrt(2.0))


def probability_of_profit(marked: Marked, spot: float, roots: list[float], vol: float) -> float:
    """P(P&L at expiry > 0) under a lognormal spot at the nearest expiry held: the probability
    of every interval between breakevens where the line is above zero."""
    years = float(marked.years.min())
    if not (years > 0 and vol > 0 and math.isfinite(vol)):
        return math.nan
    edges = [0.0, *roots, math.inf]
    middles = [(a + b) / 2 if math.isfinite(b) else a + max(1.0, a) for a, b in
               zip(edges, edges[1:])]
    profitable = expiry_pnl(marked, middles) > 0
    nearest = int(np.argmin(marked.years))
    args = (spot, years, marked.rate, float(marked.carry[nearest]), vol)
    return float(sum(lognormal_cdf(b, *args) - lognormal_cdf(a, *args)
                     for (a, b), wins in zip(zip(edges, edges[1:]), profitable) if wins))


def spot_axis(spot: float, spot_range: float, points: int) -> np.ndarray:
    if not 0 < spot_range < 1:
        raise ValueError(f"spot_range must be a fraction between 0 and 1, not {spot_range!r}")
    if points < 2:
        raise ValueError(f"points must be at least 2, not {points!r}")
    return np.linspace(spot * (1 - spot_range), spot * (1 + spot_range), points)


def payoff(marked: Marked, *, days: float | None = None, iv_shift: float = 0.0,
           spot_range: float = 0.1, points: int = 201, pop_volatility: float | None = None
           ) -> Payoff:
    symbol, spot = one_underlying(marked)
    spots = spot_axis(spot, spot_range, points)
    kinks, at, slope = expiry_line(marked)
    roots = breakevens(kinks, at, slope)
    high, low = extremes(at, slope)
    vol = marked.atm_iv[symbol] if pop_volatility is None else float(pop_volatility)
    result = Payoff(spot=spot, spots=spots, at_expiry=expiry_pnl(marked, spots),
                    breakevens=roots, max_profit=high, max_loss=low,
                    probability_of_profit=probability_of_profit(marked, spot, roots, vol),
                    pop_volatility=vol, days=days, iv_shift=iv_shift)
    if days is not None:
        result.at_days = values(marked, spots, days, iv_shift / 100.0)[:, 0, 0] - cost(marked)
    return result


@dataclass
class WhatIf:
    """A position's value and P&L over spots × days ahead × volatility shifts (in points), as
    arrays indexed [spot, day, shift]. `frame`, the long DataFrame with one row a point (columns
    spot, days, iv_shift, value, pnl), is built when first asked for; indexing, iteration and
    every other DataFrame attribute reach it, so that the result reads as that frame."""
    spots: np.ndarray
    days: np.ndarray
    iv_shifts: np.ndarray
    value: np.ndarray
    cost: float  # what the position cost: the basis of its P&L

    @cached_property
    def pnl(self) -> np.ndarray:
        return self.value - self.cost

    @cached_property
    def frame(self) -> Any:
        import pandas as pd

        index = np.stack(np.meshgrid(self.spots, self.days, self.iv_shifts, indexing="ij"),
                         axis=-1).reshape(-1, 3)
        return pd.DataFrame({"spot": index[:, 0], "days": index[:, 1], "iv_shift": index[:, 2],
                             "value": self.value.reshape(-1), "pnl": self.pnl.reshape(-1)})

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        return getattr(self.frame, name)

    def __getitem__(self, key: Any) -> Any:
        return self.frame[key]

    def __len__(self) -> int:
        return self.value.size

    def __repr__(self) -> str:
        return (f"WhatIf({self.spots.size} spots × {self.days.size} days × "
                f"{self.iv_shifts.size} shifts)")


def what_if(marked: Marked, *, spots: Any = None, days: Any = (0,), iv_shifts: Any = (0,),
            spot_range: float = 0.1, points: int = 21, threads: int | None = None) -> WhatIf:
    """The value and P&L over spots × days ahead × volatility shifts (points)."""
    _, spot = one_underlying(marked)
    spots = spot_axis(spot, spot_range, points) if spots is None else np.asarray(spots, float)
    days, iv_shifts = np.atleast_1d(np.asarray(days, float)), np.atleast_1d(np.asarray(iv_shifts,
                                                                                       float))
    grid = values(marked, spots, days, iv_shifts / 100.0, threads)
    return WhatIf(spots=spots, days=days, iv_shifts=iv_shifts, value=grid, cost=cost(marked))
