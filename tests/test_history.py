"""The history store: captures read back by DuckDB and pyarrow, series against brute-force pandas,
IV rank on a known series, compaction, damaged files, a full disk, SIGKILL, and a backfill served
from a local archive."""
import copy
import datetime as dt
import http.server
import io
import os
import subprocess
import sys
import threading
import time
import warnings
import zipfile

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")

import greeks  # noqa: E402
import recorded  # noqa: E402
from greeks.history.history import rank_closes  # noqa: E402
from greeks.history.store import StoreWarning  # noqa: E402
from test_cli import run  # noqa: E402

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
SBIN = str(recorded.CHAIN_FILES["SBIN"])


def at(chain, stamp):
    chain = copy.deepcopy(chain)
    chain["records"]["timestamp"] = stamp
    return chain


@pytest.fixture
def history(tmp_path):
    return greeks.History(tmp_path / "store")


def test_a_capture_reads_back_through_duckdb_and_pyarrow(history, tmp_path):
    import pyarrow.dataset as ds

    chain = recorded.chain("SBIN")
    frame = history.record(chain)
    legs = history.legs("sbin")
    assert len(legs) == len(frame) and (legs["symbol"] == "SBIN").all()
    assert legs["time"].iloc[0] == pd.Timestamp("2025-07-17 15:30:00", tz="Asia/Kolkata")
    np.testing.assert_array_equal(legs["delta"], frame["delta"])
    table = ds.dataset(tmp_path / "store" / "legs", format="parquet",
                       partitioning="hive").to_table()
    assert table.num_rows == len(frame) and set(table.column("symbol").to_pylist()) == {"SBIN"}
    captured = dt.datetime(2025, 7, 17, 15, 30, tzinfo=dt.timezone(dt.timedelta(hours=5.5)))
    assert history.store.raw_payload("SBIN", captured) == chain


def max_pain(expiry_legs):
    """The strike paying the options' holders least, summed leg by leg (the lowest on a tie)."""
    legs = expiry_legs.fillna({"open_interest": 0})
    paid = {k: sum(row.open_interest * (max(k - row.strike, 0) if row.side == "CE" else
                                        max(row.strike - k, 0)) for row in legs.itertuples())
            for k in sorted(set(legs["strike"]))}
    return min(paid, key=lambda k: (paid[k], k))


def brute_force(frame):
    """The series' definitions written again with pandas, for one capture."""
    running = frame[frame["time_to_expiry"] > 0]
    calls, puts = frame[frame["side"] == "CE"], frame[frame["side"] == "PE"]

    def atm(expiry_legs):
        # At the money: the strike nearest the expiry's forward.
        forward = expiry_legs["forward"].iloc[0]
        strikes = np.unique(expiry_legs["strike"])
        strike = strikes[np.lexsort((strikes, np.abs(strikes - forward)))][0]
        vols = expiry_legs[(expiry_legs["strike"] == strike) & (expiry_legs["iv"] > 0)]["iv"]
        return vols.mean()

    near = running["expiry"].min()
    curve = sorted((group["time_to_expiry"].iloc[0], atm(group))
                   for _, group in running.groupby("expiry"))
    curve = [(t, v) for t, v in curve if np.isfinite(v)]
    target = 30 / 365
    below = [point for point in curve if point[0] <= target]
    above = [point for point in curve if point[0] >= target]
    (t1, v1), (t2, v2) = below[-1], above[0]
    w = v1 ** 2 * t1 + (v2 ** 2 * t2 - v1 ** 2 * t1) * (target - t1) / (t2 - t1)
    return {"pcr_oi": puts["open_interest"].sum() / calls["open_interest"].sum(),
            "pcr_volume": puts["volume"].sum() / calls["volume"].sum(),
            "oi_total": frame["open_interest"].sum(), "oi_change": frame["change_in_oi"].sum(),
            "max_pain": max_pain(frame[frame["expiry"] == near]),
            "atm_iv": atm(frame[frame["expiry"] == near]), "iv_30d": np.sqrt(w / target)}


@pytest.mark.parametrize("symbol", ["NIFTY", "BANKNIFTY"])
def test_the_series_matches_a_brute_force_computation(history, symbol):
    frame = history.record(recorded.chain(symbol))
    row = history.series(symbol).iloc[0]
    for name, expected in brute_force(frame).items():
        assert row[name] == pytest.approx(expected, rel=1e-12), name
    assert -0.2 < row["rr25"] < 0.2 and -0.2 < row["bf25"] < 0.2
    per_expiry = history.max_pain(symbol)
    for expiry, group in frame.groupby("expiry"):  # every expiry's, by the same brute force
        assert per_expiry[per_expiry["expiry"] == expiry]["max_pain"].item() == max_pain(group)


def test_iv_rank_and_percentile_on_a_known_series():
    closes = pd.Series([0.10, 0.20, 0.30, 0.15, 0.25, 0.25])
    ranked = rank_closes(closes, lookback=3)
    assert np.isnan(ranked["iv_rank"][:2]).all()  # no look-back of 3 closes yet
    np.testing.assert_allclose(ranked["iv_rank"][2:], [1.0, 0.0, (0.25 - 0.15) / (0.30 - 0.15),
                                                       (0.25 - 0.15) / (0.25 - 0.15)])
    np.testing.assert_allclose(ranked["iv_percentile"][2:], [1.0, 0.0, 0.5, 0.5])


def test_compaction_keeps_every_capture_once(history):
    chain = recorded.chain("SBIN")
    for minute in range(3):
        history.record(at(chain, f"17-Jul-2025 15:2{minute}:00"))
    before = history.series("SBIN")
    history.compact("SBIN", dt.date(2025, 7, 17))
    folder = history.store.root / "legs" / "symbol=SBIN" / "date=2025-07-17"
    assert [path.name for path in folder.iterdir()] == ["day.parquet"]
    pd.testing.assert_frame_equal(history.series("SBIN"), before)


def test_a_damaged_file_is_skipped_with_a_warning_naming_it(history):
    chain = recorded.chain("SBIN")
    history.record(at(chain, "17-Jul-2025 15:20:00"))
    history.record(at(chain, "17-Jul-2025 15:21:00"))
    damaged = sorted((history.store.root / "legs").rglob("*.parquet"))[1]
    damaged.write_bytes(damaged.read_bytes()[:500])  # cut short, as a full disk would
    with pytest.warns(StoreWarning, match=f"skipping {damaged}"):
        assert len(history.series("SBIN")) == 1


def test_a_full_disk_is_one_line_and_keeps_the_earlier_captures(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=600k", "tmpfs", str(disk)],
                      capture_output=True).returncode != 0:
        pytest.skip("mounting a small tmpfs needs root")
    try:
        done = subprocess.run([sys.executable, "-m", "greeks", "record", "NIFTY", "--store",
                               str(disk / "store"), "--every", "0", "--always", "--replay", NIFTY],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 1
        assert done.stderr.splitlines()[-1].startswith(
            f"greeks record: error: cannot write to the store {disk / 'store'}: No space left")
        kept = greeks.History(disk / "store").sql("SELECT time, count(*) AS legs FROM legs "
                                                  "GROUP BY time")
        assert len(kept) >= 1 and (kept["legs"] == 1346).all()
    finally:
        subprocess.run(["umount", str(disk)])


KILLER = """
import os, random, signal, sys, time
import greeks.cli
import greeks.greeks, greeks.cli.record, greeks.chains.frame  # loaded once, not per child
import greeks.history.history
from greeks.history.store import Store

store, replay = sys.argv[1], sys.argv[2]
rng = random.Random(50)
# The sanitizer build runs several times slower: wait longer for captures to be under way.
slowness = 3.0 if os.environ.get("GREEKS_EXPECT_SANITIZED") else 1.0
counts = []
for _ in range(50):
    child = os.fork()  # this process never starts DuckDB, so forking it is safe
    if child == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        try:
            greeks.cli.main(["record", "SBIN", "--store", store, "--every", "0", "--always",
                             "--replay", replay])
        finally:
            os._exit(0)
    time.sleep(rng.uniform(0.0, 0.6) * slowness)
    os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
    counts.append(len(Store(store).files("SBIN")))
print(" ".join(map(str, counts)))
"""


def test_sigkill_at_random_moments_leaves_whole_captures_only(tmp_path):
    store = tmp_path / "store"
    done = subprocess.run([sys.executable, "-c", KILLER, str(store), SBIN], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    counts = list(map(int, done.stdout.split()))
    assert len(counts) == 50 and counts == sorted(counts) and counts[-1] >= 3
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no file is skipped: none is partial
        legs = greeks.History(store).sql("SELECT filename, count(*) AS legs FROM legs "
                                         "GROUP BY filename")
    whole = len(greeks.chain_greeks(recorded.chain("SBIN")))
    assert len(legs) == counts[-1] and (legs["legs"] == whole).all()


def daily_file(day, chain):
    """A UDiFF daily file for one trading day, made from a recorded chain's traded legs."""
    spot = chain["records"]["underlyingValue"]
    lines = ["TradDt,BizDt,Sgmt,Src,FinInstrmTp,FinInstrmId,ISIN,TckrSymb,SctySrs,XpryDt,"
             "FininstrmActlXpryDt,StrkPric,OptnTp,FinInstrmNm,OpnPric,HghPric,LwPric,ClsPric,"
             "LastPric,PrvsClsgPric,UndrlygPric,SttlmPric,OpnIntrst,ChngInOpnIntrst,TtlTradgVol,"
             "TtlTrfVal,TtlNbOfTxsExctd,SsnId,NewBrdLotQty,Rmks,Rsvd1,Rsvd2,Rsvd3,Rsvd4"]
    for row in chain["records"]["data"]:
        expiry = dt.datetime.strptime(row["expiryDate"], "%d-%b-%Y").date()
        for side in ("CE", "PE"):
            leg = row.get(side)
            if leg and leg["lastPrice"] > 0:
                lines.append(f"{day},{day},FO,NSE,STO,1,,SBIN,,{expiry},{expiry},"
                             f"{row['strikePrice']:.2f},{side},x,0,0,0,{leg['lastPrice']},"
                             f"{leg['lastPrice']},0,{spot},{leg['lastPrice']},"
                             f"{leg['openInterest']},0,{leg['totalTradedVolume']},0,0,F1,750,,,,,")
    lines.append(f"{day},{day},FO,NSE,STF,2,,SBIN,,2025-07-31,2025-07-31,,,x,0,0,0,830,830,0,"
                 f"{spot},830,1,0,1,0,0,F1,750,,,,,")
    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w") as archive:
        archive.writestr(f"BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv", "\n".join(lines))
    return packed.getvalue()


def test_backfill_from_a_local_archive_reprices_every_settlement(capsys, tmp_path):
    chain = recorded.chain("SBIN")
    files = {f"/fo/BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv.zip": daily_file(day, chain)
             for day in (dt.date(2025, 7, 17), dt.date(2025, 7, 21))}
    asked = []

    class Archive(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            asked.append(self.path)
            body = files.get(self.path)
            self.send_response(200 if body else 404)
            self.end_headers()
            self.wfile.write(body or b"")

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Archive)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        argv = ["backfill", "SBIN", "--store", str(tmp_path / "store"), "--from", "2025-07-17",
                "--to", "2025-07-21", "--archive-url", f"http://127.0.0.1:{server.server_port}/fo"]
        code, _, err = run(capsys, *argv)
        assert code == 0, err
        assert "no daily file for 18-Jul-2025 (a holiday?); skipped" in err
        assert len(asked) == 3  # the weekend is never asked for
        code, _, err = run(capsys, *argv)  # again: downloads cached, days stored once
        assert code == 0 and len(asked) == 4 and err.count("already stored") == 2
    finally:
        server.shutdown()
    legs = greeks.History(tmp_path / "store").legs("SBIN")
    assert sorted(set(legs["time"].dt.strftime("%Y-%m-%d %H:%M"))) == [
        "2025-07-17 15:30", "2025-07-21 15:30"]
    solved = legs[legs["iv_source"] == "solved"]
    assert len(solved) > 20
    # Each expiry priced on its parity forward: at the carry q = r - ln(F/S)/T it implies.
    carry = 0.07 - np.log(solved["forward"] / solved["spot"]) / solved["time_to_expiry"]
    assert (solved["forward_source"] == "parity").all() and (solved["model"] == "forward").all()
    repriced = greeks.option_price(solved["spot"], solved["strike"], solved["time_to_expiry"],
                                   0.07, solved["iv"], solved["side"] == "CE",
                                   dividend_yield=carry)
    np.testing.assert_allclose(repriced, solved["last_price"], rtol=1e-10)


def test_the_history_command_prints_and_writes_the_series(capsys, tmp_path):
    store = tmp_path / "store"
    history = greeks.History(store)
    for day in range(3):
        history.record(at(recorded.chain("SBIN"), f"1{5 + day}-Jul-2025 15:30:00"))
    code, out, err = run(capsys, "history", "SBIN", "--store", str(store), "--lookback", "2",
                         "--csv", str(tmp_path / "series.csv"))
    assert code == 0, err
    assert out.splitlines()[0].split()[:4] == ["time", "spot", "atm", "iv%"]
    written = pd.read_csv(tmp_path / "series.csv")
    assert list(written.columns) == ["time", "spot", "atm_iv", "iv_30d", "rr25", "bf25", "pcr_oi",
                                     "pcr_volume", "max_pain", "oi_total", "oi_change", "iv_rank",
                                     "iv_percentile"]
    assert written["iv_percentile"].notna().sum() == 2


def test_a_stored_capture_replays_as_the_recording_it_came_from(capsys, tmp_path):
    greeks.History(tmp_path / "store").record(recorded.chain("SBIN"))
    sbin = str(recorded.CHAIN_FILES["SBIN"])
    code, expected, err = run(capsys, "chain", "SBIN", "--replay", sbin, "--as-captured")
    assert code == 0, err
    code, out, err = run(capsys, "chain", "SBIN", "--replay",
                         f"{tmp_path / 'store'}@2025-07-17T15:31", "--as-captured")
    assert code == 0 and out == expected, err
    code, _, err = run(capsys, "chain", "SBIN", "--replay",
                       f"{tmp_path / 'store'}@2025-07-17T09:00", "--as-captured")
    assert code == 1 and "holds no SBIN capture on 17-Jul-2025 at or before 09:00:00" in err


def test_backfill_reads_local_files_and_folders(capsys, tmp_path):
    folder = tmp_path / "daily"
    folder.mkdir()
    for day in (dt.date(2025, 7, 17), dt.date(2025, 7, 18)):
        (folder / f"BhavCopy_NSE_FO_0_0_0_{day:%Y%m%d}_F_0000.csv.zip").write_bytes(
            daily_file(day, recorded.chain("SBIN")))
    store = str(tmp_path / "store")
    code, _, err = run(capsys, "backfill", "SBIN", "--store", store, "--files", str(folder))
    assert code == 0 and err.count("volatilities solved from the settlement price") == 2, err
    assert greeks.History(store).store.days("SBIN") == [dt.date(2025, 7, 17),
                                                        dt.date(2025, 7, 18)]
    code, _, err = run(capsys, "backfill", "SBIN", "--store", store, "--files",
                       str(tmp_path / "missing.zip"))
    assert code == 1 and err.splitlines()[-1].endswith(f"there is no file or folder "
                                                       f"{tmp_path / 'missing.zip'}")


def test_sigterm_during_a_capture_lets_it_finish_then_stops(capsys, monkeypatch, tmp_path):
    import signal

    record = greeks.History.record

    def record_then_terminated(self, *args, **kwargs):
        os.kill(os.getpid(), signal.SIGTERM)  # arrives mid-capture
        return record(self, *args, **kwargs)

    monkeypatch.setattr(greeks.History, "record", record_then_terminated)
    handlers = signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGTERM)
    try:
        code, _, err = run(capsys, "record", "SBIN", "--store", str(tmp_path / "store"),
                           "--every", "0", "--always", "--replay", SBIN)
    finally:
        signal.signal(signal.SIGINT, handlers[0])
        signal.signal(signal.SIGTERM, handlers[1])
    assert code == 0 and err.splitlines()[-1] == "greeks: stopped recording"
    assert "SBIN 118 legs" in err and len(greeks.History(tmp_path / "store").store.files()) == 1


def test_a_daily_file_in_the_older_layout_backfills_on_its_futures_and_parity(capsys, tmp_path):
    # 1 January 2020, NIFTY's rows of the exchange's file (zipped): no underlying price, no lot size
    path = os.path.join(os.path.dirname(__file__), "data", "fo01JAN2020bhav-nifty.csv.zip")
    store = str(tmp_path / "store")
    code, _, err = run(capsys, "backfill", "NIFTY", "--store", store, "--files", path)
    assert code == 0, err
    legs = greeks.History(store).legs("NIFTY")
    rows = pd.read_csv(path, index_col=False)
    options = rows[rows["INSTRUMENT"] == "OPTIDX"]
    assert len(legs) == len(options) and legs["lot_size"].isna().all()
    near = rows[rows["INSTRUMENT"] == "FUTIDX"].iloc[0]
    assert (legs["spot"] == near["CLOSE"]).all()  # the nearest future stands in for the spot
    january = legs[legs["expiry"] == pd.Timestamp("2020-01-30")]
    assert (january["forward_source"] == "parity").all()
    assert abs(january["forward"].iloc[0] / near["CLOSE"] - 1) < 0.002  # its future, by parity
    # the settlement price, else (where the file gives 0) the close
    judged = options.set_index(["STRIKE_PR", "OPTION_TYP", "EXPIRY_DT"])
    judged = judged["SETTLE_PR"].where(judged["SETTLE_PR"] > 0, judged["CLOSE"])
    for leg in legs.iloc[::97].itertuples():
        assert leg.last_price == judged[(leg.strike, leg.side, f"{leg.expiry:%d-%b-%Y}")]
