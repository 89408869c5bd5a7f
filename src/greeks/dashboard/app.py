"""The dashboard's web application: the page, its scripts and style from the package, and one
event stream per underlying. Nothing here writes anywhere; every query parameter is checked
against what the server serves."""
from __future__ import annotations

import asyncio
import contextlib
import html
import string
from collections.abc import AsyncIterator
from importlib import resources
from typing import Any

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route

from greeks.dashboard.feed import Feed
from greeks.market import expiry_day

# The page may run only the package's own scripts and styles and talk only to this server.
CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                           "form-action 'self'; frame-ancestors 'none'")
SECURITY_HEADERS = [(b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
                    (b"x-content-type-options", b"nosniff"),
                    (b"referrer-policy", b"no-referrer")]
# The expiry parameter that asks for every expiry, as the page writes it.
EVERY_EXPIRY = "all"
ASSETS = {"dashboard.js": "text/javascript", "charts.js": "text/javascript",
          "style.css": "text/css", "favicon.svg": "image/svg+xml"}


class SecurityHeaders:
    """Adds the security headers to every response, the error pages' included."""

    def __init__(self, app: Any):
        self.app = app

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)

        async def with_headers(message: Any) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", []), *SECURITY_HEADERS]
            await send(message)

        await self.app(scope, receive, with_headers)


def read_assets() -> dict[str, bytes]:
    folder = resources.files("greeks.dashboard") / "page"
    return {name: (folder / name).read_bytes() for name in [*ASSETS, "index.html"]}


class NotServed(LookupError):
    """A query parameter that names nothing this server serves; the message says what it does."""


# ---- the handlers: each reads what it serves from the application's state

def feed_of(request: Request) -> Feed:
    feeds = request.app.state.feeds
    symbol = request.query_params.get("symbol") or next(iter(feeds))
    feed = feeds.get(symbol.upper())
    if feed is None:
        raise NotServed(f"this server serves {', '.join(feeds)}, not {symbol[:40]!r}")
    return feed


def chosen_expiry(request: Request, feed: Feed) -> str:
    text = request.query_params.get("expiry")
    if not text:
        return ""
    if text.lower() == EVERY_EXPIRY:  # the page's own choice of every expiry at once
        return EVERY_EXPIRY
    try:
        day = expiry_day(text).isoformat()
    except (TypeError, ValueError):
        raise NotServed(f"{text[:40]!r} is not an expiry such as 11-Dec-2026 or "
                        f"2026-12-11") from None
    listed = feed.expiries()
    if listed and day not in listed:
        raise NotServed(f"{feed.symbol} has no expiry {day}; it lists {', '.join(listed)}")
    return day


async def refused(_: Request, error: Exception) -> Response:
    return PlainTextResponse(str(error) + "\n", status_code=404)


async def index(request: Request) -> Response:
    feed = feed_of(request)
    expiry = chosen_expiry(request, feed)
    text = request.app.state.page.substitute(
        symbols=html.escape(" ".join(request.app.state.feeds)), symbol=html.escape(feed.symbol),
        expiry=html.escape(expiry))
    return Response(text, media_type="text/html; charset=utf-8",
                    headers={"cache-control": "no-store"})


async def events(request: Request) -> Response:
    return StreamingResponse(feed_of(request).updates(request.app.state.stopping),
                             media_type="text/event-stream", headers={"cache-control": "no-store"})


async def snapshot(request: Request) -> Response:
    body = (feed_of(request).encoded or b"data: null\n\n")[len(b"data: "):].strip()
    return Response(body, media_type="application/json", headers={"cache-control": "no-store"})


async def backtest(request: Request) -> Response:
    page = request.app.state.backtest
    if page is None:
        return PlainTextResponse("no backtest: start the server with --backtest FILE\n",
                                 status_code=404)
    return Response(page, media_type="text/html; charset=utf-8",
                    headers={"cache-control": "no-store"})


async def asset(request: Request) -> Response:
    name = request.path_params["name"]
    if name not in ASSETS:
        return PlainTextResponse("no such file\n", status_code=404)
    return Response(request.app.state.assets[name], media_type=ASSETS[name])


@contextlib.asynccontextmanager
async def lifespan(application: Starlette) -> AsyncIterator[None]:
    """Each feed's refresh loop runs for as long as the application does."""
    stopping = application.state.stopping
    tasks = [asyncio.create_task(feed.run(stopping)) for feed in application.state.feeds.values()]
    try:
        yield
    finally:
        stopping.set()
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


ROUTES = [Route("/", index), Route("/events", events), Route("/snapshot", snapshot),
          Route("/backtest", backtest), Route("/static/{name}", asset)]


def create_app(feeds: dict[str, Feed], allowed_hosts: list[str],
               backtest_page: str | None = None) -> Any:
    """The application over `feeds` (by symbol, in upper case); `backtest_page`, the page of a
    backtest, served at /backtest."""
    application = Starlette(
        routes=ROUTES,
        middleware=[Middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts)],
        exception_handlers={NotServed: refused}, lifespan=lifespan)
    assets = read_assets()
    application.state.page = string.Template(assets.pop("index.html").decode())
    application.state.assets = assets
    application.state.feeds = feeds
    application.state.stopping = asyncio.Event()
    application.state.backtest = backtest_page
    return SecurityHeaders(application)


def stop_streams(application: Any) -> None:
    """Ends every page's stream, so that the server can shut down without waiting for them."""
    application.app.state.stopping.set()


