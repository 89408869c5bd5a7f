"""Black-Scholes Greeks of NSE options.

``greeks.greeks`` is the extension module with the class ``Kestrava`` (one option at a time).
The array functions below price whole chains in one C++ pass; they are imported on first use,
so that ``import greeks`` stays cheap."""
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from greeks.arrays import implied_volatility, option_greeks, option_price
    from greeks.chain import chain_greeks

__all__ = ["chain_greeks", "implied_volatility", "option_greeks", "option_price"]

_LAZY = {
    "chain_greeks": "greeks.chain",
    "implied_volatility": "greeks.arrays",
    "option_greeks": "greeks.arrays",
    "option_price": "greeks.arrays",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'greeks' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
