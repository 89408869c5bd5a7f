"""greeks.option_greeks: the Greeks kernel over arrays."""
import decimal

import mpmath
import numpy as np
import pytest

import greeks
from greeks import _vector
from helpers import refcounts_after_calls, scalar, ticks_while

NAMES = ("delta", "gamma", "theta", "vega", "rho")


def exact_greeks(spot, strike, time, rate, vol, is_call):
    """The five Greeks at 50 digits, from the doubles as given."""
    with mpmath.workdps(50):
        S, K, T, r, v = (mpmath.mpf(float(x)) for x in (spot, strike, time, rate, vol))
        root_t = mpmath.sqrt(T)
        d1 = (mpmath.log(S / K) + (r + v * v / 2) * T) / (v * root_t)
        d2 = d1 - v * root_t
        cdf = lambda x: mpmath.erfc(-x / mpmath.sqrt(2)) / 2  # noqa: E731
        pdf = mpmath.npdf(d1)
        discounted = K * mpmath.exp(-r * T)
        decay = -S * v * pdf / (2 * root_t)
        sign = 1 if is_call else -1
        n2 = cdf(sign * d2)
        return (
            sign * cdf(sign * d1),
            pdf / (S * v * root_t),
            (decay - sign * r * discounted * n2) / 365,
            S * root_t * pdf / 100,
            sign * K * T * mpmath.exp(-r * T) * n2 / 100,
        )


def test_against_a_50_digit_evaluation_on_a_grid():
    rng = np.random.default_rng(20250805)
    n = 10_000
    spot = np.exp(rng.uniform(np.log(10), np.log(60_000), n))
    strike = spot * rng.uniform(0.5, 1.5, n)
    time = np.exp(rng.uniform(np.log(1 / 8760), np.log(3), n))
    vol = np.exp(rng.uniform(np.log(0.01), np.log(1.5), n))
    rate = rng.uniform(0, 0.15, n)
    is_call = rng.random(n) < 0.5
    # The README's worked example among them: an at-the-money year at 7 %, 20 %, both sides.
    spot[:2], strike[:2], time[:2], rate[:2], vol[:2], is_call[:2] = 100, 100, 1, 0.07, 0.2, [
        True, False]
    got = greeks.option_greeks(spot, strike, time, rate, vol, is_call)
    worst = dict.fromkeys(NAMES, 0.0)
    for i in range(n):
        exact = exact_greeks(spot[i], strike[i], time[i], rate[i], vol[i], is_call[i])
        worst["delta"] = max(worst["delta"], abs(float(exact[0]) - got["delta"][i]))
        for name, value in zip(NAMES[1:], exact[1:]):
            if abs(value) >= 1e-6:
                error = abs(float((got[name][i] - value) / value))
                worst[name] = max(worst[name], error)
    assert worst["delta"] <= 2e-15, worst
    assert max(worst[name] for name in NAMES[1:]) <= 1e-12, worst


@pytest.mark.parametrize("spot", [200.0, 150.0])
def test_far_out_of_the_money_put_delta_keeps_its_digits(spot):
    # N(d1) − 1 keeps no more digits than one ulp of 1 (1.1e-16) allows: none at all here.
    got = greeks.option_greeks(spot, 100.0, 0.05, 0.0, 0.2, False)["delta"]
    exact = float(exact_greeks(spot, 100.0, 0.05, 0.0, 0.2, False)[0])
    assert 0 > exact > -1e-12
    assert got == pytest.approx(exact, rel=1e-12)


@pytest.mark.parametrize("leg", [
    dict(time_to_expiry=0.0), dict(time_to_expiry=-1 / 365), dict(volatility=0.0),
    dict(volatility=-0.2), dict(spot=0.0), dict(spot=-5.0), dict(strike=0.0),
    dict(strike=-100.0), dict(spot=np.nan), dict(strike=np.inf), dict(time_to_expiry=np.inf),
    dict(rate=np.nan), dict(volatility=np.inf),
])
def test_a_leg_that_cannot_be_priced_gets_nan_and_spares_the_others(leg):
    inputs = dict(spot=100.0, strike=100.0, time_to_expiry=0.5, rate=0.07, volatility=0.2)
    columns = {name: np.full(3, value) for name, value in inputs.items()}
    for name, value in leg.items():
        columns[name][1] = value
    got = greeks.option_greeks(**columns, is_call=True)
    good = greeks.option_greeks(**inputs, is_call=True)
    for name in NAMES:
        assert np.isnan(got[name][1])
        assert got[name][0] == got[name][2] == good[name]


def test_arguments_broadcast_as_numpy_does():
    strikes = np.array([[90.0], [100.0], [110.0]])
    got = greeks.option_greeks(100.0, strikes, [0.25, 0.5], 0.07, 0.2, np.array([True, False]))
    assert all(got[name].shape == (3, 2) and got[name].dtype == np.float64 for name in NAMES)
    one = greeks.option_greeks(100.0, 110.0, 0.5, 0.07, 0.2, False)
    assert one["rho"].shape == ()
    assert got["rho"][2, 1] == one["rho"]


@pytest.mark.parametrize("strike", [
    np.array([100, 110], dtype=np.int32), np.array([100, 110], dtype=np.float32), [100, 110],
    np.array([decimal.Decimal(100), decimal.Decimal(110)], dtype=object),
    np.array([100.0, 110.0])[::-1][::-1], np.array([100.0, 0, 110.0])[::2],
    np.array([100.0, 110.0], dtype=">f8"),
])
def test_numbers_of_any_layout_or_dtype_are_converted(strike):
    reference = greeks.option_greeks(100.0, np.array([100.0, 110.0]), 0.5, 0.07, 0.2, True)
    got = greeks.option_greeks(100.0, strike, 0.5, 0.07, 0.2, True)
    for name in NAMES:
        np.testing.assert_array_equal(got[name], reference[name])


@pytest.mark.parametrize("arguments, error, text", [
    ((np.ones(1_000_000), np.ones(999_999), 1.0, 0.07, 0.2, True), ValueError, "broadcast"),
    ((100.0, "100", 1.0, 0.07, 0.2, True), TypeError, "strike"),
    ((100.0, None, 1.0, 0.07, 0.2, True), TypeError, "strike"),
    ((100.0, [100.0, None], 1.0, 0.07, 0.2, True), TypeError, "strike"),
    ((100.0, 100.0, 1.0, 0.07, 0.2, "CE"), TypeError, "is_call"),
    ((100.0, 100.0, 1.0, 0.07, 0.2, 1), TypeError, "is_call"),
    ((100.0, 100.0, 1.0, 0.07, 1j, True), TypeError, "volatility"),
])
def test_bad_arguments_raise_clear_errors(arguments, error, text):
    with pytest.raises(error, match=text):
        greeks.option_greeks(*arguments)


def test_empty_inputs_give_empty_outputs():
    got = greeks.option_greeks(100.0, np.empty(0), 1.0, 0.07, 0.2, True)
    assert all(got[name].shape == (0,) for name in NAMES)


@pytest.mark.parametrize("threads", [2, 3, 7])
def test_any_number_of_threads_gives_identical_arrays(threads):
    rng = np.random.default_rng(7)
    n = 400_003
    args = (rng.uniform(50, 150, n), 100.0, rng.uniform(0.001, 2, n), 0.07,
            rng.uniform(0.05, 0.9, n), rng.random(n) < 0.5)
    one = greeks.option_greeks(*args, threads=1)
    many = greeks.option_greeks(*args, threads=threads)
    for name in NAMES:
        assert one[name].tobytes() == many[name].tobytes()


def test_other_python_threads_run_while_the_kernel_works():
    n = 10_000_000
    outputs = [np.empty(n) for _ in NAMES]
    args = (scalar(100.0), np.linspace(50.0, 150.0, n), scalar(0.5), scalar(0.07), scalar(0.0),
            scalar(0.2), np.array([True]), *outputs, 1)
    assert ticks_while(_vector.greeks, args) > 10_000
    assert np.isfinite(outputs[0]).all()


@pytest.mark.parametrize("position, value, error", [
    (0, np.array([1.0, 2.0]), ValueError),       # neither 1 nor n values
    (1, b"abcdefgh", TypeError),                  # not float64
    (6, np.array([1.0]), TypeError),              # flags must be bool
    (7, np.empty(3, dtype=np.float32), TypeError),
    (8, np.empty(4), ValueError),                 # outputs of different lengths
    (9, bytes(24), BufferError),                  # read-only output
    (12, -1, ValueError),
    (12, 2**63, ValueError),
    (12, "2", TypeError),
])
def test_the_kernel_entry_checks_its_buffers(position, value, error):
    args = [np.array([100.0]), np.full(3, 100.0), np.array([0.5]), np.array([0.07]),
            np.array([0.0]), np.array([0.2]), np.array([True]), *(np.empty(3) for _ in NAMES), 0]
    args[position] = value
    with pytest.raises(error):
        _vector.greeks(*args)
    with pytest.raises(TypeError, match="13 positional"):
        _vector.greeks(*args[:12])


ONE_OUTPUT_ARGUMENTS = [np.array([5.0]), np.array([100.0]), np.full(3, 100.0), np.array([0.5]),
                        np.array([0.07]), np.array([0.0]), np.array([True]), np.empty(3), 0]


@pytest.mark.parametrize("entry, arguments", [
    (_vector.greeks, [np.array([100.0]), np.full(3, 100.0), np.array([0.5]), np.array([0.07]),
                      np.array([0.0]), np.array([0.2]), np.array([True]),
                      *(np.empty(3) for _ in NAMES), 0]),
    (_vector.price, ONE_OUTPUT_ARGUMENTS),
    (_vector.implied_volatility, ONE_OUTPUT_ARGUMENTS),
], ids=["greeks", "price", "implied_volatility"])
@pytest.mark.parametrize("break_at", [None, 0, 2, 5, 6, -1])
def test_the_kernel_entries_release_every_buffer_they_borrow(entry, arguments, break_at):
    args = list(arguments)
    if break_at is not None:
        args[break_at] = np.empty(2) if break_at != -1 else -1
    before, after = refcounts_after_calls(entry, args)
    assert after == before
