"""capture-export: a processed capture (.prc) as CSV or as a NumPy .npy file.

One row per record: its number, its time, the mirror angle in degrees, the index
mark, the revolution number, the flags word and the driver's bytes. The output
is written beside its final name and renamed into place when complete, so a
stop, a crash or a full disk never leaves a half-written file under that name.
"""

import argparse
import errno
import os
import stat
import sys

import numpy as np

from . import __version__
from .capture import INDEX_FLAG, CaptureError, Timeline, index_path_for, open_capture, open_index

PROG = "capture-export"

EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_STOPPED = 3
EXIT_WRITE = 4
EXIT_NOT_WHOLE = 5

# Records formatted per round: bounds the memory whatever the capture's size.
CHUNK_RECORDS = 1 << 16

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

Times come from the block index <base>.idx when it is there (samples a
sample period apart by their number, each at the latest time its fetch's
return and the next fetches' allow; dropped samples leave a gap), otherwise
from the sample period in the header.

Exit status:
  0  exported; the capture and its index were whole and consistent
  1  the capture or its index cannot be read, is not a processed capture, or
     the output exists (without --force)
  2  usage error
  3  stopped by the operator (Ctrl-C): nothing is left under the output's name
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
                   help="output format (default: from the output's name, else csv)")
    p.add_argument("--index", metavar="FILE",
                   help="block index to take the times from (default: <base>.idx if present)")
    p.add_argument("--no-index", action="store_true",
                   help="times from the sample period even when a block index is there")
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


def output_dtype(with_utc):
    fields = [("record", "<u8"), ("time_s", "<f8")]
    if with_utc:
        fields.append(("utc_ns", "<i8"))
    fields += [("angle_deg", "<f8"), ("index_mark", "u1"), ("revolution", "<i8"),
               ("flags", "<u2"), ("driver_bytes_2", "u1", (6,)), ("driver_bytes_16", "u1", (48,))]
    return np.dtype(fields)


def export_rows(capture, timeline, start, stop, revolution_before):
    """Records start..stop-1 as an array of output_dtype(); also returns the
    revolution number of the last one."""
    records = capture.records[start:stop]
    time_s, utc_ns = timeline.times(start, stop)
    out = np.empty(len(records), dtype=output_dtype(utc_ns is not None))
    out["record"] = np.arange(start, stop)
    out["time_s"] = time_s
    if utc_ns is not None:
        out["utc_ns"] = utc_ns
    out["angle_deg"] = np.degrees(records["angle"])
    marks = (records["flags"] & INDEX_FLAG) != 0
    out["index_mark"] = marks
    out["revolution"] = revolution_before + np.cumsum(marks, dtype=np.int64)
    out["flags"] = records["flags"]
    out["driver_bytes_2"] = records["driver_bytes_2"]
    out["driver_bytes_16"] = records["driver_bytes_16"]
    last = int(out["revolution"][-1]) if len(out) else revolution_before
    return out, last


def _write_csv(f, capture, timeline):
    with_utc = timeline.source == "block index"
    names = list(output_dtype(with_utc).names)
    f.write((",".join(names) + "\n").encode())
    fmt = "%d,%.9f," + ("%d," if with_utc else "") + "%.9f,%d,%d,%d,%s,%s\n"
    revolution = 0
    for start in range(0, len(capture), CHUNK_RECORDS):
        rows, revolution = export_rows(capture, timeline, start,
                                       min(start + CHUNK_RECORDS, len(capture)), revolution)
        columns = [rows[n].tolist() for n in names[:-2]]
        columns.append(hex_strings(rows["driver_bytes_2"]).tolist())
        columns.append(hex_strings(rows["driver_bytes_16"]).tolist())
        f.write("".join(map(fmt.__mod__, zip(*columns))).encode())


def _write_npy(f, capture, timeline):
    dtype = output_dtype(timeline.source == "block index")
    np.lib.format.write_array_header_1_0(
        f, {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
            "shape": (len(capture),)})
    revolution = 0
    for start in range(0, len(capture), CHUNK_RECORDS):
        rows, revolution = export_rows(capture, timeline, start,
                                       min(start + CHUNK_RECORDS, len(capture)), revolution)
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


def write_export(capture, timeline, output, fmt, force=False):
    """Writes the export to output; OSError when it cannot (nothing is left
    under either name then), FileExistsError for an existing output without
    force. "-" is standard output; an existing device or pipe (/dev/null, a
    FIFO) is written into, never replaced."""
    write = _write_npy if fmt == "npy" else _write_csv
    if output == "-":
        write(sys.stdout.buffer, capture, timeline)
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
            write(f, capture, timeline)
        return
    if not force and os.path.lexists(output):
        raise FileExistsError(output)
    folder = os.path.dirname(os.path.abspath(output))
    temporary = os.path.join(folder, f".{os.path.basename(output)}.{os.getpid()}.part")
    try:
        with open(temporary, "xb") as f:
            write(f, capture, timeline)
            f.flush()
            os.fsync(f.fileno())
        _place(temporary, output, force)
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def main(argv=None, prog=PROG):
    args = _parser(prog).parse_args(argv)
    fmt = args.format
    output = args.output
    if fmt is None:
        fmt = "npy" if output and output.lower().endswith(".npy") else "csv"
    if output is None:
        output = os.path.splitext(args.capture)[0] + "." + fmt
    if args.index and args.no_index:
        _parser(prog).error("--index and --no-index exclude each other")

    def fail(status, text):
        print(f"{prog}: {text}", file=sys.stderr)
        return status

    try:
        capture = open_capture(args.capture)
        if capture.kind != "processed":
            return fail(EXIT_INPUT, f"{args.capture}: not a processed capture (.prc); the angle "
                        f"and the index marks are in the processed records")
        index = None
        if not args.no_index:
            index_path = args.index or index_path_for(args.capture)
            if args.index or os.path.exists(index_path):
                index = open_index(index_path)
    except CaptureError as error:
        return fail(EXIT_INPUT, str(error))

    timeline = Timeline(capture, index)
    count = len(capture)
    problems = capture.problems + (index.problems if index else []) + timeline.problems
    for problem in problems:
        print(f"{prog}: warning: {problem}", file=sys.stderr)
    if capture.header.sample_period == 0 and timeline.source == "sample period":
        print(f"{prog}: warning: {args.capture}: the header's sample period is 0: every "
              f"time is 0", file=sys.stderr)
    try:
        write_export(capture, timeline, output, fmt, args.force)
    except FileExistsError:
        return fail(EXIT_INPUT, f"{output} exists; give --force to replace it")
    except KeyboardInterrupt:
        return fail(EXIT_STOPPED, f"stopped; {output} not written")
    except OSError as error:
        return fail(EXIT_WRITE, f"writing {output} failed: {error.strerror or error}"
                    f"{f' (error {error.errno})' if error.errno else ''}")
    finally:
        capture.close()
        if index:
            index.close()
    print(f"{prog}: {count} records of {args.capture} to {output} ({fmt}; times from the "
          f"{timeline.source})", file=sys.stderr)
    return EXIT_NOT_WHOLE if problems else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
