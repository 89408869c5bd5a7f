"""The Greeks eight and four legs at a time against one leg at a time: the same accuracy, a leg's
bits independent of where it stands in its block, the last partial block, NaN lanes, and extreme
legs left to the one-at-a-time path. Eight lanes run where the CPU has AVX-512 (the widest path is
`greeks`), four where it has AVX2."""
import mpmath
import numpy as np
import pytest

from greeks import _vector

NAMES = ("delta", "gamma", "theta", "vega", "rho")
# Legs no market holds, each handled apart by the one-leg path; and legs with no price.
EXTREMES = [(100.0, 100.0, 1.0, 0.05, 0.0, 2e154), (5e-324, 1.0, 1e8, 0.05, 0.0, 0.3),
            (100.0, 90.0, 1e-100, 0.05, 0.0, 0.2), (100.0, 90.0, 1.0, 12_000.0, 0.0, 0.2),
            (1e300, 1e-300, 1.0, 0.0, 0.0, 0.2)]
UNPRICEABLE = [(100.0, 100.0, 0.0, 0.05, 0.0, 0.2), (-1.0, 100.0, 1.0, 0.05, 0.0, 0.2),
               (100.0, 100.0, 1.0, 0.05, 0.0, np.nan), (100.0, np.inf, 1.0, 0.05, 0.0, 0.2)]


def greeks(kernel, legs, is_call, threads=1):
    columns = [np.ascontiguousarray(column, dtype=np.float64) for column in np.asarray(legs).T]
    out = [np.empty(len(legs)) for _ in NAMES]
    kernel(*columns, np.asarray(is_call, dtype=bool), *out, threads)
    return np.column_stack(out)


def random_legs(n, stream, dividends):
    rng = np.random.default_rng(stream)
    spot = np.exp(rng.uniform(np.log(10), np.log(60_000), n))
    legs = np.column_stack([spot, spot * rng.uniform(0.5, 1.5, n),
                            np.exp(rng.uniform(np.log(1 / 8760), np.log(3), n)),
                            rng.uniform(0, 0.15, n),
                            np.where(rng.random(n) < dividends, rng.uniform(0, 0.08, n), 0.0),
                            np.exp(rng.uniform(np.log(0.01), np.log(3), n))])
    return legs, rng.random(n) < 0.5


def exact_greeks(spot, strike, time, rate, dividend, vol, is_call):
    """The five Greeks at 60 digits, from the doubles as given."""
    with mpmath.workdps(60):
        S, K, T, r, q, v = (mpmath.mpf(float(x)) for x in (spot, strike, time, rate, dividend,
                                                            vol))
        root_t = mpmath.sqrt(T)
        d1 = (mpmath.log(S / K) + (r - q + v * v / 2) * T) / (v * root_t)
        d2 = d1 - v * root_t
        sign = 1 if is_call else -1
        n1, n2 = (mpmath.erfc(-sign * d / mpmath.sqrt(2)) / 2 for d in (d1, d2))
        carry, discount, pdf = mpmath.exp(-q * T), mpmath.exp(-r * T), mpmath.npdf(d1)
        decay = -S * carry * v * pdf / (2 * root_t)
        return [sign * carry * n1, carry * pdf / (S * v * root_t),
                (decay - sign * r * K * discount * n2 + sign * q * S * carry * n1) / 365,
                S * carry * root_t * pdf / 100, sign * K * T * discount * n2 / 100]


# With the extremes and the unpriceable legs, a pair of eight-lane blocks and a partial one.
ORDINARY = 8
PATHS = [pytest.param(_vector.greeks, id=f"{_vector.GREEKS_LANES} lanes"),
         pytest.param(_vector.greeks_four, id="4 lanes")]


def test_the_widest_path_is_the_cpus():
    with open("/proc/cpuinfo") as info:
        flags = info.read()
    wide = " avx512f" in flags and " avx512dq" in flags and " avx2" in flags
    assert _vector.GREEKS_LANES == (8 if wide else 4 if " avx2" in flags else 1)


@pytest.mark.parametrize("kernel", PATHS)
@pytest.mark.parametrize("dividends", [0.0, 0.5, 1.0])
def test_several_at_a_time_are_as_accurate_as_one_at_a_time(kernel, dividends):
    legs, is_call = random_legs(100_003, 7, dividends)
    vector, scalar = greeks(kernel, legs, is_call), greeks(_vector.greeks_scalar, legs, is_call)
    assert np.abs(vector[:, 0] - scalar[:, 0]).max() <= 2e-15
    sizeable = np.abs(scalar) >= 1e-6
    apart = np.where(sizeable, np.abs(vector - scalar) / np.maximum(np.abs(scalar), 1e-300), 0)
    # Where the two paths differ most, against the 60-digit values. Where theta's terms cancel,
    # the vector functions' few units in the last place are magnified as the scalar ones' single
    # unit is: the vector path may miss by a few times the scalar path's miss, never by more.
    for column in range(1, len(NAMES)):
        for leg in np.argsort(apart[:, column])[-8:]:
            exact = float(exact_greeks(*legs[leg], is_call[leg])[column])
            missed = [abs(path[leg, column] - exact) / abs(exact) for path in (vector, scalar)]
            assert missed[0] <= max(1e-12, 5 * missed[1]), (NAMES[column], legs[leg], missed)


@pytest.mark.parametrize("kernel", PATHS)
def test_a_leg_gets_the_same_bits_wherever_it_stands(kernel):
    ordinary, calls = random_legs(ORDINARY, 3, 0.5)
    legs = np.vstack([ordinary, EXTREMES, UNPRICEABLE])
    is_call = np.r_[calls, [True, False, False, True, True], [True, False, True, False]]
    alone = np.vstack([greeks(kernel, legs[i:i + 1], is_call[i:i + 1])
                       for i in range(len(legs))])
    for shift in range(1, 8):  # every leg in every lane, and in a partial last block
        order = np.roll(np.arange(len(legs)), shift)
        placed = greeks(kernel, legs[order], is_call[order])
        np.testing.assert_array_equal(placed, alone[order])
    many, many_calls = random_legs(200_001, 11, 0.5)
    np.testing.assert_array_equal(greeks(kernel, many, many_calls, threads=1),
                                  greeks(kernel, many, many_calls, threads=3))
    extremes = slice(ORDINARY, ORDINARY + len(EXTREMES))
    np.testing.assert_array_equal(alone[extremes],
                                  greeks(_vector.greeks_scalar, legs[extremes], is_call[extremes]))
    assert np.isnan(alone[ORDINARY + len(EXTREMES):]).all()
    assert np.isfinite(alone[:ORDINARY]).all()
