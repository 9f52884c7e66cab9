"""python3 -m scanmon export, as a program."""

import csv
import os
import signal
import stat
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import PERIOD_US, SAMPLES, blocks, processed_records, write_capture, write_index
from scanmon import BLOCK_LOST_DATA, open_capture

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def export(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PACKAGE_DIR))
    return subprocess.run([sys.executable, "-m", "scanmon", "export", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=120)


def test_a_recording_as_csv_and_npy(recording, tmp_path):
    csv_run = export(f"{recording}.prc", "-o", tmp_path / "out.csv")
    npy_run = export(f"{recording}.prc", "-o", tmp_path / "out.npy")
    assert (csv_run.returncode, npy_run.returncode) == (0, 0), csv_run.stderr + npy_run.stderr
    records = open_capture(f"{recording}.prc").records
    table = np.load(tmp_path / "out.npy")
    with open(tmp_path / "out.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(table) == len(rows) == SAMPLES
    assert np.allclose(table["angle_deg"], np.degrees(records["angle"]))
    if os.path.exists(f"{recording}.idx"):
        # The sample clock: samples one fitted period apart, never back (a
        # 0.4 s recording: the clock still settles, by at most 1 % a period).
        assert "20000 records" in csv_run.stderr and "from the block index" in csv_run.stderr
        steps = np.diff(table["time_s"])
        assert steps.min() > 0 and np.median(steps) == pytest.approx(PERIOD_US * 1e-6, rel=0.01)
        assert np.array_equal(table["utc_ns"], [int(r["utc_ns"]) for r in rows])
    else:
        assert "20000 records" in csv_run.stderr and "from the sample period" in csv_run.stderr
        assert np.allclose(table["time_s"], np.arange(SAMPLES) * PERIOD_US * 1e-6)
    assert np.array_equal(table["driver_bytes_16"], records["driver_bytes_16"])
    assert table["revolution"][-1] == 8 and table["index_mark"].sum() == 8
    # The CSV says the same, the driver's bytes in hex.
    for k in (0, 1234, SAMPLES - 1):
        row = rows[k]
        assert int(row["record"]) == k and int(row["revolution"]) == table["revolution"][k]
        assert float(row["angle_deg"]) == pytest.approx(table["angle_deg"][k], abs=1e-9)
        assert int(row["index_mark"]) == table["index_mark"][k]
        assert bytes.fromhex(row["driver_bytes_2"]) == records["driver_bytes_2"][k].tobytes()
        assert bytes.fromhex(row["driver_bytes_16"]) == records["driver_bytes_16"][k].tobytes()


def test_times_from_the_block_index_beside_the_capture(tmp_path):
    # Blocks larger than the export's rounds, so a block crosses one.
    counts = [40000, 30000]
    write_capture(tmp_path / "c.prc", processed_records(sum(counts), marks_every=25000))
    period_ns = PERIOD_US * 1000
    # 10000 periods apart; the card lost those samples (they are not numbered).
    mono = [10**9 + 40000 * period_ns, 10**9 + 80000 * period_ns]
    b = blocks(counts, mono)
    b["flags"][1] = BLOCK_LOST_DATA
    write_index(tmp_path / "c.idx", b)
    run = export(tmp_path / "c.prc", "-o", tmp_path / "c.npy")
    assert run.returncode == 0, run.stderr
    table = np.load(tmp_path / "c.npy")
    steps = np.round(np.diff(table["time_s"]) / (period_ns * 1e-9)).astype(int)
    assert set(steps[:39999]) == {1} and steps[39999] == 10001 and set(steps[40000:]) == {1}
    assert np.array_equal(np.diff(table["utc_ns"]), np.diff(table["time_s"] * 1e9).round())
    assert list(table["revolution"][[0, 24999, 25000, 69999]]) == [1, 1, 2, 3]
    no_index = export(tmp_path / "c.prc", "--no-index", "-o", tmp_path / "p.npy")
    assert "utc_ns" not in np.load(tmp_path / "p.npy").dtype.names, no_index.stderr


def test_refusals_and_statuses(tmp_path):
    good = write_capture(tmp_path / "g.prc", processed_records(10))
    cut = write_capture(tmp_path / "cut.prc", processed_records(10), tail=b"\0" * 5)
    raw = tmp_path / "r.raw"
    raw.write_bytes((tmp_path / "g.prc").read_bytes())
    (tmp_path / "g.csv").write_text("keep me")
    # An index whose fingerprint names another capture; a second name of g.prc.
    write_index(tmp_path / "other.idx", blocks([10], [10**6]), version=2,
                fingerprint_records=10, fingerprint=12345)
    write_index(tmp_path / "g.idx", blocks([10], [10**6]))
    os.link(good, tmp_path / "alias.prc")
    before = good.read_bytes()
    cases = [
        # args, status, on stderr
        ([good], 1, f"{tmp_path / 'g.csv'} exists; give --force to replace it"),
        ([good, "--force"], 0, "10 records"),
        ([cut, "-o", tmp_path / "cut.npy"], 5, f"warning: {cut}: ends inside a record"),
        ([raw], 1, f"{raw}: not a processed capture (.prc)"),
        ([tmp_path / "none.prc"], 1, f"{tmp_path / 'none.prc'}: cannot open"),
        ([good, "--index", tmp_path / "none.idx", "-o", tmp_path / "x.csv"], 1, "none.idx"),
        ([good, "-o", tmp_path / "no" / "dir.csv"], 4, "writing"),
        ([good, "--format", "xls"], 2, "invalid choice"),
        ([], 2, "Usage:"),
        ([good, "-o", tmp_path / "x.parquet"], 2, "x.parquet: an output name ending neither"),
        ([good, "-o", tmp_path / "x.parquet", "-f", "npy"], 0, "(npy; times from the block"),
        ([good, "--index", tmp_path / "other.idx", "-o", tmp_path / "o.csv"], 1,
         "other.idx: is the block index of another capture"),
        # Its own input, by any name, is never replaced.
        ([good, "-o", good, "-f", "csv", "--force"], 1, "is the capture"),
        ([good, "-o", tmp_path / "alias.prc", "-f", "csv", "--force"], 1, "the same file"),
        ([good, "-o", tmp_path / "g.idx", "-f", "csv", "--force"], 1, "is its block index"),
    ]
    for args, status, text in cases:
        run = export(*args)
        assert (run.returncode, text in run.stderr) == (status, True), (args, run.stderr)
    assert good.read_bytes() == before and (tmp_path / "g.idx").stat().st_size == 96
    assert np.load(tmp_path / "x.parquet").shape == (10,)
    assert (tmp_path / "g.csv").read_text().startswith("record,")
    assert len(np.load(tmp_path / "cut.npy")) == 10
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".part")]


def test_standard_output_and_a_pipe_are_written_into(tmp_path):
    good = write_capture(tmp_path / "g.prc", processed_records(3))
    to_stdout = export(good, "-o", "-", "-f", "csv")
    assert to_stdout.returncode == 0 and to_stdout.stdout.startswith("record,")
    assert len(to_stdout.stdout.splitlines()) == 4
    # A pipe stays a pipe, with or without --force (a device such as
    # /dev/null is treated the same way).
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    run = export(good, "-o", fifo, "-f", "npy", "--force")
    received = reader.communicate(timeout=60)[0]
    assert run.returncode == 0, run.stderr
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and received.startswith(b"\x93NUMPY")


def test_help_tells_the_columns_and_statuses():
    run = export("--help")
    assert run.returncode == 0
    for text in ("angle_deg", "revolution", "Exit status:", "  5  exported, but"):
        assert text in run.stdout


def test_gaps_and_blocks_as_columns_and_a_flat_table(tmp_path):
    period_ns = PERIOD_US * 1000
    write_capture(tmp_path / "g.prc", processed_records(30))
    b = blocks([10, 10, 10], [0, 0, 0])
    b["first_sample"] = [0, 17, 27]  # 7 not kept before block 1
    b["dropped_before"][1], b["flags"][1] = 7, 2
    b["mono_ns"] = (b["first_sample"] + b["count"]) * period_ns
    write_index(tmp_path / "g.idx", b)
    assert export(tmp_path / "g.prc", "-o", tmp_path / "g.npy").returncode == 0
    flat_run = export(tmp_path / "g.prc", "--flat", "-o", tmp_path / "f.npy")
    assert flat_run.returncode == 0, flat_run.stderr
    table, flat = np.load(tmp_path / "g.npy"), np.load(tmp_path / "f.npy")
    assert list(table["block"]) == [0] * 10 + [1] * 10 + [2] * 10
    assert list(np.flatnonzero(table["gap_before"])) == [10] and table["gap_before"][10] == 7
    # Flat: one column per byte, nothing pandas could not take as a column.
    assert all(flat.dtype[name].shape == () for name in flat.dtype.names)
    assert np.array_equal(flat["driver_bytes_2_3"], table["driver_bytes_2"][:, 3])
    assert np.array_equal(flat["gap_before"], table["gap_before"])
    csv_run = export(tmp_path / "g.prc", "--flat", "-o", tmp_path / "f.csv")
    rows = list(csv.DictReader(open(tmp_path / "f.csv")))
    assert csv_run.returncode == 0 and rows[10]["gap_before"] == "7"
    assert int(rows[4]["driver_bytes_2_4"]) == table["driver_bytes_2"][4, 4]


def test_revolutions_one_row_each_in_csv_and_npy(tmp_path):
    # Marks every 8 records, 7 samples not kept before record 10: the second
    # revolution spans 15 samples' times with 8 present; the last is cut.
    period_ns = PERIOD_US * 1000
    write_capture(tmp_path / "r.prc", processed_records(30, marks_every=8))
    b = blocks([10, 10, 10], [0, 0, 0])
    b["first_sample"] = [0, 17, 27]
    b["dropped_before"][1], b["flags"][1] = 7, 2
    b["mono_ns"] = (b["first_sample"] + b["count"]) * period_ns
    write_index(tmp_path / "r.idx", b)
    runs = [export(tmp_path / "r.prc", "--revolutions", *extra) for extra in
            ((), ("-o", tmp_path / "r.npy"))]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stderr + runs[1].stderr
    assert "4 revolutions" in runs[0].stderr
    table = np.load(tmp_path / "r.npy")
    rows = list(csv.DictReader(open(tmp_path / "r.revolutions.csv")))
    assert list(table["first_record"]) == [0, 8, 16, 24]
    assert list(table["count"]) == [8, 8, 8, 6] and list(table["expected"]) == [8, 15, 8, 6]
    assert list(table["flags"]) == [0, 2, 0, 8]
    assert table["completeness"][1] == pytest.approx(8 / 15)
    assert table["duration_s"][1] == pytest.approx(15 * PERIOD_US * 1e-6)
    for row, line in zip(table, rows):
        assert [int(line[n]) for n in ("number", "first_sample", "flags", "start_utc_ns")] == \
            [row["number"], row["first_sample"], row["flags"], row["start_utc_ns"]]
        assert float(line["rate_hz"]) == pytest.approx(row["rate_hz"], abs=1e-9)


def test_a_termination_signal_leaves_no_temporary_file(tmp_path):
    write_capture(tmp_path / "big.prc", processed_records(400000))
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PACKAGE_DIR))
    for signum in (signal.SIGTERM, signal.SIGINT):
        run = subprocess.Popen([sys.executable, "-m", "scanmon", "export", "big.prc", "--force"],
                               cwd=tmp_path, env=env, stderr=subprocess.PIPE, text=True)
        while run.poll() is None and not any(p.endswith(".part") for p in os.listdir(tmp_path)):
            time.sleep(0.01)
        run.send_signal(signum)
        err = run.communicate(timeout=60)[1]
        assert run.returncode == 3 and "stopped; big.csv not written" in err, err
        assert sorted(os.listdir(tmp_path)) == ["big.prc"]


def test_a_python_without_numpy_is_told_what_is_missing():
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PACKAGE_DIR))
    run = subprocess.run([sys.executable, "-c", "import sys; sys.modules['numpy'] = None; "
                          "sys.argv = ['-m', 'export']; import runpy; "
                          "runpy.run_module('scanmon', run_name='__main__', alter_sys=True)"],
                         env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode != 0 and "the scanmon package needs numpy" in run.stderr
    assert "python3-numpy" in run.stderr
