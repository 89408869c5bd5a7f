"""A dashboard served from a thread of the test process over a recorded chain, whose fetches the
test counts and can make fail."""
import http.client
import socket
import threading

from greeks.chains.pricing import Pricing
from greeks.dashboard import app, server
from greeks.dashboard.feed import Feed
from greeks.dashboard.refresh import refresher
from greeks.exchange import recordings, sources

# The pricing the command line serves by default.
OPTIONS = {"pricing": Pricing()}


class CountedReplay(recordings.Replay):
    """A recording served at every fetch, counted; `failing` makes each fetch raise it."""

    def __init__(self, chain):
        super().__init__(chain)
        self.fetches = 0
        self.failing = None

    def __call__(self, symbol):
        self.fetches += 1
        if self.failing is not None:
            raise self.failing
        return super().__call__(symbol)


class Dashboard:
    def __init__(self, symbol, chain, *, interval=0.3, legs=(), stored=None, port=0,
                 backtest_page=None, alerts=None):
        self.replay = CountedReplay(chain)
        sources.install(self.replay)
        self.feed = Feed(symbol, refresher(symbol, OPTIONS, list(legs), 1.0, stored, alerts),
                         interval)
        sock = server.listen("127.0.0.1", port)
        self.running = server.InBackground(
            app.create_app({symbol: self.feed}, ["127.0.0.1"], backtest_page), sock)
        self.port = self.running.port
        self.url = f"http://127.0.0.1:{self.port}"

    def get(self, path, method="GET", headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode()

    def stop(self):
        self.running.stop()


def read_events(port, symbol, seconds, into):
    """Reads `symbol`'s event stream for `seconds`, appending each message's line to `into`."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=seconds + 5)
    connection.request("GET", f"/events?symbol={symbol}")
    sock = connection.sock
    response = connection.getresponse()
    timer = threading.Timer(seconds, sock.shutdown, args=(socket.SHUT_RDWR,))
    timer.start()
    try:
        for line in response:
            if line.startswith(b"data: "):
                into.append(line)
    except (OSError, http.client.HTTPException):
        pass
    finally:
        timer.cancel()
        connection.close()
