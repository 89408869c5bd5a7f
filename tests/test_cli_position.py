"""greeks position on the NIFTY recording: the table, the payoff lines, the files it writes, the
watch, and one line for every bad input."""
import pytest

import greeks
import greeks.cli.position
import greeks.greeks as module
import recorded
from test_cli import run

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
STRADDLE = ("symbol,expiry,strike,side,quantity,entry_price\n"
            "NIFTY,07-Aug-2025,24600,CE,-75,104.10\n"
            "NIFTY,07-Aug-2025,24600,PE,-75,79.80\n")


@pytest.fixture(autouse=True)
def restore_the_exchange(monkeypatch):
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)


@pytest.fixture
def straddle(tmp_path):
    path = tmp_path / "straddle.csv"
    path.write_text(STRADDLE)
    return path


def test_the_table_agrees_with_the_api_and_leaves_the_file_alone(capsys, straddle, tmp_path):
    before = straddle.stat()
    code, out, err = run(capsys, "position", str(straddle), "--replay", NIFTY, "--as-captured",
                         "--at", "1", "--csv", str(tmp_path / "legs.csv"))
    assert code == 0, err
    lines = out.splitlines()
    frame = greeks.Position.from_file(straddle).value(recorded.chain("NIFTY"))
    net = lines[4].split()
    assert net[0] == "net" and net[1] == f"{frame.loc['net', 'value']:,.0f}"
    assert net[3] == f"{frame.loc['net', 'delta']:,.2f}"
    # 24600 ∓ the premiums taken, 104.10 + 79.80; at most those premiums, 75 × 183.90
    expiry = next(n for n, line in enumerate(lines) if line.startswith("at expiry"))
    assert lines[expiry] == ("at expiry: breakevens 24,416.10, 24,783.90; max profit 13,792; "
                             "max loss unbounded")
    assert lines[expiry + 1].startswith("probability of profit ")
    assert lines[expiry + 2].startswith("at T+1 days")
    assert (tmp_path / "legs.csv").read_text().splitlines()[0].startswith("leg,symbol,expiry")
    assert straddle.read_text() == STRADDLE and straddle.stat().st_mtime_ns == before.st_mtime_ns


def test_the_plot_draws_the_payoff(capsys, straddle, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "payoff.png"
    code, _, err = run(capsys, "position", str(straddle), "--replay", NIFTY, "--as-captured",
                       "--at", "1", "--plot", str(target))
    assert code == 0 and err.splitlines()[-1].endswith(f"drew the payoff into {target}")
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_watch_prints_what_changed_until_ctrl_c(capsys, monkeypatch, straddle):
    pauses = []

    class TwoPauses:
        @staticmethod
        def sleep(seconds):
            pauses.append(seconds)
            if len(pauses) > 2:
                raise KeyboardInterrupt

    monkeypatch.setattr(greeks.cli.position, "time", TwoPauses)
    code, out, err = run(capsys, "position", str(straddle), "--replay", NIFTY, "--as-captured",
                         "--watch", "--interval", "0", "--alert", "value < 1e9",
                         "--alert", "theta > 1e9")
    assert code == 0, err
    assert out.endswith("\nStopped monitoring\n") and pauses == [0, 0, 0]
    # said once over the three cycles it held in; the other never held
    assert [line[:29] for line in err.splitlines() if "alert" in line] == [
        "greeks: alert: value < 1e9 (v"]
    cycles = out.split("Ctrl+C to stop\n")[1].splitlines()[:2]
    assert all(line.endswith("no change") for line in cycles)  # a replay does not move


@pytest.mark.parametrize("content, code, message", [
    (STRADDLE.replace(",PE,", ",XE,"), 2, "line 3, side: 'XE' is not a side"),
    (STRADDLE.replace("24600,CE", "24610,CE"), 2,
     "line 2, strike: NIFTY 07-Aug-2025 has no CE at strike 24610; the nearest listed are"),
    (STRADDLE.replace("-75,79.80", "0,79.80"), 2, "line 3, quantity: is zero"),
    (STRADDLE + "BANKNIFTY,31-Jul-2025,56000,CE,35,\n", 2, "--replay serves one underlying"),
    (None, 1, "cannot read"),
])
def test_a_bad_position_is_one_line(capsys, tmp_path, content, code, message):
    path = tmp_path / "position.csv"
    if content is not None:
        path.write_text(content)
    exit_code, out, err = run(capsys, "position", str(path), "--replay", NIFTY, "--as-captured")
    assert exit_code == code and out == ""
    assert message in err.splitlines()[-1] and len(err.splitlines()) <= 2
