"""Array entry points over the C++ kernels: the arguments are converted and broadcast here, the
outputs allocated here, and every leg is computed in one pass in ``greeks._vector``."""
from __future__ import annotations

import operator
from typing import Any

import numpy as np

from greeks import _vector
from greeks.units import warn_if_implausible

# In the order the Greeks kernel writes them, as it names them.
GREEK_NAMES: tuple[str, ...] = _vector.GREEK_NAMES
# The kernels take a C int of threads.
MAX_THREADS = 2**31 - 1


def as_float64(value: Any, name: str) -> np.ndarray:
    """`value` as a float64 array; numbers of any numeric dtype convert, anything else is refused."""
    array = np.asarray(value)
    if array.dtype.kind in "iuf":
        return array.astype(np.float64, copy=False)
    if array.dtype.kind == "O":
        # float() of each element, so that None is refused rather than read as NaN.
        try:
            return np.array([float(item) for item in array.flat], dtype=np.float64).reshape(array.shape)
        except (TypeError, ValueError) as error:
            raise TypeError(f"{name} must hold numbers: {error}") from None
        except OverflowError:
            raise ValueError(f"{name} holds a number too large for a float") from None
    raise TypeError(f"{name} must be a number or an array of numbers, not {array.dtype} data")


def as_flags(value: Any, name: str) -> np.ndarray:
    array = np.asarray(value)
    if array.dtype.kind != "b":
        raise TypeError(f"{name} must be a bool or an array of bools, not {array.dtype} data")
    return array


def thread_count(threads: int | None) -> int:
    """The kernels' thread argument: 0 lets them use one thread per core."""
    if threads is None:
        return 0
    count = operator.index(threads)
    if not 1 <= count <= MAX_THREADS:
        raise ValueError(f"threads must be a count from 1 to {MAX_THREADS}, got {count}")
    return count


def flat_input(array: np.ndarray, shape: tuple[int, ...]) -> np.ndarray:
    """`array` as the kernels read it: one value, or one contiguous value per element of `shape`."""
    if array.size == 1:
        return np.ascontiguousarray(array.reshape(1))
    if array.shape != shape:
        array = np.broadcast_to(array, shape)
    return np.ascontiguousarray(array).reshape(-1)


def run_kernel(kernel: Any, inputs: dict[str, Any], is_call: Any, outputs: tuple[str, ...],
               threads: int | None, warn: bool = True) -> dict[str, np.ndarray]:
    """Converts and broadcasts the six inputs and the flags, allocates the outputs and runs one
    of the element-wise kernels of ``greeks._vector``. With `warn`, inputs in a likely wrong unit
    warn; the package's own callers, whose inputs come from the exchange, pass False."""
    numbers = [as_float64(value, name) for name, value in inputs.items()]
    if warn:
        warn_if_implausible(dict(zip(inputs, numbers)))
    flags = as_flags(is_call, "is_call")
    threads_argument = thread_count(threads)
    shape = np.broadcast_shapes(*(array.shape for array in numbers), flags.shape)
    results = {name: np.empty(shape, dtype=np.float64) for name in outputs}
    if all(shape):
        kernel(*(flat_input(array, shape) for array in numbers), flat_input(flags, shape),
               *(result.reshape(-1) for result in results.values()), threads_argument)
    return results


def option_greeks(spot: Any, strike: Any, time_to_expiry: Any, rate: Any, volatility: Any,
                  is_call: Any, *, dividend_yield: Any = 0.0, threads: int | None = None,
                  warn: bool = True) -> dict[str, np.ndarray]:
    """Black-Scholes-Merton Greeks of European options, element by element.

    Arguments broadcast as numpy does: spot and strike in price units, time to expiry in years,
    rate, volatility and dividend yield (continuous) as annual fractions (0.07 is 7 %),
    ``is_call`` a bool or an array of bools. Returns float64 arrays under "delta", "gamma",
    "theta" (per calendar day), "vega" and "rho" (per percentage point). A leg with T, σ, S or K
    not above zero, or any input not finite, gets NaN in all five. A rate or dividend yield above
    1, a volatility above 5 or a time above 50 years warns (UserWarning): they are most likely
    percentages or days (``warn=False`` stays silent). ``threads`` caps the threads used for
    large inputs (default: one per core).
    """
    inputs = dict(spot=spot, strike=strike, time_to_expiry=time_to_expiry, rate=rate,
                  dividend_yield=dividend_yield, volatility=volatility)
    return run_kernel(_vector.greeks, inputs, is_call, GREEK_NAMES, threads, warn)


def option_price(spot: Any, strike: Any, time_to_expiry: Any, rate: Any, volatility: Any,
                 is_call: Any, *, dividend_yield: Any = 0.0, threads: int | None = None,
                 warn: bool = True) -> np.ndarray:
    """Black-Scholes-Merton prices of European options, element by element; arguments, warnings
    and NaN legs as in `option_greeks`."""
    inputs = dict(spot=spot, strike=strike, time_to_expiry=time_to_expiry, rate=rate,
                  dividend_yield=dividend_yield, volatility=volatility)
    return run_kernel(_vector.price, inputs, is_call, ("price",), threads, warn)["price"]


def implied_volatility(price: Any, spot: Any, strike: Any, time_to_expiry: Any, rate: Any,
                       is_call: Any, *, dividend_yield: Any = 0.0, threads: int | None = None,
                       warn: bool = True) -> np.ndarray:
    """The annual volatility (a fraction) that gives each option its price, element by element.

    Arguments broadcast and warn as in `option_greeks`. A leg gets NaN where no volatility
    reproduces its price (at or below the discounted intrinsic value, at or above the call's
    S·e^(−qT) or the put's K·e^(−rT)), or where an input is not finite or not positive where it
    must be.
    """
    inputs = dict(price=price, spot=spot, strike=strike, time_to_expiry=time_to_expiry, rate=rate,
                  dividend_yield=dividend_yield)
    return run_kernel(_vector.implied_volatility, inputs, is_call, ("volatility",), threads,
                      warn)["volatility"]
