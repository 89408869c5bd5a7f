"""Lot sizes by contract and date, from the exchange's own daily files and its lot-size file, and a
store whose captures were priced under different models."""
import datetime as dt
import warnings

import pandas as pd
import pytest

pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")

import greeks  # noqa: E402
import recorded  # noqa: E402
from greeks.exchange import lots  # noqa: E402
from greeks.history.store import StoreWarning  # noqa: E402
from test_cli import run  # noqa: E402

# BANKNIFTY's lot was 30 in February 2025 and 35 in September (the daily files' NewBrdLotQty).
DAILY_FILES = [recorded.DATA / f"BhavCopy_NSE_FO_0_0_0_{day}_F_0000.csv.zip"
               for day in ("20250203", "20250911")]


@pytest.fixture
def backfilled(capsys, tmp_path):
    store = tmp_path / "store"
    code, _, err = run(capsys, "backfill", "BANKNIFTY", "--store", str(store), "--files",
                       *map(str, DAILY_FILES))
    assert code == 0, err
    return store


@pytest.fixture
def lot_size_file(monkeypatch):
    """The exchange's lot-size file as nsepython reads it: a size per expiry month."""
    served = []
    table = pd.DataFrame({"UNDERLYING": ["BANK NIFTY", "NIFTY 50"], "SYMBOL": ["BANKNIFTY", "NIFTY"],
                          "DEC-26": ["30", "65"], "JAN-27": ["30", "60"]})

    def fetch(symbol="all", mode="list"):
        served.append((symbol, mode))
        return table

    monkeypatch.setattr("nsepython.nse_get_fno_lot_sizes", fetch)
    monkeypatch.setattr(lots, "EXCHANGE_FILE", {})
    return served


@pytest.mark.parametrize("on, expiry, size", [
    (dt.date(2025, 2, 3), None, 30), (dt.date(2025, 2, 10), dt.date(2025, 3, 27), 30),
    (dt.date(2025, 9, 11), None, 35), (dt.date(2026, 1, 5), dt.date(2025, 10, 28), 35)])
def test_a_stored_daily_file_gives_each_contracts_lot_size(backfilled, on, expiry, size):
    assert greeks.lot_size("banknifty", on, backfilled, expiry=expiry) == size
    assert greeks.History(backfilled).lot_size("BANKNIFTY", on, expiry=expiry) == size


def test_the_exchanges_file_answers_where_the_store_does_not(backfilled, lot_size_file):
    assert greeks.lot_size("NIFTY", store=backfilled, expiry=dt.date(2027, 1, 28)) == 60
    assert greeks.lot_size("NIFTY", expiry=dt.date(2026, 12, 29)) == 65
    assert greeks.lot_size("NIFTY") == 65  # the nearest month listed
    assert greeks.lot_size("BANKNIFTY", dt.date(2024, 1, 1), backfilled) == 30
    assert len(lot_size_file) == 1  # read once a day


def test_no_lot_size_names_both_sources(backfilled):
    with pytest.raises(LookupError) as raised:
        greeks.lot_size("BANKNIFTY", dt.date(2024, 1, 1), backfilled)
    assert "holds no daily file of BANKNIFTY on or before 01-Jan-2024" in str(raised.value)
    assert "lot-size file could not be read" in str(raised.value)


def test_a_leg_in_lots_takes_its_contracts_lot_size(lot_size_file, tmp_path):
    path = tmp_path / "lots.toml"
    path.write_text('[[leg]]\nsymbol = "NIFTY"\nexpiry = "2026-12-29"\nstrike = 24600\n'
                    'side = "CE"\nlots = -2\n')
    (leg,) = greeks.Position.from_file(path).legs
    assert (leg.quantity, leg.lot_size, leg.lots) == (-130, 65, -2)


def test_a_store_priced_under_two_models_warns_and_reprices_in_one_command(capsys, tmp_path):
    store = tmp_path / "store"
    history = greeks.History(store)
    chain = recorded.chain("SBIN")
    history.record(chain, model="spot")
    later = {**chain, "records": {**chain["records"], "timestamp": "17-Jul-2025 15:31:00"}}
    history.record(later)
    with pytest.warns(StoreWarning, match="mixes captures priced under the forward and spot"):
        history.series("SBIN")
    code, _, err = run(capsys, "reprice", "SBIN", "--store", str(store), "--date", "2025-07-17")
    assert code == 0 and "repriced 2 SBIN captures of 17-Jul-2025" in err, err
    with warnings.catch_warnings():
        warnings.simplefilter("error", StoreWarning)
        series = history.series("SBIN")
    assert len(series) == 2
    legs = history.legs("SBIN")
    assert (legs["model"] == "forward").all()
    again = greeks.chain_greeks(chain)
    first = legs[legs["time"] == legs["time"].min()].reset_index(drop=True)
    pd.testing.assert_series_equal(first["iv"], again["iv"], check_names=False)


def test_a_store_written_before_the_forward_model_still_opens(tmp_path):
    import pyarrow.parquet as pq

    history = greeks.History(tmp_path / "store")
    history.record(recorded.chain("SBIN"), model="spot")
    (path,) = (tmp_path / "store" / "legs").rglob("*.parquet")
    old = pq.read_table(path)
    pq.write_table(old.drop([name for name in old.column_names if name in (
        "exchange_iv", "price", "price_source", "forward", "forward_source", "lot_size",
        "model")]), path)
    series = history.series("SBIN")
    assert len(series) == 1 and series["atm_iv"].notna().all()
    assert history.legs("SBIN")["model"].isna().all()
    assert history.compact("SBIN", dt.date(2025, 7, 17)) is not None
