"""The page of a backtest the server was started with (`greeks serve --backtest FILE`): its
summary, its equity curve (an SVG drawn here, so that the page needs no script) and its trades.
Every text is escaped."""
from __future__ import annotations

import html
from typing import Any

from greeks.display.backtest_table import TRADE_HEADER, rupees, summary_lines

WIDTH, HEIGHT, MARGIN = 900, 260, 30


def equity_svg(equity: Any) -> str:
    values = [0.0, *equity["cumulative"].tolist()]
    low, high = min(values), max(values)
    span = (high - low) or 1.0
    step = (WIDTH - 2 * MARGIN) / max(len(values) - 1, 1)

    def y(value: float) -> float:
        return MARGIN + (high - value) / span * (HEIGHT - 2 * MARGIN)

    points = " ".join(f"{MARGIN + n * step:.1f},{y(value):.1f}" for n, value in enumerate(values))
    return (f'<svg class="equity" viewBox="0 0 {WIDTH} {HEIGHT}" role="img" '
            f'aria-label="cumulative P&amp;L by trade">'
            f'<line x1="{MARGIN}" x2="{WIDTH - MARGIN}" y1="{y(0):.1f}" y2="{y(0):.1f}" '
            f'class="zero"/><polyline points="{points}" class="curve"/>'
            f'<text x="{MARGIN}" y="16">{html.escape(rupees(high))}</text>'
            f'<text x="{MARGIN}" y="{HEIGHT - 6}">{html.escape(rupees(low))}</text></svg>')


def backtest_page(result: Any, title: str) -> str:
    rows = "".join(
        "<tr>" + "".join(f"<td>{html.escape(str(cell))}</td>" for cell in (
            f"{row.entry:%d-%b-%Y}", f"{row.exit:%d-%b-%Y}", f"{row.expiry:%d-%b-%Y}", row.legs,
            row.lot_size, rupees(row.entry_premium), rupees(row.exit_value),
            rupees(row.gross_pnl), rupees(row.costs), rupees(row.pnl), row.reason)) + "</tr>"
        for row in result.trades.itertuples())
    header = "".join(f"<th>{html.escape(name)}</th>" for name in TRADE_HEADER)
    summary = "".join(f"<p>{html.escape(line)}</p>"
                      for line in summary_lines(result.summary, len(result.skipped)))
    return (f'<!doctype html><html lang="en"><head><meta charset="utf-8">'
            f'<title>{html.escape(title)}</title><link rel="stylesheet" href="/static/style.css">'
            f'</head><body class="backtest"><h1>{html.escape(title)}</h1>{summary}'
            f'{equity_svg(result.equity)}<table><thead><tr>{header}</tr></thead>'
            f'<tbody>{rows}</tbody></table><p><a href="/">the live page</a></p></body></html>')
