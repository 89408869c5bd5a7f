"""What the daily files held for one symbol, kept as one Parquet file in the store, keyed by the
files' names, sizes and modification times: a backtest over the same files reads that file alone.
Without pyarrow (the history extra) or without a folder for it, nothing is kept."""
from __future__ import annotations

import hashlib
import pathlib
from collections.abc import Callable
from typing import Any

import numpy as np


def key(symbol: str, paths: list[pathlib.Path]) -> str:
    digest = hashlib.sha256(symbol.encode())
    for path in sorted(paths):
        status = path.stat()
        digest.update(f"{path.name}\0{status.st_size}\0{status.st_mtime_ns}\n".encode())
    return digest.hexdigest()[:24]


def write_days(path: str, days: list[np.datetime64]) -> None:
    with open(path, "wb") as handle:
        np.save(handle, np.array(days, dtype="datetime64[D]"), allow_pickle=False)


def cached(symbol: str, paths: list[pathlib.Path], folder: pathlib.Path | None,
           read: Callable[[str, list[pathlib.Path]], tuple[Any, list[np.datetime64]]]
           ) -> tuple[Any, list[np.datetime64]]:
    """read(symbol, paths), from the folder where it was kept."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        folder = None
    if folder is None:
        return read(symbol, paths)
    import pandas as pd

    target = folder / f"{symbol}-{key(symbol, paths)}.parquet"
    days_file = target.with_suffix(".days.npy")
    if target.is_file() and days_file.is_file():
        try:
            rows = pd.read_parquet(target)
            days = list(np.load(days_file, allow_pickle=False).astype("datetime64[D]"))
            return rows, days
        except (OSError, ValueError):
            pass  # a damaged cache is read again from the files
    rows, days = read(symbol, paths)
    try:
        from greeks.atomic import replace_atomically

        folder.mkdir(parents=True, exist_ok=True)
        replace_atomically(target, lambda path: rows.to_parquet(path, index=False))
        replace_atomically(days_file, lambda path: write_days(path, days))
    except OSError:
        pass  # a store it cannot write to still backtests, from the files
    return rows, days
