"""Backtests over daily files against a brute force written leg by leg in pandas from the stated
rules, on a synthetic year in both layouts and on the real files; the costs against the
circulars' rates by hand; and strategies and files that are wrong."""
import datetime as dt
import math
import pathlib
import shutil
import zipfile

import numpy as np
import pandas as pd
import pytest

import backtests
import greeks.cli
from greeks.backtests import StrategyError, backtest
from greeks.backtests.costs import Charges

DATA = pathlib.Path(__file__).parent / "data"
STRADDLE = {"symbol": "NIFTY", "expiry": "weekly", "entry": {"days": 3}, "lot_size": 75,
            "costs": False,
            "legs": [{"side": "CE", "lots": -1, "strike": "ATM"},
                     {"side": "PE", "lots": -1, "strike": "ATM"}]}


@pytest.fixture(scope="module", params=["udiff", "older"])
def year(request, tmp_path_factory):
    folder = tmp_path_factory.mktemp(request.param)
    (backtests.write_udiff if request.param == "udiff" else backtests.write_older)(folder)
    return request.param, folder


def brute_force(layout, folder, entry_days, stop_loss=None):
    """The weekly short straddle by hand: every file read with pandas, each rule applied as the
    README states it."""
    frames = []
    for path in sorted(folder.iterdir()):
        if layout == "udiff":
            raw = pd.read_csv(path, dtype={"OptnTp": str})
            frames.append(pd.DataFrame({
                "day": pd.to_datetime(raw["TradDt"]), "expiry": pd.to_datetime(raw["XpryDt"]),
                "strike": raw["StrkPric"], "side": raw["OptnTp"], "close": raw["ClsPric"],
                "settle": raw["SttlmPric"], "volume": raw["TtlTradgVol"],
                "spot": raw["UndrlygPric"]}))
        else:
            raw = pd.read_csv(path, index_col=False)
            day = pd.to_datetime(raw["TIMESTAMP"].str.title(), format="%d-%b-%Y")
            expiry = pd.to_datetime(raw["EXPIRY_DT"], format="%d-%b-%Y")
            future = raw["INSTRUMENT"] == "FUTIDX"
            forwards = dict(zip(expiry[future], raw.loc[future, "CLOSE"]))
            frames.append(pd.DataFrame({
                "day": day, "expiry": expiry, "strike": raw["STRIKE_PR"],
                "side": raw["OPTION_TYP"], "close": raw["CLOSE"], "settle": raw["SETTLE_PR"],
                "volume": raw["CONTRACTS"], "spot": expiry.map(forwards)})[~future])
    legs = pd.concat(frames)
    legs["price"] = np.where(legs["volume"] > 0, legs["close"], legs["settle"])
    days = sorted(legs["day"].unique())
    trades = []
    for expiry in sorted(legs["expiry"].unique()):
        if expiry not in days or days.index(expiry) < entry_days - 1:
            continue
        entry = days[days.index(expiry) - entry_days + 1]
        today = legs[(legs["day"] == entry) & (legs["expiry"] == expiry)]
        spot = today["spot"].iloc[0]
        strikes = np.sort(today["strike"].unique())
        atm = strikes[np.argmin(np.abs(strikes - spot))]
        chosen = today[today["strike"] == atm].set_index("side")
        if (chosen["volume"] == 0).any():
            continue
        paid = chosen["price"]
        premium = 75 * (paid["CE"] + paid["PE"])
        exit_day, exit_prices = expiry, None
        for day in days[days.index(entry) + 1:days.index(expiry)]:
            later = legs[(legs["day"] == day) & (legs["expiry"] == expiry) &
                         (legs["strike"] == atm)].set_index("side")["price"]
            if stop_loss is not None and -75 * ((later - paid).sum()) <= -stop_loss * premium:
                exit_day, exit_prices = day, later
                break
        if exit_prices is None:
            final = legs[(legs["day"] == expiry)]["spot"].iloc[0]
            exit_prices = pd.Series({"CE": max(final - atm, 0.0), "PE": max(atm - final, 0.0)})
        trades.append((entry, exit_day, atm, paid["CE"], paid["PE"], exit_prices["CE"],
                       exit_prices["PE"], round(-75 * (exit_prices - paid).sum(), 2)))
    return trades


@pytest.mark.parametrize("entry_days, stop_loss", [(3, None), (4, 0.3)])
def test_a_year_of_weekly_straddles_matches_the_brute_force(year, entry_days, stop_loss):
    layout, folder = year
    strategy = {**STRADDLE, "entry": {"days": entry_days},
                **({"exit": {"stop_loss": stop_loss}} if stop_loss else {})}
    result = backtest(strategy, files=[folder])
    expected = brute_force(layout, folder, entry_days, stop_loss)
    assert len(expected) > 25 and len(result.trades) == len(expected)
    for row, (entry, leave, strike, ce, pe, ce_out, pe_out, gross) in zip(
            result.trades.sort_values("entry").itertuples(), expected):
        assert (row.entry, row.exit, row.strikes) == (entry, leave, [strike, strike])
        assert row.entry_prices == [ce, pe] and row.lots == [-1, -1] and row.lot_size == 75
        np.testing.assert_allclose(row.exit_prices, [ce_out, pe_out], atol=0.005)
        assert abs(row.gross_pnl - gross) < 0.005  # to the paisa
    if stop_loss:
        assert (result.trades["reason"] == "stop-loss").any()
    assert result.summary["trades"] == len(expected)
    assert result.equity["cumulative"].iloc[-1] == pytest.approx(result.trades["pnl"].sum())


def test_a_leg_that_did_not_trade_skips_its_trade_with_the_reason(year):
    result = backtest({**STRADDLE, "entry": {"days": 3}}, files=[year[1]])
    assert result.skipped["reason"].str.contains("did not trade on the entry day").all()
    assert len(result.skipped) > 0 and not result.trades["pnl"].isna().any()


def test_the_expiry_day_settles_at_intrinsic_value_not_at_the_files_settlement_price():
    # two real files: 3 February 2025 and the monthly expiry day, 27 February 2025, two trading
    # days apart as far as the files tell
    real = [DATA / f"BhavCopy_NSE_FO_0_0_0_{day}_F_0000.csv.zip" for day in (20250203, 20250227)]
    result = backtest({"symbol": "BANKNIFTY", "expiry": "monthly", "entry": {"days": 2},
                       "legs": [{"side": "PE", "lots": 1, "strike": "ATM+2"},
                                {"side": "CE", "lots": -1, "strike": "ATM-2"}]}, files=real)
    trade = result.trades.iloc[0]
    assert trade.reason == "expiry" and trade.expiry == pd.Timestamp("2025-02-27")
    entered = pd.read_csv(real[0], dtype=str)
    entered = entered[(entered["TckrSymb"] == "BANKNIFTY") & (entered["XpryDt"] == "2025-02-27")]
    assert trade.lot_size == int(entered["NewBrdLotQty"].iloc[0])
    expiring = pd.read_csv(real[1], dtype=str)
    expiring = expiring[(expiring["XpryDt"] == "2025-02-27") & (expiring["FinInstrmTp"] == "IDO")]
    final = float(expiring["UndrlygPric"].iloc[0])
    assert (expiring["SttlmPric"].astype(float) == final).all()  # the file's trap
    put, call = trade.strikes
    assert trade.exit_prices == [round(max(put - final, 0), 2), round(max(final - call, 0), 2)]
    assert abs(trade.gross_pnl - round(sum(
        lots * trade.lot_size * (out - paid) for lots, out, paid in
        zip(trade.lots, trade.exit_prices, trade.entry_prices)), 2)) < 0.005


@pytest.mark.parametrize("day, premium, bought, expected", [
    # sold 75 at ₹100 after 1 Oct 2024: STT 0.1 %, transaction 0.03503 %, SEBI ₹10 a crore,
    # GST 18 % on brokerage, transaction and SEBI
    (dt.date(2025, 2, 3), 7500.0, False, 20 + 2.62725 + 0.0075 + 0.18 * 22.63475 + 7.5),
    # bought the same before it: stamp 0.003 %, transaction 0.0495 %
    (dt.date(2024, 9, 2), 7500.0, True, 20 + 3.7125 + 0.0075 + 0.18 * 23.72 + 0.225),
    # sold after 1 April 2026: STT 0.15 %
    (dt.date(2026, 5, 4), 7500.0, False, 20 + 2.62725 + 0.0075 + 0.18 * 22.63475 + 11.25)])
def test_an_orders_costs_are_the_rates_in_force_on_its_date(day, premium, bought, expected):
    assert Charges().order(day, premium, bought) == pytest.approx(expected, rel=1e-12)
    assert Charges(enabled=False).order(day, premium, bought) == 0


@pytest.mark.parametrize("change, field", [
    ({"symbol": 5}, "symbol"), ({"expiry": "daily"}, "expiry"),
    ({"entry": {"days": 0}}, "entry.days"), ({"entry": {"weekday": "Sunday"}}, "entry.weekday"),
    ({"entry": {"days": 2, "weekday": "Monday"}}, "entry takes one of"),
    ({"legs": []}, "legs"), ({"legs": [{"side": "XX", "lots": 1}]}, "legs[1].side"),
    ({"legs": [{"side": "CE", "lots": 0}]}, "legs[1].lots"),
    ({"legs": [{"side": "CE", "lots": 1, "strike": "OTM"}]}, "legs[1].strike"),
    ({"legs": [{"side": "CE", "lots": 1, "strike": {"delta": "x"}}]}, "legs[1].strike"),
    ({"exit": {"stop": 0.5}}, "exit has no field 'stop'"), ({"costs": "no"}, "costs"),
    ({"lot_size": 1e12}, "lot_size")])
def test_a_wrong_strategy_names_its_field_in_one_line(change, field):
    with pytest.raises(StrategyError) as raised:
        backtest({**STRADDLE, **change}, files=[DATA])
    assert field in str(raised.value) and "\n" not in str(raised.value)


def test_the_command_prints_the_summary_and_trades_and_skips_a_damaged_day(tmp_path, capsys):
    folder = tmp_path / "files"
    folder.mkdir()
    backtests.write_udiff(folder)
    damaged = sorted(folder.iterdir())[40]
    damaged.write_bytes(b"PK\x03\x04 cut short")
    strategy = tmp_path / "straddle.toml"
    strategy.write_text('symbol = "NIFTY"\nexpiry = "weekly"\n[entry]\ndays = 3\n'
                        '[[legs]]\nside = "CE"\nlots = -1\nstrike = "ATM"\n')
    code = greeks.cli.main(["backtest", str(strategy), "--files", str(folder), "--csv",
                            str(tmp_path / "trades.csv")])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert out.startswith("trades ") and "reason" in out and damaged.name in err
    assert len(pd.read_csv(tmp_path / "trades.csv")) > 25
    assert greeks.cli.main(["backtest", str(strategy), "--store", str(tmp_path)]) == 1
    assert "holds no daily files" in capsys.readouterr().err
    strategy.write_text('symbol = "SBIN"\n[[legs]]\nside = "CE"\nlots = 1\n')
    assert greeks.cli.main(["backtest", str(strategy), "--files", str(folder)]) == 1
    assert capsys.readouterr().err.strip().endswith("hold no contract of SBIN")


@pytest.mark.parametrize("text", ["stop_loss", "legs.side=CE", "entry.days=5..1", "x y=1",
                                  "target=", "entry.days=1..99999"])
def test_a_wrong_vary_names_itself(text):
    from greeks.backtests.sweep import parse_vary

    with pytest.raises(StrategyError) as raised:
        parse_vary(text)
    assert "--vary" in str(raised.value) or "target" in str(raised.value)


def test_a_sweep_gives_each_variant_what_its_own_backtest_gives(tmp_path):
    from greeks.backtests import cache_of, daily_files
    from greeks.backtests.market import Market
    from greeks.backtests.sweep import sweep

    store = tmp_path / "store"
    files = store / "cache" / "bhavcopy"
    files.mkdir(parents=True)
    backtests.write_udiff(files)
    market = Market("NIFTY", daily_files(store), cache=cache_of(store))
    rows = sweep(STRADDLE, ["stop_loss=0.2,0.5,100", "entry.days=2..3"], market, workers=2,
                 parallel_from=0)
    assert list(rows[["exit.stop_loss", "entry.days"]].itertuples(index=False, name=None)) == [
        (0.2, 2), (0.2, 3), (0.5, 2), (0.5, 3), (100, 2), (100, 3)]
    for row in rows.to_dict("records"):
        alone = backtest({**STRADDLE, "entry": {"days": row["entry.days"]},
                          "exit": {"stop_loss": row["exit.stop_loss"]}}, store)
        assert row["total_pnl"] == pytest.approx(alone.summary["total_pnl"], abs=1e-6)
        assert row["trades"] == alone.summary["trades"]
    # the store kept what the files held; a file changed is read again
    kept = sorted((store / "cache" / "backtests").glob("*.parquet"))
    assert len(kept) == 1
    changed = sorted(files.iterdir())[5]
    changed.write_bytes(changed.read_bytes() + b"\n")
    backtest(STRADDLE, store)
    assert len(list((store / "cache" / "backtests").glob("*.parquet"))) == 2


def test_a_delta_rule_picks_the_strike_the_models_delta_puts_nearest(tmp_path):
    from scipy.special import ndtr

    backtests.write_udiff(tmp_path)
    result = backtest({**STRADDLE, "legs": [{"side": "CE", "lots": 1, "strike": {"delta": 0.25}},
                                            {"side": "PE", "lots": 1,
                                             "strike": {"delta": -0.3}}]}, files=[tmp_path])
    days = {day: spot for day, spot, _ in backtests.contracts()}
    assert len(result.trades) > 25
    for trade in result.trades.itertuples():
        spot = days[trade.entry.date()]
        years = (trade.expiry - trade.entry).days / 365.0
        listed = np.arange(-11, 12) * backtests.STEP + round(spot / backtests.STEP) * backtests.STEP
        root = backtests.VOL * math.sqrt(years)
        d1 = (np.log(spot / listed) + (backtests.RATE + backtests.VOL ** 2 / 2) * years) / root
        for strike, delta in zip(trade.strikes, (ndtr(d1), ndtr(d1) - 1)):
            want = 0.25 if strike == trade.strikes[0] else 0.3
            nearest = listed[np.argsort(np.abs(np.abs(delta) - want))[:2]]
            assert strike in nearest, (trade.entry, strike, nearest)


def test_after_a_stop_the_trade_is_entered_again_the_next_day_while_its_expiry_runs(tmp_path):
    backtests.write_udiff(tmp_path)
    strategy = {**STRADDLE, "entry": {"days": 5}, "exit": {"stop_loss": 0.2}}
    once = backtest(strategy, files=[tmp_path])
    again = backtest({**strategy, "exit": {"stop_loss": 0.2, "reenter": True}}, files=[tmp_path])
    stopped = once.trades[once.trades["reason"] == "stop-loss"]
    assert len(stopped) > 3 and len(again.trades) > len(once.trades)
    days = sorted(pd.to_datetime([day for day, _, _ in backtests.contracts()]))
    for trade in stopped.itertuples():
        later = again.trades[(again.trades["expiry"] == trade.expiry) &
                             (again.trades["entry"] > trade.entry)]
        following = days[days.index(trade.exit) + 1]
        if following < trade.expiry and not (again.skipped["entry"] == following).any():
            assert later["entry"].iloc[0] == following


def test_a_backtest_at_a_time_of_day_fills_at_the_first_capture_after_it(tmp_path):
    import greeks

    history = greeks.History(tmp_path / "store")
    spots = backtests.record_captures(history)
    result = backtest({**STRADDLE, "entry": {"days": 3, "time": "09:20"}}, tmp_path / "store")
    legs = history.legs("NIFTY")
    assert len(result.trades) >= 4
    for trade in result.trades.itertuples():
        spot = spots[(trade.entry.date(), "09:30")]  # the first capture at or after 09:20
        strike = trade.strikes[0]
        listed = np.unique(legs.loc[legs["expiry"] == trade.expiry, "strike"])
        assert strike == listed[np.argmin(np.abs(listed - spot))]
        years = (trade.expiry - trade.entry).days / 365.0
        model = [backtests.tick(backtests.black_scholes(spot, strike, years, side == "CE"))
                 for side in ("CE", "PE")]
        stored = legs[(legs["time"] == pd.Timestamp(f"{trade.entry.date()} 09:30+05:30")) &
                      (legs["expiry"] == trade.expiry) & (legs["strike"] == strike)]
        quoted = [bool((stored.loc[stored["side"] == side, "bid"] > 0).all())
                  for side in ("CE", "PE")]
        # the mid of a two-sided quote (here the model's price), else the last price
        assert trade.entry_prices == pytest.approx(
            [price if two_sided else price + 0.5 for price, two_sided in zip(model, quoted)])
        final = spots[(trade.expiry.date(), "15:25")]  # the expiry day's last capture
        assert trade.exit_prices == [round(max(final - strike, 0), 2),
                                     round(max(strike - final, 0), 2)]
    with pytest.raises(StrategyError, match="entry.time"):
        backtest({**STRADDLE, "entry": {"days": 3, "time": "9:75"}}, tmp_path / "store")


def test_a_planned_exit_at_a_time_of_day_takes_that_days_capture_after_it(tmp_path):
    import greeks

    history = greeks.History(tmp_path / "store")
    backtests.record_captures(history)
    result = backtest({**STRADDLE, "entry": {"days": 3, "time": "09:20"},
                       "exit": {"days": 2, "time": "15:00"}}, tmp_path / "store")
    legs = history.legs("NIFTY")
    assert len(result.trades) >= 4 and (result.trades["reason"] == "days before expiry").all()
    for trade in result.trades.itertuples():
        at = legs[(legs["time"] == pd.Timestamp(f"{trade.exit.date()} 15:25+05:30")) &
                  (legs["expiry"] == trade.expiry) & (legs["strike"] == trade.strikes[0])]
        priced = [row.bid / 2 + row.ask / 2 if row.bid > 0 and row.ask > 0 else row.last_price
                  for side in ("CE", "PE") for row in at[at["side"] == side].itertuples()]
        assert trade.exit_prices == pytest.approx(priced)
    with pytest.raises(StrategyError, match="exit.time goes with entry.time"):
        backtest({**STRADDLE, "exit": {"time": "15:00"}}, tmp_path / "store")
