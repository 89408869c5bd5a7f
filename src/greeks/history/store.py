"""The store on disk: one Parquet file per capture, in the hive layout
``legs/symbol=NIFTY/date=2026-12-09/HHMMSS-<id>.parquet``, with the capture's raw payload beside it
under ``raw/`` (same path, ``.json.gz``; for a day backfilled from a daily file, that file's lines
of the symbol, ``.csv.gz``), so that any capture can be replayed exactly.

What holds, for every reader (the package's DuckDB view, ``pyarrow.dataset``, Spark or Trino, all
of which skip names that start with "." or "_"):
- A capture is in exactly one visible file at any moment. Its raw payload is written first and its
  Parquet file last, each atomically (a hidden temporary file renamed into place): the Parquet
  file's arrival is the moment the capture exists.
- One writer at a time per symbol and day: writing a capture and compacting a day hold the
  partition's lock (a hidden file beside the partition), and a capture whose exchange time (to the
  second) is already stored is not stored again, whichever process stored it.
- Compaction builds the day's one file in a hidden folder beside the partition, holding every
  capture and the earlier day file, and exchanges the two folders in one step (swap.py): a reader
  lists the old files or the new one, never both and never neither. A crash before the exchange
  leaves only a hidden folder, after it the hidden folder of old files; either is removed by the
  next write or compaction of that day. A compacted day still takes captures: they lie beside
  ``day.parquet`` until the next compaction.
- The package's readers hold the store's readers' lock, shared, from listing the files to the
  end of the query; the exchange of a compaction holds it alone, for the moment it takes, so that
  no file of a query goes away under it.
"""
from __future__ import annotations

import contextlib
import datetime as dt
import fcntl
import gzip
import json
import pathlib
import shutil
import uuid
import zlib
from collections.abc import Iterator
from typing import Any

from greeks.atomic import replace_atomically
from greeks.history import schema
from greeks.history.checks import unusable
from greeks.history.swap import exchange

LEGS, RAW = "legs", "raw"
DAY_FILE = "day.parquet"
STAGING_SUFFIX = ".compacting"
READERS_LOCK = ".readers.lock"
# A capture's file is small and written once: snappy writes it in half zstd's time for 2 % more
# bytes. The day file a compaction writes is large and kept: zstd.
WRITE_OPTIONS = {"compression": "snappy", "write_page_checksum": True}
DAY_FILE_OPTIONS = {"compression": "zstd", "write_page_checksum": True}
# How a kept payload is written: a fetched chain as JSON, a daily file's lines as CSV.
RAW_SUFFIXES = {"json": ".json.gz", "csv": ".csv.gz"}


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


def stem_of(time: dt.datetime) -> str:
    return f"{time.hour:02d}{time.minute:02d}{time.second:02d}"


class Store:
    """A folder of captures. Nothing to start: every method reads or writes files."""

    def __init__(self, root: str | pathlib.Path):
        self.root = pathlib.Path(root)
        self.skipped: dict[pathlib.Path, str] = {}  # files left out by this store's readers

    def folder(self, symbol: str, day: dt.date, kind: str = LEGS) -> pathlib.Path:
        return self.root / kind / partition(symbol, day)

    # ---- one writer per partition

    @contextlib.contextmanager
    def locked(self, symbol: str, day: dt.date) -> Iterator[pathlib.Path]:
        """Holds the partition's lock, waiting for another process's write or compaction to
        end, and clears what a compaction killed midway left; yields the partition's folder."""
        folder = self.folder(symbol, day)
        with held(folder.parent / f".{folder.name}.lock", fcntl.LOCK_EX):
            shutil.rmtree(staging_of(folder), ignore_errors=True)
            yield folder

    @contextlib.contextmanager
    def reading(self) -> Iterator[None]:
        """Holds the readers' lock, shared: no compaction exchanges a folder meanwhile."""
        with held(self.root / LEGS / READERS_LOCK, fcntl.LOCK_SH):
            yield

    # ---- writing

    def write_capture(self, symbol: str, time: dt.datetime, table: Any, raw: Any, *,
                      raw_format: str = "json") -> pathlib.Path | None:
        """Stores one capture: `table` (a pyarrow Table of the schema) and the payload it came
        from (a chain, or with raw_format "csv" a daily file's text). Returns the Parquet file's
        path, or None when a capture at that exchange time is stored already. OSError (a full
        disk) leaves earlier captures as they were and no part of this one visible."""
        import pyarrow.parquet as pq

        day = time.date()
        stem = f"{stem_of(time)}-{uuid.uuid4().hex[:8]}"
        payload = compressed(raw, raw_format)
        with self.locked(symbol, day) as legs_folder:
            if self.has_capture(symbol, time):
                return None
            raw_folder = self.folder(symbol, day, RAW)
            legs_folder.mkdir(parents=True, exist_ok=True)
            raw_folder.mkdir(parents=True, exist_ok=True)
            replace_atomically(raw_folder / f"{stem}{RAW_SUFFIXES[raw_format]}",
                               lambda path: pathlib.Path(path).write_bytes(payload))
            return replace_atomically(legs_folder / f"{stem}.parquet",
                                      lambda path: pq.write_table(table, path, **WRITE_OPTIONS))

    def compact(self, symbol: str, day: dt.date) -> pathlib.Path | None:
        """Merges the day's capture files and its earlier day file into one day.parquet; None
        when there is no capture file to merge."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        with self.locked(symbol, day) as folder:
            captures = [path for path in self.capture_files(folder) if path.name != DAY_FILE]
            if not captures:
                return None
            tables = [schema.conform(pq.read_table(path)) for path in
                      self.capture_files(folder)]
            return self.swap_in(folder, pa.concat_tables(tables))

    def replace_day(self, symbol: str, day: dt.date, table: Any) -> pathlib.Path:
        """Makes `table` the day's one file, in place of every file the day had."""
        with self.locked(symbol, day) as folder:
            folder.mkdir(parents=True, exist_ok=True)
            return self.swap_in(folder, table)

    def swap_in(self, folder: pathlib.Path, table: Any) -> pathlib.Path:
        """Exchanges `folder` for one holding `table` alone as its day file (the lock held)."""
        import pyarrow.parquet as pq

        staging = staging_of(folder)
        staging.mkdir()
        table = table.sort_by("time").replace_schema_metadata(DAY_FILE_MARK)
        replace_atomically(staging / DAY_FILE, lambda path: pq.write_table(
            table, path, row_group_size=200_000, **DAY_FILE_OPTIONS))
        with held(self.root / LEGS / READERS_LOCK, fcntl.LOCK_EX):
            exchange(staging, folder)
            shutil.rmtree(staging, ignore_errors=True)  # the old files, out of every reader's view
        return folder / DAY_FILE

    # ---- reading

    def capture_files(self, folder: pathlib.Path) -> list[pathlib.Path]:
        """The partition's readable files (its day file, then the captures made since), each
        checked; a file that cannot be used is skipped with a warning naming it, once."""
        from greeks.units import warn_user

        usable = []
        merged = merged_stems(folder / DAY_FILE)
        for path in sorted(folder.glob("*.parquet"), key=lambda path: path.name != DAY_FILE):
            if path.name[:6] in merged:
                continue  # left beside its day file by a compaction of an earlier version
            reason = unusable(path)
            if reason is None:
                usable.append(path)
                continue
            self.skipped[path] = reason
            if path not in WARNED:
                WARNED.add(path)
                warn_user(f"skipping {path}: {reason}", StoreWarning)
        return usable

    def partitions(self, symbol: str | None = None, start: dt.date | None = None,
                   end: dt.date | None = None) -> list[tuple[str, dt.date, pathlib.Path]]:
        found = []
        pattern = f"symbol={symbol}/date=*" if symbol else "symbol=*/date=*"
        for folder in sorted((self.root / LEGS).glob(pattern)):
            parsed = parse_partition(folder)
            if parsed is None or not folder.is_dir() or folder.is_symlink() or \
                    (start and parsed[1] < start) or (end and parsed[1] > end):
                continue
            found.append((*parsed, folder))
        return found

    def files(self, symbol: str | None = None, start: dt.date | None = None,
              end: dt.date | None = None) -> list[pathlib.Path]:
        return [path for _, _, folder in self.partitions(symbol, start, end)
                for path in self.capture_files(folder)]

    def raw_captures(self, symbol: str, day: dt.date) -> list[tuple[dt.time, Any]]:
        """Every capture's time of day (from its file's name) and payload on `day`, in order;
        a payload that cannot be read is skipped with a warning naming it."""
        found = []
        for path in raw_files(self.folder(symbol, day, RAW)):
            try:
                found.append((dt.datetime.strptime(path.name[:6], "%H%M%S").time(),
                              read_payload(path)))
            except ValueError as error:
                from greeks.units import warn_user

                warn_user(f"skipping {path}: {error}", StoreWarning)
        return found

    def raw_payload(self, symbol: str, time: dt.datetime) -> Any:
        """The payload of the capture made at `time` (or the last one before it), as fetched;
        LookupError when there is none, ValueError when it cannot be read."""
        folder = self.folder(symbol, time.date(), RAW)
        wanted = stem_of(time)
        candidates = [path for path in raw_files(folder)
                      if path.name[:6] <= wanted and not path.is_symlink()]
        if not candidates:
            raise LookupError(f"the store holds no {symbol} capture on {time:%d-%b-%Y} at or "
                              f"before {time:%H:%M:%S}")
        return read_payload(candidates[-1])

    def has_capture(self, symbol: str, time: dt.datetime) -> bool:
        """Whether a capture of `symbol` at `time` (to the second) is stored: its raw payload
        is written first and stays where it was written, compacted or not."""
        folder = self.folder(symbol, time.date(), RAW)
        return folder.is_dir() and bool(raw_files(folder, f"{stem_of(time)}-*")) and (
            any(self.folder(symbol, time.date()).glob(f"{stem_of(time)}-*.parquet")) or
            (self.folder(symbol, time.date()) / DAY_FILE).exists())

    def days(self, symbol: str) -> list[dt.date]:
        return [day for _, day, _ in self.partitions(symbol)]


@contextlib.contextmanager
def held(path: pathlib.Path, kind: int) -> Iterator[None]:
    """An advisory lock on a hidden file (created where missing), held until the block ends."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a+b") as lock:
        fcntl.flock(lock, kind)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


# What marks a day file this version wrote, and the merged times of earlier versions' ones.
DAY_FILE_KEY = b"greeks.day_file"
DAY_FILE_MARK = {DAY_FILE_KEY: b"exchanged"}
MERGED: dict[tuple[str, int, int], frozenset[str]] = {}
# Files already warned of in this process.
WARNED: set[pathlib.Path] = set()


def merged_stems(day_file: pathlib.Path) -> frozenset[str]:
    """The capture times (HHMMSS) a day file holds whose capture files may still lie beside it:
    none for a day file this version exchanged in (it never has any), every time it holds for one
    written by an earlier version, whose compaction removed the merged files only after renaming
    the day file in, and was at times killed between the two."""
    if not day_file.exists() or unusable(day_file) is not None:
        return frozenset()
    stat = day_file.stat()
    key = (str(day_file), stat.st_size, stat.st_mtime_ns)
    if key not in MERGED:
        import pyarrow.compute as pc
        import pyarrow.parquet as pq

        metadata = pq.read_metadata(day_file).metadata or {}
        if DAY_FILE_KEY in metadata:
            MERGED[key] = frozenset()
        else:
            times = pc.unique(pq.read_table(day_file, columns=["time"]).column("time"))
            MERGED[key] = frozenset(f"{moment:%H%M%S}" for moment in times.to_pylist())
    return MERGED[key]


def staging_of(folder: pathlib.Path) -> pathlib.Path:
    """Where a compaction builds a partition's new folder: beside it, hidden from every reader."""
    return folder.with_name(f".{folder.name}{STAGING_SUFFIX}")


def compressed(raw: Any, raw_format: str) -> bytes:
    """A payload as the store keeps it: a chain as JSON, a daily file's text as it is; gzipped (a
    daily file's lines shrink to a sixth at the fastest level, to a seventh at the default)."""
    text = json.dumps(raw) if raw_format == "json" else raw
    return gzip.compress(text.encode(), compresslevel=6 if raw_format == "json" else 1)


def raw_files(folder: pathlib.Path, stem: str = "*") -> list[pathlib.Path]:
    """The kept payloads in `folder` whose names match `stem`, in name (time) order."""
    return sorted(path for suffix in RAW_SUFFIXES.values() for path in
                  folder.glob(f"{stem}{suffix}"))


def read_payload(path: pathlib.Path) -> Any:
    """A kept payload, as a chain; ValueError saying why it cannot be read."""
    try:
        text = gzip.decompress(path.read_bytes()).decode()
        if path.name.endswith(RAW_SUFFIXES["csv"]):
            return daily_chain(path, text)
        return json.loads(text)
    except (OSError, EOFError, zlib.error) as error:
        raise ValueError(f"the kept payload {path} is damaged ({error})") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"the kept payload {path} is not JSON ({error})") from None


def daily_chain(path: pathlib.Path, text: str) -> Any:
    """The chain a backfill stored from the daily file's lines kept at `path`."""
    from greeks.history.bhavcopy import BhavcopyError
    from greeks.history.daily_rows import chains, read_rows

    parsed = parse_partition(path.parent)
    try:
        found = [chain for _, day, chain in chains(read_rows(text))
                 if parsed is None or day == parsed[1]]
    except BhavcopyError as error:
        raise ValueError(f"the kept daily rows {path} cannot be read ({error})") from None
    if not found:
        raise ValueError(f"the kept daily rows {path} hold no option of that day")
    return found[0]
