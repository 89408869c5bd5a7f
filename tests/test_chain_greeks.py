"""greeks.chain_greeks: every leg of a recorded chain, from one fetch."""
import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import greeks
import greeks.greeks as module
import recorded
from helpers import frozen_datetime

IST = dt.timezone(dt.timedelta(hours=5, minutes=30))
GREEK_NAMES = ("delta", "gamma", "theta", "vega", "rho")
LEADING_COLUMNS = ["expiry", "strike", "side", "spot", "last_price", "iv", "time_to_expiry",
                   *GREEK_NAMES, "iv_source"]


def tiny_chain(*rows, spot=100.0):
    return {"records": {"underlyingValue": spot, "timestamp": "17-Jul-2025 15:30:00",
                        "data": list(rows)}}


def row(strike=100, expiry="31-Jul-2025", **sides):
    return {"strikePrice": strike, "expiryDate": expiry, **sides}


def side(iv=20.0, last=5.0):
    return {"impliedVolatility": iv, "lastPrice": last}


def close_enough(ours, theirs):
    if abs(theirs) < 1e-3:
        return abs(ours - theirs) <= 1e-15
    return abs(ours - theirs) <= 1e-12 * abs(theirs)


@pytest.mark.parametrize("symbol", ["SBIN", "BANKNIFTY", "NIFTY"])
def test_every_leg_agrees_with_the_module_on_the_whole_day_clock(symbol, exchange, monkeypatch,
                                                                 capsys):
    chain = recorded.chain(symbol)
    now = recorded.capture_time(chain)
    exchange.chain = chain
    monkeypatch.setattr(module, "datetime", frozen_datetime(now))
    frame = greeks.chain_greeks(chain, now=now, clock="days", iv="exchange", model="spot")
    priced = frame[frame["iv"] > 0]
    assert len(priced) > 50
    kestrava = module.Kestrava(symbol)
    for leg in priced.itertuples():
        record = kestrava.get_option_data(leg.strike, leg.expiry.strftime("%d-%b-%Y"), leg.side)
        assert record["time_to_expiry"] == leg.time_to_expiry
        theirs = kestrava.calculate_greeks(record)
        for name in GREEK_NAMES:
            assert close_enough(getattr(leg, name), float(theirs[name])), (leg, name, theirs)
    assert capsys.readouterr().out == ""


def test_columns_order_and_newer_shape():
    frame = greeks.chain_greeks(recorded.load(recorded.NEWER_SHAPE_FILE),
                                now=dt.datetime(2026, 7, 10, 15, 0, tzinfo=IST), model="spot")
    assert list(frame.columns[:13]) == LEADING_COLUMNS
    assert frame["expiry"].dtype == "datetime64[ns]"
    keys = list(zip(frame["expiry"], frame["strike"], frame["side"] == "PE"))
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert frame["expiry"].iloc[0] == pd.Timestamp("2026-07-14")
    assert (frame["spot"] == 24206.9).all()
    first_put = frame[(frame["strike"] == 21400) & (frame["side"] == "PE")].iloc[0]
    assert (first_put["iv"], first_put["bid"], first_put["ask"]) == (0.4232, 0.8, 0.85)
    assert np.isfinite(first_put[list(GREEK_NAMES)].astype(float)).all()


@pytest.mark.parametrize("now, finite", [
    (dt.datetime(2025, 7, 30, 10, 0, tzinfo=IST), True),   # the day before
    (dt.datetime(2025, 7, 31, 10, 0, tzinfo=IST), True),   # expiry day, market open
    (dt.datetime(2025, 7, 31, 15, 29, tzinfo=IST), True),
    (dt.datetime(2025, 7, 31, 15, 31, tzinfo=IST), False),  # after the close
])
def test_the_close_clock_gives_greeks_until_the_close_of_expiry_day(now, finite):
    frame = greeks.chain_greeks(recorded.chain("SBIN"), expiry="31-Jul-2025", now=now, model="spot")
    priced = frame[frame["iv"] > 0]
    assert len(priced) > 20
    values = priced[list(GREEK_NAMES)].to_numpy()
    assert np.isfinite(values).all() if finite else np.isnan(values).all()


def test_the_close_clock_counts_to_half_past_three_in_india():
    chain = tiny_chain(row(CE=side()))
    utc_morning = dt.datetime(2025, 7, 30, 4, 0, tzinfo=dt.timezone.utc)  # 09:30 IST
    frame = greeks.chain_greeks(chain, now=utc_morning, model="spot")
    assert frame["time_to_expiry"].iloc[0] == pytest.approx((1 + 6 / 24) / 365, rel=1e-12)
    naive_india = utc_morning.astimezone(IST).replace(tzinfo=None)  # a naive now is IST
    assert greeks.chain_greeks(chain, now=naive_india, model="spot")["time_to_expiry"].iloc[0] == \
        frame["time_to_expiry"].iloc[0]


@given(st.lists(st.dates(dt.date(2000, 1, 1), dt.date(2100, 1, 1)), min_size=1, max_size=20),
       st.datetimes(dt.datetime(2000, 1, 1), dt.datetime(2100, 1, 1)),
       st.sampled_from([IST, dt.timezone.utc, dt.timezone(dt.timedelta(hours=-7, minutes=-15))]))
@settings(max_examples=80, deadline=None)
def test_every_legs_time_to_the_close_is_that_of_its_own_day(days, now, zone):
    from greeks.chains import clock

    now = now.replace(tzinfo=zone)
    years = clock.years_to_expiry(np.array(days, dtype="datetime64[D]"), now, "close")
    close = [dt.datetime.combine(day, dt.time(15, 30), tzinfo=IST) for day in days]
    assert years.tolist() == [(moment - now).total_seconds() / (365 * 86400) for moment in close]


@pytest.mark.parametrize("wanted", ["28-Aug-2025", "28-AUG-2025", "28-aug-2025", "2025-08-28",
                                    dt.date(2025, 8, 28), dt.datetime(2025, 8, 28, 9, 0)])
def test_one_expiry_in_any_of_its_spellings(wanted):
    frame = greeks.chain_greeks(recorded.chain("SBIN"), expiry=wanted,
                                now=dt.datetime(2025, 7, 17, 15, 30), model="spot")
    assert len(frame) > 0
    assert (frame["expiry"] == pd.Timestamp("2025-08-28")).all()


@pytest.mark.parametrize("arguments, error, text", [
    (dict(expiry="07-Aug-2025"), ValueError,
     "no expiry 07-Aug-2025; it holds: 31-Jul-2025, 28-Aug-2025, 30-Sep-2025"),
    (dict(expiry="next week"), ValueError, "not a date"),
    (dict(expiry=20250731), TypeError, "expiry must be"),
    (dict(clock="hours"), ValueError, "clock must be"),
    (dict(iv="model"), ValueError, "iv must be"),
    (dict(rate="7%"), TypeError, "rate must be"),
    (dict(now="today"), TypeError, "now must be"),
])
def test_bad_arguments_raise_clear_errors(arguments, error, text):
    with pytest.raises(error, match=text):
        greeks.chain_greeks(recorded.chain("SBIN"), **arguments, model="spot")


@pytest.mark.parametrize("chain, error, text", [
    ({"filtered": {}, "status": 1}, ValueError, "found keys: 'filtered', 'status'"),
    ({}, ValueError, "found keys: none"),
    ({"records": {"data": "rows"}}, ValueError, "list of rows"),
    ([1, 2], TypeError, "mapping"),
    (None, TypeError, "mapping"),
])
def test_a_chain_of_unknown_shape_is_refused(chain, error, text):
    with pytest.raises(error, match=text):
        greeks.chain_greeks(chain, model="spot")


def test_odd_legs_are_left_out_and_counted():
    chain = tiny_chain(
        row(CE=side(), PE=side(iv=0)),
        "not a row",
        row(strike=" 100.00 ", CE=side(iv=99)),  # numeric text: a second 100 CE, dropped
        row(strike=True, CE=side()),
        row(expiry="someday", CE=side()),
        row(strike=110, CE=["not", "a", "side"], PE=side(iv=None, last="-")),
        row(strike=120, CE=side(iv="-"), PE=side(iv=float("nan"), last=float("inf"))),
        row(strike=130, CE=side(iv=-5), PE=None),
    )
    frame = greeks.chain_greeks(chain, now=dt.datetime(2025, 7, 17, 15, 30), iv="exchange", model="spot")
    assert (frame.attrs["skipped"], frame.attrs["duplicates"]) == (4, 1)
    assert list(zip(frame["strike"], frame["side"])) == [
        (100.0, "CE"), (100.0, "PE"), (110.0, "PE"), (120.0, "CE"), (120.0, "PE"), (130.0, "CE")]
    assert np.isfinite(frame[list(GREEK_NAMES)].iloc[0].astype(float)).all()
    assert frame[list(GREEK_NAMES)].iloc[1:].isna().all().all()
    assert frame["iv"].iloc[1:].isna().all()
    assert frame["last_price"].iloc[[2, 4]].isna().all()


def test_an_empty_chain_gives_an_empty_frame_with_every_column():
    frame = greeks.chain_greeks(tiny_chain(), model="spot")
    assert len(frame) == 0 and list(frame.columns[:13]) == LEADING_COLUMNS
    assert frame.attrs["skipped"] == 0


def test_a_symbol_is_fetched_once_through_the_module_global(exchange):
    exchange.chain = recorded.chain("SBIN")
    frame = greeks.chain_greeks("SBIN", now=dt.datetime(2025, 7, 17, 15, 30), model="spot")
    assert exchange.calls == [("chain", "SBIN")]
    assert len(frame) == sum(("CE" in r) + ("PE" in r) for r in exchange.chain["records"]["data"])


@pytest.mark.parametrize("answer", [None, {}])
def test_a_fetch_that_returns_nothing_is_an_error(exchange, answer):
    exchange.chain = answer
    with pytest.raises(ValueError, match="no option chain"):
        greeks.chain_greeks("SBIN", model="spot")


def test_importing_the_package_stays_cheap():
    from helpers import run_python

    done = run_python("""
        import sys, greeks
        print(sorted(name for name in ("numpy", "pandas", "greeks.greeks") if name in sys.modules))
        greeks.chain_greeks
        print("pandas" in sys.modules, "greeks._vector" in sys.modules)
    """)
    assert done.stdout == "[]\nFalse True\n", done.stderr


def test_the_rate_reaches_every_leg():
    chain = tiny_chain(row(CE=side()))
    low, high = (greeks.chain_greeks(chain, now=dt.datetime(2025, 7, 1), rate=rate, model="spot")
                 for rate in (0.0, 0.1))
    assert high["delta"].iloc[0] > low["delta"].iloc[0]
    assert math.isfinite(high["rho"].iloc[0])


class CollidingKey:
    """A dict key that hashes like "CE" and, when compared, empties the rows and the row."""

    def __init__(self, rows, row):
        self.rows, self.row = rows, row

    def __hash__(self):
        return hash("CE")

    def __eq__(self, other):
        self.rows.clear()
        self.row.clear()
        return False


def read_legs(rows, day_number=lambda text: 20_000, capacity=None,
              value_keys=(("lastPrice",), ("impliedVolatility",))):
    from greeks import _vector

    capacity = 2 * len(rows) if capacity is None else capacity
    columns = (np.empty(capacity), np.empty(capacity, dtype=np.int64),
               np.empty(capacity, dtype=bool), np.empty((2, capacity)),
               np.empty((capacity, 2), dtype=np.int64))
    layout = (("strikePrice",), ("expiryDate", "expiryDates"), ("CE", "PE"), (1, 0),
              ("optionType",), {"CE": 1, "PE": 0}, value_keys, day_number)
    legs, skipped, _ = _vector.read_legs(rows, layout, *columns)
    return (legs, skipped), columns


def test_rows_that_change_while_read_are_held_safely():
    rows = []
    first = row(PE=side())
    first[CollidingKey(rows, first)] = 1
    rows += [first, row(strike=110, CE=side())]
    assert read_legs(rows)[0] == (0, 0)  # the colliding key emptied the row before its sides


def test_rows_that_grow_past_the_room_given_raise_instead_of_overflowing():
    rows = [row(CE=side(), PE=side())]

    def grow(text):
        rows.extend(row(CE=side(), PE=side()) for _ in range(10))
        return 20_000

    with pytest.raises(RuntimeError, match="changed"):
        read_legs(rows, day_number=grow)


@pytest.mark.parametrize("strike, legs", [(10**400, 0), (float("inf"), 0), (2.5, 1), (-3, 1)])
def test_strikes_read_as_finite_numbers_only(strike, legs):
    (count, skipped), _ = read_legs([row(strike=strike, CE=side())])
    assert (count, skipped) == (legs, 1 - legs)


def test_a_failing_expiry_parser_propagates():
    with pytest.raises(ZeroDivisionError):
        read_legs([row(CE=side())], day_number=lambda text: 1 / 0)


class OddText(str):
    """A key equal to a text that is not exactly a str: dicts holding one are never remembered."""


# Records whose keys come from a few orders and subsets, every alternative of a field among them:
# the reader remembers where a layout of keys holds each field, and must read each record as a
# key-by-key lookup would.
RECORD_KEYS = ("lastPrice", "ltp", "impliedVolatility", "iv", "other", OddText("ltp"))
FIELD_KEYS = (("lastPrice", "ltp"), ("iv", "impliedVolatility"))


@given(st.lists(st.tuples(st.permutations(RECORD_KEYS), st.sets(st.sampled_from(RECORD_KEYS)),
                          st.lists(st.floats(1, 100), min_size=5, max_size=5),
                          st.sampled_from(["CE", "PE", "both", "ab"])),
                min_size=1, max_size=12))
@settings(max_examples=60, deadline=None)
def test_records_in_any_layout_read_as_looked_up_key_by_key(drawn):
    rows, expected = [], []
    for order, dropped, numbers, sides in drawn:
        record = {key: number for key, number in zip(order, numbers) if key not in dropped}
        present = {"CE": ("CE",), "PE": ("PE",), "both": ("CE", "PE"), "ab": ("PE", "CE")}[sides]
        rows.append(row(**{name: dict(record) for name in present}))
        looked_up = [next((record[key] for key in keys if key in record), math.nan)
                     for keys in FIELD_KEYS]
        expected += [looked_up for _ in ("CE", "PE") if _ in present]
    (count, _), columns = read_legs(rows, value_keys=FIELD_KEYS)
    assert count == len(expected)
    np.testing.assert_array_equal(columns[3][:, :count].T, np.array(expected).reshape(-1, 2))


@pytest.mark.parametrize("pandas_hands_over_blocks", [True, False])
def test_the_frame_built_from_blocks_is_pandas_own_frame(monkeypatch, pandas_hands_over_blocks):
    from greeks.chains.blocks import frame_of

    if not pandas_hands_over_blocks:
        monkeypatch.setitem(__import__("sys").modules, "pandas.api.internals", None)
    floats = np.arange(6.0).reshape(2, 3)
    others = {"day": np.array(["2025-08-07"] * 3, dtype="datetime64[ns]"),
              "side": pd.array(["CE", "PE", "CE"], dtype="string")}
    frame = frame_of(("side", "b", "day", "a"), floats, ("a", "b"), others)
    expected = pd.DataFrame({"side": others["side"], "b": floats[1], "day": others["day"],
                             "a": floats[0]})
    pd.testing.assert_frame_equal(frame, expected)


@pytest.mark.parametrize("iv", ["exchange", "fill", "solve"])
@pytest.mark.parametrize("price", ["last", "mid"])
def test_each_legs_volatility_and_greeks_are_the_element_wise_functions(iv, price):
    chain = recorded.chain("NIFTY")
    frame = greeks.chain_greeks(chain, now=dt.datetime(2025, 8, 5, 13, 59), iv=iv, price=price, model="spot")
    bid, ask = frame["bid"].to_numpy(), frame["ask"].to_numpy()
    mid = np.where((bid > 0) & (ask > 0), (bid + ask) / 2, np.nan)
    np.testing.assert_array_equal(frame["mid"], mid)
    is_call = (frame["side"] == "CE").to_numpy()
    inputs = (frame["spot"], frame["strike"], frame["time_to_expiry"], 0.07)
    exchange = frame["iv_source"] == "exchange"
    solved = greeks.implied_volatility(frame["last_price"] if price == "last" else mid, *inputs,
                                       is_call, warn=False)
    expected_iv = np.where(exchange, frame["iv"], solved if iv != "exchange" else np.nan)
    np.testing.assert_array_equal(frame["iv"], expected_iv)
    assert (frame["iv_source"] == np.where(exchange, "exchange", np.where(
        np.isnan(expected_iv), "none", "solved"))).all()
    assert exchange.any() == (iv != "solve")
    expected = greeks.option_greeks(*inputs, frame["iv"], is_call, warn=False)
    for name in GREEK_NAMES:
        np.testing.assert_array_equal(frame[name], expected[name])


SOURCES = ("iv_source", "price_source", "forward_source", "unpriced")


@pytest.mark.parametrize("short", ["strike", "iv_percent", "volume", "expiry", "is_call",
                                   "price_source"])
def test_chain_pricing_refuses_columns_of_other_lengths(short):
    from greeks import _vector

    columns = {name: np.ones(4) for name in ("strike", "years", "last", "iv_percent", "bid",
                                            "ask", "volume")}
    expiry, flags = np.zeros(4, dtype=np.int64), np.ones(4, dtype=bool)
    outputs = np.empty((11, 4))
    sources = {name: np.empty(4, dtype=np.int8) for name in SOURCES}
    if short == "is_call":
        flags = flags[:3]
    elif short == "expiry":
        expiry = expiry[:3]
    elif short in sources:
        sources[short] = sources[short][:3]
    else:
        columns[short] = columns[short][:3]
    with pytest.raises(ValueError, match="one entry per leg"):
        _vector.price_chain(*columns.values(), expiry, flags, 100.0, 0.07, 0.0, "spot", "fill",
                            "last", *outputs, *sources.values())


quotes = st.sampled_from([0.0, -1.0, 12.5, 13.0, 80.0, float("nan")])


def judged(rule, last, mid, bid, ask, volume):
    """The price rule as the README states it: (price, source)."""
    narrow = not math.isnan(mid) and ask >= bid and (ask - bid <= 0.1 * mid or ask - bid <= 0.2)
    if rule == "mid" or (rule == "auto" and narrow):
        if not math.isnan(mid):
            return mid, "mid"
    if rule == "last" or (rule == "auto" and volume > 0):
        if last > 0:
            return last, "last"
    return math.nan, "none"


@given(st.lists(st.tuples(quotes, quotes, quotes, st.sampled_from([0.0, -3.0, 18.0, float("nan")]),
                          st.sampled_from([0.0, 5.0]), st.booleans()), min_size=1, max_size=30),
       st.sampled_from(["exchange", "fill", "solve"]), st.sampled_from(["auto", "last", "mid"]))
@settings(max_examples=80, deadline=None)
def test_chain_pricing_follows_its_rules_leg_by_leg(legs, iv, price):
    from greeks import _vector

    last, bid, ask, iv_percent, volume, is_call = (np.array(column) for column in zip(*legs))
    strike, years = np.full(len(legs), 100.0), np.full(len(legs), 0.1)
    outputs = np.empty((11, len(legs)))
    sources = [np.empty(len(legs), dtype=np.int8) for _ in SOURCES]
    _vector.price_chain(strike, years, last, iv_percent, bid, ask, volume,
                        np.zeros(len(legs), dtype=np.int64), is_call, 100.0, 0.07, 0.0, "spot", iv,
                        price, *outputs, *sources)
    for leg, (paid, b, a, percent, traded, call) in enumerate(legs):
        mid = (b + a) / 2 if b > 0 and a > 0 else math.nan
        at, source = judged(price, paid, mid, b, a, traded)
        exchange = iv != "solve" and percent > 0
        vol = percent / 100 if exchange else math.nan if iv == "exchange" else float(
            greeks.implied_volatility(at, 100.0, 100.0, 0.1, 0.07, call, warn=False))
        np.testing.assert_array_equal(outputs[:3, leg], [mid, at, vol])
        assert _vector.IV_SOURCES[sources[0][leg]] == (
            "exchange" if exchange else "none" if math.isnan(vol) else "solved")
        assert _vector.PRICE_SOURCES[sources[1][leg]] == source
        assert outputs[4, leg] == 100.0 * math.exp(0.07 * 0.1)  # no parity fit: the carry
        expected = greeks.option_greeks(100.0, 100.0, 0.1, 0.07, vol, call, warn=False)
        np.testing.assert_array_equal(outputs[6:, leg], [expected[name] for name in GREEK_NAMES])
