"""Many variants of one strategy over the same files: `stop_loss=0.3,0.5,1` or `entry.days=1..5`
sets a field (a dotted path into the strategy's mapping; stop_loss and target are the exit's)
to each value in turn, every combination is run, and each gives one summary row. The files are
read once; the variants run across the cores, in worker processes that each receive the market
once (started afresh rather than forked: a forked copy of a process with threads may deadlock).
"""
from __future__ import annotations

import copy
import itertools
import os
import re
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from greeks.backtests.strategy import StrategyError, from_mapping

SHORTHANDS = {"stop_loss": "exit.stop_loss", "target": "exit.target", "days": "entry.days"}
MAX_VARIANTS = 10_000
# Below this many variants one process is quicker: starting the workers and handing each the
# market costs about what a few hundred variants do (some 15 ms each once the entries are known).
PARALLEL_FROM = 400
# What a worker runs over: the variants and the market, received once when it starts.
_shared: dict[str, Any] = {}


def install(variants_: list, market: Any) -> None:
    _shared.update(variants=variants_, market=market)


def parse_vary(text: str) -> tuple[str, list[Any]]:
    """("exit.stop_loss", [0.3, 0.5, 1.0]) from "stop_loss=0.3,0.5,1"; "a..b" a range of whole
    numbers; StrategyError naming the text otherwise."""
    name, equals, values = text.partition("=")
    name = SHORTHANDS.get(name.strip(), name.strip())
    if not equals or not re.fullmatch(r"[a-z_]+(\.[a-z_]+)?", name) or name.startswith("legs"):
        raise StrategyError(f"--vary {text!r}: give FIELD=V1,V2,... or FIELD=A..B, such as "
                            f"stop_loss=0.3,0.5 or entry.days=1..5"[:200])
    span = re.fullmatch(r"\s*(-?\d+)\s*\.\.\s*(-?\d+)\s*", values)
    if span:
        low, high = int(span.group(1)), int(span.group(2))
        if high < low or high - low >= MAX_VARIANTS:
            raise StrategyError(f"--vary {text!r}: the range must run upwards, at most "
                                f"{MAX_VARIANTS:,} values")
        return name, list(range(low, high + 1))
    parsed = [value_of(item.strip()) for item in values.split(",")]
    if not parsed or any(item == "" for item in parsed):
        raise StrategyError(f"--vary {text!r}: a value is missing"[:200])
    return name, parsed


def value_of(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return {"true": True, "false": False}.get(text, text)


def set_field(fields: dict, path: str, value: Any) -> None:
    head, _, field = path.rpartition(".")
    table = fields.setdefault(head, {}) if head else fields
    if not isinstance(table, dict):
        raise StrategyError(f"{head} is not a table")
    if head == "entry":  # an entry rule replaces the others
        for other in ("days", "weekday", "every_day"):
            table.pop(other, None)
    table[field] = value


def variants(fields: dict, varies: list[str]) -> list[tuple[dict, Any]]:
    """(the varied fields' values, the Strategy) for every combination."""
    axes = [parse_vary(text) for text in varies]
    if any(name == "symbol" for name, _ in axes):
        raise StrategyError("--vary cannot change the symbol: the files are read for one")
    count = 1
    for _, values in axes:
        count *= len(values)
    if count > MAX_VARIANTS:
        raise StrategyError(f"--vary makes {count:,} variants; at most {MAX_VARIANTS:,}")
    made = []
    for values in itertools.product(*(values for _, values in axes)):
        changed = copy.deepcopy(fields)
        for (name, _), value in zip(axes, values):
            set_field(changed, name, value)
        made.append((dict(zip((name for name, _ in axes), values)), from_mapping(changed)))
    return made


def run_one(index: int) -> dict:
    from greeks.backtests.costs import Charges
    from greeks.backtests.results import summarise
    from greeks.backtests.runner import trades_of

    labels, strategy = _shared["variants"][index]
    rows, skipped = trades_of(strategy, _shared["market"],
                              Charges(brokerage=strategy.brokerage, enabled=strategy.costs))
    return {**labels, **summarise(rows), "not_made": len(skipped)}


def sweep(fields: dict, varies: list[str], market: Any, workers: int | None = None,
          parallel_from: int = PARALLEL_FROM) -> Any:
    """A summary row per variant, in the order of the combinations."""
    import multiprocessing
    import pandas as pd

    made = variants(fields, varies)
    count = len(made)
    workers = min(workers or os.cpu_count() or 1, count)
    methods = multiprocessing.get_all_start_methods()
    try:
        if workers > 1 and count >= parallel_from:
            context = multiprocessing.get_context("forkserver" if "forkserver" in methods
                                                  else "spawn")
            with ProcessPoolExecutor(workers, mp_context=context, initializer=install,
                                     initargs=(made, market)) as pool:
                rows = list(pool.map(run_one, range(count),
                                     chunksize=max(1, count // (4 * workers))))
        else:
            install(made, market)
            rows = [run_one(index) for index in range(count)]
    finally:
        _shared.clear()
    return pd.DataFrame(rows)
