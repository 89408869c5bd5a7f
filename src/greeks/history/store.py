"""The store on disk: one Parquet file per capture, in the hive layout
``legs/symbol=NIFTY/date=2026-12-09/HHMMSS-<id>.parquet``, with the capture's raw payload beside it
under ``raw/`` (same path, ``.json.gz``), so that any capture can be replayed exactly.

A capture's raw payload is written first and its Parquet file last, each atomically: the Parquet
file's arrival is the moment the capture exists. Once a day is over its files are compacted into
one ``day.parquet``; a partition that holds one is read from it alone, so a reader never sees a
capture twice, and the small files it replaced are removed after. Readers list the files
themselves (temporary ``.part`` files never match), and skip, with a warning, a file that is
truncated or corrupt."""
from __future__ import annotations

import datetime as dt
import gzip
import json
import os
import pathlib
import uuid
import warnings
from collections.abc import Iterable
from typing import Any

from greeks.atomic import replace_atomically
from greeks.history import schema

LEGS, RAW = "legs", "raw"
DAY_FILE = "day.parquet"
PARQUET_MAGIC = b"PAR1"


class StoreWarning(UserWarning):
    """A file of the store that cannot be read; it is left out."""


def partition(symbol: str, day: dt.date) -> str:
    return f"symbol={symbol}/date={day.isoformat()}"


def parse_partition(folder: pathlib.Path) -> tuple[str, dt.date] | None:
    try:
        symbol = folder.parent.name.split("=", 1)[1]
        return symbol, dt.date.fromisoformat(folder.name.split("=", 1)[1])
    except (IndexError, ValueError):
        return None


def looks_whole(path: pathlib.Path) -> bool:
    """A Parquet file starts and ends with its magic; a truncated one does not."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(4)
            handle.seek(-4, os.SEEK_END)
            return head == PARQUET_MAGIC and handle.read(4) == PARQUET_MAGIC
    except OSError:
        return False


class Store:
    """A folder of captures. Nothing to start: every method reads or writes files."""

    def __init__(self, root: str | pathlib.Path):
        self.root = pathlib.Path(root)

    # ---- writing

    def write_capture(self, symbol: str, time: dt.datetime, table: Any, raw: Any) -> pathlib.Path:
        """Stores one capture: `table` (a pyarrow Table of the schema) and the payload it came
        from. Returns the Parquet file's path. OSError (a full disk) leaves earlier captures as
        they were and no part of this one visible."""
        import pyarrow.parquet as pq

        day = time.date()
        stem = f"{time:%H%M%S}-{uuid.uuid4().hex[:8]}"
        legs_folder = self.root / LEGS / partition(symbol, day)
        raw_folder = self.root / RAW / partition(symbol, day)
        legs_folder.mkdir(parents=True, exist_ok=True)
        raw_folder.mkdir(parents=True, exist_ok=True)
        payload = gzip.compress(json.dumps(raw).encode(), compresslevel=6)
        replace_atomically(raw_folder / f"{stem}.json.gz",
                           lambda path: pathlib.Path(path).write_bytes(payload))
        return replace_atomically(legs_folder / f"{stem}.parquet",
                                  lambda path: pq.write_table(table, path, compression="zstd"))

    def compact(self, symbol: str, day: dt.date) -> pathlib.Path | None:
        """Merges a finished day's capture files into one day.parquet, atomically; None when
        there is nothing to merge."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        folder = self.root / LEGS / partition(symbol, day)
        captures = sorted(path for path in self.capture_files(folder) if path.name != DAY_FILE)
        if not captures:
            return None
        tables = [schema.conform(pq.read_table(path)) for path in captures]
        existing = folder / DAY_FILE
        if existing.exists() and looks_whole(existing):
            tables.insert(0, schema.conform(pq.read_table(existing)))
        merged = pa.concat_tables(tables).sort_by("time")
        written = replace_atomically(existing, lambda path: pq.write_table(
            merged, path, compression="zstd", row_group_size=200_000))
        for path in captures:  # readers of this partition already read day.parquet alone
            path.unlink(missing_ok=True)
        return written

    # ---- reading

    def capture_files(self, folder: pathlib.Path) -> list[pathlib.Path]:
        """The partition's readable files: day.parquet alone where it exists, else every
        capture; a file that is not whole is skipped with a warning."""
        day = folder / DAY_FILE
        files = [day] if day.exists() else sorted(folder.glob("*.parquet"))
        whole = []
        for path in files:
            if looks_whole(path):
                whole.append(path)
            elif path.exists():
                warnings.warn(f"skipping {path}: not a whole Parquet file", StoreWarning,
                              stacklevel=3)
        return whole

    def partitions(self, symbol: str | None = None, start: dt.date | None = None,
                   end: dt.date | None = None) -> list[tuple[str, dt.date, pathlib.Path]]:
        found = []
        pattern = f"symbol={symbol}/date=*" if symbol else "symbol=*/date=*"
        for folder in sorted((self.root / LEGS).glob(pattern)):
            parsed = parse_partition(folder)
            if parsed is None or (start and parsed[1] < start) or (end and parsed[1] > end):
                continue
            found.append((*parsed, folder))
        return found

    def files(self, symbol: str | None = None, start: dt.date | None = None,
              end: dt.date | None = None) -> list[pathlib.Path]:
        return [path for _, _, folder in self.partitions(symbol, start, end)
                for path in self.capture_files(folder)]

    def raw_captures(self, symbol: str, day: dt.date) -> list[tuple[dt.time, Any]]:
        """Every capture's time of day (from its file's name) and payload on `day`, in order."""
        folder = self.root / RAW / partition(symbol, day)
        return [(dt.datetime.strptime(path.name[:6], "%H%M%S").time(),
                 json.loads(gzip.decompress(path.read_bytes())))
                for path in sorted(folder.glob("*.json.gz"))]

    def replace_day(self, symbol: str, day: dt.date, table: Any) -> pathlib.Path:
        """Makes `table` the day's one file (as a compaction does), its capture files gone."""
        import pyarrow.parquet as pq

        folder = self.root / LEGS / partition(symbol, day)
        folder.mkdir(parents=True, exist_ok=True)
        captures = [path for path in folder.glob("*.parquet") if path.name != DAY_FILE]
        written = replace_atomically(folder / DAY_FILE, lambda path: pq.write_table(
            table.sort_by("time"), path, compression="zstd", row_group_size=200_000))
        for path in captures:  # readers of this partition already read day.parquet alone
            path.unlink(missing_ok=True)
        return written

    def raw_payload(self, symbol: str, time: dt.datetime) -> Any:
        """The payload of the capture made at `time` (or the last one before it), as fetched."""
        folder = self.root / RAW / partition(symbol, time.date())
        wanted = f"{time:%H%M%S}"
        candidates = sorted(path for path in folder.glob("*.json.gz")
                            if path.name[:6] <= wanted)
        if not candidates:
            raise LookupError(f"the store holds no {symbol} capture on {time:%d-%b-%Y} at or "
                              f"before {time:%H:%M:%S}")
        return json.loads(gzip.decompress(candidates[-1].read_bytes()))

    def has_capture(self, symbol: str, time: dt.datetime) -> bool:
        """Whether a capture of `symbol` at `time` (to the second) is stored; its raw payload
        stays where it was written, compacted or not, and is written first."""
        folder = self.root / RAW / partition(symbol, time.date())
        return any(folder.glob(f"{time:%H%M%S}-*.json.gz")) and any(
            path.name.startswith(f"{time:%H%M%S}-") or path.name == DAY_FILE
            for path in (self.root / LEGS / partition(symbol, time.date())).glob("*.parquet"))

    def days(self, symbol: str) -> list[dt.date]:
        return [day for _, day, _ in self.partitions(symbol)]


def bad_files(paths: Iterable[pathlib.Path]) -> list[tuple[pathlib.Path, str]]:
    """The files pyarrow cannot read the footer of, with the reason."""
    import pyarrow.parquet as pq

    bad = []
    for path in paths:
        try:
            pq.read_metadata(path)
        except Exception as error:  # any failure to read the footer makes the file unusable
            bad.append((path, str(error).splitlines()[0] if str(error) else type(error).__name__))
    return bad
