"""A daily F&O file's option rows as columns (Arrow reads the CSV; a file of every symbol takes
some 10 ms), grouped by symbol and trade date, and each group as the chain a capture stores: the
legs' settlement price (else the close) as their last price, the underlying's price as the spot.
Both layouts are read under the UDiFF names."""
from __future__ import annotations

import csv
import dataclasses
import datetime as dt
import functools
import io
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from greeks.exchange import vocabulary as words
from greeks.exchange.sources import shown
from greeks.history.bhavcopy import BhavcopyError
from greeks.market import CALL, CLOSE, PUT

# The UDiFF columns read, and the instrument types that are options.
COLUMNS = ("TradDt", "FinInstrmTp", "TckrSymb", "XpryDt", "StrkPric", "OptnTp", "ClsPric",
           "SttlmPric", "UndrlygPric", "OpnIntrst", "ChngInOpnIntrst", "TtlTradgVol",
           "NewBrdLotQty")
OPTION_TYPES, FUTURE_TYPES = ("IDO", "STO"), ("IDF", "STF")
# The older layout's columns under the UDiFF names, and its instrument types.
OLDER_COLUMNS = {"TIMESTAMP": "TradDt", "INSTRUMENT": "FinInstrmTp", "SYMBOL": "TckrSymb",
                 "EXPIRY_DT": "XpryDt", "STRIKE_PR": "StrkPric", "OPTION_TYP": "OptnTp",
                 "CLOSE": "ClsPric", "SETTLE_PR": "SttlmPric", "OPEN_INT": "OpnIntrst",
                 "CHG_IN_OI": "ChngInOpnIntrst", "CONTRACTS": "TtlTradgVol"}
OLDER_TYPES = {"OPTIDX": "IDO", "OPTSTK": "STO", "FUTIDX": "IDF", "FUTSTK": "STF"}


@dataclasses.dataclass
class DailyRows:
    """The option rows (and, where asked, the futures) of the wanted symbols, in the file's
    order: a numpy array per field (NaN or NaT where a field does not parse; the texts as codes
    into their names), and the file's text, whose lines of each symbol are the payload a
    backfilled day keeps."""
    symbols: list[str]          # the names the codes of `symbol` and `file_symbol` index
    symbol: np.ndarray
    dates: list[str]            # the trade dates' texts, as the file writes them
    traded: np.ndarray
    expiry: np.ndarray          # datetime64[D]
    strike: np.ndarray
    is_call: np.ndarray         # bool
    is_option: np.ndarray       # the side is CE or PE
    is_future: np.ndarray       # a future's row
    close: np.ndarray
    settle: np.ndarray
    spot: np.ndarray
    open_interest: np.ndarray
    change_in_oi: np.ndarray
    volume: np.ndarray
    lot_size: np.ndarray
    text: str
    file_symbol: np.ndarray     # the symbol of every row the file holds, in its order
    file_dates: list[str]       # the trade dates its options and futures name, every symbol's
    older: bool                 # the older layout: the spot is the nearest future's price
    left_out: int               # lines without the header's number of fields

    @functools.cached_property
    def price(self) -> np.ndarray:
        """The settlement price where above 0, else the close: a day's value of each leg."""
        return np.where(self.settle > 0, self.settle, self.close)

    @functools.cached_property
    def lines(self) -> tuple[str, dict[str, list[str]]]:
        """The file's header, and the lines of each symbol."""
        return symbol_lines(self.text, self.symbols, self.file_symbol, self.left_out)

    def groups(self) -> Iterator[tuple[str, dt.date, np.ndarray]]:
        """(symbol, trade date, positions of its rows) in symbol then date order; BhavcopyError
        for a trade date that does not parse."""
        named, dated = sorted(self.symbols), sorted(self.dates)
        code = ranks(self.symbols)[self.symbol] * len(dated) + ranks(self.dates)[self.traded]
        order = np.argsort(code, kind="stable")
        starts = np.flatnonzero(np.diff(code[order], prepend=-1))
        for start, end in zip(starts.tolist(), [*starts[1:].tolist(), len(order)]):
            named_at, dated_at = divmod(int(code[order[start]]), len(dated))
            symbol, traded = named[named_at], dated[dated_at]
            day = iso_day(traded)
            if day is None:
                raise BhavcopyError(f"its trade date {shown(traded)} is not a date such as "
                                    f"2025-02-03")
            yield symbol, day, order[start:end]

    def readable(self, rows: np.ndarray) -> np.ndarray:
        """Those of `rows` whose strike, expiry and side parse."""
        good = np.isfinite(self.strike[rows]) & ~np.isnat(self.expiry[rows]) & \
            self.is_option[rows]
        return rows[good]

    def day_spot(self, rows: np.ndarray) -> float | None:
        """The underlying's price most of `rows` carry (the lowest of equals), or None."""
        carried = self.spot[rows]
        carried = carried[np.isfinite(carried) & (carried != 0)]
        if carried.size == 0:
            return None
        prices, counts = np.unique(carried, return_counts=True)
        return float(prices[np.argmax(counts)])

    def lines_of(self, symbol: str) -> str:
        """The header and every line of `symbol` (options, and the futures the older layout
        takes its spot from), as the file writes them."""
        header, grouped = self.lines
        return "\n".join([header, *grouped.get(symbol, ())]) + "\n"


def ranks(names: list[str]) -> np.ndarray:
    """Each name's place in name order."""
    placed = np.empty(len(names), dtype=np.int64)
    placed[sorted(range(len(names)), key=names.__getitem__)] = np.arange(len(names))
    return placed


def read_rows(text: str, symbols: set[str] | None = None, futures: bool = False) -> DailyRows:
    """The option rows of `symbols` (None: of every symbol) in a daily file's text, either
    layout, and with `futures` their futures' rows too. BhavcopyError, one line, when the text is
    no daily F&O file."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as arrow_csv

    header = text.split("\n", 1)[0].rstrip("\r").split(",")
    names = [name.strip().strip('"') for name in header]
    older = set(OLDER_COLUMNS) <= set(names)
    wanted = set(OLDER_COLUMNS) if older else set(COLUMNS)
    read = {raw.strip('"'): name for raw, name in zip(header, names) if name in wanted}
    missing = [name for name in (OLDER_COLUMNS if older else COLUMNS)
               if name not in read.values()]
    if missing:
        raise BhavcopyError(f"not a daily F&O file in the UDiFF layout: no {', '.join(missing)}")
    ragged = []  # the lines Arrow skips
    try:
        table = arrow_csv.read_csv(
            io.BytesIO(text.encode()),
            parse_options=arrow_csv.ParseOptions(
                invalid_row_handler=lambda row: ragged.append(row) or "skip"),
            convert_options=arrow_csv.ConvertOptions(
                include_columns=list(read), column_types={raw: pa.string() for raw in read},
                strings_can_be_null=False, quoted_strings_can_be_null=False))
    except (pa.ArrowInvalid, pa.ArrowKeyError) as error:
        raise BhavcopyError(f"not a daily F&O file in the UDiFF layout: {error}") from None
    columns = {name: pc.utf8_trim_whitespace(table.column(raw).combine_chunks())
               for raw, name in read.items()}
    if older:
        columns = udiff_columns(columns)
    every_symbol = pc.dictionary_encode(columns["TckrSymb"])
    kind = columns["FinInstrmTp"]
    file_dates = pc.unique(columns["TradDt"].filter(
        pc.is_in(kind, pa.array(OPTION_TYPES + FUTURE_TYPES)))).to_pylist()
    keep = pc.is_in(kind, pa.array(OPTION_TYPES + (FUTURE_TYPES if futures else ())))
    if symbols is not None:
        keep = pc.and_(keep, pc.is_in(columns["TckrSymb"], pa.array(sorted(symbols))))
    columns = {name: column.filter(keep) for name, column in columns.items()}
    traded = pc.dictionary_encode(columns["TradDt"])
    side = columns["OptnTp"]
    return DailyRows(
        symbols=every_symbol.dictionary.to_pylist(),
        symbol=codes(every_symbol.filter(keep)), dates=traded.dictionary.to_pylist(),
        traded=codes(traded), expiry=iso_days(columns["XpryDt"]),
        strike=numbers(columns["StrkPric"]), is_call=flags(pc.equal(side, CALL)),
        is_option=flags(pc.is_in(side, pa.array((CALL, PUT)))),
        is_future=flags(pc.is_in(columns["FinInstrmTp"], pa.array(FUTURE_TYPES))),
        close=numbers(columns["ClsPric"]), settle=numbers(columns["SttlmPric"]),
        spot=numbers(columns["UndrlygPric"]), open_interest=numbers(columns["OpnIntrst"]),
        change_in_oi=numbers(columns["ChngInOpnIntrst"]), volume=numbers(columns["TtlTradgVol"]),
        lot_size=numbers(columns["NewBrdLotQty"]), text=text,
        file_symbol=codes(every_symbol), file_dates=file_dates, older=older,
        left_out=len(ragged))


def codes(encoded: Any) -> np.ndarray:
    return encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64)


def flags(column: Any) -> np.ndarray:
    return column.to_numpy(zero_copy_only=False).astype(bool)


def udiff_columns(columns: dict[str, Any]) -> dict[str, Any]:
    """The older layout's string columns as the UDiFF ones."""
    import pandas as pd
    import pyarrow as pa

    frame = pd.DataFrame({name: column.to_numpy(zero_copy_only=False)
                          for name, column in columns.items()})
    frame = from_older_layout(frame)
    return {name: pa.array(frame[name].to_numpy(dtype=object), pa.string()) for name in COLUMNS}


def from_older_layout(frame: Any) -> Any:
    """The older layout's rows under the UDiFF names. It has no underlying price: each symbol's
    nearest future stands in for it (the forward model prices each expiry on its own parity
    forward whatever the spot); nor a lot size (left empty)."""
    import pandas as pd

    out = frame.rename(columns=OLDER_COLUMNS)
    out["FinInstrmTp"] = out["FinInstrmTp"].map(OLDER_TYPES).fillna("")
    for name in ("TradDt", "XpryDt"):
        days = pd.to_datetime(out[name].str.title(), format="%d-%b-%Y", errors="coerce")
        out[name] = days.dt.strftime("%Y-%m-%d").fillna(out[name])
    futures = out[out["FinInstrmTp"].isin(("IDF", "STF"))].sort_values("XpryDt")
    nearest = futures.drop_duplicates("TckrSymb").set_index("TckrSymb")
    price = pd.to_numeric(nearest["ClsPric"], errors="coerce").where(
        lambda value: value > 0, pd.to_numeric(nearest["SttlmPric"], errors="coerce"))
    out["UndrlygPric"] = out["TckrSymb"].map(price.astype(str)).fillna("")
    out["NewBrdLotQty"] = ""
    return out


def numbers(column: Any) -> np.ndarray:
    """A string column's numbers, NaN where blank or not a number."""
    import pyarrow as pa
    import pyarrow.compute as pc

    try:
        values = pc.cast(pc.if_else(pc.equal(column, ""), None, column), pa.float64())
    except pa.ArrowInvalid:  # some text that is no number: those alone become NaN
        import pandas as pd

        return pd.to_numeric(pd.Series(column.to_pylist(), dtype=object),
                             errors="coerce").to_numpy(np.float64)
    return values.to_numpy(zero_copy_only=False).astype(np.float64)


def iso_days(column: Any) -> np.ndarray:
    import pyarrow as pa
    import pyarrow.compute as pc

    moments = pc.strptime(column, format="%Y-%m-%d", unit="s", error_is_null=True)
    return pc.cast(moments, pa.date32()).to_numpy(zero_copy_only=False).astype("datetime64[D]")


def iso_day(text: Any) -> dt.date | None:
    try:
        return dt.date.fromisoformat(str(text).strip())
    except ValueError:
        return None


def symbol_lines(text: str, symbols: list[str], file_symbol: np.ndarray, left_out: int
                 ) -> tuple[str, dict[str, list[str]]]:
    """The header, and the lines of each symbol, of a daily file's text whose rows name
    symbols[file_symbol]: row by row where every line but the empty ones was read as a row, else
    by each line's own symbol field."""
    lines = text.split("\n")
    header = lines[0].rstrip("\r")
    data = [line for line in lines[1:] if line and line != "\r"]
    if "\r" in text:
        data = [line.rstrip("\r") for line in data]
    if left_out or len(data) != len(file_symbol):
        return header, lines_by_field(header, data)
    order = np.argsort(file_symbol, kind="stable")
    starts = np.searchsorted(file_symbol[order], np.arange(len(symbols) + 1))
    ordered = np.array(data, dtype=object)[order]
    return header, {symbol: ordered[starts[code]:starts[code + 1]].tolist()
                    for code, symbol in enumerate(symbols)}


def lines_by_field(header: str, data: list[str]) -> dict[str, list[str]]:
    names = [name.strip().strip('"') for name in header.split(",")]
    place = names.index("TckrSymb") if "TckrSymb" in names else names.index("SYMBOL")
    cells = csv.reader(data) if any('"' in line for line in data) else (
        line.split(",", place + 1) for line in data)
    grouped: dict[str, list[str]] = {}
    for line, fields in zip(data, cells):
        if len(fields) > place:
            grouped.setdefault(fields[place].strip(), []).append(line)
    return grouped


def chains(rows: DailyRows, report: Callable[[str], None] = lambda line: None
           ) -> Iterator[tuple[str, dt.date, dict]]:
    """(symbol, trade date, chain) for each symbol and trade date in the rows, the chain in the
    "records" shape; `report` hears, a line each, of what is left out (rows whose expiry or
    strike does not parse, a symbol without the underlying's price)."""
    price = rows.price
    for symbol, day, group in rows.groups():
        readable, spot = day_parts(rows, symbol, day, group, report)
        if spot is None:
            continue
        by_strike: dict[tuple[str, float], dict] = {}
        for at in readable.tolist():
            strike = float(rows.strike[at])
            expiry = rows.expiry[at].item().strftime(words.RECORDS_EXPIRY_FORMAT)
            row = by_strike.setdefault((expiry, strike), {"strikePrice": strike,
                                                          "expiryDate": expiry})
            row[CALL if rows.is_call[at] else PUT] = {
                "strikePrice": strike, "expiryDate": expiry, "underlying": symbol,
                "lastPrice": kept(price[at]), "impliedVolatility": 0,
                "openInterest": kept(rows.open_interest[at]),
                "changeinOpenInterest": kept(rows.change_in_oi[at]),
                "totalTradedVolume": kept(rows.volume[at]),
                "underlyingValue": kept(rows.spot[at]), "lotSize": kept(rows.lot_size[at])}
        yield symbol, day, {words.RECORDS_KEY: {
            words.SPOT_KEY: spot,
            words.TIMESTAMP_KEY: close_stamp(day),
            words.ROWS_KEY: list(by_strike.values())}}


def close_stamp(day: dt.date) -> str:
    """The capture time a backfilled day carries, as a chain writes its timestamp."""
    return f"{day:%d-%b-%Y} {CLOSE:%H:%M:%S}"


def day_parts(rows: DailyRows, symbol: str, day: dt.date, group: np.ndarray,
              report: Callable[[str], None]) -> tuple[np.ndarray, float | None]:
    """A symbol's day: the rows that can be read and the spot (None: the day is skipped), with a
    line to `report` for what is left out."""
    readable = rows.readable(group)
    if len(readable) < len(group):
        report(f"{symbol} {day:%d-%b-%Y}: {len(group) - len(readable)} rows whose strike, "
               f"expiry or side does not parse left out")
    spot = rows.day_spot(readable)
    if len(readable) and spot is None:
        report(f"{symbol} {day:%d-%b-%Y}: {len(readable)} options but no underlying price "
               f"(UndrlygPric); skipped")
    return readable, (spot if len(readable) else None)


def kept(value: float) -> float | None:
    """A number as a payload keeps it: None where missing."""
    return None if value != value else float(value)
