"""A backtest's strategy, from a TOML file or the same mapping in Python:

    symbol = "NIFTY"
    expiry = "weekly"          # or "monthly" (the month's last), "next-monthly"
    lot_size = 75              # used where the daily file has none (the older layout)
    brokerage = 20             # rupees an order; costs = false leaves every charge out
    [entry]
    days = 3                   # trading days before expiry, the expiry day being 1;
                               # or weekday = "Monday"; or every_day = true
    time = "09:20"             # backtest over the store's captures at this time of day
    [[legs]]
    side = "CE"                # CE or PE
    lots = -1                  # negative sells
    strike = "ATM"             # "ATM", "ATM+2", "ATM-1", {delta = 0.25}, {premium = 100},
                               # {moneyness = 1.02}
    [exit]
    days = 1                   # leave N trading days before expiry (1: hold to expiry)
    stop_loss = 0.5            # fractions of the net entry premium
    target = 0.5
    reenter = true             # after a stop, enter again the next trading day (same expiry)
    time = "15:15"             # with entry.time: a planned exit at this time of day

A wrong field gets one line naming it (StrategyError)."""
from __future__ import annotations

import pathlib
import re
from dataclasses import dataclass, field
from typing import Any

from greeks.market import CALL, PUT

EXPIRIES = ("weekly", "monthly", "next-monthly")
WEEKDAYS = ("monday", "tuesday", "wednesday", "thursday", "friday")
MAX_FILE_BYTES = 1 << 20
MAX_LEGS = 16


class StrategyError(ValueError):
    """A strategy that cannot be run; the message names the field."""


@dataclass(frozen=True)
class StrikeRule:
    kind: str          # "atm", "delta", "premium" or "moneyness"
    value: float = 0   # listed strikes above ATM; the delta's size; the premium; K/F


@dataclass(frozen=True)
class LegRule:
    side: str
    lots: int
    strike: StrikeRule


@dataclass(frozen=True)
class Strategy:
    symbol: str
    expiry: str
    legs: tuple[LegRule, ...]
    entry_days: int | None = None
    entry_weekday: int | None = None
    every_day: bool = False
    exit_days: int = 1
    stop_loss: float | None = None
    target: float | None = None
    reenter: bool = False
    time: str | None = None  # with captures: the time of day each trading day is read at
    exit_time: str | None = None  # with captures: the time of day of a planned exit
    lot_size: int | None = None
    brokerage: float = 20.0
    costs: bool = True
    name: str = field(default="")


def number(value: Any, where: str, *, whole: bool = False, low: float | None = None) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value != value:
        raise StrategyError(f"{where} must be a number, not {value!r}"[:200])
    if whole and int(value) != value:
        raise StrategyError(f"{where} must be a whole number, not {value!r}")
    if low is not None and value < low:
        raise StrategyError(f"{where} must be at least {low:g}, not {value!r}")
    if abs(value) > 1e9:
        raise StrategyError(f"{where} is out of range: {value!r}")
    return int(value) if whole else float(value)


def strike_rule(value: Any, where: str) -> StrikeRule:
    if isinstance(value, str):
        found = re.fullmatch(r"\s*ATM\s*(?:([+-])\s*(\d{1,3}))?\s*", value, re.IGNORECASE)
        if not found:
            raise StrategyError(f'{where} must be "ATM", "ATM+k" or "ATM-k", not {value!r}'[:200])
        steps = int(found.group(2) or 0) * (-1 if found.group(1) == "-" else 1)
        return StrikeRule("atm", steps)
    if isinstance(value, dict) and len(value) == 1:
        (kind, amount), = value.items()
        if kind == "premium":
            return StrikeRule("premium", number(amount, f"{where}.premium", low=0))
        if kind == "delta":
            target = abs(number(amount, f"{where}.delta"))
            if not 0 < target < 1:
                raise StrategyError(f"{where}.delta must lie between 0 and 1 (its size; a put's "
                                    f"is taken as negative)")
            return StrikeRule("delta", target)
        if kind == "moneyness":
            ratio = number(amount, f"{where}.moneyness", low=0)
            if not ratio > 0:
                raise StrategyError(f"{where}.moneyness must be above 0")
            return StrikeRule("moneyness", ratio)
    raise StrategyError(f"{where} must be a rule such as \"ATM+1\", {{delta = 0.25}}, "
                        f"{{premium = 100}} or {{moneyness = 1.02}}")


def time_of_day(value: Any, where: str) -> str:
    found = re.fullmatch(r"\s*([01]?\d|2[0-3]):([0-5]\d)\s*", str(value))
    if not found:
        raise StrategyError(f"{where} must be a time of day such as \"09:20\", not "
                            f"{value!r}"[:200])
    return f"{int(found.group(1)):02d}:{found.group(2)}"


def known_keys(table: Any, where: str, keys: tuple[str, ...]) -> dict:
    if not isinstance(table, dict):
        raise StrategyError(f"{where} must be a table")
    unknown = [key for key in table if key not in keys]
    if unknown:
        raise StrategyError(
            f"{where} has no field {unknown[0]!r} (it takes {', '.join(keys)})"[:200])
    return table


def from_mapping(fields: Any, name: str = "") -> Strategy:
    fields = known_keys(fields, "the strategy", ("symbol", "expiry", "lot_size", "brokerage",
                                                 "costs", "entry", "exit", "legs", "name"))
    symbol = fields.get("symbol")
    if not isinstance(symbol, str) or not re.fullmatch(r"[A-Z0-9&-]{1,20}", symbol.strip().upper()):
        raise StrategyError("symbol must be an underlying such as \"NIFTY\"")
    expiry = fields.get("expiry", "weekly")
    if expiry not in EXPIRIES:
        raise StrategyError(f"expiry must be one of {', '.join(EXPIRIES)}, not {expiry!r}"[:200])
    entry = known_keys(fields.get("entry", {"days": 1}), "entry",
                       ("days", "weekday", "every_day", "time"))
    at = time_of_day(entry["time"], "entry.time") if "time" in entry else None
    if sum(key in entry for key in ("days", "weekday", "every_day")) != 1:
        raise StrategyError("entry takes one of days, weekday or every_day")
    weekday = None
    if "weekday" in entry:
        text = str(entry["weekday"]).strip().lower()
        if text not in WEEKDAYS:
            raise StrategyError(f"entry.weekday must be a weekday such as \"Monday\", not "
                                f"{entry['weekday']!r}"[:200])
        weekday = WEEKDAYS.index(text)
    if "every_day" in entry and entry["every_day"] is not True:
        raise StrategyError("entry.every_day must be true")
    leave = known_keys(fields.get("exit", {}), "exit",
                       ("days", "stop_loss", "target", "reenter", "time"))
    leave_at = time_of_day(leave["time"], "exit.time") if "time" in leave else None
    if leave_at is not None and at is None:
        raise StrategyError("exit.time goes with entry.time: times of day are the captures'")
    if not isinstance(leave.get("reenter", False), bool):
        raise StrategyError("exit.reenter must be true or false")
    legs = fields.get("legs")
    if not isinstance(legs, list) or not 1 <= len(legs) <= MAX_LEGS:
        raise StrategyError(f"legs must be a list of 1 to {MAX_LEGS} legs")
    rules = []
    for n, leg in enumerate(legs, 1):
        leg = known_keys(leg, f"legs[{n}]", ("side", "lots", "strike"))
        side = str(leg.get("side", "")).strip().upper()
        if side not in (CALL, PUT):
            raise StrategyError(f"legs[{n}].side must be CE or PE, not {leg.get('side')!r}"[:200])
        lots = number(leg.get("lots"), f"legs[{n}].lots", whole=True)
        if lots == 0:
            raise StrategyError(f"legs[{n}].lots must not be 0")
        rules.append(LegRule(side, lots,
                             strike_rule(leg.get("strike", "ATM"), f"legs[{n}].strike")))
    costs = fields.get("costs", True)
    if not isinstance(costs, bool):
        raise StrategyError("costs must be true or false")
    return Strategy(
        symbol=symbol.strip().upper(), expiry=expiry, legs=tuple(rules),
        entry_days=number(entry["days"], "entry.days", whole=True, low=1) if "days" in entry
        else None,
        entry_weekday=weekday, every_day="every_day" in entry,
        exit_days=number(leave.get("days", 1), "exit.days", whole=True, low=1),
        stop_loss=number(leave["stop_loss"], "exit.stop_loss", low=0) if "stop_loss" in leave
        else None,
        target=number(leave["target"], "exit.target", low=0) if "target" in leave else None,
        reenter=leave.get("reenter", False), time=at, exit_time=leave_at,
        lot_size=number(fields["lot_size"], "lot_size", whole=True, low=1) if "lot_size" in fields
        else None,
        brokerage=number(fields.get("brokerage", 20.0), "brokerage", low=0), costs=costs,
        name=str(fields.get("name", name))[:80])


def read(path: str | pathlib.Path) -> Strategy:
    """A strategy file (TOML)."""
    return from_mapping(read_mapping(path), pathlib.Path(path).stem)


def read_mapping(path: str | pathlib.Path) -> dict:
    """A strategy file's mapping, as TOML reads it (its fields checked by from_mapping)."""
    import tomllib

    path = pathlib.Path(path)
    try:
        if path.stat().st_size > MAX_FILE_BYTES:
            raise StrategyError(f"{path} is larger than a strategy file can be (1 MiB)")
        fields = tomllib.loads(path.read_text(encoding="utf-8"))
    except OSError as error:
        raise StrategyError(f"cannot read {path}: {error.strerror or error}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise StrategyError(f"{path} is not TOML: {str(error).splitlines()[0]}"[:200]) from None
    fields.setdefault("name", path.stem)
    return fields
