"""Running the dashboard: uvicorn on a socket opened here (so that the address is known, and a
port in use is one clear line), ended by Ctrl+C or SIGTERM without waiting on open pages."""
from __future__ import annotations

import asyncio
import ipaddress
import socket
import threading
import time
from typing import Any

import uvicorn

from greeks.dashboard.app import stop_streams


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def page_address(host: str, port: int) -> str:
    shown = "127.0.0.1" if host in ("", "0.0.0.0") else "[::1]" if host == "::" else host
    shown = f"[{shown}]" if ":" in shown and not shown.startswith("[") else shown
    return f"http://{shown}:{port}/"


def listen(host: str, port: int) -> socket.socket:
    """A listening socket; OSError with the system's reason when the address cannot be had."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    return socket.create_server((host, port), family=family, backlog=128)


class Server(uvicorn.Server):
    """uvicorn's server, which on stop (Ctrl+C, SIGTERM, or `stop` from another thread) first
    ends the pages' event streams: they never end by themselves, and uvicorn would wait for
    them."""

    def __init__(self, application: Any, *, quiet: bool = False):
        super().__init__(uvicorn.Config(application, log_level="error" if quiet else "warning",
                                        lifespan="on", timeout_graceful_shutdown=2))
        self.application = application
        self.loop: asyncio.AbstractEventLoop | None = None

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        self.loop = asyncio.get_running_loop()
        await super().startup(sockets)

    def stop(self) -> None:
        if self.loop is not None:
            self.loop.call_soon_threadsafe(stop_streams, self.application)
        self.should_exit = True

    def handle_exit(self, sig: int, frame: Any) -> None:
        if self.loop is not None:
            self.loop.call_soon_threadsafe(stop_streams, self.application)
        super().handle_exit(sig, frame)


def run(application: Any, sock: socket.socket) -> None:
    Server(application).run(sockets=[sock])


class InBackground:
    """The dashboard served from a thread of this process, for a notebook or a test; `stop`
    ends it. Ready when constructed."""

    STARTUP_SECONDS = 30.0

    def __init__(self, application: Any, sock: socket.socket):
        self.port = sock.getsockname()[1]
        self.server = Server(application, quiet=True)
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [sock]},
                                       daemon=True)
        self.thread.start()
        deadline = time.monotonic() + self.STARTUP_SECONDS
        while not self.server.started and self.thread.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        if not self.server.started:
            raise RuntimeError("the dashboard did not start")

    def stop(self) -> None:
        self.server.stop()
        self.thread.join(self.STARTUP_SECONDS)
