"""A position's P&L against spot, at expiry and at T+n, drawn into an image file (matplotlib, the
optional extra `plot`)."""
from __future__ import annotations

from typing import TYPE_CHECKING

from greeks.display.plot import pyplot, save_figure

if TYPE_CHECKING:
    from greeks.positions.payoff import Payoff


def draw_payoff(result: Payoff, path: str, title: str, image: str = "png") -> None:
    """The expiry line, the T+n curve, the breakevens and the spot marked."""
    plt = pyplot()
    figure, axis = plt.subplots(figsize=(10, 6))
    axis.plot(result.spots, result.at_expiry, label="at expiry", color="black")
    if result.at_days is not None:
        shift = f", volatility {result.iv_shift:+g} pts" if result.iv_shift else ""
        axis.plot(result.spots, result.at_days, label=f"T+{result.days:g} days{shift}",
                  color="tab:blue")
    axis.axhline(0, color="grey", linewidth=0.8)
    axis.axvline(result.spot, color="tab:green", linestyle=":", label=f"spot {result.spot:,.2f}")
    low, high = result.spots[0], result.spots[-1]
    for point in result.breakevens:
        if low <= point <= high:
            axis.axvline(point, color="tab:red", linestyle="--", linewidth=0.8)
            axis.annotate(f"{point:,.0f}", (point, 0), textcoords="offset points",
                          xytext=(3, 6), color="tab:red", fontsize=8)
    axis.set_xlabel("spot at the time")
    axis.set_ylabel("P&L (rupees)")
    axis.grid(alpha=0.3)
    axis.legend()
    axis.set_title(title, fontsize=10)
    figure.tight_layout()
    save_figure(plt, figure, path, image)
