"""The `greeks` command line, offline: every command on recorded chains through --replay."""
import datetime as dt
import json
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import greeks
import greeks.greeks as module
import recorded
from helpers import StopAtPause, interrupt_in_the_pause
from greeks import cli
from greeks.exchange import recordings
from greeks.exchange.reading import read_chain

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
SBIN = str(recorded.CHAIN_FILES["SBIN"])
NEWER = str(recorded.DATA / recorded.NEWER_SHAPE_FILE)


@pytest.fixture(autouse=True)
def restore_the_exchange(monkeypatch):
    # Every command installs its chain source in the module global; put the real one back after.
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)


def stop_watches_at_pause(monkeypatch):
    """Both watches (the module's and the one on the clock to the close) end at their first
    pause, as Ctrl+C would end them."""
    import greeks.cli.watch

    monkeypatch.setattr(module, "time", StopAtPause)
    monkeypatch.setattr(greeks.cli.watch, "time", StopAtPause)


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def replayed_expiry(path, index=0):
    chain, _ = recordings.shift_expiries(json.loads(open(path).read()), dt.date.today())
    return sorted(set(read_chain(chain).expiry.tolist()))[index]


def test_chain_prints_the_nearest_expiry_around_the_spot(capsys):
    code, out, err = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--around", "3")
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0].startswith(f"NIFTY {replayed_expiry(NIFTY):%d-%b-%Y}  spot 24623.45")
    assert "CALLS" in lines[1] and "PUTS" in lines[1]
    strikes = [line.split()[6] for line in lines[3:10]]
    assert strikes == ["24450", "24500", "24550", ">24600", "24650", "24700", "24750"]
    widths = {len(line) for line in lines[3:10]}
    assert len(widths) == 1  # aligned
    assert err.startswith("greeks: replaying NIFTY from")


def test_the_csv_holds_every_leg_as_chain_greeks_gives_it(capsys, tmp_path):
    path = tmp_path / "legs.csv"
    code, _, err = run(capsys, "chain", "SBIN", "--replay", SBIN, "--csv", str(path),
                       "--iv", "solve", "--clock", "days")
    assert code == 0, err
    written = pd.read_csv(path, parse_dates=["expiry"], float_precision="round_trip")
    chain, _ = recordings.shift_expiries(recorded.chain("SBIN"), dt.date.today())
    expected = greeks.chain_greeks(chain, iv="solve", clock="days")
    assert list(written.columns) == list(expected.columns)
    assert (written["side"] == expected["side"]).all()
    assert (written["iv_source"] == expected["iv_source"]).all()
    numbers = expected.select_dtypes("number").columns
    np.testing.assert_array_equal(written[numbers], expected[numbers])


def test_the_plot_is_a_png_of_some_substance(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "greeks.png"
    code, _, err = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--plot", str(path))
    assert code == 0, err
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20_000


def test_without_matplotlib_the_plot_says_how_to_install_it(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, _, err = run(capsys, "chain", "SBIN", "--replay", SBIN, "--plot", str(tmp_path / "a.png"))
    assert code == 1
    assert err.splitlines()[-1] == ("greeks chain: error: the --plot option needs matplotlib: "
                                    "pip install 'greeks[plot]'")


def test_the_newer_shape_replays_in_both_commands(capsys, monkeypatch):
    code, out, err = run(capsys, "chain", "NIFTY", "--replay", NEWER)
    assert code == 0, err
    stop_watches_at_pause(monkeypatch)
    expiry = replayed_expiry(NEWER)
    code, out, err = run(capsys, "watch", "NIFTY", "21700", f"{expiry:%Y-%m-%d}", "put",
                         "--replay", NEWER)
    assert code == 0, err
    assert f"Monitoring Greeks for NIFTY 21700.0 {expiry:%d-%b-%Y} PE" in out
    assert "Data received successfully!" in out and out.endswith("Stopped monitoring\n")


@pytest.mark.parametrize("expiry_text", ["{:%d-%b-%Y}", "{:%d-%b-%Y}.upper", "{:%Y-%m-%d}"])
@pytest.mark.parametrize("side, shown", [("ce", "CE"), ("PUT", "PE"), ("Call", "CE")])
@pytest.mark.parametrize("clock", ["close", "days"])
def test_watch_normalises_its_input(capsys, monkeypatch, expiry_text, side, shown, clock):
    stop_watches_at_pause(monkeypatch)
    expiry = replayed_expiry(SBIN)
    text = expiry_text.removesuffix(".upper").format(expiry)
    text = text.upper() if expiry_text.endswith(".upper") else text
    code, out, err = run(capsys, "watch", "SBIN", "830", text, side, "--replay", SBIN,
                         "--clock", clock)
    assert code == 0, err
    assert f"Monitoring Greeks for SBIN 830.0 {expiry:%d-%b-%Y} {shown}" in out
    assert "Data received successfully!" in out


def test_a_strike_the_chain_does_not_list_names_the_nearest(capsys):
    expiry = replayed_expiry(SBIN)
    code, _, err = run(capsys, "watch", "SBIN", "832", f"{expiry:%Y-%m-%d}", "--replay", SBIN)
    assert code == 2
    assert err.splitlines()[-1] == (f"greeks watch: error: SBIN {expiry:%d-%b-%Y} has no CE at "
                                    "strike 832; the nearest listed are 820, 830, 840, 850")


def test_an_expiry_the_chain_does_not_list_names_the_listed_ones(capsys):
    days = [replayed_expiry(SBIN, i) for i in range(3)]
    code, _, err = run(capsys, "watch", "SBIN", "830", "2030-01-01", "--replay", SBIN)
    assert code == 2
    listed = ", ".join(f"{day:%d-%b-%Y}" for day in days)
    assert err.splitlines()[-1] == f"greeks watch: error: SBIN has no expiry 01-Jan-2030; it lists {listed}"
    code, _, err = run(capsys, "chain", "SBIN", "--expiry", "2030-01-01", "--replay", SBIN)
    assert code == 2 and "has no expiry 01-Jan-2030" in err


@pytest.mark.parametrize("content, message", [
    (None, "cannot read"), ("{not json", "is not JSON"), ('{"status": 1}', "is not an option chain"),
    ('{"records": {"data": []}}', "no capture time"),
])
def test_a_bad_recording_is_one_line_and_exit_1(capsys, tmp_path, content, message):
    path = tmp_path / "chain.json"
    if content is not None:
        path.write_text(content)
    code, out, err = run(capsys, "chain", "SBIN", "--replay", str(path))
    assert code == 1 and out == ""
    assert message in err.splitlines()[-1]


@pytest.mark.parametrize("answer, message", [
    (ConnectionError("HTTPSConnectionPool: Max retries exceeded with url: /api/option-chain-"
                     "indices?symbol=NIFTY (Caused by NewConnectionError(" + "x" * 300 + "))\n"
                     "second line of the transport's text"),
     "could not fetch the NIFTY option chain: ConnectionError: HTTPSConnectionPool: Max retries"),
    (None, "the exchange returned no option chain for NIFTY"),
    ({}, "the exchange returned no option chain for NIFTY"),
    ({"error": "blocked"}, "the exchange's answer for NIFTY is not an option chain"),
])
@pytest.mark.parametrize("command", [["chain", "NIFTY"], ["watch", "NIFTY", "24600", "2025-08-07"],
                                     ["record", "NIFTY", "unused.json"]])
def test_a_failed_fetch_is_one_short_line_and_exit_1(capsys, exchange, answer, message, command):
    exchange.chain = answer
    code, out, err = run(capsys, *command)
    lines = err.splitlines()
    assert code == 1 and out == ""
    assert lines[0] == "greeks: fetching the NIFTY option chain from the exchange"
    assert len(lines) == 2 and lines[1].startswith(f"greeks {command[0]}: error: {message}")
    assert len(lines[1]) < 200


def test_record_saves_a_chain_that_replays(capsys, exchange, tmp_path):
    exchange.chain = recorded.chain("SBIN")
    path = tmp_path / "sbin.json"
    code, _, err = run(capsys, "record", "SBIN", str(path))
    assert code == 0, err
    assert json.loads(path.read_text()) == recorded.chain("SBIN")
    assert exchange.calls == [("chain", "SBIN")]
    assert run(capsys, "chain", "SBIN", "--replay", str(path))[0] == 0


def test_help_and_python_dash_m():
    done = subprocess.run([sys.executable, "-m", "greeks", "chain", "--help"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0
    assert "--replay FILE" in done.stdout and "--iv {exchange,fill,solve}" in done.stdout


def test_ctrl_c_ends_a_watch_cleanly(tmp_path):
    expiry = replayed_expiry(SBIN)
    script = f"""
        import sys
        from greeks.cli import main
        sys.exit(main(["watch", "SBIN", "830", "{expiry:%d-%b-%Y}", "--interval", "30",
                       "--replay", {SBIN!r}]))
    """
    _, out, err, returncode = interrupt_in_the_pause(script, tmp_path)
    assert returncode == 0, err
    assert out.endswith("\nStopped monitoring\n")
    assert "Traceback" not in err


def test_an_alert_is_said_once_while_it_holds_and_again_after_it_stopped():
    from greeks.alerts import Alerts, parse_alert

    said, names = [], ("delta", "iv", "pnl")
    alerts = Alerts([parse_alert(text, names) for text in ("delta > 0.6", "iv <= 11%",
                                                           "pnl < -5e3")], say=said.append)
    for delta, iv, pnl in [(0.5, 0.12, 0), (0.61, 0.12, -6000), (0.7, 0.11, -7000),
                           (0.5, float("nan"), -4000), (0.65, 0.2, -5001)]:
        alerts.check({"delta": delta, "iv": iv, "pnl": pnl})
    assert said == ["alert: delta > 0.6 (delta 0.61)", "alert: pnl < -5e3 (pnl -6000)",
                    "alert: iv <= 11% (iv 0.11)", "alert: delta > 0.6 (delta 0.65)",
                    "alert: pnl < -5e3 (pnl -5001)"]


def test_the_watch_says_an_alert_on_standard_error_and_runs_its_command(capsys, monkeypatch,
                                                                        tmp_path):
    stop_watches_at_pause(monkeypatch)
    expiry = replayed_expiry(SBIN)
    mark = tmp_path / "alerted"
    code, out, err = run(capsys, "watch", "SBIN", "830", f"{expiry:%Y-%m-%d}", "--replay", SBIN,
                         "--alert", "delta > 0", "--alert", "gamma < 0",
                         "--alert-command", f"{sys.executable} -c \"import sys; "
                         f"open({str(mark)!r}, 'w').write(' '.join(sys.argv[1:]))\"")
    assert code == 0, err
    assert [line for line in err.splitlines() if "alert" in line] == [
        next(line for line in err.splitlines() if line.startswith("greeks: alert: delta > 0 "))]
    for _ in range(100):
        if mark.exists() and mark.read_text():
            break
        time.sleep(0.05)
    assert mark.read_text().startswith("delta > 0 0.")
