"""Aligned text tables, as every table of the command line prints them: columns two spaces
apart, each as wide as its widest cell, numbers to the right, the columns named in `left` to
the left, no space at a line's end."""
from __future__ import annotations

from collections.abc import Collection, Sequence

# The marks every table (and the page) puts on a cell, and what the footnote says of the first.
SOLVED_MARK = "*"
NEAREST_MARK = ">"
SOLVED_NOTE = f"{SOLVED_MARK} volatility solved from the price"


def column_widths(header: Sequence[str], rows: Sequence[Sequence[str]]) -> list[int]:
    return [max(len(text) for text in column) for column in zip(header, *rows)]


def aligned(header: Sequence[str], rows: Sequence[Sequence[str]],
            left: Collection[str] = ()) -> list[str]:
    """The header and the rows as aligned lines."""
    widths = column_widths(header, rows)

    def line(cells: Sequence[str]) -> str:
        return "  ".join(text.ljust(width) if name in left else text.rjust(width)
                         for text, width, name in zip(cells, widths, header)).rstrip()

    return [line(header)] + [line(row) for row in rows]
