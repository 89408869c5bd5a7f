"""The exchange's words: every key under which an option chain carries a field, in every shape the
package has met, and the texts that name a call, a put or a future. Nothing else in the package
spells these keys.

The shapes, all read by one reader (``greeks.exchange.reading``):
- "records": ``records`` → ``data``, one row per strike and expiry with the call and the put under
  ``CE`` and ``PE``; the shape nsepython's option chain had until 2025.
- "data": a top-level ``data`` of such rows, with the sides as the exchange's per-contract records;
  nsepython 2.101 regroups today's per-contract payload this way, keying each side by the record's
  own ``optionType`` (so a "Call"/"Put" record lands under "Call"/"Put").
- contracts: a top-level ``data`` of per-contract records that name their own kind under
  ``optionType`` or ``instrumentType``, as the exchange sends them before nsepython regroups them;
  futures appear among them.

The price of the underlying may sit at the top level, in ``records``, or only inside each
contract record."""
from __future__ import annotations

from dataclasses import dataclass

from greeks.market import EXPIRY_TEXT

# What a record or a side is: the codes the C++ reader writes and counts.
PUT, CALL, NOT_AN_OPTION = 0, 1, 2


@dataclass(frozen=True)
class LegField:
    """One number of a leg: the column it becomes and the keys it goes by (the first present is
    read; a missing field is NaN)."""
    column: str
    keys: tuple[str, ...]


LEG_FIELDS = (
    LegField("last_price", ("lastPrice",)),
    LegField("iv_percent", ("impliedVolatility",)),  # in percent; 0 or missing: not published
    LegField("bid", ("bidprice", "buyPrice1", "bidPrice")),
    LegField("ask", ("askPrice", "sellPrice1", "askprice")),
    LegField("open_interest", ("openInterest",)),
    LegField("change_in_oi", ("changeinOpenInterest", "changeInOpenInterest")),
    LegField("volume", ("totalTradedVolume",)),
    LegField("underlying_value", ("underlyingValue",)),
    LegField("lot_size", ("lotSize", "marketLot")),  # units per lot, where a record says
)
LEG_COLUMNS = tuple(field.column for field in LEG_FIELDS)

# Keys of a row, or of a contract record that is its own row.
STRIKE_KEYS = ("strikePrice",)
EXPIRY_KEYS = ("expiryDate", "expiryDates")
# Under which a row holds its sides, and what each holds. Futures never reach nsepython's rows
# under "XX" (it drops them), but one typed "-" does.
SIDE_KEYS = {"CE": CALL, "PE": PUT, "Call": CALL, "Put": PUT, "XX": NOT_AN_OPTION,
             "-": NOT_AN_OPTION}
# Under which a contract record names its kind, the first that names a known kind deciding.
KIND_KEYS = ("optionType", "instrumentType")
KINDS = {
    "CE": CALL, "Call": CALL, "CALL": CALL, "call": CALL,
    "PE": PUT, "Put": PUT, "PUT": PUT, "put": PUT,
    "XX": NOT_AN_OPTION, "-": NOT_AN_OPTION,
    "FUTIDX": NOT_AN_OPTION, "FUTSTK": NOT_AN_OPTION, "FUTCUR": NOT_AN_OPTION,
    "FUTIVX": NOT_AN_OPTION, "FUTCOM": NOT_AN_OPTION,
}
# The symbol a contract record belongs to.
UNDERLYING_KEY = "underlying"

# Keys of the chain itself.
RECORDS_KEY = "records"
ROWS_KEY = "data"
SPOT_KEY = "underlyingValue"
TIMESTAMP_KEY = "timestamp"
EXPIRY_LIST_KEY = "expiryDates"

# Texts: the capture time is written 05-Aug-2025 13:59:23, India Standard Time (expiries: see
# greeks.market).
CAPTURE_FORMAT = "%d-%b-%Y %H:%M:%S"

# The "records" shape as Kestrava reads it: sides under CE and PE, expiries written 07-Aug-2025.
RECORDS_SIDES = {CALL: "CE", PUT: "PE"}
RECORDS_EXPIRY_FORMAT = EXPIRY_TEXT
RECORDS_FIELDS = {"strike": "strikePrice", "expiry": "expiryDate", "iv_percent": "impliedVolatility",
                  "last_price": "lastPrice"}
