"""Where option chains come from: the exchange, through the module global
``greeks.greeks.nse_optionchain_scrapper`` (which nsepython provides and tests and replays
replace), looked up at every fetch."""
from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from greeks.exchange.reading import chain_parts


# A failure's message, so that "greeks COMMAND: error: " and it stay within 200 characters.
MESSAGE_LIMIT = 170
# Where a transport's error names the host it asked: "host='www.nseindia.com'", "resolve host:
# www.nseindia.com", or a URL.
HOST = re.compile(r"(?:host=['\"]?|host: |https?://)([A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)+)")
DOCUMENTATION_POINTER = re.compile(r"\s*See https?://\S+ first for more details\.?")


class SourceError(Exception):
    """A chain could not be had; the message is one short line."""


def first_line(text: str, limit: int = 100) -> str:
    lines = text.strip().splitlines()
    first = lines[0].strip() if lines else ""
    return first if len(first) <= limit else first[:limit - 3] + "..."


def shown(value: Any, limit: int = 40) -> str:
    """A value as a message quotes it, cut short: a message is one line."""
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def root_cause(error: BaseException) -> BaseException:
    """The innermost exception that led to `error` (a network library wraps the resolver's or the
    socket's error in several layers)."""
    seen = {id(error)}
    while True:
        inner = error.__cause__ or error.__context__
        if inner is None or id(inner) in seen:
            return error
        seen.add(id(inner))
        error = inner


def short_reason(error: BaseException) -> str:
    """An exception as one short line: its type and the first line of its text, followed by its
    root cause where that says something more (for example "Could not resolve host")."""
    text = first_line(str(error))
    reason = f"{type(error).__name__}: {text}" if text else type(error).__name__
    cause = root_cause(error)
    cause_text = first_line(str(cause), 80)
    if cause is not error and cause_text and cause_text not in text:
        reason += f" (caused by {type(cause).__name__}: {cause_text})"
    return reason


def fetch_failure(symbol: str, error: BaseException) -> str:
    """A failed fetch in one line that leaves room for the command's prefix within 200
    characters: the host asked (where the error names one its first line does not), and the
    cause, without the transport's pointers to its own documentation."""
    reason = DOCUMENTATION_POINTER.sub("", short_reason(error)).strip()
    texts = " ".join(str(inner) for inner in chain_of(error))
    host = HOST.search(texts)
    where = f" from {host.group(1)}" if host and host.group(1) not in reason else ""
    return first_line(f"could not fetch the {symbol} option chain{where}: {reason}",
                      MESSAGE_LIMIT)


def chain_of(error: BaseException) -> list[BaseException]:
    errors, seen = [], set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        errors.append(error)
        error = error.__cause__ or error.__context__
    return errors


def exchange_chain(symbol: str) -> Any:
    """One chain from the exchange, through the module global, looked up at the call."""
    import greeks.greeks as module

    return module.nse_optionchain_scrapper(symbol)


def fetch_chain(symbol: str) -> Any:
    """One chain from the exchange, checked to be a chain; SourceError otherwise."""
    try:
        chain = exchange_chain(symbol)
    except Exception as error:
        raise SourceError(fetch_failure(symbol, error)) from None
    if not chain:
        raise SourceError(f"the exchange returned no option chain for {symbol}")
    try:
        chain_parts(chain)
    except (TypeError, ValueError) as error:
        raise SourceError(f"the exchange's answer for {symbol} is not an option chain: "
                          f"{error}") from None
    return chain


def install(fetch: Callable[[str], Any]) -> None:
    """Makes `fetch` the module global every fetch goes through."""
    import greeks.greeks as module

    module.nse_optionchain_scrapper = fetch
