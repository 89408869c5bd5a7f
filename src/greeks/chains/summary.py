"""What one expiry's open interest says: the put-call ratio and max pain."""
from __future__ import annotations

import math

import numpy as np

from greeks import _vector
from greeks.market import CALL, PUT
from greeks.positions.valuation import KIND_CODES

EXPIRY_DAYS = np.array([math.inf])  # days ahead at which every leg has run out
NO_SHIFT = np.zeros(1)
KERNEL_LEGS = 256


def put_call_ratio(open_interest: np.ndarray, is_call: np.ndarray) -> float:
    """Puts' open interest over calls'; NaN when no call has any."""
    held = np.nan_to_num(open_interest)
    calls = float(held[is_call].sum())
    return float(held[~is_call].sum()) / calls if calls > 0 else math.nan


def max_pain(strikes: np.ndarray, is_call: np.ndarray, open_interest: np.ndarray) -> float:
    """The strike at which the options' holders would be paid least at expiry (the lowest on a
    tie): every leg's open interest held to expiry, valued by the position kernel at each strike.
    NaN when no leg has open interest."""
    held = np.nan_to_num(np.asarray(open_interest, dtype=np.float64))
    if not (held > 0).any():
        return math.nan
    kind = np.where(is_call, KIND_CODES[CALL], KIND_CODES[PUT])
    strikes = np.ascontiguousarray(strikes, dtype=np.float64)
    candidates = np.unique(strikes)
    paid = np.zeros(candidates.size)
    part = np.empty(candidates.size)
    # The kernel values a position of a bounded number of legs; values add across legs.
    for start in range(0, strikes.size, KERNEL_LEGS):
        legs = slice(start, start + KERNEL_LEGS)
        zeros = np.zeros(len(strikes[legs]))
        _vector.position_values(kind[legs], strikes[legs], held[legs], zeros, zeros, zeros, 0.0,
                                candidates, EXPIRY_DAYS, NO_SHIFT, part, 1)
        paid += part
    return float(candidates[int(np.argmin(paid))])
