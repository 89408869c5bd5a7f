"""The exchange's daily F&O closing file (the "bhavcopy": the UDiFF CSV layout since July 2024,
one zipped CSV per trading day, and the older `foDDMMMYYYYbhav.csv` layout before it) read into
chains: for each symbol and trade date, a chain in the
"records" shape whose legs carry the settlement price (else the close) as their last price and the
underlying's price as the spot, captured at 15:30 IST of the trade date, so that the day's close
is stored as any live capture is, with every volatility solved from that price."""
from __future__ import annotations

import datetime as dt
import io
import pathlib
import urllib.error
import urllib.request
import zipfile
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from greeks.exchange import vocabulary as words
from greeks.exchange.sources import shown
from greeks.market import CALL, CLOSE, PUT

# The UDiFF columns read, and the instrument types that are options.
COLUMNS = ("TradDt", "FinInstrmTp", "TckrSymb", "XpryDt", "StrkPric", "OptnTp", "ClsPric",
           "SttlmPric", "UndrlygPric", "OpnIntrst", "ChngInOpnIntrst", "TtlTradgVol",
           "NewBrdLotQty")
OPTION_TYPES = ("IDO", "STO")
# The older layout's columns under the UDiFF names, and its instrument types.
OLDER_COLUMNS = {"TIMESTAMP": "TradDt", "INSTRUMENT": "FinInstrmTp", "SYMBOL": "TckrSymb",
                 "EXPIRY_DT": "XpryDt", "STRIKE_PR": "StrkPric", "OPTION_TYP": "OptnTp",
                 "CLOSE": "ClsPric", "SETTLE_PR": "SttlmPric", "OPEN_INT": "OpnIntrst",
                 "CHG_IN_OI": "ChngInOpnIntrst", "CONTRACTS": "TtlTradgVol"}
OLDER_TYPES = {"OPTIDX": "IDO", "OPTSTK": "STO", "FUTIDX": "IDF", "FUTSTK": "STF"}
# The most CSV one daily file may hold: the real ones hold 5 to 8 MiB.
MAX_FILE_BYTES = 64 * 2**20


class BhavcopyError(Exception):
    """A daily file that cannot be had or read; the message is one line."""


def file_name(day: dt.date) -> str:
    return f"BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv.zip"


def read_text(path: pathlib.Path) -> str:
    """The CSV text of a .csv file or of the one CSV inside a .zip."""
    try:
        if path.suffix.lower() == ".zip":
            with zipfile.ZipFile(path) as archive:
                names = [item for item in archive.infolist()
                         if item.filename.lower().endswith(".csv")]
                if len(names) != 1:
                    raise BhavcopyError(f"{path} holds {len(names)} CSV files, not one")
                check_size(path, names[0].file_size)
                with archive.open(names[0]) as member:
                    # The size a zip declares is the archive's word: read no more than allowed.
                    data = member.read(MAX_FILE_BYTES + 1)
        else:
            check_size(path, path.stat().st_size)
            data = path.read_bytes()
        check_size(path, len(data))
        return data.decode("utf-8-sig")
    except (OSError, zipfile.BadZipFile, UnicodeDecodeError, EOFError) as error:
        raise BhavcopyError(f"cannot read {path}: {error}") from None


def check_size(path: pathlib.Path, size: int) -> None:
    if size > MAX_FILE_BYTES:
        raise BhavcopyError(f"{path} holds {size / 2**20:,.0f} MiB of CSV, more than any daily "
                            f"file (5-8 MiB); refused unread")


def local_files(paths: Iterable[str]) -> list[pathlib.Path]:
    """The daily files named, and those inside the folders named, in name order."""
    found = []
    for name in paths:
        path = pathlib.Path(name)
        if path.is_dir():
            found += sorted(item for item in path.iterdir()
                            if item.suffix.lower() in (".zip", ".csv"))
        elif path.exists():
            found.append(path)
        else:
            raise BhavcopyError(f"there is no file or folder {path}")
    return found


def download(day: dt.date, archive_url: str, cache: pathlib.Path) -> pathlib.Path | None:
    """The day's file, from the cache or the archive; None when the archive has none (a holiday).
    BhavcopyError when the archive cannot be reached."""
    from greeks.atomic import replace_atomically

    target = cache / file_name(day)
    if target.exists():
        return target
    request = urllib.request.Request(f"{archive_url.rstrip('/')}/{file_name(day)}",
                                     headers={"User-Agent": "Mozilla/5.0 greeks"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            body = answer.read()
    except urllib.error.HTTPError as error:
        if error.code in (403, 404):
            return None
        raise BhavcopyError(f"the archive answered {error.code} for {day:%d-%b-%Y}") from None
    except (urllib.error.URLError, OSError) as error:
        reason = getattr(error, "reason", error)
        raise BhavcopyError(f"cannot reach the archive {archive_url}: {reason}") from None
    cache.mkdir(parents=True, exist_ok=True)
    replace_atomically(target, lambda path: pathlib.Path(path).write_bytes(body))
    return target


def read_rows(text: str, symbols: set[str]) -> Any:
    """The option rows of the wanted symbols, as a DataFrame of the columns read."""
    import pandas as pd

    wanted = set(COLUMNS) | set(OLDER_COLUMNS)
    try:
        frame = pd.read_csv(io.StringIO(text), usecols=lambda name: name.strip() in wanted,
                            dtype=str, skipinitialspace=True)
    except (ValueError, pd.errors.ParserError) as error:
        raise BhavcopyError(f"not a daily F&O file in the UDiFF layout: {error}") from None
    frame.columns = [name.strip() for name in frame.columns]
    if set(OLDER_COLUMNS) <= set(frame.columns):
        frame = from_older_layout(frame.apply(lambda column: column.str.strip()))
    missing = [name for name in COLUMNS if name not in frame.columns]
    if missing:
        raise BhavcopyError(f"not a daily F&O file in the UDiFF layout: no {', '.join(missing)}")
    frame = frame.apply(lambda column: column.str.strip())
    return frame[frame["FinInstrmTp"].isin(OPTION_TYPES) & frame["TckrSymb"].isin(symbols)]


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


def number(value: Any) -> float | None:
    try:
        result = float(value)
    except (TypeError, ValueError):
        return None
    return result if result == result else None


def iso_day(text: Any) -> dt.date | None:
    try:
        return dt.date.fromisoformat(str(text).strip())
    except ValueError:
        return None


def chains(rows: Any, report: Callable[[str], None] = lambda line: None
           ) -> Iterator[tuple[str, dt.date, dict]]:
    """(symbol, trade date, chain) for each symbol and trade date in the rows; `report` hears,
    a line each, of what is left out (rows whose expiry or strike does not parse, a symbol
    without the underlying's price). BhavcopyError for a trade date that does not parse."""
    for (symbol, traded), group in rows.groupby(["TckrSymb", "TradDt"], sort=True):
        day = iso_day(traded)
        if day is None:
            raise BhavcopyError(f"its trade date {shown(traded)} is not a date such as "
                                f"2025-02-03")
        by_strike: dict[tuple[str, float], dict] = {}
        spots = []
        unreadable = 0
        for leg in group.itertuples(index=False):
            strike, settled = number(leg.StrkPric), number(leg.SttlmPric)
            price = settled if settled and settled > 0 else number(leg.ClsPric)
            spot = number(leg.UndrlygPric)
            expires = iso_day(leg.XpryDt)
            if strike is None or expires is None or leg.OptnTp not in (CALL, PUT):
                unreadable += 1
                continue
            expiry = expires.strftime(words.RECORDS_EXPIRY_FORMAT)
            row = by_strike.setdefault((expiry, strike), {"strikePrice": strike,
                                                          "expiryDate": expiry})
            row[leg.OptnTp] = {"strikePrice": strike, "expiryDate": expiry, "underlying": symbol,
                               "lastPrice": price, "impliedVolatility": 0,
                               "openInterest": number(leg.OpnIntrst),
                               "changeinOpenInterest": number(leg.ChngInOpnIntrst),
                               "totalTradedVolume": number(leg.TtlTradgVol),
                               "underlyingValue": spot, "lotSize": number(leg.NewBrdLotQty)}
            if spot:
                spots.append(spot)
        if unreadable:
            report(f"{symbol} {day:%d-%b-%Y}: {unreadable} rows whose strike, expiry or side "
                   f"does not parse left out")
        if by_strike and not spots:
            report(f"{symbol} {day:%d-%b-%Y}: {sum(len(row) - 2 for row in by_strike.values())} "
                   f"options but no underlying price (UndrlygPric); skipped")
        if not by_strike or not spots:
            continue
        spot = max(set(spots), key=spots.count)
        yield symbol, day, {words.RECORDS_KEY: {
            words.SPOT_KEY: spot,
            words.TIMESTAMP_KEY: f"{day:%d-%b-%Y} {CLOSE:%H:%M:%S}",
            words.ROWS_KEY: list(by_strike.values())}}
