"""Guards against numbers in the wrong unit: a rate of 7 meant as 7 %, a volatility of 25 meant as
25 %, a time to expiry of 30 meant as 30 days. The Python functions warn; the command line
refuses."""
from __future__ import annotations

import os
import sys
import warnings
from typing import Any

import numpy as np

from greeks.market import DAYS_PER_YEAR

PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__)) + os.sep
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
            f"({worst:g} days is {worst / DAYS_PER_YEAR:.4g})")


def warn_user(message: str, category: type[Warning] = UserWarning) -> None:
    """A warning that points at the first line outside the package: the caller's, however many of
    the package's own calls lie between (a dataclass's generated __init__ among them)."""
    frame, level = sys._getframe(1), 1
    while frame is not None and (frame.f_code.co_filename.startswith(PACKAGE_FOLDER) or (
            frame.f_code.co_filename == "<string>" and frame.f_code.co_name == "__init__")):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level + 1)


def warn_if_implausible(values: dict[str, Any]) -> None:
    """One UserWarning per guarded argument that looks like a unit mistake, at the caller's
    line."""
    for name, value in values.items():
        reason = implausible(name, value) if name in PLAUSIBLE else None
        if reason is not None:
            warn_user(reason)
