"""The fills of a strategy over the daily files. The rules:
- trading days are the dates that have a file; "weekly" is the nearest expiry listed after the
  entry day, "monthly" the last expiry listed in its calendar month, "next-monthly" the monthly
  after that; "N days before expiry" counts trading days, the expiry day being one;
- strikes come from those listed for the expiry on the entry day: "ATM" is the one nearest the
  underlying's price (a tie to the lower), "ATM+k" k listed strikes above it, {premium = X} the
  strike of that side whose entry price is nearest X, {moneyness = m} the one nearest m·F,
  {delta = d} the one whose delta at the volatility its entry price implies (Black-Scholes on the
  underlying's price at the package's rate, calendar days to expiry) is nearest d in size;
- a leg's price on a day is its close where it traded, else its settlement price; a leg that did
  not trade on the entry day skips that trade, with a reason;
- stops and targets are fractions of the net entry premium |Σ lots × lot size × entry price|,
  judged on each day's prices after the entry day and before the expiry day; the trade leaves
  at that day's prices;
- on its expiry day a leg is settled at its intrinsic value against the underlying's final price
  (never at the file's settlement price, which there is the underlying's);
- the lot size is that of the leg's row on the entry day, else the strategy's."""
from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from greeks.backtests.costs import Charges
from greeks.backtests.market import Market
from greeks.backtests.strategy import LegRule, Strategy
from greeks.market import CALL, DAYS_PER_YEAR, DEFAULT_RATE


class Skip(Exception):
    """A trade that cannot be made; the message is the reason."""


@dataclass
class Fill:
    rule: LegRule
    strike: float
    entry: float
    lot_size: int
    exit: float = math.nan

    @property
    def units(self) -> int:
        return self.rule.lots * self.lot_size


def monthly_expiries(expiries: list[np.datetime64]) -> list[np.datetime64]:
    last: dict[Any, np.datetime64] = {}
    for expiry in expiries:
        month = expiry.astype("datetime64[M]")
        last[month] = max(last.get(month, expiry), expiry)
    return sorted(last.values())


def chosen_expiry(market: Market, day: np.datetime64, kind: str) -> np.datetime64:
    listed = [expiry for expiry in market.expiries(day) if expiry > day]
    if kind == "weekly":
        if not listed:
            raise Skip("no expiry listed after the entry day")
        return listed[0]
    monthly = monthly_expiries(listed)
    wanted = 0 if kind == "monthly" else 1
    if len(monthly) <= wanted:
        raise Skip(f"no {kind} expiry listed on the entry day")
    return monthly[wanted]


def entries(strategy: Strategy, market: Market) -> list[tuple[np.datetime64, Any]]:
    """(entry day, expiry or the reason there is none) of each trade the strategy makes."""
    days = market.days
    if strategy.entry_days is None:
        chosen = []
        for day in days:
            if strategy.entry_weekday is not None and \
                    day.astype(dt.date).weekday() != strategy.entry_weekday:
                continue
            try:
                chosen.append((day, chosen_expiry(market, day, strategy.expiry)))
            except Skip as reason:
                chosen.append((day, reason))
        return chosen
    listed = sorted({expiry for day in days for expiry in market.expiries(day)})
    if strategy.expiry != "weekly":
        listed = monthly_expiries(listed)
    chosen = []
    for expiry in listed:
        if expiry not in market.index:
            continue  # expires after the last file, or on a day without one
        at = market.index[expiry] - (strategy.entry_days - 1)
        if at >= 0:
            chosen.append((days[at], expiry))
    return chosen


def delta_of(side: Any, underlying: float, years: float, is_call: bool) -> np.ndarray:
    """Each row's delta at the volatility its price implies, on the underlying's price."""
    import warnings

    from greeks.arrays import implied_volatility, option_greeks

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        strikes, prices = side["strike"].to_numpy(), side["price"].to_numpy()
        vols = implied_volatility(prices, underlying, strikes, years, DEFAULT_RATE, is_call)
        return np.asarray(option_greeks(underlying, strikes, years, DEFAULT_RATE, vols,
                                        is_call)["delta"])


def pick_strike(rule: LegRule, legs: Any, underlying: float, years: float = math.nan) -> Any:
    """The row of the entry day's listing that the leg's strike rule picks."""
    side = legs[legs["side"] == rule.side].sort_values("strike")
    if side.empty:
        raise Skip(f"no {rule.side} listed")
    how = rule.strike
    if how.kind == "delta":
        if not math.isfinite(underlying):
            raise Skip("no underlying price")
        gap = np.abs(np.abs(delta_of(side, underlying, years, rule.side == CALL)) - how.value)
        if not np.isfinite(gap).any():
            raise Skip(f"no {rule.side} volatility solved from the entry day's prices")
        return side.iloc[int(np.nanargmin(gap))]
    if how.kind == "premium":
        gap = (side["price"] - how.value).abs().to_numpy()
        return side.iloc[int(np.argmin(gap))]  # the first of a tie is the lower strike
    strikes = np.unique(legs["strike"].to_numpy())
    aim = underlying * how.value if how.kind == "moneyness" else underlying
    if not math.isfinite(aim):
        raise Skip("no underlying price")
    at = int(np.argmin(np.abs(strikes - aim)))
    if how.kind == "atm":
        at += int(how.value)
        if not 0 <= at < len(strikes):
            raise Skip(f"ATM{how.value:+g} lies beyond the strikes listed")
    found = side[side["strike"] == strikes[at]]
    if found.empty:
        raise Skip(f"no {rule.side} at strike {strikes[at]:g}")
    return found.iloc[0]


def intrinsic(side: str, strike: float, underlying: float) -> float:
    return max(underlying - strike, 0.0) if side == CALL else max(strike - underlying, 0.0)


def entry_fills(strategy: Strategy, market: Market, entry_day: np.datetime64,
                expiry: np.datetime64) -> list[Fill]:
    """The legs as filled on the entry day; remembered by the market, since the variants of a
    sweep mostly enter alike. Skip with the reason where the trade cannot be made."""
    key = (strategy.legs, strategy.lot_size, entry_day, expiry)
    if key not in market.entered:
        try:
            market.entered[key] = fill_legs(strategy, market, entry_day, expiry)
        except Skip as reason:
            market.entered[key] = reason
    made = market.entered[key]
    if isinstance(made, Skip):
        raise made
    return [Fill(fill.rule, fill.strike, fill.entry, fill.lot_size) for fill in made]


def fill_legs(strategy: Strategy, market: Market, entry_day: np.datetime64,
              expiry: np.datetime64) -> list[Fill]:
    legs = market.options(entry_day, expiry)
    if legs.empty:
        raise Skip("the expiry is not listed on the entry day")
    underlying = market.underlying(entry_day, expiry)
    fills = []
    for rule in strategy.legs:
        row = pick_strike(rule, legs, underlying,
                          (expiry - entry_day).astype(int) / DAYS_PER_YEAR)
        if not row["volume"] > 0:
            raise Skip(f"{rule.side} {row['strike']:g} did not trade on the entry day")
        lot = row["lot_size"] if row["lot_size"] > 0 else strategy.lot_size
        if not lot:
            raise Skip("no lot size in the file; give lot_size in the strategy")
        fills.append(Fill(rule, float(row["strike"]), float(row["price"]), int(lot)))
    return fills


def run_trade(strategy: Strategy, market: Market, entry_day: np.datetime64,
              expiry: np.datetime64, charges: Charges) -> dict:
    fills = entry_fills(strategy, market, entry_day, expiry)
    premium = abs(sum(fill.units * fill.entry for fill in fills))
    days, index = market.days, market.index
    last = index.get(expiry)
    if last is None:
        raise Skip("no file on its expiry day")
    leave_at = max(index[entry_day], last - (strategy.exit_days - 1))
    reason, exit_day = "expiry", expiry
    for day in days[index[entry_day] + 1:leave_at + 1]:
        if day >= expiry:
            break
        prices = [market.price(day, expiry, fill.rule.side, fill.strike) for fill in fills]
        pnl = sum(fill.units * (price - fill.entry) for fill, price in zip(fills, prices))
        stopped = strategy.stop_loss is not None and pnl <= -strategy.stop_loss * premium
        reached = strategy.target is not None and pnl >= strategy.target * premium
        if stopped or reached or day == days[leave_at]:
            if not (stopped or reached):  # leaving as planned: at the exit's time of day
                prices = [market.leaving_price(day, expiry, fill.rule.side, fill.strike)
                          for fill in fills]
            if any(math.isnan(price) for price in prices):
                continue  # a leg without a price that day: judged on the next
            reason = "stop-loss" if stopped else "target" if reached else "days before expiry"
            exit_day = day
            for fill, price in zip(fills, prices):
                fill.exit = price
            break
    cost = sum(charges.order(entry_day.astype(dt.date), abs(fill.units) * fill.entry,
                             fill.units > 0) for fill in fills)
    if reason == "expiry":
        final = market.underlying(expiry, expiry)
        if not math.isfinite(final):
            raise Skip("no underlying price on the expiry day")
        for fill in fills:
            fill.exit = round(intrinsic(fill.rule.side, fill.strike, final), 2)  # in paise
            if fill.units > 0:
                cost += charges.exercise(expiry.astype(dt.date), fill.units * fill.exit)
    else:
        cost += sum(charges.order(exit_day.astype(dt.date), abs(fill.units) * fill.exit,
                                  fill.units < 0) for fill in fills)
    gross = sum(fill.units * (fill.exit - fill.entry) for fill in fills)
    return {"entry": entry_day, "exit": exit_day, "expiry": expiry,
            "legs": ", ".join(f"{fill.rule.lots:+d} {fill.rule.side} {fill.strike:g}"
                              for fill in fills),
            "strikes": [fill.strike for fill in fills],
            "entry_prices": [fill.entry for fill in fills],
            "exit_prices": [fill.exit for fill in fills],
            "lots": [fill.rule.lots for fill in fills],
            "lot_size": fills[0].lot_size,
            "entry_premium": -sum(fill.units * fill.entry for fill in fills),
            "exit_value": sum(fill.units * fill.exit for fill in fills),
            "gross_pnl": round(gross, 2), "costs": round(cost, 2),
            "pnl": round(round(gross, 2) - round(cost, 2), 2), "reason": reason,
            "days_held": index[exit_day] - index[entry_day]}
