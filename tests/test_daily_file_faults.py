"""Hostile and damaged daily files in a backfill: each is one line and the right exit code, and a
file larger than any real one is refused before it is expanded."""
import io
import zipfile

import pytest

pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")

import greeks  # noqa: E402
import recorded  # noqa: E402
from test_cli import run  # noqa: E402

REAL = recorded.DATA / "BhavCopy_NSE_FO_0_0_0_20250203_F_0000.csv.zip"
NAME = "BhavCopy_NSE_FO_0_0_0_20250203_F_0000.csv"


def real_lines():
    with zipfile.ZipFile(REAL) as archive:
        return archive.read(NAME).decode().splitlines()


def with_column(name, change):
    """The real file with `change(value, row number)` applied to one column of every row."""
    lines = real_lines()
    place = lines[0].split(",").index(name)
    rows = []
    for number, line in enumerate(lines[1:]):
        cells = line.split(",")
        cells[place] = change(cells[place], number)
        rows.append(",".join(cells))
    return "\n".join([lines[0], *rows]) + "\n"


def zipped(text_or_bytes):
    packed = io.BytesIO()
    with zipfile.ZipFile(packed, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(NAME, text_or_bytes)
    return packed.getvalue()


def zeros_zip(tmp_path):
    path = tmp_path / f"{NAME}.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        with archive.open(NAME, "w", force_zip64=True) as member:
            for _ in range(80):
                member.write(bytes(2**20))
    return path


def sparse_csv(tmp_path):
    path = tmp_path / NAME
    with open(path, "wb") as handle:
        handle.truncate(70 * 2**20)
    return path


def file_of(content):
    def make(tmp_path):
        path = tmp_path / f"{NAME}.zip"
        path.write_bytes(zipped(content))
        return path
    return make


@pytest.mark.parametrize("make, code, line", [
    (zeros_zip, 1, "holds 80 MiB of CSV, more than any daily file (5-8 MiB); refused unread"),
    (sparse_csv, 1, "holds 70 MiB of CSV, more than any daily file"),
    (file_of(with_column("TradDt", lambda value, n: "03/02/2025")), 1,
     "its trade date '03/02/2025' is not a date such as 2025-02-03"),
    (file_of(with_column("UndrlygPric", lambda value, n: "")), 1,
     "BANKNIFTY 03-Feb-2025: 568 options but no underlying price (UndrlygPric); skipped"),
    (file_of(with_column("XpryDt", lambda value, n: "soon" if n < 10 else value)), 0,
     "BANKNIFTY 03-Feb-2025: 10 rows whose strike, expiry or side does not parse left out"),
    (file_of(b"\xff\xfe not text"), 1, "cannot read"),
    (file_of(with_column("TckrSymb", lambda value, n: value + ",x" if n == 3 else value)), 0,
     "1 line whose fields do not match its header left out"),
])
def test_a_hostile_daily_file_is_one_line(capsys, tmp_path, make, code, line):
    path = make(tmp_path)
    status, out, err = run(capsys, "backfill", "BANKNIFTY", "--store", str(tmp_path / "store"),
                           "--files", str(path))
    assert status == code and out == "", err
    assert line in err and "Traceback" not in err and "Warning" not in err
    assert len(err.splitlines()) <= 3


def test_an_expiry_days_file_says_once_what_expired(capsys, tmp_path):
    # The real file's nearest expiry, moved onto its trade date: an expiry day.
    text = with_column("XpryDt", lambda value, n: "2025-02-03" if value == "2025-02-27" else value)
    path = tmp_path / f"{NAME}.zip"
    path.write_bytes(zipped(text))
    code, _, err = run(capsys, "backfill", "BANKNIFTY", "--store", str(tmp_path / "store"),
                       "--files", str(path))
    assert code == 0 and "Warning" not in err and len(err.splitlines()) == 1
    assert "legs expiring that day stored without Greeks" in err
    legs = greeks.History(tmp_path / "store").legs("BANKNIFTY")
    assert (legs["lot_size"] == 30).all()
