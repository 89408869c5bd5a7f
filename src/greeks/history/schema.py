"""The store's one schema: a row per leg per capture. The symbol and the trading day are not
columns of the files but folders of the hive layout, symbol=NIFTY/date=2026-12-09/, which every
engine that reads hive partitions turns back into columns."""
from __future__ import annotations

import functools

# (column, Arrow type, DuckDB type); time is the capture time in India Standard Time.
COLUMNS = (
    ("time", "timestamp[us, tz=Asia/Kolkata]", "TIMESTAMPTZ"),
    ("spot", "float64", "DOUBLE"),
    ("expiry", "date32", "DATE"),
    ("strike", "float64", "DOUBLE"),
    ("side", "string", "VARCHAR"),          # CE or PE
    ("last_price", "float64", "DOUBLE"),
    ("bid", "float64", "DOUBLE"),
    ("ask", "float64", "DOUBLE"),
    ("iv", "float64", "DOUBLE"),            # a fraction
    ("iv_source", "string", "VARCHAR"),     # exchange, solved or none
    ("time_to_expiry", "float64", "DOUBLE"),  # years, to 15:30 IST on the expiry day
    ("delta", "float64", "DOUBLE"),
    ("gamma", "float64", "DOUBLE"),
    ("theta", "float64", "DOUBLE"),
    ("vega", "float64", "DOUBLE"),
    ("rho", "float64", "DOUBLE"),
    ("open_interest", "float64", "DOUBLE"),
    ("change_in_oi", "float64", "DOUBLE"),
    ("volume", "float64", "DOUBLE"),
    ("exchange_iv", "float64", "DOUBLE"),   # the exchange's published volatility, a fraction
    ("price", "float64", "DOUBLE"),         # the price the leg was judged at
    ("price_source", "string", "VARCHAR"),  # mid, last or none
    ("forward", "float64", "DOUBLE"),       # the expiry's forward
    ("forward_source", "string", "VARCHAR"),  # parity or carry
    ("lot_size", "float64", "DOUBLE"),      # units per lot, where the source says
    ("model", "string", "VARCHAR"),         # the pricing model: forward, spot or exchange
)
# Columns a store written before them lacks: read as NULL.
LATER_COLUMNS = ("exchange_iv", "price", "price_source", "forward", "forward_source", "lot_size",
                 "model")
PARTITIONS = (("symbol", "string", "VARCHAR"), ("date", "date32", "DATE"))
ZONE = "Asia/Kolkata"


def conform(table):
    """A table read from the store in the current schema: columns a file written before them
    lacks are added as nulls."""
    import pyarrow as pa

    wanted = arrow_schema()
    for name in LATER_COLUMNS:
        if name not in table.column_names:
            table = table.append_column(wanted.field(name), pa.nulls(len(table),
                                                                      wanted.field(name).type))
    return table.select(wanted.names).cast(wanted)


@functools.lru_cache(maxsize=1)
def arrow_schema():
    """The files' schema as pyarrow writes it."""
    import pyarrow as pa

    types = {"float64": pa.float64(), "string": pa.string(), "date32": pa.date32(),
             "timestamp[us, tz=Asia/Kolkata]": pa.timestamp("us", tz=ZONE)}
    return pa.schema([(name, types[kind]) for name, kind, _ in COLUMNS])
