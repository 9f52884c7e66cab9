"""Reading a scanmon-serve server with Python's own sockets (docs/stream.md).

    from scanmon.remote import RemoteSource
    with RemoteSource("127.0.0.1", 7464) as source:
        block = source.read(timeout=1.0)          # a Block, or None on a time-out
        block.samples["angle"]                    # numpy, PROCESSED_DTYPE

No compiled code: a 64-bit Python reads the 32-bit Windows server. Blocks are
the live source's (scanmon.live.Block): their info's dropped_before includes
the samples this reader lost at the server, first_record counts the samples
this reader received. The server's end message raises EndOfSource (a stop, or
the end of its capture) or ServerEnded (any other reason); a connection lost
without it raises RemoteError (a ConnectionError). Every one is a scanmon.Error.
"""

import select
import socket
import struct
import time

import numpy as np

from .capture import BLOCK_DTYPE, PROCESSED_DTYPE, RAW_DTYPE, CaptureHeader
from .errors import Error, RemoteError
from .live import Block, EndOfSource

# Every connection error raised here is the package's RemoteError (still a
# ConnectionError to callers that catch that).
ConnectionError = RemoteError  # noqa: A001

__all__ = ["RemoteError", "RemoteSource", "ServerEnded", "PROTOCOL_VERSION"]

PROTOCOL_VERSION = 1
_GREETING, _READER_GREETING, _BLOCK, _END = 1, 2, 3, 4
_LIMITS = {_GREETING: 4096, _END: 1032}
_END_STOPPED, _END_SOURCE_ENDED = 1, 2
_HEADER_FIELDS = ("version", "sample_period", "max_range", "buf_size", "num_samples",
                  "calibration_value", "motor1_encoder_ppr", "motor2_encoder_ppr",
                  "motor1_power", "motor2_power", "comport", "card_number", "cal_file",
                  "sensor_model")


class ServerEnded(Error):
    """The server ended the stream for a reason other than a stop or the end of
    its capture (reason and text as attributes)."""

    def __init__(self, reason, text):
        super().__init__("the server ended the stream: %s (reason %d)" % (text, reason))
        self.reason = reason
        self.text = text


class RemoteSource:
    """One reader of a scanmon-serve server."""

    def __init__(self, host="127.0.0.1", port=7464, raw=False, key=b"", timeout=5.0):
        if isinstance(key, str):
            key = key.encode()
        if len(key) > 256:
            raise ValueError("the key is at most 256 bytes")
        self._buffer = bytearray()
        self._sock = socket.create_connection((host, port), timeout=timeout)
        try:
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            kind, payload = self._frame(time.monotonic() + timeout, _LIMITS)
            if kind is None:
                raise ConnectionError("scanmon-serve sent no greeting within %.1f s" % timeout)
            if kind == _END:
                self._raise_end(payload)
            self._parse_greeting(payload)
            if raw and not self.has_raw:
                raise ValueError("the server's source keeps no raw records")
            self.raw = bool(raw)
            self._sock.sendall(struct.pack("<II8sIII", _READER_GREETING, 20 + len(key),
                                           b"SCANMRDR", PROTOCOL_VERSION, 1 if raw else 0,
                                           len(key)) + key)
        except BaseException:
            self._sock.close()
            raise
        record = self.sample_bytes + (self.raw_bytes if self.raw else 0)
        self._limits = {_BLOCK: 16 + self.block_bytes + self.max_block_samples * record,
                        _END: 1032}
        self._samples_read = 0
        self.blocks_read = 0
        self.samples_lost = 0

    def _parse_greeting(self, p):
        if len(p) < 44 or p[:8] != b"SCANMSRV":
            raise ConnectionError("the peer is not a scanmon-serve (magic)")
        (version, flags, self.block_bytes, self.sample_bytes, self.raw_bytes,
         self.max_block_samples, self.sample_period_us, self.source_kind,
         header_bytes) = struct.unpack_from("<9I", p, 8)
        if version != PROTOCOL_VERSION:
            raise ConnectionError("the server speaks protocol version %d" % version)
        if (self.block_bytes < 64 or self.sample_bytes < 64 or self.raw_bytes < 16
                or not 0 < self.max_block_samples <= 1000000
                or header_bytes < 293 or 44 + header_bytes > len(p)):
            raise ConnectionError("the server's greeting is out of range")
        self.key_required = bool(flags & 1)
        self.has_raw = bool(flags & 2)
        values = struct.unpack_from("<5I3i4B256sB", p, 44)
        self.header = CaptureHeader(**dict(zip(_HEADER_FIELDS, values)))

    def _frame(self, deadline, limits):
        """The next whole frame as (type, payload), or (None, None) at the deadline."""
        while True:
            if len(self._buffer) >= 8:
                kind, length = struct.unpack_from("<II", self._buffer)
                if kind not in limits or length > limits[kind]:
                    raise ConnectionError("the server sent a frame of type %d and %d bytes, "
                                          "not allowed here" % (kind, length))
                if len(self._buffer) >= 8 + length:
                    payload = bytes(self._buffer[8:8 + length])
                    del self._buffer[:8 + length]
                    return kind, payload
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None, None
                ready, _, _ = select.select([self._sock], [], [], left)
                if not ready:
                    return None, None
            self._sock.settimeout(None)
            try:
                chunk = self._sock.recv(1 << 20)
            except OSError as error:
                raise ConnectionError("receiving from the server failed: %s" % error) from None
            if not chunk:
                raise ConnectionError("the server closed the connection without an end message "
                                      "(it was killed, or the network failed)")
            self._buffer += chunk

    @staticmethod
    def _raise_end(p):
        if len(p) < 8:
            raise ConnectionError("a short end frame")
        reason, length = struct.unpack_from("<II", p)
        if length > 1024 or len(p) != 8 + length:
            raise ConnectionError("an end frame whose text length does not match")
        text = p[8:].decode("ascii", "replace")
        if reason in (_END_STOPPED, _END_SOURCE_ENDED):
            raise EndOfSource(text)
        raise ServerEnded(reason, text)

    def read(self, timeout=None):
        """The next Block; None when none came within `timeout` seconds (None: wait)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        kind, p = self._frame(deadline, self._limits)
        if kind is None:
            return None
        if kind == _END:
            self._raise_end(p)
        lost, _lost_blocks = struct.unpack_from("<QQ", p)
        info = np.frombuffer(p, dtype=BLOCK_DTYPE, count=1, offset=16)[0].copy()
        count = int(info["count"])
        record = self.sample_bytes + (self.raw_bytes if self.raw else 0)
        if count > self.max_block_samples or len(p) != 16 + self.block_bytes + count * record:
            raise ConnectionError("a block frame's length does not match its sample count")
        start = 16 + self.block_bytes
        rows = np.frombuffer(p, dtype=np.uint8, count=count * self.sample_bytes, offset=start)
        samples = rows.reshape(count, self.sample_bytes)[:, :64].copy().view(PROCESSED_DTYPE)
        samples = samples.reshape(count)
        raw = None
        if self.raw:
            start += count * self.sample_bytes
            rows = np.frombuffer(p, dtype=np.uint8, count=count * self.raw_bytes, offset=start)
            raw = rows.reshape(count, self.raw_bytes)[:, :16].copy().view(RAW_DTYPE).reshape(count)
        info["dropped_before"] += lost
        if info["dropped_before"]:
            info["flags"] |= 2
        info["first_record"] = self._samples_read
        self._samples_read += count
        self.samples_lost += lost
        self.blocks_read += 1
        return Block(info, samples, raw)

    def __iter__(self):
        """Blocks until the server's end message (EndOfSource ends the loop)."""
        try:
            while True:
                block = self.read()
                if block is not None:
                    yield block
        except EndOfSource:
            return

    def close(self):
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
