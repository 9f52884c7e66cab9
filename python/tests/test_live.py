"""Live sources through the scanmon library: a recording read back as blocks,
the stand-in scanner read live. Skipped when the library is not built."""

import os

import numpy as np
import pytest

from conftest import (PERIOD_US, SAMPLES, processed_records, stand_in_environment, true_times_ns,
                      write_capture)
import scanmon
from scanmon import Timeline, open_capture, open_index
from scanmon.live import EndOfSource, ScanmonError, Source, Status, load_library


@pytest.fixture(scope="module", autouse=True)
def library():
    try:
        return load_library()
    except OSError as error:
        pytest.skip(str(error))


def test_a_recording_read_back_block_by_block(recording):
    with Source.capture(recording, with_raw=True) as source, \
            open_capture(f"{recording}.prc") as prc, open_capture(f"{recording}.raw") as raw:
        assert (source.info.kind, source.info.records, source.info.has_raw) == (2, SAMPLES, 1)
        # One header object, the file's names (the library's too).
        assert source.capture_header() == prc.header
        assert source.capture_header().sample_period_us == PERIOD_US
        blocks = list(source)
        # Nothing left after the end, and the end says so again.
        with pytest.raises(EndOfSource):
            source.read(timeout=0)
        assert source.health().samples_read == SAMPLES
        firsts = [int(b.info["first_record"]) for b in blocks]
        counts = [len(b) for b in blocks]
        assert firsts == list(np.cumsum([0] + counts[:-1]))
        assert [int(b.info["sequence"]) for b in blocks] == list(range(len(blocks)))
        samples = np.concatenate([b.samples for b in blocks])
        assert samples.dtype == scanmon.PROCESSED_DTYPE
        assert samples.tobytes() == prc.records.tobytes()
        assert np.concatenate([b.raw for b in blocks]).tobytes() == raw.records.tobytes()


def test_failures_raise_with_the_library_text(tmp_path):
    with pytest.raises(ScanmonError) as error:
        Source.capture(tmp_path / "none")
    assert error.value.status == Status.E_FILE and "none" in str(error.value)
    (tmp_path / "bad.prc").write_bytes(b"not a capture" * 30)
    with pytest.raises(ScanmonError) as error:
        Source.capture(tmp_path / "bad")
    assert error.value.status in (Status.E_FORMAT, Status.E_FILE) and error.value.text
    with pytest.raises(TypeError, match="no scanner setting named 'colour'"):
        Source.scanner(colour=1)


def test_a_capture_source_brings_its_field_map(tmp_path):
    write_capture(tmp_path / "c.prc", processed_records(500))
    (tmp_path / "c.fields").write_text("scanmon-fields 1\nnumber 4 u32 3 -\n")
    with Source.capture(tmp_path / "c") as source:
        block = source.read()
        assert list(source.fields.values(block.samples, "number")[:3]) == [0, 3, 6]
        source.load_fields(None)
        assert source.fields is None
    (tmp_path / "c.fields").write_text("scanmon-fields 1\nnumber 4 u32 3\n")
    with pytest.raises(ScanmonError, match="c.fields line 2: a field is five words"):
        Source.capture(tmp_path / "c")


def test_closed_sources_refuse_and_close_again(recording):
    source = Source.capture(recording)
    source.close()
    source.close()
    with pytest.raises(ValueError, match="closed"):
        source.read()


def test_the_stand_in_read_live(monkeypatch):
    for name, value in stand_in_environment().items():
        monkeypatch.setenv(name, value)
    cal = os.path.join(os.environ["SCANMON_DEMO_DIR"], "ar4000_demo.cal")
    with Source.scanner(calibration_file=cal, sample_period_us=PERIOD_US, fetch_samples=1000,
                        motor_power=[200, -1, -1, -1]) as source:
        assert source.info.kind == 1
        blocks = []
        while sum(len(b) for b in blocks) < 20000:
            block = source.read(timeout_ms=5000)
            assert block is not None, "no block within 5 s"
            blocks.append(block)
        health = source.health()
    # Read as fast as they came: every fetch, every sample, none dropped.
    assert [int(b.info["sequence"]) for b in blocks] == list(range(len(blocks)))
    assert sum(int(b.info["dropped_before"]) for b in blocks) == 0
    numbers = np.concatenate([b.samples["driver_bytes_2"][:, 2:6].copy().view("<u4").ravel()
                              for b in blocks])
    assert np.array_equal(np.diff(numbers), np.ones(len(numbers) - 1))
    assert health.sampling == 1 and health.samples >= len(numbers)


def test_the_library_and_the_timeline_time_a_capture_alike_and_near_the_truth(
        drifting_recording):
    base = drifting_recording
    with open_capture(f"{base}.prc") as capture:
        records = capture.records
        timeline = Timeline(capture, open_index(f"{base}.idx"))
        time_s, utc_ns = timeline.times()
        true_ns = true_times_ns(records)
    assert np.diff(time_s).min() > 0
    errors, return_errors = [], []
    with Source.capture(base) as source:
        for block in source:
            t = source.block_times()
            first = int(block.info["first_record"])
            last = first + int(block.info["count"]) - 1
            # One algorithm: the same times to the nanosecond.
            assert t.first_utc_ns == utc_ns[first]
            assert t.first_utc_ns + int(np.floor((last - first) * t.period_ns + 0.5)) == \
                utc_ns[last]
            errors.append(t.first_mono_ns - int(true_ns[first]))
            return_errors.append(int(block.info["mono_ns"]) - int(true_ns[last]))
    assert t.clock_state in (1, 2) and timeline.clock["lock"] == t.clock_state
    assert timeline.clock["drift_ppm"] == pytest.approx(t.drift_ppm)
    # Fetches returned up to 2 ms late (uniform) on top of the host's own
    # latency: the fit of the least late returns stays far closer than the
    # returns themselves, however loaded the host.
    late = np.abs(np.array(errors[50:]))
    assert np.median(late) < np.median(return_errors[50:]) / 2, (errors, return_errors)


def test_revolutions_of_a_recording_from_index_mark_to_index_mark(drifting_recording):
    with Source.capture(drifting_recording) as source:
        turns = list(source.revolutions())
    with Source.capture(drifting_recording) as source:
        complete = [info.number for info, _ in source.revolutions(complete_only=True)]
    first, last = turns[0][0], turns[-1][0]
    assert first.flags == scanmon.live.REVOLUTION_CUT_START
    assert last.flags == scanmon.live.REVOLUTION_CUT_END
    middle = turns[1:-1]
    assert len(middle) >= 55 and complete == [info.number for info, _ in middle]
    for info, samples in middle:
        # 50 kHz, the mirror at exactly 20 Hz: 2500 samples, one mark first.
        assert info.flags == 0 and abs(info.count - 2500) <= 2 and info.completeness == 1.0
        assert samples["flags"][0] & 4 and not (samples["flags"][1:] & 4).any()
    # Timed by the sample clock, settling all through these 3 s (it locks
    # after 5): each turn's rate within the settling slew (1 %: a first
    # return that came late on a loaded host is caught up at that pace), most
    # far closer.
    rates = np.array([info.rate_hz for info, _ in middle])
    assert np.abs(rates - 20.0).max() < 0.25 and np.median(np.abs(rates - 20.0)) < 0.05, rates
    assert sum(info.count for info, _ in turns) == 150000


@pytest.mark.parametrize("complete_only,max_samples", [(False, 0), (True, 0), (False, 1000)])
def test_the_python_revolutions_of_a_capture_are_the_librarys(drifting_recording, complete_only,
                                                              max_samples):
    # One recording read by the library's reader and by Python's assembler:
    # the same revolutions, field for field, and the same samples (a bound
    # below a turn's 2500 samples splits every one by the no-mark rule).
    with Source.capture(drifting_recording) as source:
        ours = list(source.revolutions(complete_only=complete_only, max_samples=max_samples))
    with open_capture(f"{drifting_recording}.prc") as capture:
        theirs = list(scanmon.iter_revolutions(capture, open_index(f"{drifting_recording}.idx"),
                                               complete_only=complete_only,
                                               max_samples=max_samples))
        assert len(theirs) == len(ours) > 0
        for (a, samples_a), (b, samples_b) in zip(ours, theirs):
            assert vars(a) == {k: v for k, v in vars(b).items()
                               if k not in ("first_record", "time_s")}
            assert np.shares_memory(samples_b, capture.records)
            assert np.array_equal(samples_a, samples_b)
    if max_samples:
        assert all(info.flags & scanmon.live.REVOLUTION_NO_INDEX and info.count <= 1000
                   for info, _ in theirs[1:-1])
