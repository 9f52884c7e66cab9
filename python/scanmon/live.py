"""Live sources through the scanmon shared library (ctypes).

    from scanmon import Source
    with Source.scanner(config="scan01.cfg") as source:
        block = source.read(timeout=1.0)          # a Block, or None on a time-out
        block.samples["angle"]                    # numpy, PROCESSED_DTYPE

    with Source.capture("scan01") as source:      # a recording, block by block
        for block in source:
            ...

A Source mirrors the C API (include/scanmon/scanmon.h): a failed call raises
ScanmonError with the library's status and its last-error text. Samples arrive
as numpy arrays filled by the library in one call per block: no Python code
runs per sample. A Source is used by one thread at a time, as in C.

The library is looked for in this order: the file or folder named by the
environment variable SCANMON_LIBRARY; the package's own folder, the folder
above it, that folder's ../bin (the Windows zips' layout) and the prefix's lib
(<prefix>/lib/python3/dist-packages/scanmon: <prefix>/lib); then the system's
library path (libscanmon.so.1, scanmon.dll).
"""

import ctypes
import ctypes.util
import enum
import math
import os
import sys
import types

import numpy as np

from .capture import BLOCK_DTYPE, PROCESSED_DTYPE, RAW_DTYPE, CaptureHeader
from .fields import field_map_path_for, read_field_map
from .errors import EndOfSource, Error

__all__ = ["Block", "EndOfSource", "ScanmonError", "Source", "Status", "library_version",
           "load_library"]


class Status(enum.IntEnum):
    OK = 0
    TIMEOUT = 1
    END = 2
    E_ARGUMENT = -1
    E_BUFFER = -2
    E_SETTINGS = -3
    E_DRIVER = -4
    E_BRING_UP = -5
    E_FETCH = -6
    E_BUSY = -7
    E_FILE = -8
    E_FORMAT = -9
    E_MEMORY = -10
    E_STATE = -11


class ScanmonError(Error):
    """A call into the library failed. status: the Status (or the number when
    the library returned one this module does not know); text: the library's
    last-error text."""

    def __init__(self, status, text, call):
        try:
            status = Status(status)
            name = f"SCANMON_{status.name}"
        except ValueError:
            name = f"status {status}"
        super().__init__(f"{call}: {text or name} ({name})")
        self.status = status
        self.text = text
        self.call = call


SOURCE_SCANNER = 1
SOURCE_CAPTURE = 2
PATH_BYTES = 256
MOTORS = 4


class _ScannerSettings(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("com_port", ctypes.c_int32),
                ("card_number", ctypes.c_int32), ("sample_period_us", ctypes.c_int32),
                ("max_range_in", ctypes.c_int32), ("mirror_encoder_counts", ctypes.c_int32),
                ("second_encoder_counts", ctypes.c_int32),
                ("motor_power", ctypes.c_int32 * MOTORS), ("settle_ms", ctypes.c_int32),
                ("fetch_samples", ctypes.c_int32), ("ring_ms", ctypes.c_int32),
                ("keep_raw", ctypes.c_int32), ("single_cpu", ctypes.c_int32),
                ("raise_priority", ctypes.c_int32), ("print_messages", ctypes.c_int32),
                ("calibration_file", ctypes.c_char * PATH_BYTES)]


class _CaptureOptions(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("paced", ctypes.c_int32),
                ("loop", ctypes.c_int32), ("block_samples", ctypes.c_int32),
                ("with_raw", ctypes.c_int32), ("ignore_index", ctypes.c_int32)]


class _SourceInfo(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("kind", ctypes.c_int32),
                ("has_raw", ctypes.c_int32), ("has_index", ctypes.c_int32),
                ("max_block_samples", ctypes.c_uint32), ("sample_period_us", ctypes.c_uint32),
                ("ring_samples", ctypes.c_uint64), ("records", ctypes.c_uint64),
                ("records_expected", ctypes.c_uint64), ("cut", ctypes.c_int32),
                ("index_cut", ctypes.c_int32)]


_D = ctypes.c_double
_U64 = ctypes.c_uint64
_I32 = ctypes.c_int32


class _Health(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("rate_known", _I32), ("rate_mean", _D),
                ("rate_min", _D), ("rate_max", _D), ("samples_per_s", _D),
                ("fetches_per_s", _D), ("last_angle", _D), ("total_rate_mean", _D),
                ("total_rate_min", _D), ("total_rate_max", _D), ("run_s", _D),
                ("fetches", _U64), ("samples", _U64), ("lost_events", _U64),
                ("index_marks", _U64), ("blocks_read", _U64), ("samples_read", _U64),
                ("samples_dropped", _U64), ("drop_events", _U64), ("ring_peak_samples", _U64),
                ("ring_samples", _U64), ("rates_known", _I32), ("angle_known", _I32),
                ("no_index_warning", _I32), ("rate_warning", _I32),
                ("total_rate_known", _I32), ("sampling", _I32), ("run_s_known", _I32),
                ("reserved_0", _I32)]


class _CaptureHeader(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32)] + [
        (name, ctypes.c_uint32) for name in ("version", "sample_period_us", "max_range_in",
                                             "buf_size", "num_samples")
    ] + [(name, ctypes.c_int32) for name in ("calibration_value", "motor1_encoder_ppr",
                                               "motor2_encoder_ppr")] + [
        (name, ctypes.c_uint32) for name in ("motor1_power", "motor2_power", "com_port",
                                             "card_number", "sensor_model")
    ] + [("cal_file", ctypes.c_char * PATH_BYTES)]


WARNINGS_BYTES = 2048


class _SettingsWarnings(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("refuse", ctypes.c_int32),
                ("count", ctypes.c_int32), ("text", ctypes.c_char * WARNINGS_BYTES)]


class _BlockTimes(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("clock_state", _I32), ("sequence", _U64),
                ("first_sample", _U64), ("first_mono_ns", ctypes.c_int64),
                ("first_utc_ns", ctypes.c_int64), ("period_ns", _D), ("missing_numbered", _U64),
                ("missing_estimated", _U64), ("rate_hz", _D), ("drift_ppm", _D),
                ("residual_median_ns", _D), ("residual_p99_ns", _D), ("residual_max_ns", _D),
                ("window_blocks", ctypes.c_uint32), ("run_start", _I32),
                ("lock_after_ns", ctypes.c_int64), ("lost_samples_total", _U64)]


CLOCK_NONE, CLOCK_SETTLING, CLOCK_LOCKED, CLOCK_NOMINAL = 0, 1, 2, 3


class _Revolution(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("number", _U64),
                ("first_sample", _U64), ("count", ctypes.c_uint32), ("expected", ctypes.c_uint32),
                ("start_mono_ns", ctypes.c_int64), ("start_utc_ns", ctypes.c_int64),
                ("duration_ns", _D), ("rate_hz", _D), ("completeness", _D)]


class _RevolutionOptions(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("complete_only", _I32),
                ("max_samples", ctypes.c_uint32)]


from .revolution import (REVOLUTION_CUT_END, REVOLUTION_CUT_START,  # noqa: E402,F401
                         REVOLUTION_DROPPED, REVOLUTION_LOST_DATA, REVOLUTION_NO_INDEX)

assert ctypes.sizeof(_ScannerSettings) == 4 * 18 + PATH_BYTES
assert ctypes.sizeof(_SourceInfo) == 56
assert ctypes.sizeof(_Health) == 200
assert ctypes.sizeof(_CaptureHeader) == 4 * 14 + PATH_BYTES
assert ctypes.sizeof(_BlockTimes) == 128
assert ctypes.sizeof(_Revolution) == 72

_P = ctypes.c_void_p
_PROTOTYPES = {
    "scanmon_status_name": (ctypes.c_char_p, [ctypes.c_int]),
    "scanmon_last_error": (ctypes.c_char_p, []),
    "scanmon_version": (ctypes.c_int, [_P, _P, _P]),
    "scanmon_version_text": (ctypes.c_char_p, []),
    "scanmon_scanner_settings_init": (ctypes.c_int, [_P]),
    "scanmon_settings_from_config": (ctypes.c_int, [ctypes.c_char_p, _P]),
    "scanmon_settings_from_properties": (ctypes.c_int, [ctypes.c_char_p, _P]),
    "scanmon_settings_warnings_init": (ctypes.c_int, [_P]),
    "scanmon_settings_from_config_checked": (ctypes.c_int, [ctypes.c_char_p, _P, _P]),
    "scanmon_settings_from_properties_checked": (ctypes.c_int, [ctypes.c_char_p, _P, _P]),
    "scanmon_open_scanner": (ctypes.c_int, [_P, ctypes.POINTER(_P)]),
    "scanmon_capture_options_init": (ctypes.c_int, [_P]),
    "scanmon_open_capture": (ctypes.c_int, [ctypes.c_char_p, _P, ctypes.POINTER(_P)]),
    "scanmon_remote_options_init": (ctypes.c_int, [_P]),
    "scanmon_open_remote": (ctypes.c_int,
                            [ctypes.c_char_p, ctypes.c_uint16, _P, ctypes.POINTER(_P)]),
    "scanmon_close": (ctypes.c_int, [_P]),
    "scanmon_read_block": (ctypes.c_int, [_P, ctypes.c_int32, _P, _P, _P, ctypes.c_uint32]),
    "scanmon_source_info_get": (ctypes.c_int, [_P, _P]),
    "scanmon_health_get": (ctypes.c_int, [_P, _P]),
    "scanmon_capture_header_get": (ctypes.c_int, [_P, _P]),
    "scanmon_fields_load": (ctypes.c_int, [_P, ctypes.c_char_p]),
    "scanmon_block_times_get": (ctypes.c_int, [_P, _P]),
    "scanmon_revolution_options_init": (ctypes.c_int, [_P]),
    "scanmon_open_revolutions": (ctypes.c_int, [_P, _P, ctypes.POINTER(_P)]),
    "scanmon_read_revolution": (ctypes.c_int, [_P, ctypes.c_int32, _P, _P, ctypes.c_uint32]),
    "scanmon_close_revolutions": (ctypes.c_int, [_P]),
}

if sys.platform == "win32":
    _NAMES = ["scanmon.dll", "libscanmon.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libscanmon.1.dylib", "libscanmon.dylib"]
else:
    _NAMES = ["libscanmon.so.1"]

_library = None


def _candidates():
    named = os.environ.get("SCANMON_LIBRARY")
    if named:
        if os.path.isdir(named):
            yield from (os.path.join(named, n) for n in _NAMES)
        else:
            yield named
        return
    package = os.path.dirname(os.path.abspath(__file__))
    parent = os.path.dirname(package)
    # The package's folder and the one above; the Windows zips' ..\bin; an
    # installed prefix's lib (the package in <prefix>/lib/python3/dist-packages).
    for folder in (package, parent, os.path.join(parent, os.pardir, "bin"),
                   os.path.join(parent, os.pardir, os.pardir)):
        for name in _NAMES:
            path = os.path.normpath(os.path.join(folder, name))
            if os.path.isfile(path):
                yield path
    yield from _NAMES
    found = ctypes.util.find_library("scanmon")
    if found:
        yield found


def load_library():
    """The library (loaded once); OSError naming every place tried when it
    cannot be found."""
    global _library
    if _library is not None:
        return _library
    tried = []
    for candidate in _candidates():
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            tried.append(f"{candidate} ({error})")
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(library, name)
            function.restype = restype
            function.argtypes = argtypes
        _library = library
        return library
    raise OSError("the scanmon library could not be loaded; tried: " + "; ".join(tried) +
                  ". Set SCANMON_LIBRARY to the library file (or its folder).")


def library_version():
    """The library's version as text, e.g. "1.1.0"."""
    return load_library().scanmon_version_text().decode()


def _check(status, call):
    if status < 0:
        text = load_library().scanmon_last_error() or b""
        raise ScanmonError(status, text.decode(errors="replace"), call)
    return status


def _namespace(struct):
    values = {}
    for name, _ in struct._fields_:
        if name == "struct_size":
            continue
        value = getattr(struct, name)
        if isinstance(value, bytes):
            value = value.decode("latin-1")
        values[name] = value
    return types.SimpleNamespace(**values)


class Block:
    """One fetch's block.

    info     its record (a numpy record of BLOCK_DTYPE: sequence, first_sample,
             first_record, count, flags, dropped_before, utc_ns, mono_ns)
    samples  its processed samples (numpy array of PROCESSED_DTYPE, count long)
    raw      its raw samples (RAW_DTYPE), or None when the source keeps none
    """

    __slots__ = ("info", "samples", "raw")

    def __init__(self, info, samples, raw):
        self.info = info
        self.samples = samples
        self.raw = raw

    def __len__(self):
        return len(self.samples)

    def __repr__(self):
        i = self.info
        return (f"Block(sequence={int(i['sequence'])}, first_sample={int(i['first_sample'])}, "
                f"count={int(i['count'])}, flags={int(i['flags'])}, "
                f"dropped_before={int(i['dropped_before'])})")


class Source:
    """A scanner or a capture, read block by block. Make one with
    Source.scanner(...) or Source.capture(...); close it (or use it in a with
    statement): closing powers the motors off and releases the card."""

    def __init__(self, handle):
        self._lib = load_library()
        self._handle = handle
        info = _SourceInfo(struct_size=ctypes.sizeof(_SourceInfo))
        try:
            _check(self._lib.scanmon_source_info_get(handle, ctypes.byref(info)),
                   "scanmon_source_info_get")
        except BaseException:
            self._lib.scanmon_close(handle)
            self._handle = None
            raise
        self.info = _namespace(info)
        # The field map naming the driver's bytes (load_fields; a capture's
        # <base>.fields), None without one.
        self.fields = None
        capacity = max(1, info.max_block_samples)
        self._block = np.zeros(1, dtype=BLOCK_DTYPE)
        self._samples = np.zeros(capacity, dtype=PROCESSED_DTYPE)
        self._raw = np.zeros(capacity, dtype=RAW_DTYPE) if info.has_raw else None

    @classmethod
    def scanner(cls, config=None, properties=None, refuse_warnings=False, **fields):
        """Opens the scanner. Settings: the defaults, then a capture
        configuration file (config) or a properties file (properties), then
        the keyword fields of scanmon_scanner_settings (e.g. sample_period_us=5,
        motor_power=[200, -1, -1, -1], calibration_file="ar4000.cal",
        ring_ms=1000, keep_raw=1). Lines of the file read otherwise than typed
        ("5O00" read as 5) are told as a UserWarning, or with
        refuse_warnings=True refuse the file (ScanmonError)."""
        lib = load_library()
        settings = _ScannerSettings()
        _check(lib.scanmon_scanner_settings_init(ctypes.byref(settings)),
               "scanmon_scanner_settings_init")
        if config is not None and properties is not None:
            raise ValueError("give config or properties, not both")
        told = _SettingsWarnings()
        _check(lib.scanmon_settings_warnings_init(ctypes.byref(told)),
               "scanmon_settings_warnings_init")
        told.refuse = 1 if refuse_warnings else 0
        for path, read in ((config, lib.scanmon_settings_from_config_checked),
                           (properties, lib.scanmon_settings_from_properties_checked)):
            if path is None:
                continue
            _check(read(os.fsencode(path), ctypes.byref(settings), ctypes.byref(told)),
                   f"reading {path}")
            if told.count > 0:
                import warnings
                warnings.warn(told.text.decode("utf-8", "replace").rstrip("\n"), stacklevel=2)
        for name, value in fields.items():
            if name == "struct_size" or name not in dict(_ScannerSettings._fields_):
                raise TypeError(f"no scanner setting named {name!r}")
            if name == "motor_power":
                value = (ctypes.c_int32 * MOTORS)(*value)
            elif name == "calibration_file":
                value = os.fsencode(value)
                if len(value) >= PATH_BYTES:
                    raise ValueError(f"calibration file name longer than {PATH_BYTES - 1} bytes")
            setattr(settings, name, value)
        handle = _P()
        _check(lib.scanmon_open_scanner(ctypes.byref(settings), ctypes.byref(handle)),
               "opening the scanner")
        return cls(handle)

    @classmethod
    def capture(cls, base, paced=False, loop=False, block_samples=0, with_raw=False,
                ignore_index=False):
        """Opens a recorded capture (<base>.prc, with <base>.idx when present)
        as its blocks; its field map <base>.fields, when present, as
        self.fields."""
        lib = load_library()
        options = _CaptureOptions()
        _check(lib.scanmon_capture_options_init(ctypes.byref(options)),
               "scanmon_capture_options_init")
        options.paced, options.loop = int(paced), int(loop)
        options.block_samples, options.with_raw = int(block_samples), int(with_raw)
        options.ignore_index = int(ignore_index)
        handle = _P()
        _check(lib.scanmon_open_capture(os.fsencode(base), ctypes.byref(options),
                                        ctypes.byref(handle)), f"opening capture {base}")
        source = cls(handle)
        beside = field_map_path_for(base)
        if os.path.lexists(beside):  # the library took it: a good map
            source.fields = read_field_map(beside)
        return source

    def load_fields(self, path):
        """Gives the source the field map at path (docs/fields.md), or none
        for None: self.fields, whose view(block.samples) names the driver's
        bytes and values(block.samples, name) gives a field's values."""
        _check(self._lib.scanmon_fields_load(self._live(),
                                             None if path is None else os.fsencode(path)),
               "scanmon_fields_load")
        self.fields = None if path is None else read_field_map(path)

    def _live(self):
        if self._handle is None:
            raise ValueError("the source is closed")
        return self._handle

    def read(self, timeout=None, copy=True, *, timeout_ms=None):
        """The next block; None when none came within timeout seconds (0: do
        not wait; None or negative: wait as long as it takes), as
        RemoteSource.read. timeout_ms=N, the keyword of earlier versions,
        gives it in milliseconds instead. EndOfSource after a capture's last
        block. With copy=False the arrays are views of buffers the next read
        overwrites."""
        handle = self._live()
        if timeout_ms is not None:
            if timeout is not None:
                raise TypeError("give timeout (seconds) or timeout_ms, not both")
            wait_ms = int(timeout_ms)
        elif timeout is None or timeout < 0:
            wait_ms = -1
        else:
            wait_ms = math.ceil(timeout * 1000)  # never shorter than asked
        wait_ms = max(-1, min(wait_ms, 2**31 - 1))
        while True:
            raw = self._raw.ctypes.data if self._raw is not None else None
            status = self._lib.scanmon_read_block(handle, wait_ms, self._block.ctypes.data,
                                                  self._samples.ctypes.data, raw,
                                                  len(self._samples))
            if status == Status.E_BUFFER:  # a larger block than announced: grow, read again
                count = int(self._block["count"][0])
                self._samples = np.zeros(count, dtype=PROCESSED_DTYPE)
                if self._raw is not None:
                    self._raw = np.zeros(count, dtype=RAW_DTYPE)
                continue
            break
        if status == Status.TIMEOUT:
            return None
        if status == Status.END:
            raise EndOfSource("the capture's last block has been read")
        _check(status, "scanmon_read_block")
        count = int(self._block["count"][0])
        samples = self._samples[:count]
        raw = self._raw[:count] if self._raw is not None else None
        info = self._block[0]
        if copy:
            samples = samples.copy()
            raw = raw.copy() if raw is not None else None
            info = self._block.copy()[0]
        return Block(info, samples, raw)

    def __iter__(self):
        """Blocks until the end of a capture (for a scanner: until a failure,
        or for ever); time-outs are waited through."""
        while True:
            try:
                block = self.read(timeout=1.0)
            except EndOfSource:
                return
            if block is not None:
                yield block

    def health(self):
        """The health figures (fields of scanmon_health) as a namespace."""
        health = _Health(struct_size=ctypes.sizeof(_Health))
        _check(self._lib.scanmon_health_get(self._live(), ctypes.byref(health)),
               "scanmon_health_get")
        return _namespace(health)

    def block_times(self):
        """The sample clock's times of the last block read (fields of
        scanmon_block_times: first_mono_ns, first_utc_ns, period_ns,
        clock_state, rate_hz, drift_ppm, residuals, ...) as a namespace."""
        times = _BlockTimes(struct_size=ctypes.sizeof(_BlockTimes))
        _check(self._lib.scanmon_block_times_get(self._live(), ctypes.byref(times)),
               "scanmon_block_times_get")
        return _namespace(times)

    def revolutions(self, complete_only=False, max_samples=0, copy=True):
        """The mirror's revolutions, from index mark to index mark, until the
        end of a capture (for a scanner: until a failure, or for ever):
        (info, samples) pairs, info a namespace of scanmon_revolution's fields
        (number, first_sample, count, expected, start_mono_ns, start_utc_ns,
        duration_ns, rate_hz, completeness, flags: REVOLUTION_*), samples a
        PROCESSED_DTYPE array (with copy=False a view the next one
        overwrites). The reader reads the source's blocks: read none
        meanwhile."""
        options = _RevolutionOptions()
        _check(self._lib.scanmon_revolution_options_init(ctypes.byref(options)),
               "scanmon_revolution_options_init")
        options.complete_only, options.max_samples = int(complete_only), int(max_samples)
        reader = _P()
        _check(self._lib.scanmon_open_revolutions(self._live(), ctypes.byref(options),
                                                  ctypes.byref(reader)),
               "scanmon_open_revolutions")
        try:
            buffer = np.zeros(max(1, self.info.max_block_samples), dtype=PROCESSED_DTYPE)
            revolution = _Revolution(struct_size=ctypes.sizeof(_Revolution))
            while True:
                status = self._lib.scanmon_read_revolution(
                    reader, 1000, ctypes.byref(revolution), buffer.ctypes.data, len(buffer))
                if status == Status.E_BUFFER:
                    buffer = np.zeros(revolution.count, dtype=PROCESSED_DTYPE)
                    continue
                if status == Status.TIMEOUT:
                    continue
                if status == Status.END:
                    return
                _check(status, "scanmon_read_revolution")
                samples = buffer[:revolution.count]
                yield _namespace(revolution), samples.copy() if copy else samples
        finally:
            self._lib.scanmon_close_revolutions(reader)

    def capture_header(self):
        """The capture header (scanmon_capture_header) as a CaptureHeader: the
        capture file's field names, as Capture.header and RemoteSource.header
        (the C names sample_period_us, max_range_in, com_port read too)."""
        header = _CaptureHeader(struct_size=ctypes.sizeof(_CaptureHeader))
        _check(self._lib.scanmon_capture_header_get(self._live(), ctypes.byref(header)),
               "scanmon_capture_header_get")
        fields = {name: getattr(header, name) for name, _ in _CaptureHeader._fields_
                  if name not in ("struct_size", "cal_file")}
        cal_file = bytes(memoryview(header))[_CaptureHeader.cal_file.offset:][:PATH_BYTES]
        return CaptureHeader(cal_file=cal_file, **fields)

    def close(self):
        """Closes the source (motors off, line and card released, files
        closed). Closing twice is harmless."""
        handle, self._handle = self._handle, None
        if handle is not None:
            _check(self._lib.scanmon_close(handle), "scanmon_close")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:
                pass
