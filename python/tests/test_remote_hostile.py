"""Both readers of the stream (scanmon.remote and the C library's remote
source) against a hostile server on the loopback: end frames at the open,
long texts, drips, control bytes, cut frames, records larger than this
version's and a frame claimed near 4 GiB."""

import ctypes
import os
import socket
import struct
import threading
import time
import tracemalloc

import numpy as np
import pytest

from scanmon.live import EndOfSource
from scanmon.remote import RemoteSource, ServerEnded

OK, TIMEOUT, END, E_CONNECTION = 0, 1, 2, -12


def greeting(max_block=8, sample_bytes=64, block_bytes=64, cal_file=b"ar4000_demo.cal",
             version2=True):
    header = struct.pack("<5I3i4B", 3, 5, 1200, 5000, 0, 4096, 200, -7, 0, 0, 1, 0)
    header += cal_file.ljust(256, b"\0") + b"\1"
    payload = (b"SCANMSRV" + struct.pack("<9I", 1, 0, block_bytes, sample_bytes, 16, max_block,
                                         5, 1, 293) + header)
    if version2:
        payload += struct.pack("<I", 2)
    return struct.pack("<II", 1, len(payload)) + payload


def end(reason, text):
    return struct.pack("<III", 4, 8 + len(text), reason) + struct.pack("<I", len(text)) + text


ACCEPT = struct.pack("<III", 5, 4, 1)


def block_head(count, sample_bytes=64, block_bytes=64):
    record = struct.pack("<QQQIIQqqQ", 0, 0, 0, count, 0, 0, 0, 0, 0).ljust(block_bytes, b"\xee")
    length = 16 + block_bytes + count * sample_bytes
    return struct.pack("<II", 3, length) + struct.pack("<QQ", 0, 0) + record


def grown_block(count, sample_bytes, block_bytes):
    body = b"".join(bytes([i + 1]) * 64 + b"\xee" * (sample_bytes - 64) for i in range(count))
    return block_head(count, sample_bytes, block_bytes) + body


class FakeServer:
    """Accepts one reader and runs `script(sock)` on it, then closes."""

    def __init__(self, script):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._run, args=(script,), daemon=True)
        self.thread.start()

    def _run(self, script):
        sock, _ = self.listener.accept()
        try:
            script(sock)
        except OSError:
            pass
        finally:
            sock.close()
            self.listener.close()


def send(*chunks, then_wait=3.0):
    def script(sock):
        sock.sendall(b"".join(chunks))
        time.sleep(then_wait)
    return script


def drip(prefix, byte_every_s=0.01, for_s=3.0):
    def script(sock):
        sock.sendall(prefix)
        stop = time.monotonic() + for_s
        while time.monotonic() < stop:
            sock.sendall(b"\0")
            time.sleep(byte_every_s)
    return script


class CReader:
    """The C library's remote source through ctypes."""

    def __init__(self, port):
        path = os.environ.get("SCANMON_LIBRARY")
        if not path:
            pytest.skip("SCANMON_LIBRARY not set (a build without the shared library)")
        from scanmon.live import load_library
        self.lib = lib = load_library()
        self.handle = ctypes.c_void_p()
        self.open_status = lib.scanmon_open_remote(b"127.0.0.1", port, None,
                                                   ctypes.byref(self.handle))
        self.open_text = lib.scanmon_last_error().decode()
        self.block = (ctypes.c_uint8 * 64)()
        self.samples = np.zeros(64 * 1000, dtype=np.uint8)

    def read(self, timeout_ms):
        status = self.lib.scanmon_read_block(self.handle, timeout_ms, self.block,
                                             self.samples.ctypes.data, None, 1000)
        return status, self.lib.scanmon_last_error().decode()

    def close(self):
        self.lib.scanmon_close(self.handle)


def test_an_end_frame_at_the_open_fails_the_open():
    # With the greeting in one piece (it was lost with the greeting buffer),
    # or as the server's first frame, whatever its reason: a failed open.
    for wire, python_error in ((greeting() + end(5, b"all taken"), ServerEnded),
                               (end(2, b"all taken"), EndOfSource)):
        c = CReader(FakeServer(send(wire)).port)
        assert c.open_status < 0 and "all taken" in c.open_text, (c.open_status, c.open_text)
        with pytest.raises(python_error, match="all taken"):
            RemoteSource("127.0.0.1", FakeServer(send(wire)).port)


def test_a_refused_connection_names_the_server():
    closed = socket.create_server(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()
    with pytest.raises(ConnectionError, match="scanmon-serve at 127.0.0.1:%d" % port):
        RemoteSource("127.0.0.1", port)


def test_hostile_frames_after_the_open():
    long_text = b"e" * 700
    cases = [
        # what, wire, C read status, text in the C error and Python's exception
        ("a long end text with tiny blocks", greeting(max_block=1) + ACCEPT + end(1, long_text),
         END, "e" * 700, EndOfSource),
        ("control bytes in the end text", greeting() + ACCEPT + end(6, b"a\x1b[2J\x07b\x7f"),
         E_CONNECTION, "a?[2J?b?", ServerEnded),
        ("a block frame shorter than its record", greeting() + ACCEPT
         + struct.pack("<II", 3, 40) + b"\0" * 40 + grown_block(1, 64, 64),
         E_CONNECTION, "too short", ConnectionError),
    ]
    for what, wire, status, text, python_error in cases:
        c = CReader(FakeServer(send(wire)).port)
        assert c.open_status == OK, (what, c.open_text)
        for _ in range(2):  # and the same again: the end is for good
            got, message = c.read(2000)
            assert got == status and text in message, (what, got, message)
        c.close()
        reader = RemoteSource("127.0.0.1", FakeServer(send(wire)).port)
        for _ in range(2):
            with pytest.raises(python_error) as raised:
                reader.read(2.0)
            assert text in str(raised.value), what
        reader.close()


def test_records_larger_than_this_version_keep_their_first_bytes():
    wire = greeting(sample_bytes=100, block_bytes=80) + ACCEPT + grown_block(3, 100, 80)
    c = CReader(FakeServer(send(wire)).port)
    assert c.read(2000)[0] == OK and list(c.samples[:192:64]) == [1, 2, 3]
    c.close()
    with RemoteSource("127.0.0.1", FakeServer(send(wire)).port) as reader:
        rows = reader.read(2.0).samples.view(np.uint8).reshape(3, 64)
        assert (rows == np.array([[1], [2], [3]], dtype=np.uint8)).all()


def test_the_header_comes_in_the_files_order_and_printable():
    # A version-2 greeting: the file's order; an older server's: its own.
    for version2, calibration in ((True, -7), (False, 4096)):
        wire = greeting(cal_file=b"\x1b[2Jcal", version2=version2) + (ACCEPT if version2 else b"")
        with RemoteSource("127.0.0.1", FakeServer(send(wire)).port) as reader:
            assert reader.header["calibration_value"] == calibration
            assert reader.header["cal_file"] == "?[2Jcal"


def test_time_outs_hold_while_a_server_drips():
    wire = greeting() + ACCEPT + block_head(2)
    c = CReader(FakeServer(drip(wire)).port)
    start = time.monotonic()
    assert c.read(500)[0] == TIMEOUT
    assert time.monotonic() - start < 1.5  # it took 4 to 5 s
    c.close()
    reader = RemoteSource("127.0.0.1", FakeServer(drip(wire)).port)
    start = time.monotonic()
    assert reader.read(0.5) is None and time.monotonic() - start < 1.5
    reader.close()


def test_a_frame_claimed_near_4_gib_costs_what_the_reader_keeps():
    # 10^6 records of 4096 bytes (a frame of 4.1 GB): 256 MB of it come, then
    # the server dies. The reader holds 64 bytes a sample, not the frame.
    chunk = b"\0" * (1 << 20)

    def script(sock):
        sock.sendall(greeting(max_block=1000000, sample_bytes=4096))
        sock.recv(4096)  # its greeting: read, so that the close is no reset
        sock.sendall(ACCEPT + block_head(1000000, 4096))
        for _ in range(256):
            sock.sendall(chunk)

    reader = RemoteSource("127.0.0.1", FakeServer(script).port)
    tracemalloc.start()
    try:
        with pytest.raises(ConnectionError, match="without an end message"):
            reader.read(30.0)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 100 << 20, peak
