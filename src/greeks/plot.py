"""Delta, gamma, theta and vega against strike for one expiry, drawn into a PNG (matplotlib, the
optional extra `plot`)."""
from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas

PANELS = ("delta", "gamma", "theta", "vega")
INSTALL_HINT = "the --plot option needs matplotlib: pip install 'greeks[plot]'"


def draw_greeks(frame: pandas.DataFrame, path: str, title: str) -> None:
    """Four panels, calls and puts each, the spot marked; ImportError with INSTALL_HINT when
    matplotlib is missing."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(11, 7), sharex=True)
    spot = float(frame["spot"].iloc[0])
    for axis, name in zip(axes.flat, PANELS):
        for side, label in (("CE", "calls"), ("PE", "puts")):
            legs = frame[frame["side"] == side]
            axis.plot(legs["strike"], legs[name], marker=".", label=label)
        axis.axvline(spot, color="grey", linestyle=":", linewidth=1)
        axis.set_title(name)
        axis.grid(alpha=0.3)
    for axis in axes[1]:
        axis.set_xlabel("strike")
    axes[0][0].legend()
    figure.suptitle(title)
    figure.tight_layout()
    try:
        figure.savefig(path, dpi=100)
    finally:
        plt.close(figure)
