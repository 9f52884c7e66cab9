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
without it, or a server breaking the protocol, raises RemoteError (a
ConnectionError), naming the server's host and port. After any of them every
read raises it again. Every one is a scanmon.Error. Of a later version's
larger records a reader keeps the bytes it knows and skips the rest, so its
memory is bounded by the blocks it returns.
"""

import select
import socket
import struct
import time

import numpy as np

from .capture import BLOCK_DTYPE, BLOCK_LOST_DATA, PROCESSED_DTYPE, RAW_DTYPE, CaptureHeader
from .clock import SampleClock
from .errors import Error, RemoteError
from .live import Block, EndOfSource
from .revolution import RevolutionAssembler, default_max_samples

# Every connection error raised here is the package's RemoteError (still a
# ConnectionError to callers that catch that).
ConnectionError = RemoteError  # noqa: A001

__all__ = ["RemoteError", "RemoteSource", "ServerEnded", "PROTOCOL_VERSION"]

PROTOCOL_VERSION = 2  # the highest this reader speaks; it speaks 1 to older servers
_GREETING, _READER_GREETING, _BLOCK, _END, _ACCEPT = 1, 2, 3, 4, 5
_SMALL_LIMITS = {_GREETING: 4096, _END: 1032, _ACCEPT: 64}
_MAX_RECORD = 4096
_END_STOPPED, _END_SOURCE_ENDED = 1, 2
# The capture header as a .prc file starts (docs/capture.md).
_HEADER_FIELDS = ("version", "sample_period", "max_range", "buf_size", "num_samples",
                  "motor1_encoder_ppr", "motor2_encoder_ppr", "calibration_value",
                  "motor1_power", "motor2_power", "comport", "card_number", "cal_file",
                  "sensor_model")


def _printable(data):
    """Text from a peer as it may reach a terminal: printable ASCII, others '?'."""
    return "".join(chr(c) if 0x20 <= c < 0x7f else "?" for c in data)


class ServerEnded(Error):
    """The server ended the stream for a reason other than a stop or the end of
    its capture (reason and text as attributes)."""

    def __init__(self, reason, text):
        super().__init__("the server ended the stream: %s (reason %d)" % (text, reason))
        self.reason = reason
        self.text = text


def _again(error):
    """A fresh exception like `error`, raised by every read after the stream ended."""
    if isinstance(error, ServerEnded):
        return lambda: ServerEnded(error.reason, error.text)
    return lambda: type(error)(*error.args)


class RemoteSource:
    """One reader of a scanmon-serve server."""

    def __init__(self, host="127.0.0.1", port=7464, raw=False, key=b"", timeout=5.0):
        if isinstance(key, str):
            key = key.encode()
        if len(key) > 256:
            raise ValueError("the key is at most 256 bytes")
        self._where = "%s:%s" % (host, port)
        self._staged = bytearray()
        self._state = None  # the frame under way: None between frames
        self._ended = None
        try:
            self._sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as error:
            raise ConnectionError("cannot connect to scanmon-serve at %s: %s"
                                  % (self._where, error.strerror or error)) from None
        try:
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            deadline = time.monotonic() + timeout
            self._blocks = False
            kind, payload = self._frame(deadline)
            if kind is None:
                raise self._error("sent no greeting within %.1f s" % timeout)
            if kind == _END:
                self._raise_end(payload)
            self._parse_greeting(payload)
            if raw and not self.has_raw:
                raise ValueError("the server's source keeps no raw records")
            self.raw = bool(raw)
            version = 2 if self.server_version >= 2 else 1
            self._blocks = True
            self._accept_first = version >= 2
            self._sock.sendall(struct.pack("<II8sIII", _READER_GREETING, 20 + len(key),
                                           b"SCANMRDR", version, 1 if raw else 0,
                                           len(key)) + key)
            if version >= 2:
                # The server says at once whether it took this reader.
                kind, payload = self._frame(deadline)
                if kind is None:
                    raise self._error("did not take this reader within %.1f s" % timeout)
                if kind == _END:
                    self._raise_end(payload)
        except BaseException:
            self._sock.close()
            raise
        self._samples_read = 0
        self.blocks_read = 0
        self.samples_lost = 0

    def _error(self, what):
        return ConnectionError("scanmon-serve at %s: %s" % (self._where, what))

    def _parse_greeting(self, p):
        if len(p) < 44 or p[:8] != b"SCANMSRV":
            raise self._error("the peer is not a scanmon-serve (magic)")
        (version, flags, self.block_bytes, self.sample_bytes, self.raw_bytes,
         self.max_block_samples, self.sample_period_us, self.source_kind,
         header_bytes) = struct.unpack_from("<9I", p, 8)
        if version != 1:
            raise self._error("the server speaks protocol version %d" % version)
        if (not 64 <= self.block_bytes <= _MAX_RECORD or not 64 <= self.sample_bytes <= _MAX_RECORD
                or not 16 <= self.raw_bytes <= _MAX_RECORD
                or not 0 < self.max_block_samples <= 1000000
                or header_bytes < 293 or 44 + header_bytes > len(p)):
            raise self._error("the server's greeting is out of range")
        # Version 2 and later name their highest version after the header; a
        # server from before sent calibration_value ahead of the encoder fields.
        self.server_version = 1
        if len(p) >= 44 + header_bytes + 4:
            self.server_version = struct.unpack_from("<I", p, 44 + header_bytes)[0]
            if self.server_version < 2:
                raise self._error("the server's greeting is out of range")
        self.key_required = bool(flags & 1)
        self.has_raw = bool(flags & 2)
        values = list(struct.unpack_from("<5I3i4B256sB", p, 44))
        if self.server_version < 2:
            values[5], values[6], values[7] = values[6], values[7], values[5]
        header = dict(zip(_HEADER_FIELDS, values))
        header["cal_file"] = _printable(header["cal_file"].split(b"\0", 1)[0])
        self.header = CaptureHeader(**header)

    def _begin(self, kind, length):
        """A frame header: checked against its limits before any byte is kept."""
        if kind == _BLOCK and self._blocks and not self._accept_first:
            record = self.sample_bytes + (self.raw_bytes if self.raw else 0)
            if length < 16 + self.block_bytes:
                raise self._error("a block frame is too short (%d bytes)" % length)
            if length > 16 + self.block_bytes + self.max_block_samples * record:
                raise self._error("a block frame longer than the greeting allows (%d bytes)"
                                  % length)
            self._state = ("fixed", length)
            return
        limit = _SMALL_LIMITS.get(kind)
        if (limit is None or (kind == _GREETING and self._blocks)
                or (kind == _ACCEPT and not (self._blocks and self._accept_first))):
            raise self._error("the server sent a frame of type %d, not expected here" % kind)
        if length > limit or (kind == _ACCEPT and length < 4):
            raise self._error("the server sent a frame of type %d and %d bytes, "
                              "not allowed here" % (kind, length))
        self._state = ("small", kind, length)

    def _start_block(self, fixed, length):
        lost, _lost_blocks = struct.unpack_from("<QQ", fixed)
        info = np.frombuffer(fixed, dtype=BLOCK_DTYPE, count=1, offset=16)[0].copy()
        count = int(info["count"])
        record = self.sample_bytes + (self.raw_bytes if self.raw else 0)
        if count > self.max_block_samples or length != 16 + self.block_bytes + count * record:
            raise self._error("a block frame's length does not match its sample count")
        samples = np.zeros(count, dtype=PROCESSED_DTYPE)
        raw = np.zeros(count, dtype=RAW_DTYPE) if self.raw else None
        # (bytes, record size, bytes kept of each, where they go): the rest of
        # a larger block record is skipped, and of each sample what a sample
        # of this version holds.
        regions = [(self.block_bytes - 64, max(self.block_bytes - 64, 1), 0, None),
                   (count * self.sample_bytes, self.sample_bytes, 64, samples.view(np.uint8))]
        if self.raw:
            regions.append((count * self.raw_bytes, self.raw_bytes, 16, raw.view(np.uint8)))
        self._state = ("regions", regions, 0, 0, (lost, info, samples, raw))

    def _advance(self):
        """Takes the staged bytes into the frame under way; the frame when whole."""
        data = self._staged
        at = 0
        try:
            while True:
                state = self._state
                avail = len(data) - at
                if state is None:
                    if avail < 8:
                        return None
                    kind, length = struct.unpack_from("<II", data, at)
                    at += 8
                    self._begin(kind, length)
                elif state[0] == "small":
                    _, kind, length = state
                    if avail < length:
                        return None
                    payload = bytes(data[at:at + length])
                    at += length
                    self._state = None
                    if kind == _ACCEPT:
                        self._accept_first = False
                    return kind, payload
                elif state[0] == "fixed":
                    if avail < 80:
                        return None
                    fixed = bytes(data[at:at + 80])
                    at += 80
                    self._start_block(fixed, state[1])
                else:
                    _, regions, index, offset, block = state
                    while index < len(regions) and offset == regions[index][0]:
                        index, offset = index + 1, 0
                    if index == len(regions):
                        self._state = None
                        return _BLOCK, block
                    if avail == 0:
                        self._state = ("regions", regions, index, offset, block)
                        return None
                    total, size, keep, dest = regions[index]
                    record, within = divmod(offset, size)
                    if keep == size:
                        n = min(avail, total - offset)
                        dest[offset:offset + n] = np.frombuffer(data, np.uint8, n, at)
                    elif within == 0 and avail >= size and keep > 0:
                        k = min(avail // size, (total - offset) // size)
                        n = k * size
                        dest[record * keep:(record + k) * keep] = np.frombuffer(
                            data, np.uint8, n, at).reshape(k, size)[:, :keep].reshape(-1)
                    elif within < keep:
                        n = min(avail, keep - within)
                        start = record * keep + within
                        dest[start:start + n] = np.frombuffer(data, np.uint8, n, at)
                    else:
                        n = min(avail, size - within)
                    at += n
                    self._state = ("regions", regions, index, offset + n, block)
        finally:
            del data[:at]

    def _frame(self, deadline):
        """The next whole frame as (type, payload), or (None, None) at the
        deadline; the time is checked before every receive, so a server
        dripping bytes cannot hold a read past it."""
        while True:
            frame = self._advance()
            if frame is not None:
                return frame
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
                raise self._error("receiving from the server failed: %s" % error) from None
            if not chunk:
                raise self._error("the server closed the connection without an end message "
                                  "(it was killed, or the network failed)")
            self._staged += chunk

    def _raise_end(self, p):
        if len(p) < 8:
            raise self._error("a short end frame")
        reason, length = struct.unpack_from("<II", p)
        if length > 1024 or len(p) != 8 + length:
            raise self._error("an end frame whose text length does not match")
        text = _printable(p[8:])
        if reason in (_END_STOPPED, _END_SOURCE_ENDED):
            raise EndOfSource(text)
        raise ServerEnded(reason, text)

    def read(self, timeout=None):
        """The next Block; None when none came within `timeout` seconds (None: wait).
        After the stream ended (EndOfSource, ServerEnded, ConnectionError: a
        protocol error or a lost connection) every read raises the same again."""
        if self._ended is not None:
            raise self._ended()
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            kind, p = self._frame(deadline)
            if kind is None:
                return None
            if kind == _END:
                self._raise_end(p)
        except (EndOfSource, ServerEnded, ConnectionError) as error:
            self._ended = _again(error)
            self._sock.close()
            raise
        lost, info, samples, raw = p
        info["dropped_before"] += lost
        if info["dropped_before"]:
            info["flags"] |= 2
        info["first_record"] = self._samples_read
        self._samples_read += len(samples)
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

    def revolutions(self, complete_only=False, max_samples=0, timeout=None):
        """The mirror's revolutions from the server's blocks until its end
        message (EndOfSource ends the loop after the last, cut, revolution):
        (info, samples) pairs as scanmon.capture.iter_revolutions gives them
        (the library's revolution reader's fields and flags, the same
        assembler), timed by a sample clock fitted to the server's fetch
        times; samples a view of one block or a new array. Read no blocks
        meanwhile. None is yielded when no block came within `timeout`
        seconds (None: wait)."""
        period_us = int(self.header.sample_period) if self.header is not None else 0
        clock = SampleClock(float(period_us) * 1000.0)
        assembler = RevolutionAssembler(max_samples or default_max_samples(period_us),
                                        complete_only)
        while True:
            try:
                block = self.read(timeout)
            except EndOfSource:
                yield from assembler.end()
                return
            if block is None:
                yield None
                continue
            i = block.info
            count = int(i["count"])
            if count == 0:
                continue  # the clock and the library's reader time no empty block
            times = clock.add(int(i["first_sample"]), count, int(i["mono_ns"]),
                              (int(i["flags"]) & BLOCK_LOST_DATA) != 0)
            yield from assembler.block(block.samples, i["first_sample"], i["first_record"],
                                       i["flags"], i["utc_ns"], i["mono_ns"], times)

    def close(self):
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
