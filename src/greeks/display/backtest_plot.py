"""A backtest's equity curve and its drawdown, drawn into an image file."""
from __future__ import annotations

from typing import Any

from greeks.display.plot import pyplot, save_figure


def draw_equity(equity: Any, path: str, title: str, image: str = "png") -> None:
    plt = pyplot()
    figure, (curve, drawdown) = plt.subplots(2, 1, figsize=(10, 6), sharex=True,
                                             gridspec_kw={"height_ratios": [3, 1]})
    curve.plot(equity.index, equity["cumulative"], color="#1f5fa8", drawstyle="steps-post",
               marker="o", markersize=3)
    curve.axhline(0, color="#888888", linewidth=0.8)
    curve.set_ylabel("cumulative P&L (₹)")
    curve.set_title(title)
    drawdown.fill_between(equity.index, equity["drawdown"], 0, color="#c0392b", step="post",
                          alpha=0.5)
    drawdown.set_ylabel("drawdown (₹)")
    figure.autofmt_xdate()
    figure.tight_layout()
    save_figure(plt, figure, path, image)
