"""Which of a store's files a reader may use. A file is left out, with the reason, when it is a
link (the store reads only what lies in it), not a whole Parquet file (cut short by a full disk),
of another table's columns, or damaged inside (a page whose checksum or encoding fails). Each
file is checked in full once per process, as long as its size and time are unchanged."""
from __future__ import annotations

import os
import pathlib

from greeks.exchange.sources import first_line
from greeks.history import schema

PARQUET_MAGIC = b"PAR1"
# (path, size, modification time) -> why the file is left out, or None when it is sound.
CHECKED: dict[tuple[str, int, int], str | None] = {}


def looks_whole(path: pathlib.Path) -> bool:
    """A Parquet file starts and ends with its magic; a truncated one does not."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(4)
            handle.seek(-4, os.SEEK_END)
            return head == PARQUET_MAGIC and handle.read(4) == PARQUET_MAGIC
    except OSError:
        return False


def unusable(path: pathlib.Path) -> str | None:
    """Why a reader must leave `path` out, or None."""
    if path.is_symlink():
        return "a link: the store reads only the files it holds"
    try:
        stat = path.stat()
    except OSError as error:
        return error.strerror or str(error)
    key = (str(path), stat.st_size, stat.st_mtime_ns)
    if key not in CHECKED:
        CHECKED[key] = first_fault(path)
    return CHECKED[key]


def first_fault(path: pathlib.Path) -> str | None:
    import pyarrow.parquet as pq

    if not looks_whole(path):
        return "not a whole Parquet file"
    try:
        found = pq.read_schema(path)
    except Exception as error:  # any failure to read the footer makes the file unusable
        return reason_of(error)
    wanted = schema.arrow_schema()
    for field in wanted:
        if field.name not in found.names:
            if field.name in schema.LATER_COLUMNS:
                continue
            return f"not a capture of this store: it has no column {field.name!r}"
        if not found.field(field.name).type.equals(field.type):
            return (f"not a capture of this store: column {field.name!r} is "
                    f"{found.field(field.name).type}, not {field.type}")
    try:
        pq.read_table(path, page_checksum_verification=True)
    except Exception as error:  # a page that fails its checksum or its decoding
        return f"damaged: {reason_of(error)}"
    return None


def reason_of(error: BaseException) -> str:
    return first_line(str(error), 200) or type(error).__name__
