"""The command line against today's payloads, served through nsepython's own regrouping: chain,
watch on both clocks, record and replay, probe."""
import datetime as dt
import json

import pytest

import greeks.greeks as module
import payloads
import recorded
from greeks.exchange.recordings import weeks_forward
from test_cli import run, stop_watches_at_pause

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
NEAREST = "2025-08-07"


@pytest.fixture(autouse=True)
def restore_the_exchange(monkeypatch):
    monkeypatch.setattr(module, "nse_optionchain_scrapper", module.nse_optionchain_scrapper)


@pytest.mark.parametrize("variant", ["CE/PE", "Call/Put", "padded text strikes"])
def test_chain_reads_todays_payload_as_the_recording_reads(capsys, monkeypatch, variant):
    code, expected, err = run(capsys, "chain", "NIFTY", "--replay", NIFTY, "--as-captured")
    assert code == 0, err
    payloads.serve_through_nsepython(monkeypatch, payloads.per_contract_payload(variant))
    code, out, err = run(capsys, "chain", "NIFTY")
    assert code == 0, err
    assert out == expected


def test_record_then_replay_keeps_todays_payload(capsys, monkeypatch, tmp_path):
    payloads.serve_through_nsepython(monkeypatch, payloads.per_contract_payload("Call/Put"))
    path = tmp_path / "nifty.json"
    code, _, err = run(capsys, "record", "NIFTY", str(path))
    assert code == 0, err
    saved = json.loads(path.read_text())  # as nsepython regrouped it: sides under Call and Put
    assert "records" not in saved and all("Call" in row or "Put" in row for row in saved["data"])
    live = run(capsys, "chain", "NIFTY")[1]
    code, replayed, err = run(capsys, "chain", "NIFTY", "--replay", str(path), "--as-captured")
    assert code == 0 and replayed == live, err


@pytest.mark.parametrize("side", ["CE", "PE"])
def test_the_watch_on_the_close_clock_agrees_with_the_chain_table(capsys, monkeypatch, tmp_path,
                                                                   side):
    path = tmp_path / "today.json"
    path.write_text(json.dumps(payloads.per_contract_payload("Call/Put")))
    stop_watches_at_pause(monkeypatch)
    code, out, err = run(capsys, "watch", "NIFTY", "24600", NEAREST, side, "--replay", str(path),
                         "--as-captured")
    assert code == 0, err
    report = dict(line.split(": ") for line in out.splitlines() if ": " in line)
    code, table, err = run(capsys, "chain", "NIFTY", "--replay", str(path), "--as-captured")
    cells = next(line for line in table.splitlines() if ">24600" in line).split()
    # calls: vega theta gamma delta iv% last strike; puts: last iv% delta gamma theta vega
    call, put = dict(zip(["vega", "theta", "gamma", "delta", "iv", "last"], cells[:6])), \
        dict(zip(["last", "iv", "delta", "gamma", "theta", "vega"], cells[7:]))
    shown = call if side == "CE" else put
    assert f"{float(report['Delta']):.4f}" == shown["delta"]
    assert f"{float(report['Theta']):.2f}" == shown["theta"]
    assert f"{float(report['Vega']):.2f}" == shown["vega"]
    assert report["IV"] == shown["iv"].rstrip("*") + "%" and report["Option Price"] == shown["last"]


def test_the_days_clock_runs_kestrava_on_todays_payload(capsys, monkeypatch, tmp_path):
    # The module counts days from the machine's clock: the replay moves the chain ahead of today.
    expiry = dt.date(2025, 8, 7) + weeks_forward(dt.date(2025, 8, 5), dt.date.today())
    path = tmp_path / "today.json"
    path.write_text(json.dumps(payloads.per_contract_payload("Call/Put")))
    stop_watches_at_pause(monkeypatch)
    code, out, err = run(capsys, "watch", "NIFTY", "24600", f"{expiry:%Y-%m-%d}", "--clock",
                         "days", "--replay", str(path))
    assert code == 0, err
    assert "Spot: 24623.45" in out and "IV: 11.80%" in out and "Error" not in out
    assert out.endswith("Stopped monitoring\n")


def test_a_solved_volatility_is_said_on_standard_error(capsys, monkeypatch, tmp_path):
    payload = payloads.per_contract_payload("CE/PE")
    for record in payload["data"]:
        record.pop("impliedVolatility", None)
    path = tmp_path / "no-iv.json"
    path.write_text(json.dumps(payload))
    stop_watches_at_pause(monkeypatch)
    code, out, err = run(capsys, "watch", "NIFTY", "24600", NEAREST, "--replay", str(path),
                         "--as-captured")
    assert code == 0 and "Data received successfully!" in out and "nan" not in out
    assert "publishes no volatility for NIFTY 24600 CE; the watch solves one" in err


@pytest.mark.parametrize("variant, holders, left_out", [
    ("CE/PE", "633 under 'CE'", "1 futures or other non-options, 0 unreadable, 0 duplicates"),
    ("Call/Put", "633 under 'Call'", "1 futures"),
])
def test_probe_says_what_one_fetch_held(capsys, monkeypatch, variant, holders, left_out):
    payloads.serve_through_nsepython(monkeypatch, payloads.per_contract_payload(variant))
    code, out, err = run(capsys, "probe", "NIFTY")
    assert code == 0, err
    lines = {line[:12].strip(): line[12:] for line in out.splitlines()[1:]
             if not line.startswith(" ")}
    assert lines["symbol"] == "NIFTY" and lines["captured"] == payloads.TIMESTAMP
    assert lines["shape"] == "a top-level 'data', 758 rows"
    assert lines["legs"].startswith("1346 (633 calls, 713 puts)") and holders in lines["legs"]
    assert lines["left out"].startswith(left_out)
    assert lines["spot"] == "24623.45 from the legs"
    assert "  bid               bidprice 1346" in out
    # The forward put-call parity gives, beside the future the payload carries for that expiry.
    assert "  28-Aug-2025  24685.41 (parity); future 24650.00 (+14.4 bp)" in out


def test_probe_of_a_recording_describes_it_as_captured(capsys):
    code, out, err = run(capsys, "probe", "NIFTY", "--replay", NIFTY)
    assert code == 0, err
    assert "captured    05-Aug-2025 13:59:23" in out and "from the records" in out


def test_a_chain_without_a_spot_is_one_line_and_exit_1(capsys, monkeypatch):
    payload = payloads.per_contract_payload("CE/PE")
    for record in payload["data"]:
        record.pop("underlyingValue", None)
    payloads.serve_through_nsepython(monkeypatch, payload)
    for command in (["chain", "NIFTY"], ["watch", "NIFTY", "24600", NEAREST]):
        code, out, err = run(capsys, *command)
        assert code == 1 and out == ""
        assert err.splitlines()[-1] == (f"greeks {command[0]}: error: the chain carries no price "
                                        f"of the underlying")
