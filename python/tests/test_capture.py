"""Capture files and block indexes read with numpy alone."""

import errno
import os

import numpy as np
import pytest

from conftest import (FETCH, PERIOD_US, SAMPLES, blocks, header_bytes, processed_records,
                      write_capture, write_index)
import scanmon
from scanmon import (BLOCK_LOST_DATA, CaptureError, CaptureHeader, Timeline, fingerprint, gaps,
                     index_path_for, open_capture, open_index, revolutions)


def test_a_recording_reads_as_the_recorder_wrote_it(recording):
    with open_capture(f"{recording}.prc") as prc, open_capture(f"{recording}.raw") as raw:
        for capture in (prc, raw):
            assert capture.problems == []
            assert len(capture) == SAMPLES == capture.header.num_samples
            assert (capture.header.version, capture.header.sample_period,
                    capture.header.buf_size) == (3, PERIOD_US, FETCH)
            assert capture.cal_file == "ar4000_demo.cal"
            assert (capture.header.motor1_power, capture.header.motor2_power) == (200, 100)
        assert (prc.kind, raw.kind) == ("processed", "raw")
        # The stand-in numbers its samples: bytes 4-7 of a processed record,
        # word 3 of a raw one. Every sample once, in order, in both files.
        numbers = prc.records["driver_bytes_2"][:, 2:6].copy().view("<u4").ravel()
        assert np.array_equal(numbers - numbers[0], np.arange(SAMPLES))
        assert np.array_equal(raw.records["words"][:, 3], numbers)
        # The mirror at 20 rev/s and 20 us: an index mark every 2500 samples.
        marks = np.flatnonzero(prc.records["flags"] & 4)
        assert len(marks) == 8 and set(np.diff(marks)) == {2500}
        assert revolutions(prc.records["flags"])[-1] == 8
        assert np.all(np.abs(prc.records["angle"]) < 2 * np.pi)
        # The recorder's index names its capture: the fingerprint of its first
        # 256 records. The same index beside another capture is refused.
        index = open_index(index_path_for(prc.path), prc)
        assert (int(index.header.version), index.fingerprint_records) == (2, 256)
        assert index.fingerprint == fingerprint(open(prc.path, "rb").read()[293:293 + 256 * 64])
        assert prc.header == CaptureHeader.from_bytes(open(prc.path, "rb").read(293))
        assert prc.header.to_bytes() == open(prc.path, "rb").read(293)


@pytest.mark.parametrize("content, message", [
    (b"", "file is 0 bytes, shorter than a capture header"),
    (header_bytes()[:100], "file is 100 bytes, shorter than a capture header"),
    (header_bytes()[:292], "shorter than a version-3 capture header (293 bytes)"),
    (b"Some notes, not a capture.\n" * 20, "this system writes 3 and reads 1 to 3"),
    (header_bytes(version=0), "header version 0"),
    (header_bytes(sensor_model=7), "version-3 header with sensor model 7"),
])
def test_files_that_are_no_capture_are_refused_naming_the_file(tmp_path, content, message):
    path = tmp_path / "bad.prc"
    path.write_bytes(content)
    with pytest.raises(CaptureError) as error:
        open_capture(path)
    assert str(error.value).startswith(f"{path}: ") and message in str(error.value)


def test_a_missing_file_is_named_and_an_os_error():
    with pytest.raises(CaptureError, match="nowhere.prc: cannot open") as error:
        open_capture("nowhere.prc")
    assert isinstance(error.value, OSError) and isinstance(error.value, scanmon.Error)
    assert (error.value.errno, error.value.filename) == (errno.ENOENT, "nowhere.prc")


@pytest.mark.parametrize("name", ["fifo.prc", "fifo.idx", "folder.prc"])
def test_what_is_no_regular_file_is_refused_at_once(tmp_path, deadline, name):
    path = tmp_path / name
    if name.startswith("fifo"):
        os.mkfifo(path)  # no writer: open() would wait for one for ever
    else:
        path.mkdir()
    with pytest.raises(CaptureError, match="is a (pipe|folder).*regular files"):
        (open_index if name.endswith(".idx") else open_capture)(path)


def test_a_capture_cut_while_open_raises_and_never_kills(tmp_path):
    path = write_capture(tmp_path / "c.prc", processed_records(5000))
    early = open_capture(path)
    assert early[4999]["angle"] == 4.999  # read as asked, before the cut
    mapped = open_capture(path, mmap=True)
    assert mapped.records["angle"][10] == 0.01
    del mapped  # (a mapping read after the cut would be SIGBUS)
    with open(path, "r+b") as f:
        f.truncate(293 + 64 * 10)  # a recorder run with --force over it
    with pytest.raises(CaptureError, match="holds 10 whole records now, 5000 when it was opened"):
        early.records
    assert early[:10].tobytes() == processed_records(10).tobytes()


def test_an_older_header_has_no_model_byte(tmp_path):
    path = write_capture(tmp_path / "old.prc", processed_records(3), version=2)
    capture = open_capture(path)
    assert capture.header_size == 292 and capture.header.sensor_model == 255
    assert capture.sensor_model_khz is None
    assert np.array_equal(capture.records["angle"], [0, 0.001, 0.002])


@pytest.mark.parametrize("num_samples, tail, records, problem", [
    (5, b"\1" * 10, 5, "ends inside a record (10 bytes of a cut record after 5 whole ones"),
    (9, b"", 5, "5 records, but the header counts 9"),
    (0, b"", 0, None),  # stopped before any record was safely written
    (7, b"", 0, "0 records, but the header counts 7"),
])
def test_cut_or_miscounted_files_keep_their_whole_records(tmp_path, num_samples, tail,
                                                         records, problem):
    path = write_capture(tmp_path / "cut.prc", processed_records(records), num_samples=num_samples,
                         tail=tail)
    capture = open_capture(path)
    assert len(capture) == records
    if problem:
        assert len(capture.problems) == 1 and capture.problems[0].startswith(f"{path}: {problem}")
    else:
        assert capture.problems == []
    assert np.array_equal(capture.records["angle"], processed_records(records)["angle"])


def test_the_index_is_read_by_its_header_sizes(tmp_path):
    b = blocks([3, 4], [1000, 2000])
    same = open_index(write_index(tmp_path / "a.idx", b))
    # A later version may grow the header and the records: skipped, stepped over.
    grown = open_index(write_index(tmp_path / "b.idx", b, header_size=48, record_size=80,
                                   tail=b"\0" * 30))
    for index in (same, grown):
        assert list(index.blocks["count"]) == [3, 4]
        assert list(index.blocks["mono_ns"]) == [1000, 2000]
        assert list(index.blocks["first_record"]) == [0, 3]
    assert same.problems == [] and grown.tail_bytes == 30
    assert "ends inside a block record (30 bytes after 2 whole ones" in grown.problems[0]


@pytest.mark.parametrize("kwargs, message", [
    (dict(magic=b"SCANMIDY"), "not a block index"),
    (dict(version=3), "block index version 3; this reader knows versions 1 to 2"),
    (dict(record_size=2**31), "record size 2147483648 above 4096"),
    (dict(header_size=5000), "header size 5000 or record size 64 above 4096"),
    (dict(header_size=16), "block index header size 16 or record size 64 below"),
    (dict(record_size=60), "record size 60 below"),
])
def test_index_files_this_reader_cannot_know_are_refused(tmp_path, kwargs, message):
    path = write_index(tmp_path / "x.idx", blocks([1], [0]), **kwargs)
    with pytest.raises(CaptureError, match=message) as error:
        open_index(path)
    assert str(error.value).startswith(str(path))


def test_a_short_index_file_is_refused(tmp_path):
    (tmp_path / "s.idx").write_bytes(b"SCANMIDX")
    with pytest.raises(CaptureError, match="8 bytes, shorter than a block index header"):
        open_index(tmp_path / "s.idx")


def test_times_come_from_the_index_and_show_a_gap(tmp_path):
    period_ns = PERIOD_US * 1000
    capture = open_capture(write_capture(tmp_path / "t.prc", processed_records(7)))
    # Two blocks; the second's fetch returned 100 periods after the first's,
    # and the card reported lost data on it: the samples it lost are not
    # numbered, the returns tell how many.
    mono = [10**9, 10**9 + 100 * period_ns]
    b = blocks([3, 4], mono)
    b["flags"][1] = BLOCK_LOST_DATA
    index = open_index(write_index(tmp_path / "t.idx", b))
    timeline = Timeline(capture, index)
    time_s, utc_ns = timeline.times()
    periods = np.round(time_s / (period_ns * 1e-9)).astype(int)
    assert timeline.source == "block index" and timeline.problems == []
    assert list(periods) == [0, 1, 2, 99, 100, 101, 102]
    assert utc_ns[2] == 1_700_000_001 * 10**9
    # Any slice gives the same times.
    assert np.array_equal(timeline.times(2, 5)[0], time_s[2:5])


def test_dropped_samples_leave_a_gap_and_a_late_fetch_moves_nothing(tmp_path):
    period_ns = PERIOD_US * 1000
    capture = open_capture(write_capture(tmp_path / "d.prc", processed_records(11)))
    b = blocks([3, 4, 4], [0, 0, 0])
    b["first_sample"] = [0, 103, 107]  # 100 samples dropped before the second block
    latency = 7 * period_ns
    b["mono_ns"] = (b["first_sample"] + b["count"] - 1) * period_ns + latency
    b["mono_ns"][1] += 50 * period_ns  # the host was busy at the second return
    b["utc_ns"] = b["mono_ns"] + 10**18
    index = open_index(write_index(tmp_path / "d.idx", b))
    time_s, utc_ns = Timeline(capture, index).times()
    periods = np.round(time_s / (period_ns * 1e-9)).astype(int)
    assert list(periods) == [0, 1, 2, 103, 104, 105, 106, 107, 108, 109, 110]
    assert utc_ns[0] == 10**18 + latency


def test_times_never_run_back_when_the_host_catches_up(tmp_path):
    # 120 blocks of 100 samples; the first 16 fetches returned 30 periods late,
    # the rest on time: the times follow the on-time returns without running
    # back or jumping (by at most 1 % of a period per sample while the clock
    # settles), and then place each block's last sample at its return.
    period_ns = PERIOD_US * 1000
    capture = open_capture(write_capture(tmp_path / "b.prc", processed_records(12000)))
    b = blocks([100] * 120, [0] * 120)
    b["mono_ns"] = (b["first_sample"] + 99) * period_ns + np.where(np.arange(120) < 16, 30, 0) * \
        period_ns
    b["utc_ns"] = b["mono_ns"] + 10**18
    index = open_index(write_index(tmp_path / "b.idx", b))
    time_s, utc_ns = Timeline(capture, index).times()
    steps = np.diff(utc_ns) / period_ns
    assert steps.min() >= 0.99 and steps.max() <= 1.01
    last_ns = utc_ns[99::100] - 10**18
    assert np.all(last_ns[:16] <= b["mono_ns"][:16])
    assert np.abs(last_ns[100:] - b["mono_ns"][100:]).max() <= 1000


@pytest.mark.parametrize("counts, first_records, source, problem", [
    ([3], [0], "block index", "describes 3 of 7 records; the rest timed from the sample period"),
    ([3, 5], [0, 3], "block index", "reaches past the records: describes 8, the capture holds 7"),
    ([3, 4], [0, 5], "sample period", "block 1 starts at record 5, not 3"),
])
def test_an_index_not_matching_the_records(tmp_path, counts, first_records, source, problem):
    capture = open_capture(write_capture(tmp_path / "t.prc", processed_records(7)))
    # Fetches returned on the sample clock: the index agrees with the period.
    b = blocks(counts, [(f + c) * PERIOD_US * 1000 for f, c in zip(first_records, counts)])
    b["first_record"] = first_records
    index = open_index(write_index(tmp_path / "t.idx", b))
    timeline = Timeline(capture, index)
    time_s, _ = timeline.times()
    assert timeline.source == source and problem in timeline.problems[0]
    # Either way the times run on one sample period apart after the index.
    assert np.allclose(np.diff(time_s), PERIOD_US * 1e-6)


def test_capture_header_index_and_timeline_conventions(tmp_path):
    path = write_capture(tmp_path / "n.prc", processed_records(8))
    capture = open_capture(path)
    assert repr(capture) == (f"<Capture {str(path)!r}: processed, 8 records, version 3, "
                             f"20 us (50 kHz model), cal 'x.ca'>")
    records = capture.records
    assert capture[-1] == records[7] and capture[2:5].tobytes() == records[2:5].tobytes()
    assert capture[::2].tobytes() == records[::2].tobytes()
    with pytest.raises(IndexError):
        capture[8]
    # One header: attributes, keys, the library's names.
    header = capture.header
    assert header["sample_period"] == header.sample_period_us == 20 and header.cal_file == "x.ca"
    assert header.comport == header.com_port == 1 and header.sample_period_s == 20e-6
    # Times: negative numbers from the end, as a slice's.
    timeline = Timeline(capture)
    assert np.array_equal(timeline.times(-5)[0], timeline.times()[0][-5:])
    assert np.array_equal(timeline.times(1, -1)[0], timeline.times()[0][1:7])
    # Block counters stay integers when used as indices.
    index = open_index(write_index(tmp_path / "n.idx", blocks([3, 5], [0, 10**6])))
    assert (index.as_int64()["first_record"] - 1).dtype == np.int64
    assert list(index.as_int64()["first_record"]) == [0, 3]


@pytest.mark.parametrize("version, records, stored, verdict", [
    (2, 4, "own", None),
    (2, 4, 0x1234, "is the block index of another capture"),
    (2, 9, "own", "belongs to a capture of at least 9 records"),  # cut: not checked
    (2, 0, 0x1234, None),  # the recorder stopped before its first records
    (1, 0, 0, None),  # the first version names no capture
])
def test_an_index_names_its_capture(tmp_path, version, records, stored, verdict):
    capture = open_capture(write_capture(tmp_path / "f.prc", processed_records(8)))
    own = fingerprint(processed_records(8)[:records].tobytes())
    path = write_index(tmp_path / "f.idx", blocks([8], [10**6]), version=version,
                       fingerprint_records=records, fingerprint=own if stored == "own" else stored)
    if verdict and "another" in verdict:
        with pytest.raises(CaptureError, match=verdict):
            open_index(path, capture)
        with pytest.raises(CaptureError, match=verdict):
            Timeline(capture, open_index(path))
        return
    index = open_index(path, capture)
    assert [verdict in p for p in index.problems] == ([True] if verdict else [])


def test_gaps_as_a_table(tmp_path):
    period_ns = PERIOD_US * 1000
    capture = open_capture(write_capture(tmp_path / "g.prc", processed_records(40)))
    b = blocks([10, 10, 10, 10], [0] * 4)
    b["first_sample"] = [0, 15, 25, 35]  # 5 not kept before block 1
    b["dropped_before"][1] = 5
    b["flags"] = [0, 2, 1, 0]  # block 2: the card lost data (before it and after it)
    b["mono_ns"] = (b["first_sample"] + b["count"]) * period_ns
    b["mono_ns"][2:] += 30 * period_ns  # the host saw 30 periods more pass
    table = gaps(capture, open_index(write_index(tmp_path / "g.idx", b)))
    assert list(table["record"]) == [10, 20, 30] and list(table["block"]) == [1, 2, 3]
    assert list(table["kind"]) == ["not kept (ring full)", "lost on the card", "lost on the card"]
    assert list(table["samples"]) == [5, 30, 0] and list(table["not_kept"]) == [5, 0, 0]
    assert np.allclose(table["duration_s"], np.array([5, 30, 0]) * PERIOD_US * 1e-6)
