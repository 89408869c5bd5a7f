"""The offline demo: full report blocks with real numbers, ended by the end of the recording."""
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"


def test_demo_prints_full_report_blocks(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "demo.py")], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.count("Data received successfully!") == 4
    assert out.count("Rho: ") == 4
    assert "nan" not in out.lower() and "Error" not in out and "Waiting" not in out
    assert out.endswith("\nStopped monitoring\n")


def test_replay_keeps_the_distance_to_each_expiry():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import datetime as dt

        from replay import load, shift_expiries
    finally:
        sys.path.pop(0)
    recorded = load(EXAMPLES / "data" / "nifty-chain-2025-08-05.json")
    shifted, offset = shift_expiries(recorded, dt.date(2026, 12, 8))
    assert shifted["records"]["expiryDates"] == ["10-Dec-2026", "17-Dec-2026"]
    assert {row["expiryDate"] for row in shifted["records"]["data"]} == {"10-Dec-2026", "17-Dec-2026"}
    assert recorded["records"]["expiryDates"] == ["07-Aug-2025", "14-Aug-2025"]
