"""Alerts: conditions such as "delta > 0.6", "iv < 0.11" or "pnl < -5000", checked on each
refresh of a watch, and said once when one starts holding (again after it has stopped). An
alert is parsed, never evaluated as Python: a name the watch knows, a comparison, a number."""
from __future__ import annotations

import math
import re
import shlex
import subprocess
from collections.abc import Callable, Collection, Mapping, Sequence
from dataclasses import dataclass

COMPARISONS: dict[str, Callable[[float, float], bool]] = {
    "<=": lambda value, bound: value <= bound, ">=": lambda value, bound: value >= bound,
    "<": lambda value, bound: value < bound, ">": lambda value, bound: value > bound}
PATTERN = re.compile(r"\s*([a-z_]+)\s*(<=|>=|<|>)\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:e[-+]?\d+)?)"
                     r"\s*(%?)\s*", re.IGNORECASE)
MAX_ALERTS = 32


@dataclass(frozen=True)
class Alert:
    text: str
    name: str
    comparison: str
    bound: float

    def holds(self, values: Mapping[str, float]) -> bool:
        value = values.get(self.name, math.nan)
        return math.isfinite(value) and COMPARISONS[self.comparison](value, self.bound)


def parse_alert(text: str, names: Collection[str]) -> Alert:
    """One condition; ValueError naming what is wrong, in one line."""
    found = PATTERN.fullmatch(text)
    if not found:
        raise ValueError(f"--alert {text[:60]!r}: write NAME OP NUMBER, such as \"delta > 0.6\" "
                         f"(OP one of <, <=, >, >=)")
    name, comparison, number, percent = found.groups()
    name = name.lower()
    if name not in names:
        raise ValueError(f"--alert {text[:60]!r}: no figure {name!r} here; it follows "
                         f"{', '.join(names)}")
    bound = float(number) / (100.0 if percent else 1.0)
    if not math.isfinite(bound) or abs(bound) > 1e12:
        raise ValueError(f"--alert {text[:60]!r}: the number is out of range")
    return Alert(" ".join(text.split()), name, comparison, bound)


class Alerts:
    """The alerts of one watch, each said when it starts holding; `command` (a command line,
    split as a shell would but run without one) is started then, with the alert's text and the
    figure's value as its last two arguments."""

    def __init__(self, alerts: Sequence[Alert], command: str | None = None,
                 say: Callable[[str], None] = print):
        if len(alerts) > MAX_ALERTS:
            raise ValueError(f"at most {MAX_ALERTS} alerts")
        self.alerts = list(alerts)
        self.command = shlex.split(command) if command else None
        self.say = say
        self.holding = [False] * len(self.alerts)

    def anew(self, say: Callable[[str], None]) -> Alerts:
        """The same alerts and command with a state of their own, said through `say`."""
        fresh = Alerts(self.alerts, say=say)
        fresh.command = self.command
        return fresh

    def check(self, values: Mapping[str, float]) -> list[Alert]:
        """The alerts that started holding with these values; each is said."""
        started = []
        for n, alert in enumerate(self.alerts):
            holds = alert.holds(values)
            if holds and not self.holding[n]:
                started.append(alert)
                value = values[alert.name]
                self.say(f"alert: {alert.text} ({alert.name} {value:.6g})")
                self.run_command(alert, value)
            self.holding[n] = holds
        return started

    def run_command(self, alert: Alert, value: float) -> None:
        if not self.command:
            return
        try:
            subprocess.Popen([*self.command, alert.text, f"{value:.6g}"],
                             stdin=subprocess.DEVNULL, start_new_session=True)
        except OSError as error:
            self.say(f"alert: cannot run {self.command[0]}: {error.strerror or error}")
