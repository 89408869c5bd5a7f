"""greeks serve without a browser: the page's numbers against the command line's, max pain
against a brute-force sum, what the server refuses, one fetch per interval for many pages, a
failed fetch that keeps the last good data, and the command's own checks."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import greeks.greeks as module
import recorded
from dashboards import OPTIONS, Dashboard, read_events
from greeks.chains.summary import max_pain
from greeks.dashboard.message import chain_part
from test_cli import run

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])


@pytest.fixture(autouse=True)
def restore_the_exchange(monkeypatch):
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)


@pytest.fixture(scope="module")
def nifty_part():
    return chain_part(recorded.chain("NIFTY"), OPTIONS)


@pytest.fixture
def dashboard():
    served = Dashboard("NIFTY", recorded.chain("NIFTY"))
    yield served
    served.stop()


@pytest.mark.parametrize("expiry", ["07-Aug-2025", "28-Aug-2025", "24-Dec-2029"])
def test_the_page_shows_the_digits_the_command_line_prints(capsys, nifty_part, expiry):
    code, out, err = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--as-captured",
                         "--expiry", expiry, "--around", "6")
    assert code == 0, err
    (part,) = [part for part in nifty_part["expiries"] if part["label"] == expiry]
    printed = [line.split() for line in out.splitlines()[3:] if line.strip()
               and not line.startswith("* ")]  # the footnote of solved volatilities
    assert len(printed) >= 7
    for cells in printed:
        # A side without the leg prints nothing there; the strike is the one text without a dot.
        place = part["strike_texts"].index(next(text for text in cells if "." not in text))
        shown = [*reversed(part["call"]["cells"][place]), part["strike_texts"][place],
                 *part["put"]["cells"][place]]
        assert [text for text in shown if text] == cells


@pytest.mark.parametrize("symbol", ["NIFTY", "BANKNIFTY", "SBIN"])
def test_max_pain_is_where_a_brute_force_sum_is_least(symbol):
    part = chain_part(recorded.chain(symbol), OPTIONS)
    for expiry in part["expiries"]:
        strikes = np.array(expiry["strikes"])
        calls = np.nan_to_num(np.array(expiry["call"]["oi"], dtype=float))
        puts = np.nan_to_num(np.array(expiry["put"]["oi"], dtype=float))
        paid = [(calls * np.maximum(at - strikes, 0)).sum() + (puts * np.maximum(strikes - at, 0)).sum()
                for at in strikes]
        expected = strikes[int(np.argmin(paid))] if (calls + puts).any() else None
        assert expiry["max_pain"] == expected
        assert expiry["pcr"] == (pytest.approx(puts.sum() / calls.sum()) if calls.any() else None)


def test_max_pain_of_a_chain_without_open_interest_is_none():
    assert np.isnan(max_pain(np.array([100.0, 100.0]), np.array([True, False]),
                             np.array([np.nan, 0.0])))


def test_every_response_carries_the_policy_and_refuses_what_is_not_served(dashboard):
    time.sleep(0.5)
    nearest = dashboard.get("/?symbol=nifty&expiry=07-aug-2025")
    assert nearest[0] == 200 and 'data-expiry="2025-08-07"' in nearest[2]
    assert 'data-expiry="all"' in dashboard.get("/?symbol=NIFTY&expiry=all")[2]
    refused = {
        "/?symbol=BANKNIFTY": "serves NIFTY",
        "/?symbol=NIFTY&expiry=2025-08-08": "has no expiry 2025-08-08",
        "/?expiry=%3Cscript%3E": "is not an expiry",
        "/events?symbol=%3Cb%3E": "serves NIFTY",
        "/static/app.py": "no such file",
        "/static/..%2Fapp.py": "",
        "/nowhere": "",
    }
    for path, says in refused.items():
        status, headers, text = dashboard.get(path)
        assert status == 404 and says in text, path
        assert headers["content-type"].startswith("text/plain"), path  # never read as markup
        assert "script-src 'self'" in headers["content-security-policy"]
    assert dashboard.get("/", method="POST")[0] == 405
    assert dashboard.get("/", headers={"Host": "attacker.example"})[0] == 400
    status, headers, script = dashboard.get("/static/dashboard.js")
    assert status == 200 and headers["content-type"].startswith("text/javascript")


def test_many_pages_share_one_fetch_per_interval(dashboard):
    received = [[] for _ in range(20)]
    readers = [threading.Thread(target=read_events, args=(dashboard.port, "NIFTY", 2.0, into))
               for into in received]
    before = dashboard.replay.fetches
    started = time.monotonic()
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join(20)
    fetches = dashboard.replay.fetches - before
    intervals = (time.monotonic() - started) / dashboard.feed.interval
    assert 2 <= fetches <= intervals + 2
    assert all(len(messages) >= 2 for messages in received)
    refreshes = [json.loads(messages[-1][6:])["refresh"] for messages in received]
    assert max(refreshes) - min(refreshes) <= 1  # every page saw the same refreshes


def test_a_failed_fetch_keeps_the_last_good_data_and_says_why(dashboard):
    time.sleep(0.5)
    dashboard.replay.failing = ConnectionError("timed out")
    time.sleep(0.8)
    failed = json.loads(dashboard.get("/snapshot?symbol=NIFTY")[2])
    assert failed["error"] == "could not fetch the NIFTY option chain: ConnectionError: timed out"
    assert failed["data"]["spot_text"] == "24623.45"
    dashboard.replay.failing = None
    time.sleep(0.8)
    assert json.loads(dashboard.get("/snapshot?symbol=NIFTY")[2])["error"] is None


def serve_command(*argv):
    # Ctrl+C as at a terminal, even where the suite runs as a background job, which starts
    # ignoring it (the server would then stop on it but exit 0)
    return subprocess.Popen([sys.executable, "-m", "greeks", "serve", "NIFTY", "--replay", NIFTY,
                             "--as-captured", "--interval", "0.2", *argv],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def test_a_port_in_use_is_one_line_and_exit_code_1(dashboard):
    command = serve_command("--port", str(dashboard.port))
    out, err = command.communicate(timeout=60)
    assert command.returncode == 1
    assert err.strip().endswith(f"cannot listen on 127.0.0.1 port {dashboard.port}: "
                                f"Address already in use")


def test_ctrl_c_ends_the_server_at_once_with_a_page_open():
    command = serve_command("--port", "0", "--host", "0.0.0.0")
    line = command.stdout.readline()
    assert "Serving NIFTY every 0.2 s at http://127.0.0.1:" in line
    port = int(line.split(":")[2].split("/")[0])
    received = []
    reader = threading.Thread(target=read_events, args=(port, "NIFTY", 30, received))
    reader.start()
    deadline = time.monotonic() + 20
    while not received and time.monotonic() < deadline:
        time.sleep(0.05)
    command.send_signal(signal.SIGINT)
    started = time.monotonic()
    out, err = command.communicate(timeout=30)
    slowness = 5 if os.environ.get("GREEKS_EXPECT_SANITIZED") else 1
    assert time.monotonic() - started < 3 * slowness
    assert command.returncode == 130 and received  # as every command ends on Ctrl+C
    assert "reachable from the network" in err and "Traceback" not in err
    reader.join(30)


def test_the_backtest_page_shows_the_trades_escaped_and_is_absent_without_one(dashboard):
    from greeks.backtests import backtest
    from greeks.dashboard.backtest_view import backtest_page

    data = os.path.join(os.path.dirname(__file__), "data")
    files = [os.path.join(data, f"BhavCopy_NSE_FO_0_0_0_{day}_F_0000.csv.zip")
             for day in (20250203, 20250227)]
    result = backtest({"symbol": "BANKNIFTY", "expiry": "monthly", "entry": {"days": 2},
                       "legs": [{"side": "CE", "lots": -1, "strike": "ATM"}]}, files=files)
    served = Dashboard("NIFTY", recorded.chain("NIFTY"),
                       backtest_page=backtest_page(result, "<script>x</script> straddle"))
    try:
        status, headers, body = served.get("/backtest")
    finally:
        served.stop()
    assert status == 200 and headers["content-type"].startswith("text/html")
    assert "<script>" not in body and "&lt;script&gt;x&lt;/script&gt; straddle" in body
    assert body.count("<tr>") == 1 + len(result.trades) == 2 and "<polyline" in body
    assert f"{result.trades['pnl'].iloc[0]:,.2f}" in body
    assert dashboard.get("/backtest")[0] == 404
