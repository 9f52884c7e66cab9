"""capture-export: a processed capture (.prc) as CSV or as a NumPy .npy file.

One row per record: its number, its time, the mirror angle in degrees, the index
mark, the revolution number, the flags word, the driver's bytes and, with a
field map (<base>.fields), one column per field it names. With --revolutions
one row per revolution of the mirror instead. The output
is written beside its final name and renamed into place when complete, so a
stop, a crash or a full disk never leaves a half-written file under that name.
"""

import argparse
import errno
import os
import signal
import stat
import sys

import numpy as np

from . import __version__
from .capture import (INDEX_FLAG, CaptureError, Timeline, gaps, index_path_for,
                      iter_revolutions, open_capture, open_index)

PROG = "capture-export"

EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_STOPPED = 3
EXIT_WRITE = 4
EXIT_NOT_WHOLE = 5

# Records formatted per round: bounds the memory whatever the capture's size.
CHUNK_RECORDS = 1 << 16

# The formats by the output's extension.
FORMATS = {".csv": "csv", ".npy": "npy"}

EPILOG = """\
Columns (CSV header line; the same names in the .npy file's structured array):
  record           record number in the file, from 0
  time_s           seconds since the first record
  utc_ns           host UTC of the sample, ns since 1970 (with a block index)
  angle_deg        scan-mirror angle, degrees
  index_mark       1 where the mirror's index mark is set
  revolution       0 before the first index mark, then counts the marks
  flags            the record's flags word (bit 0 lost data, bit 2 index mark)
  driver_bytes_2   bytes 2-7 of the record, the driver's (hex in CSV)
  driver_bytes_16  bytes 16-63 of the record, the driver's (hex in CSV)
                   (--flat: one column per byte, driver_bytes_2_0 to _5 and
                   driver_bytes_16_0 to _47, so that pandas reads a .npy as
                   pandas.DataFrame(numpy.load(FILE)))
  <field>          with a field map (<base>.fields, or --fields): one column
                   per field, named by the map: the stored number times the
                   field's scale (its own type when the scale is 1)
  block            the record's block (fetch) in the index, -1 past it
                   (with a block index)
  gap_before       0, or the samples missing just before this record: exact
                   where the recorder could not keep them, the host clock's
                   estimate where the card lost them; -1 for a gap of unknown
                   size (with a block index)

With --revolutions, one row per revolution of the mirror (from an index mark
to the sample before the next), as the scanmon library's revolution reader
assembles them:
  number           revolutions from the first, from 0
  first_sample     its first sample's number (the card's count)
  first_record     its first sample's record
  count            samples present
  expected         samples its times span (present and missing inside)
  start_s          its first sample's time, seconds since the first record
  start_utc_ns     the same in host UTC, ns since 1970 (with a block index)
  duration_s       to the next revolution's first sample (a cut one: to one
                   sample period after its last)
  rate_hz          revolutions per second at that duration
  completeness     count / expected
  flags            0 complete; 1 the card lost data inside, 2 samples not
                   kept inside, 4 cut by the start, 8 cut by the end, 16 no
                   index mark for one second (a stopped mirror)

Times come from the block index <base>.idx when it is there (samples a
sample period apart by their number, each at the latest time its fetch's
return and the next fetches' allow; dropped samples leave a gap), otherwise
from the sample period in the header.

Exit status:
  0  exported; the capture and its index were whole and consistent
  1  the capture or its index cannot be read, is not a processed capture, the
     index belongs to another capture, the output exists (without --force) or
     is one of the inputs
  2  usage error
  3  stopped (Ctrl-C, SIGTERM, SIGHUP): nothing is left under the output's name
  4  the output could not be written (nothing is left under its name)
  5  exported, but the capture or its index was not whole (a cut last record,
     a count that disagrees with the header, an index that does not cover
     the records): the export holds every whole record
"""


class _Formatter(argparse.RawDescriptionHelpFormatter):
    # "Usage:" as every other scanmon program writes it (the manual page's
    # SYNOPSIS is made from that line).
    def add_usage(self, usage, actions, groups, prefix=None):
        return super().add_usage(usage, actions, groups, "Usage: " if prefix is None else prefix)


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\nTry '{self.prog} --help' for more.\n")


def _parser(prog):
    p = _Parser(prog=prog, formatter_class=_Formatter,
                description="Exports a processed capture (.prc) as CSV or as a NumPy .npy "
                "file: per sample its time, the mirror angle in degrees, the index mark, the "
                "revolution number and the driver's bytes.", epilog=EPILOG)
    p.add_argument("capture", metavar="CAPTURE.prc", help="the processed capture file")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="output file, - for standard output (default: the capture's name "
                   "with .csv or .npy)")
    p.add_argument("-f", "--format", choices=("csv", "npy"),
                   help="output format (default: from the output's name, .csv or .npy; "
                   "another name needs --format)")
    p.add_argument("--flat", action="store_true",
                   help="the driver's bytes one column per byte (a table pandas reads as is)")
    p.add_argument("--index", metavar="FILE",
                   help="block index to take the times from (default: <base>.idx if present)")
    p.add_argument("--no-index", action="store_true",
                   help="times from the sample period even when a block index is there")
    p.add_argument("--fields", metavar="FILE",
                   help="field map naming the driver's bytes (default: <base>.fields if "
                   "present): one column per field")
    p.add_argument("--no-fields", action="store_true",
                   help="no field columns even when a field map is there")
    p.add_argument("--revolutions", action="store_true",
                   help="one row per revolution of the mirror instead of one per record "
                   "(default output: <base>.revolutions.csv or .npy)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--version", action="version", version=f"{PROG} (scanmon) {__version__}")
    return p


def _hex_table():
    digits = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
    table = np.empty((256, 2), dtype=np.uint8)
    table[:, 0] = digits[np.arange(256) >> 4]
    table[:, 1] = digits[np.arange(256) & 15]
    return table


_HEX = _hex_table()


def hex_strings(byte_rows):
    """Each row of an (n, k) uint8 array as a 2k-character lower-case hex text."""
    rows = np.ascontiguousarray(byte_rows, dtype=np.uint8)
    n, k = rows.shape
    return _HEX[rows].reshape(n, 2 * k).view(f"S{2 * k}").ravel().astype(str)


def _field_type(field):
    """A field's column: its own type when it is not scaled, else float64."""
    return field.dtype.newbyteorder("<") if field.scale == 1 else np.dtype("<f8")


def output_dtype(with_utc, with_blocks=None, flat=False, fields=None):
    """The export's columns: utc_ns with a block index, then the driver's
    bytes (one column per byte when flat), one column per field of a field
    map, block and gap_before with a block index (with_blocks: as with_utc
    unless given)."""
    if with_blocks is None:
        with_blocks = with_utc
    columns = [("record", "<u8"), ("time_s", "<f8")]
    if with_utc:
        columns.append(("utc_ns", "<i8"))
    columns += [("angle_deg", "<f8"), ("index_mark", "u1"), ("revolution", "<i8"),
               ("flags", "<u2")]
    for name, size in (("driver_bytes_2", 6), ("driver_bytes_16", 48)):
        if flat:
            columns += [(f"{name}_{i}", "u1") for i in range(size)]
        else:
            columns.append((name, "u1", (size,)))
    for field in fields or ():
        columns.append((field.name, _field_type(field)))
    if with_blocks:
        columns += [("block", "<i8"), ("gap_before", "<i8")]
    return np.dtype(columns)


def revolution_dtype(with_utc):
    """The --revolutions table's columns: start_utc_ns with a block index."""
    columns = [("number", "<u8"), ("first_sample", "<u8"), ("first_record", "<u8"),
               ("count", "<u4"), ("expected", "<u4"), ("start_s", "<f8")]
    if with_utc:
        columns.append(("start_utc_ns", "<i8"))
    columns += [("duration_s", "<f8"), ("rate_hz", "<f8"), ("completeness", "<f8"),
                ("flags", "<u4")]
    return np.dtype(columns)


def revolution_table(capture, index, timeline):
    """Every revolution of the capture as an array of revolution_dtype() (in
    memory: about 70 bytes a revolution, 5 MB for an hour at 20 rev/s)."""
    dtype = revolution_dtype(timeline.source == "block index")
    rows = [(i.number, i.first_sample, i.first_record, i.count, i.expected, i.time_s) +
            ((i.start_utc_ns,) if "start_utc_ns" in dtype.names else ()) +
            (i.duration_ns * 1e-9, i.rate_hz, i.completeness, i.flags)
            for i, _ in iter_revolutions(capture, index, timeline=timeline)]
    return np.array(rows, dtype=dtype)


def _write_table(f, table, fmt):
    if fmt == "npy":
        np.lib.format.write_array(f, table, version=(1, 0))
        return
    names = table.dtype.names
    f.write((",".join(names) + "\n").encode())
    line = ",".join("%.9f" if table.dtype.fields[n][0].kind == "f" else "%d"
                    for n in names) + "\n"
    cells = [table[n].tolist() for n in names]
    f.write("".join(map(line.__mod__, zip(*cells))).encode())


class IndexColumns:
    """Each record's block and the gap before it, from the block index the
    timeline uses."""

    def __init__(self, capture, index, timeline):
        blocks = index.as_int64()
        full = np.flatnonzero(blocks["count"] > 0)
        self._first = blocks["first_record"][full]
        self._number = full
        self._end = int((blocks["first_record"][full] + blocks["count"][full]).max()) \
            if full.size else 0
        table = gaps(capture, index, timeline)
        samples = table["samples"]
        self._gap_records = table["record"]
        self._gap_samples = np.where(samples > 0, samples, -1)

    def fill(self, out, start, stop):
        r = np.arange(start, stop, dtype=np.int64)
        b = np.searchsorted(self._first, r, side="right") - 1
        out["block"] = np.where((b >= 0) & (r < self._end), self._number[np.maximum(b, 0)], -1)
        out["gap_before"] = 0
        lo, hi = np.searchsorted(self._gap_records, [start, stop])
        out["gap_before"][self._gap_records[lo:hi] - start] = self._gap_samples[lo:hi]


def export_rows(capture, timeline, start, stop, revolution_before, flat=False, columns=None):
    """Records start..stop-1 as an array of output_dtype(); also returns the
    revolution number of the last one. columns: an IndexColumns for the
    block and gap columns (none without)."""
    records = capture.read_records(start, stop)
    time_s, utc_ns = timeline.times(start, stop)
    out = np.empty(len(records), dtype=output_dtype(utc_ns is not None, columns is not None, flat,
                                                    capture.fields))
    out["record"] = np.arange(start, stop)
    out["time_s"] = time_s
    if utc_ns is not None:
        out["utc_ns"] = utc_ns
    out["angle_deg"] = np.degrees(records["angle"])
    marks = (records["flags"] & INDEX_FLAG) != 0
    out["index_mark"] = marks
    out["revolution"] = revolution_before + np.cumsum(marks, dtype=np.int64)
    out["flags"] = records["flags"]
    for name in ("driver_bytes_2", "driver_bytes_16"):
        if flat:
            for i in range(records[name].shape[1]):
                out[f"{name}_{i}"] = records[name][:, i]
        else:
            out[name] = records[name]
    if capture.fields is not None:
        named = capture.fields.view(records)
        for field in capture.fields:
            out[field.name] = named[field.name] if field.scale == 1 \
                else capture.fields.values(records, field.name)
    if columns is not None:
        columns.fill(out, start, stop)
    last = int(out["revolution"][-1]) if len(out) else revolution_before
    return out, last


def _rounds(capture, timeline, flat, columns):
    revolution = 0
    for start in range(0, len(capture), CHUNK_RECORDS):
        rows, revolution = export_rows(capture, timeline, start,
                                       min(start + CHUNK_RECORDS, len(capture)), revolution,
                                       flat, columns)
        yield rows


def _write_csv(f, capture, timeline, flat=False, columns=None):
    dtype = output_dtype(timeline.source == "block index", columns is not None, flat,
                         capture.fields)
    f.write((",".join(dtype.names) + "\n").encode())
    mapped = set(capture.fields.names) if capture.fields is not None else set()
    formats = []
    for name in dtype.names:
        field = dtype.fields[name][0]
        # A field's floats to 17 digits: a scale of 1e-6 keeps its meaning.
        formats.append("%s" if field.shape else ("%.17g" if name in mapped else "%.9f")
                       if field.kind == "f" else "%d")
    fmt = ",".join(formats) + "\n"
    for rows in _rounds(capture, timeline, flat, columns):
        cells = [hex_strings(rows[n]).tolist() if dtype.fields[n][0].shape else rows[n].tolist()
                 for n in dtype.names]
        f.write("".join(map(fmt.__mod__, zip(*cells))).encode())


def _write_npy(f, capture, timeline, flat=False, columns=None):
    dtype = output_dtype(timeline.source == "block index", columns is not None, flat,
                         capture.fields)
    np.lib.format.write_array_header_1_0(
        f, {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
            "shape": (len(capture),)})
    for rows in _rounds(capture, timeline, flat, columns):
        f.write(rows.tobytes())


def _place(temporary, output, force):
    """Gives the finished temporary file the output's name; without force
    never over an existing file, also one that appeared meanwhile."""
    if force:
        os.replace(temporary, output)
    elif os.name == "nt":
        os.rename(temporary, output)  # refuses an existing target
    else:
        os.link(temporary, output)  # refuses an existing target
        os.unlink(temporary)


def write_export(capture, timeline, output, fmt, force=False, flat=False, columns=None,
                 table=None):
    """Writes the export to output (table: that array instead of the
    records' rows); OSError when it cannot (nothing is left
    under either name then), FileExistsError for an existing output without
    force. "-" is standard output; an existing device or pipe (/dev/null, a
    FIFO) is written into, never replaced."""
    def write(f):
        if table is not None:
            _write_table(f, table, fmt)
        else:
            (_write_npy if fmt == "npy" else _write_csv)(f, capture, timeline, flat, columns)

    if output == "-":
        write(sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    try:
        kind = os.stat(output).st_mode
    except FileNotFoundError:
        kind = None
    if kind is not None and stat.S_ISDIR(kind):
        raise IsADirectoryError(errno.EISDIR, "is a folder", output)
    if kind is not None and not stat.S_ISREG(kind):
        with open(output, "wb") as f:
            write(f)
        return
    if not force and os.path.lexists(output):
        raise FileExistsError(output)
    folder = os.path.dirname(os.path.abspath(output))
    temporary = os.path.join(folder, f".{os.path.basename(output)}.{os.getpid()}.part")
    try:
        with open(temporary, "xb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        _place(temporary, output, force)
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


class Stopped(KeyboardInterrupt):
    """A termination signal during the export: unwinds as Ctrl-C does, so
    the temporary file is removed on the way out."""


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


def _format_for(output, fmt):
    """The format to write, or None for a name whose extension tells none."""
    if fmt is not None:
        return fmt
    if output == "-":
        return "csv"
    known = FORMATS.get(os.path.splitext(output)[1].lower())
    if known:
        return known
    try:
        if not stat.S_ISREG(os.stat(output).st_mode):
            return "csv"  # a device or a pipe: its name tells nothing
    except OSError:
        pass
    return None


def main(argv=None, prog=PROG):
    parser = _parser(prog)
    args = parser.parse_args(argv)
    if args.index and args.no_index:
        parser.error("--index and --no-index exclude each other")
    if args.fields and args.no_fields:
        parser.error("--fields and --no-fields exclude each other")
    output = args.output
    if output is None:
        fmt = args.format or "csv"
        output = os.path.splitext(args.capture)[0] + (".revolutions." if args.revolutions
                                                      else ".") + fmt
    else:
        fmt = _format_for(output, args.format)
        if fmt is None:
            parser.error(f"{output}: an output name ending neither .csv nor .npy; give "
                         f"--format csv or --format npy to write that format under it")

    def fail(status, text):
        print(f"{prog}: {text}", file=sys.stderr)
        return status

    index = None
    try:
        capture = open_capture(args.capture, fields=False if args.no_fields else args.fields)
        if capture.kind != "processed":
            return fail(EXIT_INPUT, f"{args.capture}: not a processed capture (.prc); the angle "
                        f"and the index marks are in the processed records")
        index_path = None
        if not args.no_index:
            index_path = args.index or index_path_for(args.capture)
            if args.index or os.path.lexists(index_path):
                index = open_index(index_path, capture)
            else:
                index_path = None
        map_path = capture.fields.path if capture.fields is not None else None
        for name, path in (("the capture", args.capture), ("its block index", index_path),
                           ("its field map", map_path)):
            if path is not None and output != "-" and _same_file(output, path):
                return fail(EXIT_INPUT, f"{output} is {name} ({path}), the same file: the "
                            f"export never replaces its own input")
        timeline = Timeline(capture, index)
    except CaptureError as error:
        return fail(EXIT_INPUT, str(error))

    count = len(capture)
    fields = capture.fields
    problems = capture.problems + (index.problems if index else []) + timeline.problems
    for problem in problems:
        print(f"{prog}: warning: {problem}", file=sys.stderr)
    if capture.header.sample_period == 0 and timeline.source == "sample period":
        print(f"{prog}: warning: {args.capture}: the header's sample period is 0: every "
              f"time is 0", file=sys.stderr)

    def stop(signum, frame):
        raise Stopped(signum)

    handlers = {}
    try:
        for name in ("SIGTERM", "SIGHUP"):
            if hasattr(signal, name):
                try:
                    handlers[name] = signal.signal(getattr(signal, name), stop)
                except ValueError:  # not the main thread: the caller's business
                    pass
        table = columns = None
        if args.revolutions:
            table = revolution_table(capture, index, timeline)
        elif timeline.source == "block index":
            columns = IndexColumns(capture, index, timeline)
        write_export(capture, timeline, output, fmt, args.force, args.flat, columns, table)
    except FileExistsError:
        return fail(EXIT_INPUT, f"{output} exists; give --force to replace it")
    except KeyboardInterrupt:
        return fail(EXIT_STOPPED, f"stopped; {output} not written")
    except CaptureError as error:
        return fail(EXIT_INPUT, f"{error}; {output} not written")
    except OSError as error:
        return fail(EXIT_WRITE, f"writing {output} failed: {error.strerror or error}"
                    f"{f' (error {error.errno})' if error.errno else ''}")
    finally:
        for name, handler in handlers.items():
            signal.signal(getattr(signal, name), handler)
        capture.close()
        if index:
            index.close()
    named = f"; {len(fields)} fields from {fields.path}" if fields is not None else ""
    what = f"{len(table)} revolutions" if table is not None else f"{count} records"
    print(f"{prog}: {what} of {args.capture} to {output} ({fmt}; times from the "
          f"{timeline.source}{named})", file=sys.stderr)
    return EXIT_NOT_WHOLE if problems else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
