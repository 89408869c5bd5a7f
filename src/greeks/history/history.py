"""greeks.History: record chains into a store, and ask it for legs, series and IV rank."""
from __future__ import annotations

import datetime as dt
import math
import pathlib
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from greeks.history import queries, schema
from greeks.history.store import Store, StoreWarning
from greeks.market import INDIA
from greeks.units import warn_user

if TYPE_CHECKING:
    import pandas

INSTALL_HINT = "the history store needs DuckDB and pyarrow: pip install 'greeks[history]'"
SERIES_COLUMNS = ("time", "spot", "atm_iv", "iv_30d", "rr25", "bf25", "pcr_oi", "pcr_volume",
                  "max_pain", "oi_total", "oi_change")
EARLIEST = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
LATEST = dt.datetime(9999, 1, 1, tzinfo=dt.timezone.utc)


def require_engines() -> None:
    try:
        import duckdb  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError:
        raise ImportError(INSTALL_HINT) from None


def as_table(frame: pandas.DataFrame, time: dt.datetime) -> Any:
    """A chain_greeks frame as a pyarrow Table of the store's schema, every row at `time`."""
    return table_of(lambda name: frame[name].to_numpy(), len(frame), time,
                    frame.attrs["pricing"].model)


def priced_table(priced: dict[str, Any], time: dt.datetime, model: str) -> Any:
    """Legs priced by chains.frame.price_legs as the same Table, without the frame between."""
    from greeks.chains.frame import text_codes

    texts = text_codes(priced)

    def column(name: str) -> np.ndarray:
        if name in texts:
            choices, codes = texts[name]
            return np.array(choices, dtype=object)[codes]
        return priced["expiry"] if name == "expiry" else priced["column"](name)

    return table_of(column, len(priced["expiry"]), time, model)


def table_of(column: Callable[[str], np.ndarray], count: int, time: dt.datetime,
             model: str) -> Any:
    """The store's Table of `count` legs at `time`, each other column as `column` gives it."""
    import pyarrow as pa

    utc = np.datetime64(time.astimezone(dt.timezone.utc).replace(tzinfo=None), "us")
    arrays = []
    for field in schema.arrow_schema():
        if field.name == "time":  # a naive timestamp is UTC to Arrow
            arrays.append(pa.array(np.full(count, utc)).cast(field.type))
        elif field.name == "model":
            arrays.append(pa.array([model] * count, type=field.type))
        elif field.name == "expiry":
            arrays.append(pa.array(column("expiry").astype("datetime64[D]")))
        else:
            arrays.append(pa.array(column(field.name), type=field.type, from_pandas=True))
    return pa.Table.from_arrays(arrays, schema=schema.arrow_schema())


def moment(value: Any, default: dt.datetime) -> dt.datetime:
    """A bound of a time range: None, a date (its start, or with `end` its end), or a datetime
    (naive: India Standard Time)."""
    from greeks.chains.clock import resolve_now

    if value is None:
        return default
    if isinstance(value, str):
        value = dt.datetime.fromisoformat(value)
    if not isinstance(value, dt.datetime) and isinstance(value, dt.date):
        value = dt.datetime.combine(value, dt.time.max if default is LATEST else dt.time.min)
    return resolve_now(value)


class History:
    """A store of captures in a folder (created on the first write).

    ``record(chain)`` prices a chain as ``chain_greeks`` does and stores every leg with the
    payload; ``legs``, ``series`` and ``iv_rank`` query it with DuckDB and return DataFrames;
    ``sql(query)`` runs any SQL over the view ``legs``. Times are India Standard Time.
    """

    def __init__(self, path: str | pathlib.Path):
        require_engines()
        self.store = Store(path)

    # ---- writing

    def record(self, chain: Any, *, symbol: str | None = None, **options: Any) -> pandas.DataFrame:
        """Prices `chain` (options as for ``chain_greeks``; the capture time is the chain's own
        timestamp unless `now` is given) and stores it. Returns the frame; its attrs["stored"]
        is False when a capture at that exchange time was stored already (by any process)."""
        from greeks.chains.frame import chain_greeks

        frame = chain_greeks(chain, **options)
        name = symbol or (frame["symbol"].iloc[0] if len(frame) else "")
        if not name:
            raise ValueError("the chain names no underlying: pass symbol=")
        time = frame.attrs["now"]
        written = self.store.write_capture(name.upper(), time, as_table(frame, time), chain)
        frame.attrs["stored"] = written is not None
        return frame

    @property
    def skipped(self) -> dict[pathlib.Path, str]:
        """The files its queries left out so far, with why (each also warned of, once)."""
        return dict(self.store.skipped)

    def last_capture(self, symbol: str) -> dt.datetime | None:
        """The time of the last capture stored for `symbol`, or None."""
        (last,) = self.run(queries.LAST_TIME, {"symbol": symbol.upper()}, symbol.upper(),
                           fetch="one")
        return None if last is None else last.astimezone(INDIA)

    def reprice(self, symbol: str, day: Any, pricing: Any = None, **choices: Any) -> int:
        """Prices every capture of `symbol` on `day` again from its kept payload (options as for
        ``chain_greeks``; each at its own capture time) and makes them the day's one file.
        Returns the number of captures; LookupError when the store keeps none that day."""
        import pyarrow as pa

        from greeks.chains.frame import chain_greeks
        from greeks.chains.pricing import Pricing
        from greeks.exchange.reading import capture_time

        from greeks.market import expiry_day

        symbol, day = symbol.upper(), expiry_day(day)
        pricing = Pricing.of(pricing, **choices)
        tables = []
        for time_of_day, chain in self.store.raw_captures(symbol, day):
            captured = capture_time(chain) or dt.datetime.combine(day, time_of_day, INDIA)
            frame = chain_greeks(chain, pricing=pricing.replace(now=captured))
            tables.append(as_table(frame, frame.attrs["now"]))
        if not tables:
            raise LookupError(f"the store keeps no {symbol} capture on {day:%d-%b-%Y}")
        self.store.replace_day(symbol, day, pa.concat_tables(tables))
        return len(tables)

    def lot_size(self, symbol: str, on: dt.date | None = None, *,
                 expiry: dt.date | None = None) -> int:
        """Units per lot of `symbol`'s contracts as of `on`, from this store's daily files, else
        the exchange's lot-size file: see ``greeks.lot_size``."""
        from greeks.exchange.lots import lot_size

        return lot_size(symbol, on, self, expiry=expiry)

    def compact(self, symbol: str, day: dt.date) -> pathlib.Path | None:
        """Merges a finished day's captures into one file."""
        return self.store.compact(symbol, day)

    # ---- reading

    def connect(self, symbol: str | None = None) -> Any:
        """A DuckDB connection with the view `legs` over the store's usable files."""
        import duckdb

        connection = duckdb.connect()
        create_view(connection, self.store.files(symbol))
        return connection

    def run(self, query: str, parameters: dict[str, Any] | None, symbol: str | None = None,
            fetch: str = "df") -> Any:
        """The result of `query` over the view `legs`, no compaction exchanging a day's files
        between the listing and the last row read."""
        with self.store.reading():
            result = self.connect(symbol).execute(query, parameters)
            return result.df() if fetch == "df" else result.fetchone()

    def sql(self, query: str, **parameters: Any) -> pandas.DataFrame:
        """Any SQL over the view `legs` (its columns: the schema, the file each row came from,
        then symbol and date)."""
        return self.run(query, parameters or None)

    def legs(self, symbol: str, start: Any = None, end: Any = None) -> pandas.DataFrame:
        """Every stored leg of `symbol` captured between `start` and `end`."""
        return self.query(queries.LEGS, symbol, start, end)

    def series(self, symbol: str, start: Any = None, end: Any = None, *,
               lookback: int = 252) -> pandas.DataFrame:
        """One row per capture: spot, atm_iv, iv_30d, rr25, bf25, pcr_oi, pcr_volume, max_pain,
        oi_total, oi_change, then iv_rank and iv_percentile of the 30-day volatility over the
        last `lookback` daily closes (NaN until that many exist)."""
        # One query from the first capture on: the ranks need every close before `start` too.
        whole = self.query(queries.SERIES, symbol, None, end)
        models = self.query(queries.MODELS, symbol, start, end)["model"].tolist()
        if len(models) > 1:
            warn_user(f"the {symbol.upper()} series mixes captures priced under the "
                      f"{' and '.join(models)} models; `greeks reprice` prices a stored day "
                      f"again under one", StoreWarning)
        ranked = rank_closes(closes_of(whole), lookback)
        frame = whole[whole["time"] >= moment(start, EARLIEST)].reset_index(drop=True)
        day = frame["time"].dt.tz_convert(schema.ZONE).dt.date
        frame["iv_rank"] = day.map(ranked["iv_rank"]).astype(float)
        frame["iv_percentile"] = day.map(ranked["iv_percentile"]).astype(float)
        return frame

    def max_pain(self, symbol: str, start: Any = None, end: Any = None) -> pandas.DataFrame:
        """Per capture and expiry: the strike at which the options' holders would be paid least
        (the lowest on a tie)."""
        return self.query(queries.MAX_PAIN, symbol, start, end)

    def iv_rank(self, symbol: str, end: Any = None, *, lookback: int = 252) -> pandas.DataFrame:
        """Per trading day: the 30-day volatility at the close, its IV rank and IV percentile
        over the `lookback` closes that end on that day."""
        closes = self.daily_closes(symbol, end)
        ranked = rank_closes(closes, lookback)
        return ranked.reset_index(names="date")

    def daily_closes(self, symbol: str, end: Any = None) -> Any:
        """The 30-day volatility of each day's last capture, by day."""
        return closes_of(self.query(queries.SERIES, symbol, None, end))

    def query(self, text: str, symbol: str, start: Any, end: Any) -> pandas.DataFrame:
        parameters = {"symbol": symbol.upper(), "start": moment(start, EARLIEST),
                      "end": moment(end, LATEST)}
        frame = self.run(text, parameters, symbol.upper())
        if "time" in frame:
            frame["time"] = frame["time"].dt.tz_convert(schema.ZONE)
        return frame


def create_view(connection: Any, files: list[pathlib.Path]) -> None:
    """The view `legs` over `files`: every column of the schema, whichever files hold it (one
    written before a column was added reads it as NULL), then the file and the partitions."""
    columns = ", ".join(f"NULL::{kind} AS {name}" for name, _, kind in
                        schema.COLUMNS + (("filename", "", "VARCHAR"),) + schema.PARTITIONS)
    empty = f"SELECT {columns} WHERE false"
    if files:
        listed = ", ".join("'" + str(path).replace("'", "''") + "'" for path in files)
        connection.execute(f"CREATE OR REPLACE VIEW legs AS {empty} UNION ALL BY NAME "
                           f"SELECT * FROM read_parquet([{listed}], hive_partitioning = true, "
                           f"filename = true, union_by_name = true)")
    else:  # an empty store: the same columns, no rows
        connection.execute(f"CREATE OR REPLACE VIEW legs AS {empty}")


def closes_of(series: pandas.DataFrame) -> Any:
    """The 30-day volatility of each day's last capture in a series, by day."""
    import pandas as pd

    if series.empty:
        return pd.Series(dtype=float)
    day = series["time"].dt.tz_convert(schema.ZONE).dt.date
    return series.groupby(day)["iv_30d"].last()


def rank_closes(closes: Any, lookback: int) -> Any:
    """IV rank, (x − min) / (max − min), and IV percentile, the share of the other closes below
    x, of each close over the `lookback` closes ending with it; NaN until that many exist."""
    import pandas as pd

    if lookback < 2:
        raise ValueError(f"lookback must be at least 2 closes, not {lookback}")
    values = closes.to_numpy(dtype=float)
    rank = np.full(values.size, math.nan)
    percentile = np.full(values.size, math.nan)
    for end in range(lookback - 1, values.size):  # one per trading day: hundreds, not legs
        window = values[end - lookback + 1:end + 1]
        current = window[-1]
        if not np.isfinite(window).all():
            continue
        low, high = window.min(), window.max()
        rank[end] = (current - low) / (high - low) if high > low else math.nan
        percentile[end] = (window[:-1] < current).mean()
    return pd.DataFrame({"iv_30d": values, "iv_rank": rank, "iv_percentile": percentile},
                        index=closes.index)
