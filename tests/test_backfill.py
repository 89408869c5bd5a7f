"""Backfilling every symbol of a daily file in one pass: what it stores is what recording each
symbol's chain of that day stores, and the prices are the file's own (read apart, by pandas)."""
import datetime as dt
import warnings

import numpy as np
import pytest

pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")

import pandas as pd  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import greeks  # noqa: E402
import recorded  # noqa: E402
from greeks.history.bhavcopy import read_text  # noqa: E402
from greeks.history.daily_rows import chains, read_rows  # noqa: E402
from greeks.market import INDIA  # noqa: E402
from test_cli import run  # noqa: E402

DAILY_FILES = ["BhavCopy_NSE_FO_0_0_0_20250203_F_0000.csv.zip",
               "BhavCopy_NSE_FO_0_0_0_20250227_F_0000.csv.zip",
               "BhavCopy_NSE_FO_0_0_0_20250911_F_0000.csv.zip", "fo01JAN2020bhav-nifty.csv.zip"]
PRICING = greeks.Pricing(iv="solve", price="last")


def file_prices(path):
    """Each option's settlement price, else its close, by (symbol, expiry, strike, side), read
    by pandas with Python's own float parsing."""
    rows = pd.read_csv(path, index_col=False, dtype=str, float_precision="round_trip")
    rows.columns = rows.columns.str.strip()
    if "SYMBOL" in rows:
        rows = rows.rename(columns={"SYMBOL": "TckrSymb", "EXPIRY_DT": "XpryDt", "STRIKE_PR":
                                    "StrkPric", "OPTION_TYP": "OptnTp", "CLOSE": "ClsPric",
                                    "SETTLE_PR": "SttlmPric", "INSTRUMENT": "FinInstrmTp"})
        rows["FinInstrmTp"] = rows["FinInstrmTp"].replace({"OPTIDX": "IDO", "OPTSTK": "STO"})
    rows = rows[rows["FinInstrmTp"].isin(["IDO", "STO"])]
    settle, close = rows["SttlmPric"].map(float), rows["ClsPric"].map(float)
    price = settle.where(settle > 0, close)
    expiry = pd.to_datetime(rows["XpryDt"], format="mixed").dt.date
    return dict(zip(zip(rows["TckrSymb"], expiry, rows["StrkPric"].map(float), rows["OptnTp"]),
                    price))


def two_symbols_shuffled(folder):
    """The real BANKNIFTY file beside a half-sized copy under another name, every line shuffled:
    two chains whose rows interleave."""
    import random
    import zipfile

    name = DAILY_FILES[0]
    header, *lines = zipfile.ZipFile(recorded.DATA / name).read(name[:-4]).decode().splitlines()
    fields = header.split(",")
    halved = [fields.index(column) for column in ("StrkPric", "ClsPric", "SttlmPric",
                                                  "UndrlygPric")]
    copies = []
    for line in lines:
        cells = line.split(",")
        cells[fields.index("TckrSymb")] = "HALFBANK"
        for place in halved:
            cells[place] = f"{float(cells[place]) / 2:.2f}" if cells[place] else ""
        copies.append(",".join(cells))
    mixed = lines + copies
    random.Random(7).shuffle(mixed)
    path = folder / name
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(name[:-4], "\n".join([header, *mixed]) + "\n")
    return path


@pytest.mark.parametrize("name", [*DAILY_FILES, two_symbols_shuffled])
def test_every_symbol_stored_as_recording_its_chain_stores_it(capsys, tmp_path, name):
    path = name(tmp_path) if callable(name) else recorded.DATA / name
    code, _, err = run(capsys, "backfill", "--all", "--store", str(tmp_path / "fast"), "--files",
                       str(path))
    assert code == 0, err
    fast, slow = greeks.History(tmp_path / "fast"), greeks.History(tmp_path / "slow")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # an expiry day's expired legs
        for symbol, _, chain in chains(read_rows(read_text(path))):
            slow.record(chain, symbol=symbol, pricing=PRICING)
    symbols = sorted({symbol for symbol, _, _ in fast.store.partitions()})
    assert symbols == sorted({symbol for symbol, _, _ in slow.store.partitions()}) and symbols
    prices = file_prices(path)
    for symbol in symbols:
        (ours,), (theirs,) = fast.store.files(symbol), slow.store.files(symbol)
        stored = pq.read_table(ours)
        assert stored.equals(pq.read_table(theirs)), symbol
        legs = stored.to_pandas()
        keys = zip([symbol] * len(legs), pd.to_datetime(legs["expiry"]).dt.date, legs["strike"],
                   legs["side"])
        np.testing.assert_array_equal(legs["last_price"], [prices[key] for key in keys])
    assert len(prices) == sum(pq.read_metadata(path).num_rows for path in fast.store.files())


def test_a_backfilled_day_replays_and_reprices_from_the_files_own_lines(capsys, tmp_path):
    path = recorded.DATA / DAILY_FILES[0]
    store = str(tmp_path / "store")
    assert run(capsys, "backfill", "BANKNIFTY", "--store", store, "--files", str(path))[0] == 0
    history = greeks.History(store)
    (kept,) = (tmp_path / "store" / "raw").glob("symbol=BANKNIFTY/date=2025-02-03/*.csv.gz")
    close = dt.datetime(2025, 2, 3, 15, 30, tzinfo=INDIA)
    ((_, _, chain),) = chains(read_rows(read_text(path), {"BANKNIFTY"}))
    assert history.store.raw_payload("BANKNIFTY", close) == chain
    code, out, err = run(capsys, "chain", "BANKNIFTY", "--replay", f"{store}@2025-02-03T15:30",
                         "--as-captured", "--iv", "solve", "--price", "last")
    assert code == 0 and "Traceback" not in err and out.count("\n") > 10
    assert history.reprice("BANKNIFTY", "2025-02-03", model="spot", iv="solve",
                           price="last") == 1
    legs = history.legs("BANKNIFTY")
    sides = sum(len(row) - 2 for row in chain["records"]["data"])  # a row: strike, expiry, sides
    assert (legs["model"] == "spot").all() and len(legs) == sides


@pytest.mark.parametrize("arguments", [["--all", "NIFTY"], []])
def test_backfill_takes_symbols_or_all(capsys, tmp_path, arguments):
    code, out, err = run(capsys, "backfill", *arguments, "--store", str(tmp_path),
                         "--files", str(recorded.DATA / DAILY_FILES[0]))
    assert code == 2 and out == "" and len(err.splitlines()) == 1
    assert "name the symbols to backfill, or give --all (not both)" in err


def test_two_backfills_of_one_file_at_once_store_each_day_once(tmp_path):
    import subprocess
    import sys

    path = two_symbols_shuffled(tmp_path)
    store = tmp_path / "store"
    command = [sys.executable, "-m", "greeks", "backfill", "--all", "--store", str(store),
               "--files", str(path)]
    runs = [subprocess.Popen(command, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    errors = [run.communicate(timeout=120)[1] for run in runs]
    assert [run.returncode for run in runs] == [0, 0], errors
    assert sum(error.count("already stored") for error in errors) == 2
    for kind, pattern in (("legs", "*.parquet"), ("raw", "*.csv.gz")):
        held = sorted(folder.name for folder in (store / kind).glob("symbol=*"))
        assert held == ["symbol=BANKNIFTY", "symbol=HALFBANK"]
        assert [len(list(folder.glob(f"date=*/{pattern}"))) for folder in
                (store / kind).glob("symbol=*")] == [1, 1]


@pytest.mark.parametrize("kept, reason", [(b"not gzip", "is damaged"),
                                          (b"TradDt,Nothing\n", "cannot be read")])
def test_damaged_kept_lines_are_one_line(capsys, tmp_path, kept, reason):
    import gzip

    store = str(tmp_path / "store")
    path = recorded.DATA / DAILY_FILES[0]
    assert run(capsys, "backfill", "BANKNIFTY", "--store", store, "--files", str(path))[0] == 0
    (payload,) = (tmp_path / "store" / "raw").glob("symbol=BANKNIFTY/*/*.csv.gz")
    payload.write_bytes(kept if reason == "is damaged" else gzip.compress(kept))
    code, out, err = run(capsys, "chain", "BANKNIFTY", "--replay", f"{store}@2025-02-03T15:30")
    assert code == 1 and out == "" and reason in err and len(err.splitlines()) == 1


@pytest.mark.parametrize("umask", [0o022, 0o027, 0o077])
def test_written_files_take_the_umasks_mode(tmp_path, umask):
    import os

    from greeks.atomic import replace_atomically

    before = os.umask(umask)
    try:
        target = replace_atomically(tmp_path / "file", lambda path: open(path, "w").close())
    finally:
        os.umask(before)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask
