"""Delta, gamma, theta and vega against strike for one expiry, drawn into an image file
(matplotlib, the optional extra `plot`)."""
from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

from greeks.arrays import GREEK_NAMES
from greeks.market import CALL, PUT

if TYPE_CHECKING:
    import pandas

PANELS = GREEK_NAMES[:4]  # every Greek but rho
INSTALL_HINT = "the --plot option needs matplotlib: pip install 'greeks[plot]'"


def save_figure(plt, figure, path: str | pathlib.Path, image: str) -> None:
    """Writes a finished figure as the command line writes every image, and lets it go."""
    try:
        figure.savefig(path, dpi=100, format=image)
    finally:
        plt.close(figure)


def pyplot():
    """matplotlib's pyplot on the file-only backend; ImportError with INSTALL_HINT without it."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def image_format(path: str) -> str:
    """The format the file's suffix names (png, svg, pdf, ...); ValueError when matplotlib
    cannot write it, so that nothing is drawn under a name that does not say what it holds."""
    plt = pyplot()
    supported = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    suffix = pathlib.Path(path).suffix.lower().lstrip(".")
    if suffix not in supported:
        shown = ", ".join(f".{name}" for name in sorted(supported))
        raise ValueError(f"cannot draw into {path}: name the image file with one of {shown}")
    return suffix


def draw_greeks(frame: pandas.DataFrame, path: str, title: str, image: str = "png") -> None:
    """Four panels, calls and puts each, the spot marked, written to `path` in format `image`."""
    plt = pyplot()
    figure, axes = plt.subplots(2, 2, figsize=(11, 7), sharex=True)
    spot = float(frame["spot"].iloc[0])
    for axis, name in zip(axes.flat, PANELS):
        for side, label in ((CALL, "calls"), (PUT, "puts")):
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
    save_figure(plt, figure, path, image)
