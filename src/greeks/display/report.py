"""The watch's report block, line for line as ``Kestrava.monitor_greeks`` prints it, so that the
watch on the clock to the close reads exactly like the module's own."""
from __future__ import annotations

from collections.abc import Mapping

SEPARATOR = "\n" + "-" * 50
STOPPED = "\nStopped monitoring"
WAITING = "Waiting for valid market data..."
FETCHING = "\nFetching new data..."


def banner(symbol: str, strike: float, expiry_text: str, side: str) -> list[str]:
    return [f"\nMonitoring Greeks for {symbol} {float(strike)} {expiry_text} {side}",
            "Press Ctrl+C to stop monitoring\n"]


def report(clock_text: str, spot: float, price: float, volatility: float,
           greeks: Mapping[str, float]) -> list[str]:
    """The block printed after each successful fetch; `volatility` a fraction."""
    return ["\nData received successfully!",
            f"Time: {clock_text}",
            f"Spot: {spot:.2f}",
            f"Option Price: {price:.2f}",
            f"IV: {volatility * 100:.2f}%",
            f"Delta: {greeks['delta']:.4f}",
            f"Gamma: {greeks['gamma']:.4f}",
            f"Theta: {greeks['theta']:.4f}",
            f"Vega: {greeks['vega']:.4f}",
            f"Rho: {greeks['rho']:.4f}",
            SEPARATOR]
