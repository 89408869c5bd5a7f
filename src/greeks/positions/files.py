"""Position files: CSV as a spreadsheet exports it, and TOML, both with the field names of
``greeks.positions.legs``. Reading names the file and line of every bad field; writing writes the
same fields back."""
from __future__ import annotations

import csv
import pathlib
from collections.abc import Iterable

from greeks.positions.legs import FIELDS, LOT_FIELDS, Leg, LotSizes, PositionError, leg_from_fields

KNOWN_FIELDS = set(FIELDS) | set(LOT_FIELDS)
# What a position file may hold: the kernels value at most 256 legs, and a leg's line is short.
MAX_LEGS = 256
MAX_FILE_BYTES = 1 << 20
MAX_NESTING = 8


def nesting(text: str) -> int:
    """How deep brackets and braces nest in a TOML text, strings aside: enough to refuse a
    document that would exhaust the parser's recursion before it is parsed."""
    depth = deepest = 0
    quote = None
    for char in text:
        if quote:
            quote = None if char == quote else quote
        elif char in "\"'":
            quote = char
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth = max(0, depth - 1)
    return deepest


def read_legs(path: str | pathlib.Path, lot_sizes: LotSizes | None = None) -> list[Leg]:
    """The legs of a .csv or .toml file; PositionError naming the file, line and field, or
    OSError when the file cannot be read. Legs in lots alone take `lot_sizes(symbol, expiry)`.
    A file larger, deeper or longer than any position is refused before it is parsed."""
    path = pathlib.Path(path)
    size = path.stat().st_size
    if size > MAX_FILE_BYTES:
        raise PositionError(str(path), "file", f"holds {size:,} bytes; a position file holds at "
                                               f"most {MAX_FILE_BYTES:,}")
    suffix = path.suffix.lower()
    if suffix == ".toml":
        return read_toml(path, lot_sizes)
    if suffix in (".csv", ".txt", ""):
        return read_csv(path, lot_sizes)
    raise PositionError(str(path), "file", "a position file ends in .csv or .toml")


def check_header(names: Iterable[str], where: str) -> None:
    unknown = sorted(set(names) - KNOWN_FIELDS)
    if unknown:
        raise PositionError(where, unknown[0], f"not a field of a leg (fields: "
                                               f"{', '.join(FIELDS + LOT_FIELDS)})")


def read_csv(path: pathlib.Path, lot_sizes: LotSizes | None = None) -> list[Leg]:
    text = path.read_text(encoding="utf-8-sig")  # a spreadsheet's export may start with a BOM
    check_count(path, sum(1 for line in text.splitlines()[1:] if line.strip()))
    try:
        return csv_legs(path, text, lot_sizes)
    except csv.Error as error:  # an unterminated quote, a cell past the csv module's limit
        raise PositionError(f"{path}", "csv", str(error)) from None


def check_count(path: pathlib.Path, legs: int) -> None:
    if legs > MAX_LEGS:
        raise PositionError(str(path), "legs", f"holds {legs:,} legs; a position holds at most "
                                               f"{MAX_LEGS}")


def csv_legs(path: pathlib.Path, text: str, lot_sizes: LotSizes | None) -> list[Leg]:
    # Strict: a quote left open is an error, not a cell that runs to the end of the file.
    reader = csv.DictReader(text.splitlines(), strict=True)
    names = [name.strip() for name in reader.fieldnames or []]
    if not names:
        raise PositionError(f"{path} line 1", "header", "the file is empty")
    check_header(names, f"{path} line 1")
    legs = []
    for row in reader:
        where = f"{path} line {reader.line_num}"
        if None in row:
            raise PositionError(where, "row", "more cells than the header names")
        fields = {name.strip(): value for name, value in row.items()}
        if all(not (value or "").strip() for value in fields.values()):
            continue  # a blank line a spreadsheet left
        legs.append(leg_from_fields(fields, where, lot_sizes))
    if not legs:
        raise PositionError(str(path), "legs", "the file holds no leg")
    return legs


def read_toml(path: pathlib.Path, lot_sizes: LotSizes | None = None) -> list[Leg]:
    import tomllib

    text = path.read_text(encoding="utf-8")
    depth = nesting(text)
    if depth > MAX_NESTING:
        raise PositionError(str(path), "toml", f"values nested {depth} deep; a leg's fields "
                                               f"nest at most {MAX_NESTING}")
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise PositionError(str(path), "toml", str(error)) from None
    except RecursionError:
        raise PositionError(str(path), "toml", "values nested too deep to read") from None
    tables = document.get("leg")
    if not isinstance(tables, list) or not tables:
        raise PositionError(str(path), "leg", "expected one [[leg]] table per leg")
    check_count(path, len(tables))
    starts = [number for number, line in enumerate(text.splitlines(), 1)
              if line.strip() == "[[leg]]"]
    legs = []
    for index, table in enumerate(tables):
        line = starts[index] if index < len(starts) else index + 1
        where = f"{path} line {line}"
        if not isinstance(table, dict):
            raise PositionError(where, "leg", "not a table")
        check_header(table, where)
        legs.append(leg_from_fields(table, where, lot_sizes))
    return legs


def write_csv(legs: Iterable[Leg], path: str | pathlib.Path) -> None:
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, fieldnames=FIELDS)
        writer.writeheader()
        for leg in legs:
            writer.writerow(leg.fields())


def toml_value(field: str, text: str) -> str:
    numeric = field in ("strike", "quantity", "entry_price")
    return text if numeric else '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_toml(legs: Iterable[Leg], path: str | pathlib.Path) -> None:
    blocks = []
    for leg in legs:
        lines = ["[[leg]]"] + [f"{field} = {toml_value(field, text)}"
                               for field, text in leg.fields().items() if text != ""]
        blocks.append("\n".join(lines))
    pathlib.Path(path).write_text("\n\n".join(blocks) + "\n", encoding="utf-8")


def write_legs(legs: Iterable[Leg], path: str | pathlib.Path) -> None:
    """Writes the legs as CSV, or TOML for a .toml path."""
    (write_toml if str(path).lower().endswith(".toml") else write_csv)(legs, path)
