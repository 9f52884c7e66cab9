"""Field maps (<base>.fields): names for the processed record's driver bytes.

The processed record is 64 bytes; this system knows its flags (bytes 0-1) and
the mirror angle (bytes 8-15), and the rest is the driver's. A field map says
what the driver puts there (the stand-in's is the demo's standin.fields; the
format is docs/fields.md), and capture-record --fields keeps a copy beside the
capture, which open_capture finds:

    with scanmon.open_capture("scan01.prc") as capture:
        if capture.fields is not None:
            ranges = capture.field("range")          # inches, scaled
            named = capture.named_records()          # a view with named fields

Without a map nothing is decoded and nothing is guessed. This reader refuses
what the C++ reader refuses, with the same messages.
"""

import math
import os
import re

import numpy as np

from .errors import CaptureError, CaptureOpenError

__all__ = ["FIELD_MAP_VERSION", "Field", "FieldMap", "FieldMapError", "field_map_path_for",
           "parse_field_map", "read_field_map"]

FIELD_MAP_VERSION = 1
RECORD_BYTES = 64
MAX_FILE_BYTES = 64 * 1024
MAX_LINE_BYTES = 200
MAX_NAME_BYTES = 32
MAX_UNIT_BYTES = 16
MAX_FIELDS = 54

# Type name: (numpy type, bytes). Little-endian.
TYPES = {"u8": "u1", "i8": "i1", "u16": "<u2", "i16": "<i2", "u32": "<u4", "i32": "<i4",
         "u64": "<u8", "i64": "<i8", "f32": "<f4", "f64": "<f8"}

# Names the record's own fields and capture-export's columns take.
RESERVED_NAMES = ("flags", "angle", "record", "time_s", "utc_ns", "angle_deg", "index_mark",
                  "revolution", "block", "gap_before")
RESERVED_PREFIX = "driver_bytes"

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_INTEGER = re.compile(r"-?[0-9]+\Z")
# What the C++ reader's std::from_chars takes (a leading "+" not); inf and nan
# are refused afterwards as not finite, by both.
_DECIMAL = re.compile(r"-?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?\Z|-?(inf|infinity|nan)\Z",
                      re.IGNORECASE)


class FieldMapError(CaptureError):
    """A field map that cannot be read or is not a good one. str() is the
    message ("<file> line N: ..."); path and line (None for the whole file)."""

    def __init__(self, path, what, line=None):
        super().__init__(path, what)
        self.line = line
        self.args = (f"{path} line {line}: {what}" if line else f"{path}: {what}",)


class Field:
    """One field: name, offset (its first byte), type ("u16", ...), scale
    (value = stored number x scale), unit ("" for none), dtype (numpy)."""

    __slots__ = ("name", "offset", "type", "scale", "unit", "dtype")

    def __init__(self, name, offset, type, scale, unit):
        self.name, self.offset, self.type, self.scale, self.unit = name, offset, type, scale, unit
        self.dtype = np.dtype(TYPES[type])

    @property
    def size(self):
        return self.dtype.itemsize

    def __repr__(self):
        unit = f" {self.unit}" if self.unit else ""
        scale = f" x {self.scale:g}" if self.scale != 1 else ""
        return f"<Field {self.name}: {self.type} at {self.offset}{scale}{unit}>"


class FieldMap:
    """A field map: path, version, fields (in the file's order). map["range"]
    is a Field; len(), iteration and `in` work on the fields."""

    def __init__(self, path, version, fields):
        self.path = path
        self.version = version
        self.fields = tuple(fields)
        self._by_name = {f.name: f for f in self.fields}

    def __len__(self):
        return len(self.fields)

    def __iter__(self):
        return iter(self.fields)

    def __contains__(self, name):
        return name in self._by_name

    def __getitem__(self, name):
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError(f"{self.path} names no field {name!r} (it names "
                           f"{', '.join(self.names) or 'none'})") from None

    @property
    def names(self):
        return tuple(f.name for f in self.fields)

    @property
    def dtype(self):
        """The processed record (64 bytes) with the map's names: flags and
        angle, then each field at its offset, as stored (not scaled)."""
        names = ["flags", "angle"] + list(self.names)
        formats = ["<u2", "<f8"] + [f.dtype for f in self.fields]
        offsets = [0, 8] + [f.offset for f in self.fields]
        return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                         "itemsize": RECORD_BYTES})

    def view(self, records):
        """Processed records (a PROCESSED_DTYPE array) seen through dtype: no copy."""
        records = np.asarray(records)
        if records.dtype.itemsize != RECORD_BYTES:
            raise ValueError(f"records of {records.dtype.itemsize} bytes, not the processed "
                             f"record's {RECORD_BYTES}")
        return records.view(self.dtype)

    def values(self, records, name):
        """The field's values in records: the stored numbers times the scale,
        as float64 (a 64-bit integer beyond 2**53 loses its last digits)."""
        field = self[name]
        stored = self.view(records)[field.name]
        return stored.astype(np.float64) * field.scale

    def __repr__(self):
        return f"<FieldMap {self.path!r}: version {self.version}, {', '.join(self.names)}>"


def _shown(word):
    text = "".join(c if " " <= c < "\x7f" else "?" for c in word[:40])
    return text + ("..." if len(word) > 40 else "")


def _words(line):
    words = []
    for word in line.replace("\t", " ").split(" "):
        if not word:
            continue
        if word.startswith("#") or len(words) == 6:
            break
        words.append(word)
    return words


def parse_field_map(data, path="field map"):
    """A FieldMap from the bytes of a map file; FieldMapError naming `path`
    and the line when it is not a good map."""
    if len(data) > MAX_FILE_BYTES:
        raise FieldMapError(path, f"larger than {MAX_FILE_BYTES // 1024} KiB (a field map is a "
                            f"short text)")
    # Bytes as characters one for one: a name or unit beyond ASCII is refused
    # below, a comment may hold anything printable.
    text = bytes(data).decode("latin-1")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    version = None
    fields, where = [], {}
    for number, line in enumerate(lines, 1):
        def fail(what):
            raise FieldMapError(path, what, number)
        if line.endswith("\r"):
            line = line[:-1]
        if len(line) > MAX_LINE_BYTES:
            fail(f"longer than {MAX_LINE_BYTES} characters")
        for c in line:
            if (ord(c) < 0x20 and c != "\t") or ord(c) == 0x7f:
                fail(f"holds the control character 0x{ord(c):02x}")
        words = _words(line)
        if not words:
            continue
        if version is None:
            if words[0] != "scanmon-fields":
                fail(f'"{_shown(words[0])}" where "scanmon-fields 1" must come first (not a '
                     f'field map?)')
            if len(words) != 2 or not _INTEGER.match(words[1]):
                fail('the first line must be "scanmon-fields" and a version number')
            if int(words[1]) != FIELD_MAP_VERSION:
                fail(f"version {_shown(words[1])}; this reader knows version {FIELD_MAP_VERSION}")
            version = FIELD_MAP_VERSION
            continue
        if len(words) != 5:
            fail(f'a field is five words, name offset type scale unit ("-" for no unit); this '
                 f'line has {"more" if len(words) > 5 else len(words)}')
        if len(fields) == MAX_FIELDS:
            fail(f"more than {MAX_FIELDS} fields")
        name, offset, type_, scale, unit = words
        if len(name) > MAX_NAME_BYTES or not _NAME.match(name):
            fail(f'name "{_shown(name)}": a letter or _ then letters, digits or _, at most '
                 f'{MAX_NAME_BYTES} characters')
        if name in RESERVED_NAMES:
            fail(f'the name "{name}" is the record\'s or the export\'s own')
        if name.startswith(RESERVED_PREFIX):
            fail('names starting "driver_bytes" are the export\'s own')
        if name in where:
            fail(f'the name "{name}" is taken (line {where[name]})')
        if not _INTEGER.match(offset) or not 0 <= int(offset) < RECORD_BYTES:
            fail(f'offset "{_shown(offset)}": a whole number 0 to 63')
        start = int(offset)
        if type_ not in TYPES:
            fail(f'type "{_shown(type_)}": one of u8 i8 u16 i16 u32 i32 u64 i64 f32 f64')
        end = start + np.dtype(TYPES[type_]).itemsize
        span = f"bytes {start}-{end - 1}"
        if end > RECORD_BYTES:
            fail(f"{span} reach past the 64-byte record")
        if start < 2:
            fail(f"{span} overlap the flags (bytes 0-1)")
        if start < 16 and end > 8:
            fail(f"{span} overlap the angle (bytes 8-15)")
        for other in fields:
            if start < other.offset + other.size and end > other.offset:
                fail(f'{span} overlap the field "{other.name}" (line {where[other.name]})')
        value = float(scale) if _DECIMAL.match(scale) else math.nan
        if not math.isfinite(value) or value == 0:
            fail(f'scale "{_shown(scale)}": a decimal number other than 0 (1 for none)')
        if unit != "-":
            if len(unit) > MAX_UNIT_BYTES:
                fail(f'unit "{_shown(unit)}": longer than {MAX_UNIT_BYTES} characters')
            if any(not "\x21" <= c <= "\x7e" for c in unit):
                fail(f'unit "{_shown(unit)}": printable ASCII only ("-" for none)')
        where[name] = number
        fields.append(Field(name, start, type_, value, "" if unit == "-" else unit))
    if version is None:
        raise FieldMapError(path, 'no "scanmon-fields 1" line: an empty file, or not a field map')
    if not fields:
        raise FieldMapError(path, "names no field")
    return FieldMap(os.fspath(path), version, fields)


def read_field_map(path):
    """The FieldMap in the file at path; FieldMapError (CaptureOpenError when
    it cannot be opened) otherwise."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except OSError as error:
        what = f"cannot open the field map: {error.strerror or error}"
        raise CaptureOpenError(path, what, error.errno, error.strerror) from None
    return parse_field_map(data, path)


def field_map_path_for(path):
    """<base>.fields beside a capture named with or without .prc."""
    path = os.fspath(path)
    base = path[:-4] if path.lower().endswith(".prc") and len(path) > 4 else path
    return base + ".fields"
