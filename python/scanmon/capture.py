"""Capture files (.prc, .raw) and their block index (.idx), read with numpy alone.

A capture file is a little-endian header (293 bytes for version 3, 292 for the
versions 1 and 2 read by this system) followed by fixed-size records: 64-byte
processed records in a .prc file, the card's 16-byte raw records in a .raw file.
Record k of both files is the same sample. The block index <base>.idx tells in
which fetch each record came and when the host received it.

A capture opens at once whatever its size: its records are read when first
used (Capture.records), or only those asked for (capture[a:b],
Capture.read_records), or memory-mapped when asked (open_capture(path,
mmap=True)). Nothing here needs the scanmon library or a compiler.
"""

import os
import stat

import numpy as np

from .errors import CaptureError, CaptureOpenError
from .fields import FieldMap, field_map_path_for, read_field_map
from .clock import SampleClock
from .revolution import RevolutionAssembler, default_max_samples

__all__ = [
    "BLOCK_LOST_DATA", "BLOCK_DROPPED", "BLOCK_DTYPE", "BLOCK_INT64_DTYPE", "BlockIndex",
    "Capture", "CaptureError", "CaptureHeader", "CaptureOpenError", "GAP_DTYPE", "HEADER_DTYPE",
    "HEADER_FIELDS", "INDEX_FLAG", "INDEX_HEADER_DTYPE", "LOST_DATA_FLAG", "PROCESSED_DTYPE",
    "RAW_DTYPE", "RAW_LOST_DATA_BIT", "Timeline", "cal_file_name", "fingerprint", "gaps",
    "index_path_for", "iter_revolutions", "open_capture", "open_index", "revolutions",
    "sample_times",
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
    ("flags", "<u2"),  # bit 0: the driver's lost-data bit (see LOST_DATA_FLAG), bit 2: index mark
    ("driver_bytes_2", "u1", (6,)),
    ("angle", "<f8"),  # scan-mirror angle, radians
    ("driver_bytes_16", "u1", (48,)),
])
assert PROCESSED_DTYPE.itemsize == 64 and PROCESSED_DTYPE.fields["angle"][1] == 8
# The driver writes its lost-data bit into the last slot of the fetch buffer:
# a record carries it only when its fetch filled the buffer (the header's
# buf_size samples), as the last record of that fetch. Every fetch the card
# reported lost data on is marked in the block index (BLOCK_LOST_DATA), with
# or without it: gaps() finds them all.
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

# The block fields as int64 (the same bytes): counters used as indices stay
# integers (uint64 - 1 is a float64 in numpy). No counter reaches 2**63.
BLOCK_INT64_DTYPE = np.dtype([(name, "<i8" if BLOCK_DTYPE.fields[name][0] == np.dtype("<u8")
                               else BLOCK_DTYPE.fields[name][0]) for name in BLOCK_DTYPE.names])
assert BLOCK_INT64_DTYPE.itemsize == 64

INDEX_MAGIC = b"SCANMIDX"
INDEX_VERSION = 2
OLDEST_INDEX_VERSION = 1
# The largest header or record a reader steps over (a later version's), as the
# library's reader allows.
MAX_INDEX_STEP_BYTES = 4096
INDEX_HEADER_DTYPE = np.dtype([
    ("magic", "S8"),
    ("version", "<u4"),
    ("header_size", "<u4"),
    ("record_size", "<u4"),
    # Version 2: which capture the index belongs to. The 64-bit FNV-1a hash of
    # the first fingerprint_records processed records (64 bytes each, the
    # .prc file's bytes after its header); 0 records: not known yet (a
    # recorder stopped before its first records), nothing to check.
    ("fingerprint_records", "<u4"),
    ("fingerprint", "<u8"),
])
assert INDEX_HEADER_DTYPE.itemsize == 32
FINGERPRINT_RECORDS = 256


# The header's fields, named as docs/capture.md names them, in the file's order.
HEADER_FIELDS = HEADER_DTYPE.names


class CaptureHeader:
    """The capture header: one object wherever it comes from (Capture.header,
    Source.capture_header(), RemoteSource.header), its fields named as the
    file's header (docs/capture.md): version, sample_period (us), max_range
    (inches), buf_size, num_samples, motor1_encoder_ppr, motor2_encoder_ppr,
    calibration_value, motor1_power, motor2_power, comport, card_number,
    cal_file (the name as text, up to its NUL), sensor_model (0: 50 kHz,
    1: 200 kHz, 255: not told). cal_file_bytes: the field's 256 bytes as
    stored. Read as attributes or as header["name"]; the live library's
    names sample_period_us, max_range_in and com_port are read too."""

    __slots__ = HEADER_FIELDS + ("cal_file_bytes",)
    _ALIASES = {"sample_period_us": "sample_period", "max_range_in": "max_range",
                "com_port": "comport"}

    def __init__(self, **fields):
        unknown = set(fields) - set(HEADER_FIELDS) - set(self._ALIASES)
        if unknown:
            raise TypeError(f"no capture header field named {sorted(unknown)[0]!r}")
        for alias, name in self._ALIASES.items():
            if alias in fields:
                fields[name] = fields.pop(alias)
        name = fields.get("cal_file", b"")
        if isinstance(name, str):
            name = name.encode("latin-1")
        name = bytes(name)
        object.__setattr__(self, "cal_file_bytes", name[:256].ljust(256, b"\0"))
        for field in HEADER_FIELDS:
            value = fields.get(field, SENSOR_MODEL_UNKNOWN if field == "sensor_model" else 0)
            if field == "cal_file":
                value = name.split(b"\0", 1)[0].decode("latin-1")
            else:
                value = int(value)
            object.__setattr__(self, field, value)

    @classmethod
    def from_bytes(cls, data):
        """The header at the start of a capture file's bytes (293 for version
        3, 292 for versions 1 and 2, whose header has no model byte)."""
        data = bytes(data)
        version = int.from_bytes(data[0:4], "little")
        if version != HEADER_VERSION:
            data = data[:HEADER_OTHER_BYTES] + bytes([SENSOR_MODEL_UNKNOWN])
        record = np.frombuffer(data[:HEADER_V3_BYTES], dtype=HEADER_DTYPE)[0]
        fields = {name: record[name] for name in HEADER_FIELDS if name != "cal_file"}
        return cls(cal_file=record["cal_file"].tobytes(), **fields)

    def to_bytes(self):
        """The header as a version-3 capture file starts (293 bytes)."""
        record = np.zeros(1, dtype=HEADER_DTYPE)
        for name in HEADER_FIELDS:
            if name != "cal_file":
                record[name] = getattr(self, name)
        record["cal_file"] = np.frombuffer(self.cal_file_bytes, dtype=np.uint8)
        return record.tobytes()

    def __getattr__(self, name):
        if name in CaptureHeader._ALIASES:
            return getattr(self, CaptureHeader._ALIASES[name])
        raise AttributeError(f"capture header has no field {name!r}")

    def __setattr__(self, name, value):
        raise AttributeError("a capture header is read only")

    def __getitem__(self, name):
        if name in HEADER_FIELDS or name in CaptureHeader._ALIASES:
            return getattr(self, name)
        raise KeyError(name)

    def keys(self):
        return HEADER_FIELDS

    def as_dict(self):
        return {name: getattr(self, name) for name in HEADER_FIELDS}

    def __eq__(self, other):
        if not isinstance(other, CaptureHeader):
            return NotImplemented
        return self.as_dict() == other.as_dict() and self.cal_file_bytes == other.cal_file_bytes

    __hash__ = None

    def __repr__(self):
        fields = ", ".join(f"{n}={getattr(self, n)!r}" for n in HEADER_FIELDS)
        return f"CaptureHeader({fields})"

    @property
    def sample_period_s(self):
        return self.sample_period / 1e6

    @property
    def sensor_model_khz(self):
        """50 or 200, None when the header does not say."""
        return {0: 50, 1: 200}.get(self.sensor_model)


_FILE_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a pipe (FIFO)"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
               (stat.S_ISSOCK, "a socket"))


def _open_regular(path):
    """The file opened for reading, refused unless it is a regular file: a
    FIFO given as a capture must not block, a device must not be read for
    ever. CaptureOpenError (an OSError too) when it cannot be opened."""
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
    try:
        fd = os.open(path, flags)
    except OSError as error:
        raise CaptureOpenError(path, f"cannot open: {error.strerror or error}", error.errno,
                               error.strerror) from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = next((text for test, text in _FILE_KINDS if test(mode)), "not a regular file")
            raise CaptureError(path, f"is {kind}, not a file: captures and indexes are read "
                               f"from regular files")
        return os.fdopen(fd, "rb", buffering=0)
    except BaseException:
        os.close(fd)
        raise


def _read_at(f, path, offset, size):
    f.seek(offset)
    data = bytearray()
    while len(data) < size:
        try:
            chunk = f.read(size - len(data))
        except OSError as error:
            raise CaptureError(path, f"reading failed: {error.strerror or error}") from None
        if not chunk:
            break
        data += chunk
    return bytes(data)


def _kind_from_name(path):
    return "processed" if os.fspath(path).lower().endswith(".prc") else "raw"


class Capture:
    """An open capture file.

    header        the header (a CaptureHeader)
    header_size   293 (version 3) or 292 (older versions)
    kind          "processed" (.prc, PROCESSED_DTYPE) or "raw" (RAW_DTYPE)
    records       the whole records (a numpy array, read only): read when first
                  used, or memory-mapped with mmap=True
    tail_bytes    bytes of a cut last record after them (not in records)
    problems      what makes the file not whole and consistent, one text each
                  (each naming the file); empty for a good file
    fields        the field map naming the driver's bytes (a FieldMap:
                  <base>.fields beside the capture), or None: then nothing is
                  decoded (field(), named_records())

    len(capture) is the number of whole records; capture[k] and capture[a:b]
    read only the records asked for (as capture.records[k] and [a:b] give
    them).
    """

    def __init__(self, path, kind=None, mmap=False, fields=None):
        self.path = os.fspath(path)
        if kind is None:
            kind = _kind_from_name(self.path)
        if kind not in ("processed", "raw"):
            raise ValueError(f"kind must be 'processed' or 'raw', not {kind!r}")
        self.kind = kind
        self.dtype = PROCESSED_DTYPE if kind == "processed" else RAW_DTYPE
        self.fields = _field_map(self.path, kind, fields)
        self._file = _open_regular(self.path)
        try:
            self._open(mmap)
        except BaseException:
            self._file.close()
            raise

    def _open(self, mmap):
        size = os.fstat(self._file.fileno()).st_size
        start = _read_at(self._file, self.path, 0, HEADER_V3_BYTES)
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
        else:
            self.header_size = HEADER_OTHER_BYTES
        self.header = CaptureHeader.from_bytes(start)
        if version == HEADER_VERSION and self.header.sensor_model not in (0, 1):
            raise CaptureError(self.path, f"version-3 header with sensor model "
                               f"{self.header.sensor_model} (expected 0 or 1)")
        self.record_size = self.dtype.itemsize
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
        self._count = count
        self._records = None
        if mmap and count:
            try:
                self._records = np.memmap(self._file, dtype=self.dtype, mode="r",
                                          offset=self.header_size, shape=(count,))
            except (OSError, ValueError) as error:  # e.g. cut meanwhile
                raise CaptureError(self.path, f"cannot map its records: {error}") from None

    @property
    def records(self):
        if self._records is None:
            self._records = self.read_records(0, self._count)
            self._records.flags.writeable = False
        return self._records

    def read_records(self, start=0, stop=None):
        """Records start..stop-1 (negative numbers count from the end, as in a
        slice) read from the file into a new array. CaptureError when the file
        no longer holds them (cut since it was opened)."""
        start, stop, _ = slice(start, stop).indices(self._count)
        count = max(0, stop - start)
        if self._file is None:
            raise ValueError(f"{self.path}: the capture is closed")
        out = np.empty(count, dtype=self.dtype)
        view = memoryview(out.view(np.uint8).reshape(-1))
        self._file.seek(self.header_size + start * self.record_size)
        done = 0
        while done < len(view):  # straight into the array: no copy of a large read
            try:
                got = self._file.readinto(view[done:])
            except OSError as error:
                raise CaptureError(self.path, f"reading failed: {error.strerror or error}") \
                    from None
            if not got:
                raise CaptureError(self.path, f"holds {done // self.record_size + start} whole "
                                   f"records now, {self._count} when it was opened (cut since)")
            done += got
        return out

    def __len__(self):
        return self._count

    def __getitem__(self, key):
        if self._records is None:
            if isinstance(key, slice) and key.step in (None, 1):
                return self.read_records(key.start, key.stop)
            if isinstance(key, (int, np.integer)):
                k = int(key) + (self._count if key < 0 else 0)
                if not 0 <= k < self._count:
                    raise IndexError(f"record {int(key)} of {self._count}")
                return self.read_records(k, k + 1)[0]
        return self.records[key]

    def __repr__(self):
        period = self.header.sample_period
        khz = self.sensor_model_khz
        problems = f", {len(self.problems)} problem{'s' if len(self.problems) > 1 else ''}" \
            if self.problems else ""
        return (f"<Capture {self.path!r}: {self.kind}, {self._count} records, version "
                f"{self.header.version}, {period} us{f' ({khz} kHz model)' if khz else ''}, "
                f"cal {self.cal_file!r}{problems}>")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Lets go of the records and the file (a mapping once no other array
        refers to it)."""
        self._records = np.zeros(0, dtype=self.dtype)
        self._count = 0
        if self._file is not None:
            self._file.close()
            self._file = None

    @property
    def sample_period_s(self):
        return self.header.sample_period_s

    @property
    def cal_file(self):
        return self.header.cal_file

    @property
    def sensor_model_khz(self):
        """50 or 200, None when the header does not say."""
        return self.header.sensor_model_khz

    def _map(self):
        if self.fields is None:
            raise CaptureError(self.path, f"no field map: nothing is decoded without one "
                               f"({field_map_path_for(self.path)} is not there; "
                               f"capture-record --fields puts one beside a capture)")
        return self.fields

    def named_records(self, start=0, stop=None):
        """Records start..stop-1 seen through the field map's dtype (flags,
        angle and the map's fields by name, as stored). CaptureError without a
        map."""
        fields = self._map()
        records = self.records[start:stop] if self._records is not None \
            else self.read_records(start, stop)
        return fields.view(records)

    def field(self, name, start=0, stop=None):
        """The values of the map's field `name` in records start..stop-1: the
        stored numbers times the field's scale, float64. CaptureError without a
        map, KeyError for a name it does not have."""
        fields = self._map()
        fields[name]  # the name checked before any record is read
        return fields.values(self.named_records(start, stop), name)

    def to_dataframe(self, index=None, flat=True):
        """The records as capture-export writes them (one row per record; its
        columns), as a pandas DataFrame: the driver's bytes one column per
        byte. index: a BlockIndex for the host's times, the blocks and the
        gaps (else times from the sample period). Needs pandas."""
        try:
            import pandas
        except ImportError:
            raise ImportError("Capture.to_dataframe needs pandas (Debian: apt-get install "
                              "python3-pandas; or pip install pandas)") from None
        from .export import export_rows
        timeline = Timeline(self, index)
        rows, _ = export_rows(self, timeline, 0, len(self), 0, flat=flat)
        return pandas.DataFrame(rows)


def _field_map(path, kind, fields):
    if fields is False or kind != "processed":
        return None
    if isinstance(fields, FieldMap):
        return fields
    if fields is not None:
        return read_field_map(fields)
    beside = field_map_path_for(path)
    return read_field_map(beside) if os.path.lexists(beside) else None


def open_capture(path, kind=None, mmap=False, fields=None):
    """Opens a capture file; kind from the name (.prc: processed) unless given.

    Raises CaptureError (naming the file) for a file that cannot be opened
    (then a CaptureOpenError, also an OSError), is not a regular file, is
    shorter than a header or has a header this system does not read. A cut
    last record or a count that disagrees with the header is no error: the
    whole records are there, and Capture.problems tells.

    mmap=True maps the records instead of reading them when first used: for
    captures larger than the memory, and only for files nothing cuts while
    they are open (a recording in progress, a recorder run with --force over
    it, capture-info --repair): a mapped file cut under a reader kills the
    process with SIGBUS on Linux.

    fields: the field map naming the driver's bytes (Capture.fields, for
    Capture.field and Capture.named_records). None takes <base>.fields when it
    is beside a processed capture (a bad one raises FieldMapError, a
    CaptureError); a path or a FieldMap, that map; False, none.
    """
    return Capture(path, kind, mmap, fields)


def cal_file_name(header):
    """The calibration file name in a header (a CaptureHeader, or a record of
    HEADER_DTYPE: up to its NUL, all 256 bytes when there is none), as text."""
    if isinstance(header, CaptureHeader):
        return header.cal_file
    raw = bytes(np.asarray(header["cal_file"], dtype=np.uint8))
    return raw.split(b"\0", 1)[0].decode("latin-1")


def revolutions(flags):
    """Revolution number per sample from the processed flags: 0 before the
    first index mark, then one more at every mark (the marked sample starts
    its revolution)."""
    return np.cumsum((np.asarray(flags) & INDEX_FLAG) != 0, dtype=np.int64)


def fingerprint(data):
    """The 64-bit FNV-1a hash of bytes, as the block index's fingerprint."""
    h = 0xCBF29CE484222325
    for byte in bytes(data):
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


class BlockIndex:
    """An open block index file.

    header      the index header as a numpy record (INDEX_HEADER_DTYPE)
    blocks      the whole block records (BLOCK_DTYPE fields; a later
                version's longer records are stepped over), read into memory
    tail_bytes  bytes of a cut last record (not in blocks)
    problems    texts naming the file; empty for a whole file
    fingerprint_records, fingerprint
                which capture it belongs to (version 2; 0 records: not told)
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        with _open_regular(self.path) as f:
            self._read(f)

    def _read(self, f):
        size = os.fstat(f.fileno()).st_size
        start = _read_at(f, self.path, 0, INDEX_HEADER_DTYPE.itemsize)
        if len(start) < INDEX_HEADER_DTYPE.itemsize:
            raise CaptureError(self.path, f"file is {size} bytes, shorter than a block index "
                               f"header ({INDEX_HEADER_DTYPE.itemsize} bytes)")
        self.header = np.frombuffer(start, dtype=INDEX_HEADER_DTYPE).view(np.recarray)[0]
        if bytes(self.header.magic) != INDEX_MAGIC:
            raise CaptureError(self.path, f"not a block index (starts {bytes(start[:8])!r}, "
                               f"expected {INDEX_MAGIC!r})")
        version = int(self.header.version)
        if not OLDEST_INDEX_VERSION <= version <= INDEX_VERSION:
            raise CaptureError(self.path, f"block index version {version}; this reader knows "
                               f"versions {OLDEST_INDEX_VERSION} to {INDEX_VERSION}")
        header_size = int(self.header.header_size)
        record_size = int(self.header.record_size)
        if header_size < INDEX_HEADER_DTYPE.itemsize or record_size < BLOCK_DTYPE.itemsize:
            raise CaptureError(self.path, f"block index header size {header_size} or record "
                               f"size {record_size} below {INDEX_HEADER_DTYPE.itemsize} and "
                               f"{BLOCK_DTYPE.itemsize}")
        if header_size > MAX_INDEX_STEP_BYTES or record_size > MAX_INDEX_STEP_BYTES:
            raise CaptureError(self.path, f"block index header size {header_size} or record "
                               f"size {record_size} above {MAX_INDEX_STEP_BYTES}: not an "
                               f"index this reader steps over")
        if size < header_size:
            raise CaptureError(self.path, f"file is {size} bytes, shorter than its header "
                               f"({header_size} bytes)")
        self.fingerprint_records = int(self.header.fingerprint_records) if version >= 2 else 0
        self.fingerprint = int(self.header.fingerprint) if version >= 2 else 0
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
        data = _read_at(f, self.path, header_size, count * record_size)
        count = len(data) // record_size  # cut meanwhile: what is there
        blocks = np.frombuffer(bytearray(data[:count * record_size]), dtype=dtype)
        # The first version's fields, packed: the same layout whatever stepped over.
        self.blocks = blocks.astype(BLOCK_DTYPE) if dtype is not BLOCK_DTYPE else blocks

    def __len__(self):
        return len(self.blocks)

    def __repr__(self):
        return (f"<BlockIndex {self.path!r}: version {int(self.header.version)}, "
                f"{len(self.blocks)} blocks>")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.blocks = np.zeros(0, dtype=BLOCK_DTYPE)

    def as_int64(self):
        """The blocks with the uint64 fields as int64 (a view: the same
        bytes), so that block counters used as indices stay integers."""
        return self.blocks.view(BLOCK_INT64_DTYPE)

    def check_capture(self, capture):
        """Raises CaptureError when the index belongs to another capture than
        this processed one (by its fingerprint). Nothing is checked for a
        version-1 index, an index whose recorder stopped before its first
        records, or a raw capture (the fingerprint is over the .prc records).
        Returns a text when the capture holds fewer records than the
        fingerprint covers (cut: it cannot be checked), else None."""
        n = self.fingerprint_records
        if n == 0 or capture.kind != "processed":
            return None
        if len(capture) < n:
            return (f"{self.path}: belongs to a capture of at least {n} records; "
                    f"{capture.path} holds {len(capture)}, so which capture it belongs to "
                    f"is not checked")
        got = fingerprint(capture.read_records(0, n).tobytes())
        if got != self.fingerprint:
            raise CaptureError(self.path, f"is the block index of another capture, not of "
                               f"{capture.path} (the fingerprint of its first {n} records "
                               f"is {self.fingerprint:016x}, theirs {got:016x})")
        return None


def open_index(path, capture=None):
    """Opens a block index file; CaptureError for another magic, an unknown
    version or sizes below the first version's. With a capture (a processed
    one), also when the index belongs to another capture (BlockIndex.
    check_capture); its note for a capture too short to check is added to
    the index's problems."""
    index = BlockIndex(path)
    if capture is not None:
        note = index.check_capture(capture)
        if note:
            index.problems.append(note)
    return index


def index_path_for(capture_path):
    """<base>.idx for <base>.prc or <base>.raw."""
    base, _ = os.path.splitext(os.fspath(capture_path))
    return base + ".idx"


GAP_DTYPE = np.dtype([
    ("record", "<i8"),  # the first record after the gap
    ("block", "<i8"),  # its block's number in the index
    ("utc_ns", "<i8"),  # host UTC at that block's fetch's return
    ("kind", "U32"),  # as capture-info says it
    ("not_kept", "<i8"),  # samples the recorder could not keep (exact)
    ("card_lost", "?"),  # the card reported lost data around the gap
    ("samples", "<i8"),  # samples missing (not kept + the host clock's estimate); -1 unknown
    ("duration_s", "<f8"),  # time missing between the records around it (NaN before record 0)
])


def gaps(capture, index, timeline=None):
    """The gaps in a capture's samples, one row per gap, as capture-info
    reports them (a numpy array of GAP_DTYPE): where (the record after it,
    its block, the host's UTC), the kind ("not kept (ring full)", "lost on
    the card", both, or "numbering jumps"), samples missing (exact for those
    not kept; for the card's losses the host clock's estimate; -1 when not
    known) and the time missing between the record before and after (by
    the timeline given, else Timeline(capture, index), less one sample
    period)."""
    b = index.as_int64()
    count = len(b)
    if count == 0:
        return np.zeros(0, dtype=GAP_DTYPE)
    flags = index.blocks["flags"]
    card = (flags & BLOCK_LOST_DATA) != 0
    dropped = (flags & BLOCK_DROPPED) != 0
    card_around = card.copy()
    card_around[1:] |= card[:-1]  # a loss is before its block and after it
    jump = np.zeros(count, dtype=bool)
    jump[1:] = ((b["first_sample"][1:] != b["first_sample"][:-1] + b["count"][:-1])
                | (b["first_record"][1:] != b["first_record"][:-1] + b["count"][:-1]))
    at = np.flatnonzero(card_around | dropped | jump)
    out = np.zeros(at.size, dtype=GAP_DTYPE)
    out["record"] = b["first_record"][at]
    out["block"] = at
    out["utc_ns"] = b["utc_ns"][at]
    out["not_kept"] = np.where(dropped[at], b["dropped_before"][at], 0)
    out["card_lost"] = card_around[at]
    period_s = capture.header.sample_period * 1e-6
    samples = out["not_kept"].copy()
    for row, k in enumerate(at):
        if not card_around[k]:
            continue
        if k == 0 or period_s <= 0:
            samples[row] = -1
            continue
        taken = (int(b["mono_ns"][k]) - int(b["mono_ns"][k - 1])) * 1e-9 / period_s
        missing = taken - int(b["count"][k]) - int(b["dropped_before"][k])
        samples[row] += int(round(missing)) if missing > 0 else 0
    out["samples"] = samples
    out["kind"] = [", ".join(filter(None, ("not kept (ring full)" if d else "",
                                           "lost on the card" if c else ""))) or
                   "numbering jumps" for d, c in zip(dropped[at], card_around[at])]
    records = out["record"]
    inside = (records > 0) & (records < len(capture))
    if timeline is None:
        timeline = Timeline(capture, index)
    r = records[inside]
    out["duration_s"] = np.nan
    # (To the ns: no float residue where nothing is missing.)
    out["duration_s"][inside] = np.round(timeline.times_at(r)[0] - timeline.times_at(r - 1)[0] -
                                         period_s, 9)
    return out


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

    An index of another capture (by its fingerprint) raises CaptureError.
    """

    def __init__(self, capture, index=None):
        self._count = len(capture)
        self._period_ns = int(capture.header.sample_period) * 1000
        self.problems = []
        self.clock = None
        self._blocks = None
        if index is not None:
            note = index.check_capture(capture)  # CaptureError: another capture's
            if note:
                self.problems.append(note)
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
        # Each block's times as the clock gave them (the revolutions use them).
        self._block_clock = []
        for i, (sample, count, mono, flag) in enumerate(zip(
                blocks["first_sample"][full].tolist(), counts[full].tolist(),
                blocks["mono_ns"][full].tolist(), lost[full].tolist())):
            times = clock.add(sample, count, mono, flag)
            self._block_clock.append(times)
            first_mono[i], period[i] = times[:2]
        self._full_blocks = blocks[full]
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
        index). start and stop are taken as a slice's: negative numbers count
        from the end (times(-5): the last five records), numbers beyond the
        records stop at them."""
        start, stop, _ = slice(start, stop).indices(self._count)
        return self.times_at(np.arange(start, max(start, stop), dtype=np.int64))

    def times_at(self, records):
        """(time_s, utc_ns) as times() gives them, for the records numbered
        in an array (0 to len(capture) - 1)."""
        r = np.asarray(records, dtype=np.int64)
        if self._blocks is None:
            return r * (self._period_ns * 1e-9), None
        mono_ns, utc_ns = self._clocks_ns(r)
        return (mono_ns - self._start_mono) * 1e-9, utc_ns


def iter_revolutions(capture, index=None, complete_only=False, max_samples=0, timeline=None):
    """The mirror's revolutions in a capture, as the scanmon library's revolution
    reader gives them for the capture read with its index: (info, samples)
    pairs, info with scanmon_revolution's fields (number, first_sample, count,
    expected, start_mono_ns, start_utc_ns, duration_ns, rate_hz, completeness,
    flags: scanmon.revolution.REVOLUTION_*), first_record and time_s (its first
    sample's time as Timeline gives it, seconds since the first record);
    samples a view of capture.records. Times from the timeline given, else
    Timeline(capture, index). With an index its blocks within the records are
    read (records past the last are not: the library reads none either);
    without one (or one the timeline cannot use) blocks of the header's buffer
    size at the sample period. complete_only: only revolutions without flags
    (the numbers count the others too). max_samples: a revolution without an
    index mark ends there (0: one second of samples)."""
    if timeline is None:
        timeline = Timeline(capture, index)
    records = capture.records
    period_us = int(capture.header.sample_period)
    assembler = RevolutionAssembler(max_samples or default_max_samples(period_us), complete_only,
                                    records)
    total = len(records)

    def timed(found):
        for info, samples in found:
            if timeline._blocks is None:
                info.time_s = info.start_mono_ns * 1e-9
            else:
                info.time_s = (info.start_mono_ns - timeline._start_mono) * 1e-9
            yield info, samples

    if timeline._blocks is not None:
        blocks = timeline._full_blocks
        for b, times in zip(blocks.tolist(), timeline._block_clock):
            first, count = int(b[2]), int(b[3])
            if first + count > total:
                break
            yield from timed(assembler.block(records[first:first + count], b[1], first, b[4],
                                             b[6], b[7], times))
    else:
        period_ns = period_us * 1000
        step = int(capture.header.buf_size) or 5000
        for first in range(0, total, step):
            count = min(step, total - first)
            yield from timed(assembler.block(records[first:first + count], first, first, 0, 0,
                                             first * period_ns,
                                             (first * period_ns, float(period_ns), 0, 0, False)))
    yield from timed(assembler.end())


def sample_times(capture, index=None):
    """Timeline(capture, index).times() for every record: (time_s, utc_ns)."""
    return Timeline(capture, index).times()
