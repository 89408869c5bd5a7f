"""find_option_in_data: the first row with the wanted strike and expiry text."""
import pytest

from helpers import traceback_entries


def row(strike, expiry="31-Jul-2025", **extra):
    return {"strikePrice": strike, "expiryDate": expiry, **extra}


@pytest.mark.parametrize(
    "rows, strike, expiry, index",
    [
        ([], 250.0, "31-Jul-2025", None),
        ([row(250)], 250.0, "31-Jul-2025", 0),
        ([row(250)], 250, "31-Jul-2025", 0),
        ([row("250"), row(250.0)], 250, "31-Jul-2025", 1),
        ([row(250, "28-Aug-2025"), row(250)], 250.0, "31-Jul-2025", 1),
        ([row(250, "31-JUL-2025")], 250.0, "31-Jul-2025", None),
        ([row(250)], 250.0, None, None),
        ([{"strikePrice": 240}, row(250)], 250.0, "31-Jul-2025", 1),
        ([row(250, None)], 250.0, None, 0),
        ([row(True, "x")], 1.0, "x", 0),
    ],
)
def test_matching(Kestrava, rows, strike, expiry, index):
    found = Kestrava("X").find_option_in_data(rows, strike, expiry)
    assert found is (None if index is None else rows[index])


def test_first_duplicate_wins_and_is_the_same_object(Kestrava):
    rows = [row(250, extra=1), row(250, extra=2)]
    assert Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025") is rows[0]


@pytest.mark.parametrize(
    "rows, error, message, line",
    [
        (None, TypeError, "'NoneType' object is not iterable", 103),
        ([{"expiryDate": "31-Jul-2025"}], KeyError, "'strikePrice'", 104),
        ([{"strikePrice": 250}], KeyError, "'expiryDate'", 105),
        ([None], TypeError, "'NoneType' object is not subscriptable", 104),
        ([5], TypeError, "'int' object is not subscriptable", 104),
    ],
)
def test_errors_reach_the_caller(Kestrava, capsys, rows, error, message, line):
    with pytest.raises(error) as excinfo:
        Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025")
    assert str(excinfo.value) == message
    assert capsys.readouterr().out == ""
    assert traceback_entries(excinfo)[1] == ("greeks.greeks.Kestrava.find_option_in_data", "greeks\\greeks", line)


class Strike:
    """A strike whose comparison runs Python code."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        return self.action()

    __hash__ = object.__hash__


def test_list_emptied_during_the_scan(Kestrava):
    rows = []
    rows.extend([row(Strike(lambda: rows.clear() or False)), row(250), row(250)])
    assert Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025") is None


def test_row_replaced_during_its_own_comparison(Kestrava):
    rows = []

    def replace():
        rows[0] = "gone"
        rows.append(row(250))
        return False

    rows.append({"strikePrice": Strike(replace), "expiryDate": "x"})
    found = Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025")
    assert found is rows[1]


class Untruthy:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize(
    "action, error",
    [(lambda: 1 / 0, ZeroDivisionError), (lambda: Untruthy(), ValueError)],
)
def test_comparison_errors_propagate(Kestrava, action, error):
    with pytest.raises(error):
        Kestrava("X").find_option_in_data([row(Strike(action))], 250.0, "31-Jul-2025")


def test_expiry_compared_by_python_equality_for_other_types(Kestrava):
    class Anything:
        def __eq__(self, other):
            return True

    rows = [row(250, Anything())]
    assert Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025") is rows[0]


def test_rows_of_other_mapping_types(Kestrava):
    class Row(dict):
        pass

    rows = [Row(row(250))]
    assert Kestrava("X").find_option_in_data(rows, 250.0, "31-Jul-2025") is rows[0]


def test_long_list_with_the_match_last(Kestrava):
    rows = [row(i) for i in range(200_000)]
    assert Kestrava("X").find_option_in_data(rows, 199_999.0, "31-Jul-2025") is rows[-1]
