"""One underlying's refreshes: a fetch per interval, whatever the number of open pages, each
turned once into the message every page receives. A failed refresh keeps the last good data and
says why."""
from __future__ import annotations

import asyncio
import datetime as dt
import json
import time
from collections.abc import AsyncIterator, Callable
from typing import Any

from greeks.exchange.reading import MissingSpot
from greeks.exchange.sources import SourceError, short_reason
from greeks.market import INDIA
from greeks.positions.legs import PositionError

# A comment line sent to an idle page, so that a connection that died is noticed.
KEEP_ALIVE = b": keep-alive\n\n"
KEEP_ALIVE_SECONDS = 15.0
# How soon a page that lost the server tries again, in milliseconds.
RETRY = b"retry: 1000\n\n"


def event(message: dict[str, Any]) -> bytes:
    return b"data: " + json.dumps(message, allow_nan=False, separators=(",", ":")).encode() + \
        b"\n\n"


class Feed:
    """Refreshes `symbol` every `interval` seconds with `build` (run in a worker thread: the fetch
    blocks) and hands the newest message to every subscriber."""

    def __init__(self, symbol: str, build: Callable[[], dict[str, Any]], interval: float,
                 report: Callable[[str], None] = lambda text: None):
        self.symbol = symbol
        self.build = build
        self.interval = interval
        self.report = report
        self.data: dict[str, Any] | None = None
        self.error: str | None = None
        self.refreshes = 0
        self.build_seconds = 0.0  # the last refresh's pricing and encoding, fetch included
        self.encoded: bytes | None = None
        self.changed = asyncio.Event()

    def expiries(self) -> list[str]:
        return [] if self.data is None else [part["expiry"] for part in self.data["expiries"]]

    async def run(self, stopping: asyncio.Event) -> None:
        loop = asyncio.get_running_loop()
        while not stopping.is_set():
            started = loop.time()
            await self.refresh()
            pause = max(0.0, self.interval - (loop.time() - started))
            try:
                await asyncio.wait_for(stopping.wait(), pause)
            except TimeoutError:
                pass

    async def refresh(self) -> None:
        try:
            data = await asyncio.to_thread(self.timed_build)
        except Exception as error:  # a refresh never ends the feed: the page shows why
            reason = str(error) if type(error) in SAID_AS_THEY_ARE else short_reason(error)
            if reason != self.error:
                self.report(f"{self.symbol}: {reason}")
            self.error = reason
        else:
            if self.error is not None:
                self.report(f"{self.symbol}: fetching again")
            self.data, self.error = data, None
        self.publish()

    def timed_build(self) -> dict[str, Any]:
        started = time.perf_counter()
        try:
            return self.build()
        finally:
            self.build_seconds = time.perf_counter() - started

    def publish(self) -> None:
        self.refreshes += 1
        self.encoded = event({
            "symbol": self.symbol,
            "refresh": self.refreshes,
            "refreshed": dt.datetime.now(INDIA).isoformat(timespec="seconds"),
            "error": self.error,
            "data": self.data,
        })
        previous, self.changed = self.changed, asyncio.Event()
        previous.set()

    async def updates(self, stopping: asyncio.Event) -> AsyncIterator[bytes]:
        """The newest message now and after each refresh, a keep-alive line when idle, until
        `stopping`. A page that reads slowly skips to the newest message, so nothing queues."""
        yield RETRY
        sent = None
        while not stopping.is_set():
            if self.encoded is not None and self.encoded is not sent:
                sent = self.encoded
                yield sent
            changed = asyncio.ensure_future(self.changed.wait())
            stopped = asyncio.ensure_future(stopping.wait())
            try:
                done, _ = await asyncio.wait({changed, stopped}, timeout=KEEP_ALIVE_SECONDS,
                                             return_when=asyncio.FIRST_COMPLETED)
            finally:  # also when the page goes away, so that no waiter outlives it
                changed.cancel()
                stopped.cancel()
            if not done:
                yield KEEP_ALIVE


# Failures whose message already reads as one line for the page (a fetch, a chain without spot,
# a position the chain cannot price), by their exact type.
SAID_AS_THEY_ARE = (SourceError, MissingSpot, ValueError, PositionError)
