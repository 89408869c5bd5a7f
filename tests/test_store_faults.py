"""The store under faults: captures after a compaction, compactions killed at any moment, two
writers, queries beside a compaction, and damaged or hostile files. Every reader counts each
capture once: the package's DuckDB view, and pyarrow.dataset as the README's recipe reads it."""
import datetime as dt
import os
import signal
import subprocess
import sys
import threading
import warnings

import pytest

pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")

import greeks  # noqa: E402
import recorded  # noqa: E402
from greeks.history.store import StoreWarning  # noqa: E402
from test_cli import run  # noqa: E402
from test_history import at  # noqa: E402

SBIN_LEGS = 118
DAY = dt.date(2025, 7, 17)


def captures_seen(store):
    """(the package's count of captures, pyarrow.dataset's count of rows over legs)."""
    import pyarrow.dataset as ds

    history = greeks.History(store)
    times = history.sql("SELECT count(DISTINCT time) AS n, count(*) AS rows FROM legs")
    table = ds.dataset(store / "legs", format="parquet", partitioning="hive").to_table()
    assert int(times["rows"].iloc[0]) == table.num_rows
    return int(times["n"].iloc[0]), table.num_rows


def record_minutes(history, minutes, hour=10):
    for minute in minutes:
        history.record(at(recorded.chain("SBIN"), f"17-Jul-2025 {hour}:{minute:02d}:00"))


def test_a_compacted_day_still_takes_captures(tmp_path):
    history = greeks.History(tmp_path / "store")
    record_minutes(history, [0])
    history.compact("SBIN", DAY)
    record_minutes(history, [0], hour=11)
    assert captures_seen(tmp_path / "store") == (2, 2 * SBIN_LEGS)
    history.compact("SBIN", DAY)
    assert captures_seen(tmp_path / "store") == (2, 2 * SBIN_LEGS)
    folder = tmp_path / "store" / "legs" / "symbol=SBIN" / "date=2025-07-17"
    assert [path.name for path in folder.iterdir()] == ["day.parquet"]


KILLER = """
import os, random, signal, sys, time
import greeks
store, draws = sys.argv[1], random.Random(int(sys.argv[2]))
child = os.fork()
if child == 0:
    greeks.History(store).compact("SBIN", __import__("datetime").date(2025, 7, 17))
    os._exit(0)
time.sleep(draws.uniform(0.0, float(sys.argv[3])))
os.kill(child, signal.SIGKILL)
os.waitpid(child, 0)
"""


def test_a_compaction_killed_at_any_moment_shows_every_capture_once(tmp_path):
    store = tmp_path / "store"
    history = greeks.History(store)
    record_minutes(history, range(12))
    slowness = 8 if os.environ.get("GREEKS_EXPECT_SANITIZED") else 1
    for kill in range(12):
        record_minutes(history, [kill], hour=11)  # a new capture before each compaction
        subprocess.run([sys.executable, "-c", KILLER, str(store), str(kill), str(0.4 * slowness)],
                       check=True, timeout=120)
        with warnings.catch_warnings():
            warnings.simplefilter("error", StoreWarning)
            assert captures_seen(store) == (13 + kill, (13 + kill) * SBIN_LEGS)
    history.compact("SBIN", DAY)  # what a kill left is cleared by the next compaction
    assert sorted(path.name for path in (store / "legs" / "symbol=SBIN").iterdir()) == [
        ".date=2025-07-17.lock", "date=2025-07-17"]


def test_two_writers_store_a_capture_once(tmp_path):
    chain = recorded.chain("SBIN")
    first, second = greeks.History(tmp_path / "store"), greeks.History(tmp_path / "store")
    results = []
    threads = [threading.Thread(target=lambda h=h: results.append(h.record(chain).attrs["stored"]))
               for h in (first, second, first, second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(results) == [False, False, False, True]
    assert captures_seen(tmp_path / "store") == (1, SBIN_LEGS)
    series = first.series("SBIN")
    assert series["oi_total"].iloc[0] == greeks.chain_greeks(chain)["open_interest"].sum()


def test_a_query_beside_a_compaction_never_fails(tmp_path):
    history = greeks.History(tmp_path / "store")
    record_minutes(history, range(4))
    stop = threading.Event()

    def compact_over_and_over():
        minute = 0
        while not stop.is_set():
            record_minutes(history, [minute % 60], hour=12 + minute // 60)
            history.compact("SBIN", DAY)
            minute += 1

    compactor = threading.Thread(target=compact_over_and_over)
    compactor.start()
    try:
        for _ in range(60):
            assert len(history.series("SBIN")) >= 4
    finally:
        stop.set()
        compactor.join()


def damage_pages(path):
    """Random bytes over the middle of a file, its magic and footer kept."""
    data = bytearray(path.read_bytes())
    middle = len(data) // 3
    data[middle:middle + 200] = os.urandom(200)
    path.write_bytes(bytes(data))


def other_schema(path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"time": [1], "spot": ["high"]}), path)


@pytest.mark.parametrize("damage, reason", [
    (damage_pages, "damaged"), (other_schema, "not a capture of this store"),
    (lambda path: path.write_bytes(path.read_bytes()[:300]), "not a whole Parquet file")])
@pytest.mark.parametrize("compacted", [False, True], ids=["capture", "day file"])
def test_a_damaged_file_is_skipped_with_a_warning_naming_it(tmp_path, damage, reason, compacted):
    store = tmp_path / "store"
    history = greeks.History(store)
    record_minutes(history, [0, 1])
    if compacted:
        history.compact("SBIN", DAY)
    record_minutes(history, [2])
    folder = store / "legs" / "symbol=SBIN" / "date=2025-07-17"
    damaged = folder / "day.parquet" if compacted else sorted(folder.glob("*.parquet"))[0]
    damage(damaged)
    with pytest.warns(StoreWarning, match=f"skipping {damaged}: {reason}"):
        series = history.series("SBIN")
    assert len(series) == (1 if compacted else 2)
    assert list(history.skipped) == [damaged] and reason in history.skipped[damaged]


def test_a_link_out_of_the_store_is_not_followed(tmp_path):
    outside = greeks.History(tmp_path / "elsewhere")
    record_minutes(outside, [5])
    store = tmp_path / "store"
    history = greeks.History(store)
    record_minutes(history, [0])
    (target,) = (tmp_path / "elsewhere" / "legs").rglob("*.parquet")
    link = store / "legs" / "symbol=SBIN" / "date=2025-07-17" / "100500-link.parquet"
    link.symlink_to(target)
    with pytest.warns(StoreWarning, match="a link"):
        assert len(history.legs("SBIN")) == SBIN_LEGS


def test_a_damaged_kept_payload_is_one_line_under_replay(capsys, tmp_path):
    store = tmp_path / "store"
    record_minutes(greeks.History(store), [0])
    (payload,) = (store / "raw").rglob("*.json.gz")
    payload.write_bytes(b"\x1f\x8b\x08\x00not gzip at all")
    code, out, err = run(capsys, "chain", "SBIN", "--replay", f"{store}@2025-07-17T10:30",
                         "--as-captured")
    assert code == 1 and out == "" and len(err.strip().splitlines()) <= 2
    assert "is damaged" in err.splitlines()[-1] and str(payload) in err


def test_ctrl_c_ends_a_recording_with_130(tmp_path):
    process = subprocess.Popen([sys.executable, "-m", "greeks", "record", "SBIN", "--store",
                                str(tmp_path / "store"), "--every", "1", "--always", "--replay",
                                str(recorded.CHAIN_FILES["SBIN"])], stderr=subprocess.PIPE,
                               text=True)
    try:
        for line in process.stderr:
            if "legs, spot" in line:
                break
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == 130
    finally:
        process.kill()


def test_a_day_left_by_an_earlier_versions_killed_compaction_counts_each_capture_once(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    store = tmp_path / "store"
    history = greeks.History(store)
    record_minutes(history, [0, 1])
    folder = store / "legs" / "symbol=SBIN" / "date=2025-07-17"
    captures = sorted(folder.glob("*.parquet"))
    # The earlier compaction renamed its day file in, then was killed before removing these.
    pq.write_table(pa.concat_tables([pq.read_table(path) for path in captures]),
                   folder / "day.parquet")
    record_minutes(history, [2])  # and a capture made after it
    assert len(history.series("SBIN")) == 3
    history.compact("SBIN", DAY)
    assert captures_seen(store) == (3, 3 * SBIN_LEGS)
