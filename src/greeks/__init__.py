"""Black-Scholes Greeks of NSE options.

``greeks.greeks`` is the extension module with the class ``Kestrava`` (one option at a time).
The array functions below price whole chains in one C++ pass; they are imported on first use,
so that ``import greeks`` stays cheap. ``use_records_shape()`` lets ``Kestrava`` read the chains
today's nsepython returns."""
from __future__ import annotations

# Nothing is imported at run time, not even typing: `import greeks` (and with it the command
# line's start-up) stays as cheap as the interpreter's own.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from greeks.arrays import implied_volatility, option_greeks, option_price
    from greeks.backtests import backtest
    from greeks.chains.frame import chain_greeks
    from greeks.chains.pricing import Pricing
    from greeks.chains.smile import smile
    from greeks.exchange.lots import lot_size
    from greeks.exchange.records_shape import use_records_shape
    from greeks.history.history import History
    from greeks.positions.position import Position

__version__ = "0.2.0"
__all__ = ["History", "Position", "Pricing", "backtest", "chain_greeks", "implied_volatility",
           "lot_size", "option_greeks", "option_price", "smile", "use_records_shape"]

_LAZY = {
    "History": "greeks.history.history",
    "backtest": "greeks.backtests",
    "Position": "greeks.positions.position",
    "Pricing": "greeks.chains.pricing",
    "lot_size": "greeks.exchange.lots",
    "smile": "greeks.chains.smile",
    "chain_greeks": "greeks.chains.frame",
    "implied_volatility": "greeks.arrays",
    "option_greeks": "greeks.arrays",
    "option_price": "greeks.arrays",
    "use_records_shape": "greeks.exchange.records_shape",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'greeks' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
