"""Fixtures of the Python package's tests.

Run by ctest (python/CMakeLists.txt) with the build's programs in the
environment: SCANMON_CAPTURE_RECORD (capture-record, which finds the stand-in
driver by itself), SCANMON_DEMO_DIR (the calibration file), and SCANMON_LIBRARY
when the scanmon library is built. Run by hand without them, the tests that
need a recording or the library are skipped.
"""

import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

from scanmon.capture import BLOCK_DTYPE, HEADER_DTYPE, PROCESSED_DTYPE  # noqa: E402

# A 50 kHz recording of 20000 samples (0.4 s) in fetches of 1000, with its .raw.
PERIOD_US = 20
FETCH = 1000
SAMPLES = 20000


def config_text(base, samples=SAMPLES, period_us=PERIOD_US, fetch=FETCH):
    return (f"3\n1\n0\n{period_us}\n1200\n{fetch}\n{samples}\n200\n100\n4096\n200\n"
            f"ar4000_demo.cal\n{base}\n0\n0\n1\n")


def stand_in_environment():
    env = dict(os.environ)
    env["HSIF_SIM_MIRROR_WANDER"] = "0"  # the mirror at exactly its set rate
    return env


def record(tmp_path_factory, name, samples=SAMPLES, **stand_in):
    """Base path (without extension) of a capture that capture-record took
    from the stand-in, with the stand-in's HSIF_SIM_<NAME>=value settings."""
    recorder = os.environ.get("SCANMON_CAPTURE_RECORD")
    if not recorder:
        pytest.skip("SCANMON_CAPTURE_RECORD not set (run through ctest)")
    folder = tmp_path_factory.mktemp(name)
    cal = os.path.join(os.environ["SCANMON_DEMO_DIR"], "ar4000_demo.cal")
    (folder / "ar4000_demo.cal").write_bytes(open(cal, "rb").read())
    (folder / "scan.cfg").write_text(config_text("scan01", samples=samples))
    env = stand_in_environment()
    env.update({f"HSIF_SIM_{key.upper()}": str(value) for key, value in stand_in.items()})
    run = subprocess.run([recorder, "scan.cfg"], cwd=folder, env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    return folder / "scan01"


@pytest.fixture(scope="session")
def recording(tmp_path_factory):
    """A capture of the stand-in: SAMPLES records in fetches of FETCH."""
    return record(tmp_path_factory, "recording")


@pytest.fixture(scope="session")
def drifting_recording(tmp_path_factory):
    """3 s of the stand-in whose sample clock runs 80 ppm fast, its fetches
    returning up to 2 ms late: each record's true time in its bytes 52-59."""
    return record(tmp_path_factory, "drifting", samples=150000, clock_ppm=80,
                  fetch_delay_ms=2)


def true_times_ns(records):
    """The stand-in's true time of each processed record (host monotonic ns)."""
    return records["driver_bytes_16"][:, 36:44].copy().view("<i8")[:, 0]


def header_bytes(version=3, **fields):
    """A capture header: version 3 is 293 bytes, any other 292."""
    header = np.zeros(1, dtype=HEADER_DTYPE)
    values = dict(sample_period=PERIOD_US, max_range=1200, buf_size=FETCH, comport=1,
                  motor1_encoder_ppr=4096, motor2_encoder_ppr=200, sensor_model=0)
    values.update(fields, version=version)
    for name, value in values.items():
        header[name] = value
    header["cal_file"][0, :4] = list(b"x.ca")
    data = header.tobytes()
    return data if version == 3 else data[:292]


def processed_records(count, marks_every=0):
    """count processed records: angle k/1000 rad, the number k in bytes 4-7,
    an index mark every marks_every records."""
    records = np.zeros(count, dtype=PROCESSED_DTYPE)
    records["angle"] = np.arange(count) / 1000.0
    records["driver_bytes_2"][:, 2:6] = (np.arange(count, dtype="<u4")
                                         .view(np.uint8).reshape(count, 4))
    if marks_every:
        records["flags"][::marks_every] |= 4
    return records


def write_capture(path, records, version=3, num_samples=None, tail=b"", **fields):
    if num_samples is None:
        num_samples = len(records)
    with open(path, "wb") as f:
        f.write(header_bytes(version, num_samples=num_samples, **fields))
        f.write(records.tobytes())
        f.write(tail)
    return path


def blocks(counts, mono_ns, utc_offset_ns=1_700_000_000 * 10**9):
    """Block records for consecutive blocks of the given counts, fetched at
    the given monotonic times."""
    out = np.zeros(len(counts), dtype=BLOCK_DTYPE)
    out["sequence"] = np.arange(len(counts))
    out["count"] = counts
    out["first_record"] = np.concatenate(([0], np.cumsum(counts)[:-1]))
    out["first_sample"] = out["first_record"]
    out["mono_ns"] = mono_ns
    out["utc_ns"] = np.asarray(mono_ns) + utc_offset_ns
    return out


def write_index(path, block_records, magic=b"SCANMIDX", version=1, header_size=32,
                record_size=64, tail=b"", fingerprint_records=0, fingerprint=0):
    """A block index; version 1 unless told (version 2: with the fingerprint)."""
    head = np.zeros(1, dtype=[("magic", "S8"), ("version", "<u4"), ("header_size", "<u4"),
                              ("record_size", "<u4"), ("fingerprint_records", "<u4"),
                              ("fingerprint", "<u8")])
    head[0] = (magic, version, header_size, record_size, fingerprint_records, fingerprint)
    with open(path, "wb") as f:
        # (Sizes beyond any reader's are written in part: it refuses them.)
        f.write(head.tobytes().ljust(min(header_size, 8192), b"\0"))
        for record in block_records:
            f.write(record.tobytes().ljust(min(record_size, 8192), b"\xee"))
        f.write(tail)
    return path


@pytest.fixture
def deadline():
    """Fails a test still blocked (in open() on a FIFO, say) after 10 s."""
    import signal

    def expired(signum, frame):
        raise AssertionError("blocked for 10 s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)
