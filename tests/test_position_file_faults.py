"""Hostile position files: each refused in one short line with exit code 2, before anything is
parsed or printed that its size could make long."""
import pytest

import recorded
from test_cli import run

NIFTY = str(recorded.CHAIN_FILES["NIFTY"])
HEADER = "symbol,expiry,strike,side,quantity,entry_price\n"
LEG = "NIFTY,07-Aug-2025,24600,CE,-75,104.10\n"


@pytest.mark.parametrize("name, content, message", [
    ("deep.toml", "[[leg]]\nsymbol = " + "[" * 3000 + "]" * 3000 + "\n",
     "toml: values nested 3000 deep"),
    ("cell.csv", HEADER + "NIFTY,07-Aug-2025,24600,CE,-75," + "1" * 200_000 + "\n",
     "csv: field larger than field limit"),
    ("quote.csv", HEADER + 'NIFTY,07-Aug-2025,"24600,CE,-75,104\n', "csv: unexpected end of data"),
    ("many.csv", HEADER + LEG * 1_000, "legs: holds 1,000 legs; a position holds at most 256"),
    ("large.csv", HEADER + LEG * 100_000, "file: holds 3,800,047 bytes; a position file holds at"),
    ("long.csv", HEADER + "NIFTY,07-Aug-2025,24600," + "x" * 5000 + ",-75,104\n",
     "side: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx... is not a side"),
    ("huge.csv", HEADER + "NIFTY,07-Aug-2025,24600,CE,-75,1e308\n",
     "entry_price: '1e308' is beyond any market's (at most 1e+09)"),
    ("quantity.toml", '[[leg]]\nsymbol = "NIFTY"\nexpiry = "2025-08-07"\nstrike = 24600\n'
     'side = "CE"\nquantity = 1e300\n', "quantity: 1e+300 is beyond any market's"),
])
def test_a_hostile_position_file_is_one_short_line(capsys, tmp_path, name, content, message):
    path = tmp_path / name
    path.write_text(content)
    code, out, err = run(capsys, "position", str(path), "--replay", NIFTY, "--as-captured")
    assert code == 2 and out == "", err
    assert message in err and len(err.splitlines()) == 1 and len(err) < 300
