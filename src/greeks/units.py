"""Guards against numbers in the wrong unit: a rate of 7 meant as 7 %, a volatility of 25 meant as
25 %, a time to expiry of 30 meant as 30 days. The Python functions warn; the command line
refuses."""
from __future__ import annotations

import warnings
from typing import Any

import numpy as np

# name: (the largest plausible value, what a larger one most likely is)
PLAUSIBLE = {
    "rate": (1.0, "percentage"),
    "dividend_yield": (1.0, "percentage"),
    "volatility": (5.0, "percentage"),
    "time_to_expiry": (50.0, "days"),
}


def implausible(name: str, value: Any) -> str | None:
    """Why `value` (a number or an array) looks like a unit mistake for `name`, or None."""
    limit, mistake = PLAUSIBLE[name]
    array = np.asarray(value, dtype=np.float64).ravel()
    if array.size == 0:
        return None
    # Two passes that allocate nothing decide for almost every input (fmax and fmin skip NaN),
    # so that millions of legs pay a few milliseconds for the check, not a copy of each array.
    if not max(np.fmax.reduce(array), -np.fmin.reduce(array)) > limit:
        return None
    # Infinite inputs are no unit mistake; they get NaN results of their own.
    magnitude = np.where(np.isfinite(array), np.abs(array), 0.0)
    if magnitude.size == 0 or not (magnitude > limit).any():
        return None
    worst = float(array.flat[np.argmax(magnitude)])
    label = name.replace("_", " ")
    if mistake == "percentage":
        return (f"{label} {worst:g} looks like a percentage; {worst / 100:g} is {worst:g} % "
                f"(give it as a fraction)")
    return (f"{label} {worst:g} looks like days; time to expiry is in years "
            f"({worst:g} days is {worst / 365:.4g})")


def warn_if_implausible(values: dict[str, Any], stacklevel: int) -> None:
    """One UserWarning per guarded argument that looks like a unit mistake; `stacklevel` counts
    the frames up to the user's line, as warnings.warn does from the caller of this function."""
    for name, value in values.items():
        reason = implausible(name, value) if name in PLAUSIBLE else None
        if reason is not None:
            warnings.warn(reason, UserWarning, stacklevel=stacklevel + 1)
