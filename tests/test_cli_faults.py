"""The command line under hostile input and at its edges: one line and an exit code, never a
traceback; files written whole or not at all."""
import datetime as dt
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import greeks
import greeks.greeks as module
import recorded
from greeks.cli import output
from test_cli import run

SBIN = str(recorded.CHAIN_FILES["SBIN"])
NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
GREEKS = [sys.executable, "-m", "greeks"]


@pytest.fixture(autouse=True)
def restore_the_exchange(monkeypatch):
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)


def sbin_with(change):
    chain = recorded.chain("SBIN")
    change(chain)
    return json.dumps(chain)


@pytest.mark.parametrize("content, message", [
    ('{"records": {"data": 5, "timestamp": "17-Jul-2025 15:30:00"}}', "list of rows, not int"),
    ('{"records": {"data": null}}', "list of rows, not NoneType"),
    ('{"data": "rows"}', "list of rows, not str"),
    ('{"data": {"rows": []}}', "list of rows, not dict"),
    ("[" * 200_000 + "]" * 200_000, "nested too deeply"),
    (sbin_with(lambda chain: chain["records"].update(timestamp="01-Jan-9999 10:00:00")),
     "a date would leave the calendar"),
])
@pytest.mark.parametrize("command", [["chain", "SBIN"], ["watch", "SBIN", "830", "2025-07-31"],
                                     ["probe", "SBIN"]])
def test_a_hostile_recording_is_one_line_and_exit_1(capsys, tmp_path, content, message, command):
    if "9999" in content and command[0] == "probe":
        return  # a probe describes a recording as captured, without moving it
    path = tmp_path / "chain.json"
    path.write_text(content)
    code, out, err = run(capsys, *command, "--replay", str(path))
    assert code == 1 and out == ""
    assert message in err.splitlines()[-1] and "Traceback" not in err


def test_an_unusable_spot_falls_back_to_the_legs(capsys, tmp_path):
    path = tmp_path / "huge.json"
    path.write_text(sbin_with(lambda chain: chain["records"].update(underlyingValue=10**400)))
    code, out, err = run(capsys, "chain", "SBIN", "--replay", str(path), "--as-captured")
    assert code == 0 and "spot 828.75" in out, err


@pytest.mark.parametrize("argv, message", [
    (["watch", "SBIN", "830", "next friday"], "is not an expiry such as 07-Aug-2025"),
    (["watch", "SBIN", "830", "2025-07-31", "straddle"], "is not a side: CE, PE, call or put"),
    (["watch", "SBIN", "eight hundred", "2025-07-31"], "is not a strike price"),
    (["watch", "SBIN", "830", "2025-07-31", "--interval", "-1"], "whole number"),
    (["chain", "SBIN", "--clock", "hours"], "invalid choice"),
    (["chain", "SBIN", "--around", "x"], "whole number"),
    (["sell", "SBIN"], "invalid choice"),
    ([], "required"),
    (["serve", "NIFTY", "--interval", "0.5"], "--interval below 1 second is refused"),
    (["serve", "NIFTY", "BANKNIFTY", "--replay", NIFTY], "--replay serves one underlying"),
    (["serve", "NIFTY", "--interval", "-1"], "is not a number of seconds"),
    (["serve", "NIFTY", "--port", "70000"], "is not a port"),
    (["serve", "NIFTY", "--replay", NIFTY, "--store", "no-such-store"],
     "no-such-store is not a folder"),
    (["chain", "BANKNIFTY", "--replay", NIFTY], f"{NIFTY} holds the NIFTY option chain, not "
                                                f"BANKNIFTY"),
    (["chain", "SBIN", "--rate", "7"], "rate 7 looks like a percentage; 0.07 is 7 %"),
    (["chain", "SBIN", "--dividend-yield", "1.5"], "dividend yield 1.5 looks like a percentage"),
    (["chain", "SBIN", "--as-captured"], "--as-captured goes with --replay"),
    (["chain", "SBIN", "--plot", "greeks.xyz", "--replay", SBIN], "name the image file with one"),
    (["watch", "SBIN", "830", "2025-07-31", "--interval", "0"],
     "--interval below 1 second is refused against the live exchange"),
    (["watch", "SBIN", "830", "2025-07-31", "--interval", "1e20"], "from 0 to 86400"),
    (["watch", "SBIN", "830", "2025-07-31", "--clock", "days", "--as-captured", "--replay", SBIN],
     "--as-captured goes with --clock close"),
    (["watch", "SBIN", "830", "2025-07-31", "--alert", "delta > 0.6", "--clock", "days"],
     "--alert goes with --clock close"),
    (["watch", "SBIN", "830", "2025-07-31", "--alert-command", "true"],
     "--alert-command goes with --alert"),
    (["watch", "SBIN", "830", "2025-07-31", "--alert", "delta ≥ 1"], "write NAME OP NUMBER"),
    (["watch", "SBIN", "830", "2025-07-31", "--alert", "pnl < 0"], "no figure 'pnl' here"),
    (["watch", "SBIN", "830", "2025-07-31", "--alert", "delta > 1e400"], "out of range"),
    (["position", "legs.csv", "--alert", "pnl < -5000"], "--alert goes with --watch"),
    (["position", "legs.csv", "--watch", "--alert", "iv < 0.1"], "no figure 'iv' here"),
    (["backtest", "straddle.toml"], "give --store or --files"),
    (["serve", "NIFTY", "--replay", NIFTY, "--alert", "iv > 1"], "no figure 'iv' here"),
    (["serve", "NIFTY", "--replay", NIFTY, "--backtest", "straddle.toml"],
     "--backtest runs over a store's daily files: give --store"),
])
def test_bad_usage_is_one_line_and_exit_2(capsys, argv, message):
    try:
        code = greeks.cli.main(argv)
    except SystemExit as ended:  # refused by the parser itself
        code = ended.code
    out, err = capsys.readouterr()
    assert code == 2 and out == ""
    assert message in err.splitlines()[-1]


def test_a_failed_fetch_keeps_its_root_cause(capsys, exchange):
    try:
        try:
            raise OSError("[Errno -3] Temporary failure in name resolution")
        except OSError as resolver:
            raise ConnectionError("Could not resolve host: www.nseindia.com") from resolver
    except ConnectionError as error:
        exchange.chain = error
    code, _, err = run(capsys, "chain", "NIFTY")
    assert code == 1
    assert err.splitlines()[-1] == (
        "greeks chain: error: could not fetch the NIFTY option chain: ConnectionError: Could not "
        "resolve host: www.nseindia.com (caused by OSError: [Errno -3] Temporary failure in name "
        "resolution)")


@pytest.mark.parametrize("option, target, code, message", [
    ("--csv", "missing/legs.csv", 1, "cannot write {tmp}/missing/legs.csv: there is no folder "
                                     "{tmp}/missing"),
    ("--csv", ".", 1, "cannot write {tmp}/.: it is a folder"),
    ("--csv", "/dev/full", 1, "cannot write /dev/full: it is not a regular file"),
    ("--plot", "missing/greeks.png", 1, "cannot write {tmp}/missing/greeks.png: there is no "
                                        "folder {tmp}/missing"),
    ("--plot", "/dev/full", 2, "cannot draw into /dev/full: name the image file with one of"),
    ("--plot", ".", 2, "cannot draw into {tmp}/.: name the image file with one of"),
])
def test_an_output_that_cannot_be_written_says_why(capsys, tmp_path, option, target, code,
                                                   message):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    path = target if target.startswith("/") else f"{tmp_path}/{target}"
    exit_code, _, err = run(capsys, "chain", "SBIN", "--replay", SBIN, option, path)
    assert exit_code == code
    assert err.splitlines()[-1].startswith(f"greeks chain: error: {message.format(tmp=tmp_path)}")
    assert os.listdir(tmp_path) == []


def test_a_plot_reports_the_file_it_wrote(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    code, _, err = run(capsys, "chain", "SBIN", "--replay", SBIN, "--plot", f"{tmp_path}/g.svg")
    assert code == 0 and err.splitlines()[-1].endswith(f"into {tmp_path}/g.svg")
    assert (tmp_path / "g.svg").read_text().startswith("<?xml")


def test_an_interrupted_write_leaves_the_old_file_and_no_remains(tmp_path):
    target = tmp_path / "legs.csv"
    target.write_text("the previous run's legs\n")

    def interrupted(path):
        with open(path, "w") as handle:
            handle.write("half a file")
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        output.write_atomically(str(target), interrupted)
    assert target.read_text() == "the previous run's legs\n"
    assert os.listdir(tmp_path) == ["legs.csv"]
    output.write_atomically(str(target), lambda path: open(path, "w").write("new\n"))
    assert target.read_text() == "new\n" and oct(target.stat().st_mode & 0o777) != "0o600"


def test_the_footnote_follows_the_marked_cells(capsys):
    code, out, _ = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--around", "2", "--model",
                       "spot")
    assert code == 0 and "*" not in out  # solved legs exist, but none among these strikes
    code, out, _ = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--around", "2", "--iv",
                       "solve")
    assert out.endswith("* volatility solved from the price\n")


def test_version_and_names():
    assert greeks.__version__ in subprocess.run(GREEKS + ["--version"], capture_output=True,
                                                text=True, timeout=60).stdout
    names = dir(greeks)
    assert len(names) == len(set(names)) and "use_records_shape" in names


def test_a_watch_piped_into_head_ends_quietly():
    expiry = dt.date(2025, 7, 31)
    reader = subprocess.Popen(["head", "-n", "3"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    watch = subprocess.Popen(GREEKS + ["watch", "SBIN", "830", f"{expiry}", "--interval", "0",
                                       "--replay", SBIN, "--as-captured"],
                             stdout=reader.stdin, stderr=subprocess.PIPE, text=True)
    reader.stdin.close()
    _, err = watch.communicate(timeout=60)
    reader.wait(timeout=10)
    assert watch.returncode == 0
    assert err.splitlines() == [f"greeks: replaying SBIN from {SBIN} as captured"]


@pytest.mark.parametrize("delay", [0.05, 0.1, 0.2, 0.3])
def test_ctrl_c_at_start_up_ends_without_a_traceback(delay):
    # SIGINT back to its default in the child, so that Python turns it into KeyboardInterrupt
    # even when the suite itself runs with it ignored (a background job).
    child = subprocess.Popen(GREEKS + ["chain", "SBIN", "--replay", SBIN],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # The interpreter's own first moments (before any of the package runs) are Python's to
    # guard, not the command's; the sanitizer build takes several times as long to get there.
    time.sleep(delay * (5 if os.environ.get("GREEKS_EXPECT_SANITIZED") else 1))
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert "Traceback" not in err and child.returncode in (0, 130), err
