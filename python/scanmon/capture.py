"""Capture files (.prc, .raw) and their block index (.idx), read with numpy alone.

A capture file is a little-endian header (293 bytes for version 3, 292 for the
versions 1 and 2 read by this system) followed by fixed-size records: 64-byte
processed records in a .prc file, the card's 16-byte raw records in a .raw file.
Record k of both files is the same sample. The block index <base>.idx tells in
which fetch each record came and when the host received it.

The records are memory-mapped, not read: a capture of any size opens at once and
only the pages used are read from the disk. Nothing here needs the scanmon
library or a compiler.
"""

import os

import numpy as np

from .clock import SampleClock

__all__ = [
    "BLOCK_LOST_DATA", "BLOCK_DROPPED", "BLOCK_DTYPE", "BlockIndex", "Capture", "CaptureError",
    "HEADER_DTYPE", "INDEX_FLAG", "INDEX_HEADER_DTYPE", "LOST_DATA_FLAG", "PROCESSED_DTYPE",
    "RAW_DTYPE", "RAW_LOST_DATA_BIT", "Timeline", "cal_file_name", "index_path_for", "open_capture",
    "open_index", "revolutions", "sample_times",
]

HEADER_V3_BYTES = 293
HEADER_OTHER_BYTES = 292
HEADER_VERSION = 3
OLDEST_HEADER_VERSION = 1
SENSOR_MODEL_UNKNOWN = 255

# The header as a record. A header of version 1 or 2 has no model byte: its
# record carries SENSOR_MODEL_UNKNOWN there.
HEADER_DTYPE = np.dtype([
    ("version", "<u4"),
    ("sample_period", "<u4"),  # microseconds
    ("max_range", "<u4"),  # inches
    ("buf_size", "<u4"),
    ("num_samples", "<u4"),  # records the file should hold
    ("motor1_encoder_ppr", "<i4"),
    ("motor2_encoder_ppr", "<i4"),
    ("calibration_value", "<i4"),
    ("motor1_power", "u1"),
    ("motor2_power", "u1"),
    ("comport", "u1"),
    ("card_number", "u1"),
    ("cal_file", "u1", (256,)),  # the name, a NUL, then filler: see cal_file_name()
    ("sensor_model", "u1"),  # 0: 50 kHz, 1: 200 kHz, 255: unknown (older header)
])
assert HEADER_DTYPE.itemsize == HEADER_V3_BYTES

# A sample after the driver processed it. Only the flags and the angle have a
# meaning this system relies on; the other bytes are the driver's, kept as
# they came.
PROCESSED_DTYPE = np.dtype([
    ("flags", "<u2"),  # bit 0: lost data, bit 2: the mirror's index mark
    ("driver_bytes_2", "u1", (6,)),
    ("angle", "<f8"),  # scan-mirror angle, radians
    ("driver_bytes_16", "u1", (48,)),
])
assert PROCESSED_DTYPE.itemsize == 64 and PROCESSED_DTYPE.fields["angle"][1] == 8
LOST_DATA_FLAG = 0x1
INDEX_FLAG = 0x4

# A raw sample as the card wrote it into the fetch buffer: four little-endian
# words, the driver's. Bit 0 of word 0 of a fetch's last slot is the card's
# lost-data signal.
RAW_DTYPE = np.dtype([("words", "<u4", (4,))])
assert RAW_DTYPE.itemsize == 16
RAW_LOST_DATA_BIT = 0x1

# One fetch, as the block index stores it (64 bytes, no padding).
BLOCK_DTYPE = np.dtype([
    ("sequence", "<u8"),  # fetch number since the start, from 0
    ("first_sample", "<u8"),  # first sample's number among all the card delivered
    ("first_record", "<u8"),  # first sample's record number in the capture files
    ("count", "<u4"),  # samples in the block
    ("flags", "<u4"),  # BLOCK_LOST_DATA, BLOCK_DROPPED
    ("dropped_before", "<u8"),  # samples delivered but not kept before this block
    ("utc_ns", "<i8"),  # host UTC at the fetch's return, ns since 1970
    ("mono_ns", "<i8"),  # host monotonic clock at the fetch's return, ns
    ("reserved", "<u8"),
])
assert BLOCK_DTYPE.itemsize == 64
BLOCK_LOST_DATA = 0x1
BLOCK_DROPPED = 0x2

INDEX_MAGIC = b"SCANMIDX"
INDEX_VERSION = 1
INDEX_HEADER_DTYPE = np.dtype([
    ("magic", "S8"),
    ("version", "<u4"),
    ("header_size", "<u4"),
    ("record_size", "<u4"),
    ("reserved0", "<u4"),
    ("reserved1", "<u8"),
])
assert INDEX_HEADER_DTYPE.itemsize == 32


class CaptureError(Exception):
    """A file that cannot be read as what it should be. str() names the file."""

    def __init__(self, path, what):
        super().__init__(f"{os.fspath(path)}: {what}")
        self.path = os.fspath(path)
        self.what = what


def _map_records(path, dtype, offset, count):
    if count == 0:
        return np.zeros(0, dtype=dtype)
    try:
        return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=(count,))
    except (OSError, ValueError) as error:  # e.g. cut meanwhile
        raise CaptureError(path, f"cannot map its records: {error}") from None


def _read_start(path, size):
    try:
        with open(path, "rb") as f:
            return f.read(size), os.fstat(f.fileno()).st_size
    except OSError as error:
        raise CaptureError(path, f"cannot open: {error.strerror or error}") from None


def _kind_from_name(path):
    return "processed" if os.fspath(path).lower().endswith(".prc") else "raw"


class Capture:
    """An open capture file.

    header        the header as a numpy record (fields of HEADER_DTYPE)
    header_size   293 (version 3) or 292 (older versions)
    kind          "processed" (.prc, PROCESSED_DTYPE) or "raw" (RAW_DTYPE)
    records       the whole records, memory-mapped, read only
    tail_bytes    bytes of a cut last record after them (not in records)
    problems      what makes the file not whole and consistent, one text each
                  (each naming the file); empty for a good file
    """

    def __init__(self, path, kind=None):
        self.path = os.fspath(path)
        if kind is None:
            kind = _kind_from_name(self.path)
        if kind not in ("processed", "raw"):
            raise ValueError(f"kind must be 'processed' or 'raw', not {kind!r}")
        self.kind = kind
        dtype = PROCESSED_DTYPE if kind == "processed" else RAW_DTYPE
        start, size = _read_start(self.path, HEADER_V3_BYTES)
        if len(start) < HEADER_OTHER_BYTES:
            raise CaptureError(self.path, f"file is {size} bytes, shorter than a capture header "
                               f"({HEADER_OTHER_BYTES} bytes, {HEADER_V3_BYTES} for version 3)")
        version = int.from_bytes(start[0:4], "little")
        if not OLDEST_HEADER_VERSION <= version <= HEADER_VERSION:
            raise CaptureError(self.path, f"header version {version}: this system writes "
                               f"{HEADER_VERSION} and reads {OLDEST_HEADER_VERSION} to "
                               f"{HEADER_VERSION} (not a capture file?)")
        if version == HEADER_VERSION:
            if len(start) < HEADER_V3_BYTES:
                raise CaptureError(self.path, f"file is {size} bytes, shorter than a version-3 "
                                   f"capture header ({HEADER_V3_BYTES} bytes)")
            self.header_size = HEADER_V3_BYTES
            header_bytes = start
        else:
            self.header_size = HEADER_OTHER_BYTES
            header_bytes = start[:HEADER_OTHER_BYTES] + bytes([SENSOR_MODEL_UNKNOWN])
        self.header = np.frombuffer(header_bytes, dtype=HEADER_DTYPE).view(np.recarray)[0]
        if version == HEADER_VERSION and self.header.sensor_model not in (0, 1):
            raise CaptureError(self.path, f"version-3 header with sensor model "
                               f"{self.header.sensor_model} (expected 0 or 1)")
        self.record_size = dtype.itemsize
        data = size - self.header_size
        count = data // self.record_size
        self.tail_bytes = data % self.record_size
        self.problems = []
        if self.tail_bytes:
            self.problems.append(f"{self.path}: ends inside a record ({self.tail_bytes} bytes of "
                                 f"a cut record after {count} whole ones; cut by a crash?)")
        if count != self.header.num_samples:
            self.problems.append(f"{self.path}: {count} records, but the header counts "
                                 f"{self.header.num_samples}")
        self.records = _map_records(self.path, dtype, self.header_size, count)

    def __len__(self):
        return len(self.records)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Lets go of the mapping (once no other array refers to it)."""
        self.records = _map_records(self.path, self.records.dtype, 0, 0)

    @property
    def sample_period_s(self):
        return self.header.sample_period * 1e-6

    @property
    def cal_file(self):
        return cal_file_name(self.header)

    @property
    def sensor_model_khz(self):
        """50 or 200, None when the header does not say."""
        return {0: 50, 1: 200}.get(int(self.header.sensor_model))


def open_capture(path, kind=None):
    """Opens a capture file; kind from the name (.prc: processed) unless given.

    Raises CaptureError (naming the file) for a file that cannot be opened,
    is shorter than a header or has a header this system does not read. A cut
    last record or a count that disagrees with the header is no error: the whole
    records are there, and Capture.problems tells.
    """
    return Capture(path, kind)


def cal_file_name(header):
    """The calibration file name in a header record, up to its NUL (all 256
    bytes when there is none), as text."""
    raw = bytes(np.asarray(header["cal_file"], dtype=np.uint8))
    return raw.split(b"\0", 1)[0].decode("latin-1")


def revolutions(flags):
    """Revolution number per sample from the processed flags: 0 before the
    first index mark, then one more at every mark (the marked sample starts
    its revolution)."""
    return np.cumsum((np.asarray(flags) & INDEX_FLAG) != 0, dtype=np.int64)


class BlockIndex:
    """An open block index file.

    header      the index header as a numpy record (INDEX_HEADER_DTYPE)
    blocks      the whole block records, memory-mapped (BLOCK_DTYPE fields; a
                later version's longer records are stepped over)
    tail_bytes  bytes of a cut last record (not in blocks)
    problems    texts naming the file; empty for a whole file
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        start, size = _read_start(self.path, INDEX_HEADER_DTYPE.itemsize)
        if len(start) < INDEX_HEADER_DTYPE.itemsize:
            raise CaptureError(self.path, f"file is {size} bytes, shorter than a block index "
                               f"header ({INDEX_HEADER_DTYPE.itemsize} bytes)")
        self.header = np.frombuffer(start, dtype=INDEX_HEADER_DTYPE).view(np.recarray)[0]
        if bytes(self.header.magic) != INDEX_MAGIC:
            raise CaptureError(self.path, f"not a block index (starts {bytes(start[:8])!r}, "
                               f"expected {INDEX_MAGIC!r})")
        if self.header.version != INDEX_VERSION:
            raise CaptureError(self.path, f"block index version {self.header.version}; "
                               f"this reader knows version {INDEX_VERSION}")
        header_size = int(self.header.header_size)
        record_size = int(self.header.record_size)
        if header_size < INDEX_HEADER_DTYPE.itemsize or record_size < BLOCK_DTYPE.itemsize:
            raise CaptureError(self.path, f"block index header size {header_size} or record "
                               f"size {record_size} below {INDEX_HEADER_DTYPE.itemsize} and "
                               f"{BLOCK_DTYPE.itemsize}")
        if size < header_size:
            raise CaptureError(self.path, f"file is {size} bytes, shorter than its header "
                               f"({header_size} bytes)")
        dtype = BLOCK_DTYPE
        if record_size != BLOCK_DTYPE.itemsize:
            dtype = np.dtype({"names": BLOCK_DTYPE.names,
                              "formats": [BLOCK_DTYPE.fields[n][0] for n in BLOCK_DTYPE.names],
                              "offsets": [BLOCK_DTYPE.fields[n][1] for n in BLOCK_DTYPE.names],
                              "itemsize": record_size})
        count = (size - header_size) // record_size
        self.tail_bytes = (size - header_size) % record_size
        self.problems = []
        if self.tail_bytes:
            self.problems.append(f"{self.path}: ends inside a block record ({self.tail_bytes} "
                                 f"bytes after {count} whole ones; cut by a crash?)")
        self.blocks = _map_records(self.path, dtype, header_size, count)

    def __len__(self):
        return len(self.blocks)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.blocks = np.zeros(0, dtype=self.blocks.dtype)


def open_index(path):
    """Opens a block index file; CaptureError for another magic, an unknown
    version or sizes below the first version's."""
    return BlockIndex(path)


def index_path_for(capture_path):
    """<base>.idx for <base>.prc or <base>.raw."""
    base, _ = os.path.splitext(os.fspath(capture_path))
    return base + ".idx"


class Timeline:
    """When each record of a capture was taken.

    With a block index: the sample clock (scanmon.clock, the scanmon library's
    algorithm) fits the card's sample clock under the fetches' returns (a fetch
    returns late, never early) and places each block's samples one fitted
    period apart. Samples dropped between blocks (their numbers, first_sample)
    show as a gap of their number of periods; samples the card lost on a block
    flagged with lost data, as a gap the returns tell. Times strictly increase
    within a run; a late return moves nothing. The same times as the library's
    scanmon_block_times for the capture read with its index. Without an index
    (or with one that does not describe the records): record k at k sample
    periods. Records past the end of the index continue from the last indexed
    block at its period.

    source     "block index" or "sample period"
    problems   texts naming the index file when it could not be used whole
    clock      the clock's state after the last block (a dict: lock,
               rate_hz, drift_ppm, residuals, ...; None without an index)
    """

    def __init__(self, capture, index=None):
        self._count = len(capture)
        self._period_ns = int(capture.header.sample_period) * 1000
        self.problems = []
        self.clock = None
        self._blocks = None
        if index is not None and len(index.blocks):
            self._use_index(index)
        self.source = "sample period" if self._blocks is None else "block index"

    def _use_index(self, index):
        blocks = index.blocks
        counts = blocks["count"].astype(np.int64)
        first = blocks["first_record"].astype(np.int64)
        expected = np.concatenate(([0], np.cumsum(counts)[:-1]))
        bad = np.flatnonzero(first != expected)
        covered = int(counts.sum())
        if bad.size or covered == 0:
            b = int(bad[0]) if bad.size else 0
            self.problems.append(f"{index.path}: block {b} starts at record {first[b]}, not "
                                 f"{expected[b]} (the blocks do not follow each other); times "
                                 f"from the sample period instead" if bad.size else
                                 f"{index.path}: its blocks hold no samples; times from the "
                                 f"sample period instead")
            return
        if covered < self._count:
            self.problems.append(f"{index.path}: describes {covered} of {self._count} records; "
                                 f"the rest timed from the sample period")
        elif covered > self._count:
            self.problems.append(f"{index.path}: reaches past the records: describes {covered}, "
                                 f"the capture holds {self._count}")
        full = np.flatnonzero(counts > 0)
        clock = SampleClock(float(self._period_ns))
        first_mono = np.zeros(full.size, dtype=np.int64)
        period = np.zeros(full.size, dtype=np.float64)
        lost = (blocks["flags"] & BLOCK_LOST_DATA) != 0
        for i, (sample, count, mono, flag) in enumerate(zip(
                blocks["first_sample"][full].tolist(), counts[full].tolist(),
                blocks["mono_ns"][full].tolist(), lost[full].tolist())):
            first_mono[i], period[i] = clock.add(sample, count, mono, flag)[:2]
        self.clock = clock.fit()
        # UTC through each block's own offset between the two clocks.
        utc = blocks["utc_ns"][full].astype(np.int64)
        first_utc = np.where(utc != 0, utc + (first_mono - blocks["mono_ns"][full].astype(np.int64)),
                             0)
        self._blocks = (first[full], first_mono, first_utc, period, covered)
        self._start_mono = int(first_mono[0])

    def _clocks_ns(self, r):
        """Monotonic and UTC ns of records r."""
        first, first_mono, first_utc, period, covered = self._blocks
        b = np.searchsorted(first, r, side="right") - 1
        offset = np.floor((r - first[b]) * period[b] + 0.5).astype(np.int64)
        return first_mono[b] + offset, first_utc[b] + offset

    def times(self, start=0, stop=None):
        """(time_s, utc_ns) for records start..stop-1: seconds since the first
        record (float64), and UTC in ns since 1970 (int64; None without an
        index)."""
        stop = self._count if stop is None else min(stop, self._count)
        r = np.arange(start, max(start, stop), dtype=np.int64)
        if self._blocks is None:
            return r * (self._period_ns * 1e-9), None
        mono_ns, utc_ns = self._clocks_ns(r)
        return (mono_ns - self._start_mono) * 1e-9, utc_ns


def sample_times(capture, index=None):
    """Timeline(capture, index).times() for every record: (time_s, utc_ns)."""
    return Timeline(capture, index).times()
