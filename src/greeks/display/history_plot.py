"""A symbol's history drawn into an image file: spot, ATM and 30-day volatility over time, and
the IV rank (matplotlib, the optional extra `plot`)."""
from __future__ import annotations

from typing import TYPE_CHECKING

from greeks.display.plot import pyplot, save_figure

if TYPE_CHECKING:
    import pandas


def draw_history(series: pandas.DataFrame, path: str, title: str, image: str = "png") -> None:
    plt = pyplot()
    figure, (spot, volatility, rank) = plt.subplots(3, 1, figsize=(11, 8), sharex=True,
                                                    height_ratios=(2, 2, 1))
    times = series["time"].dt.tz_localize(None)
    spot.plot(times, series["spot"], color="black")
    spot.set_ylabel("spot")
    volatility.plot(times, series["atm_iv"] * 100, label="ATM, nearest expiry")
    volatility.plot(times, series["iv_30d"] * 100, label="30-day")
    volatility.set_ylabel("volatility %")
    volatility.legend()
    rank.plot(times, series["iv_rank"] * 100, label="IV rank", color="tab:purple")
    rank.plot(times, series["iv_percentile"] * 100, label="IV percentile", color="tab:orange")
    rank.set_ylim(-5, 105)
    rank.set_ylabel("%")
    rank.legend()
    for axis in (spot, volatility, rank):
        axis.grid(alpha=0.3)
    figure.suptitle(title)
    figure.autofmt_xdate()
    figure.tight_layout()
    save_figure(plt, figure, path, image)
