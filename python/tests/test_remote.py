"""scanmon-serve end to end on the loopback: the stand-in scanner served to
several readers (Python's scanmon.remote and the C library's remote source),
readers that vanish, stall or send garbage, refusals, and the server stopped
or killed mid-stream."""

import ctypes
import os
import re
import signal
import socket
import struct
import subprocess
import time

import pytest

from conftest import config_text, stand_in_environment
from scanmon.live import EndOfSource
from scanmon.remote import RemoteSource, ServerEnded


class Server:
    def __init__(self, folder, *args, env=None, operands=("scan.cfg",)):
        serve = os.environ.get("SCANMON_SERVE")
        if not serve:
            pytest.skip("SCANMON_SERVE not set (run through ctest)")
        cal = os.path.join(os.environ["SCANMON_DEMO_DIR"], "ar4000_demo.cal")
        (folder / "ar4000_demo.cal").write_bytes(open(cal, "rb").read())
        # 200 kHz in fetches of 5000 (40 blocks a second), no settle wait.
        (folder / "scan.cfg").write_text(config_text("unused", period_us=5, fetch=5000))
        self.process = subprocess.Popen(
            [serve, "--listen", "127.0.0.1:0", *args, *operands], cwd=folder,
            env=env or stand_in_environment(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.port = self.http_port = None
        deadline = time.monotonic() + 30
        while self.port is None and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            match = re.search(r"Listening for HTTP on (\S+):(\d+) \(", line)
            if match:
                self.http_port = int(match.group(2))
            match = re.search(r"Listening on (\S+):(\d+) \(", line)
            if match:
                self.host, self.port = match.group(1), int(match.group(2))
        if self.port is None:
            self.process.kill()
            out, err = self.process.communicate()
            pytest.fail("the server did not start: " + out + err)

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        return self.finish()

    def finish(self):
        out, err = self.process.communicate(timeout=30)
        return self.process.returncode, out, err


@pytest.fixture
def server(tmp_path):
    made = []

    def start(*args, env=None, operands=("scan.cfg",)):
        made.append(Server(tmp_path, *args, env=env, operands=operands))
        return made[-1]
    yield start
    for s in made:
        if s.process.poll() is None:
            s.process.kill()
            s.process.communicate()


def frames_until_closed(sock):
    """The (type, payload) frames a raw socket receives until the server closes it."""
    sock.settimeout(15)
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    frames = []
    while len(data) >= 8:
        kind, length = struct.unpack_from("<II", data)
        frames.append((kind, data[8:8 + length]))
        data = data[8 + length:]
    return frames


def contiguous(reader, blocks):
    """Reads `blocks` blocks; true when none was lost at the server."""
    first = reader.read(10.0)
    seq = first.info["sequence"]
    for _ in range(blocks - 1):
        block = reader.read(10.0)
        seq += 1
        if block.info["sequence"] != seq or block.info["dropped_before"] != 0:
            return False
    return True


def test_readers_stall_vanish_and_garbage_then_a_stop(server):
    s = server()
    steady = RemoteSource("127.0.0.1", s.port)
    stalled = RemoteSource("127.0.0.1", s.port)
    killed = RemoteSource("127.0.0.1", s.port)
    assert steady.header["sample_period"] == 5 and steady.max_block_samples == 5000
    assert killed.read(10.0) is not None
    killed._sock.close()  # vanishes mid-stream
    garbage = socket.create_connection(("127.0.0.1", s.port))
    garbage.sendall(b"\xff" * 64)
    silent = socket.create_connection(("127.0.0.1", s.port))  # never greets
    # One reader stalls for 3 s (its queue of 32 blocks, 0.8 s, overflows) while the
    # steady one reads every block.
    assert contiguous(steady, 120)
    block = stalled.read(10.0)
    for _ in range(1000):
        block = stalled.read(10.0)
        if block.info["dropped_before"]:
            break
    assert block.info["dropped_before"] > 0 and stalled.samples_lost > 0
    # The garbage sender got the greeting, then an end frame naming the
    # protocol (reason 7); the silent one, after 5 s, the time-out (reason 8).
    for sock, reason in ((garbage, 7), (silent, 8)):
        frames = frames_until_closed(sock)
        assert [kind for kind, _ in frames] == [1, 4]
        assert struct.unpack_from("<I", frames[1][1])[0] == reason
    # The steady reader is behind by what came meanwhile: it drains that and
    # then sees the end message.
    s.process.send_signal(signal.SIGTERM)
    with pytest.raises(EndOfSource, match="stopped by its operator"):
        for _ in range(2000):
            steady.read(10.0)
    code, out, err = s.finish()
    assert code == 3, err
    # Served: the three that streamed; the garbage sender and the silent one
    # were refused.
    assert "readers served: 3; refused: 2" in out and "ended: the server was stopped" in out
    assert re.search(r"reader 3 \(127\.0\.0\.1:\d+\): blocks sent \d+, samples lost 0; left", out)


def test_refusals_and_the_key(server):
    env = stand_in_environment()
    env["SCANMON_SERVE_KEY"] = "sesame"
    s = server("--max-readers", "1", env=env)
    # A wrong key is refused at the open, without a read.
    with pytest.raises(ServerEnded) as wrong:
        RemoteSource("127.0.0.1", s.port, key="wrong")
    assert wrong.value.reason == 6
    first = RemoteSource("127.0.0.1", s.port, key="sesame")
    assert first.read(10.0) is not None
    with pytest.raises(ServerEnded) as full:
        RemoteSource("127.0.0.1", s.port, key="sesame")
    assert full.value.reason == 5 and "1 readers at most" in full.value.text
    code, out, err = s.stop()
    assert "readers served: 1; refused: 2" in out, out


def test_the_c_library_reads_and_sees_a_killed_server(server):
    path = os.environ.get("SCANMON_LIBRARY")
    if not path:
        pytest.skip("SCANMON_LIBRARY not set (a build without the shared library)")
    from scanmon.live import load_library
    lib = load_library()
    s = server()
    handles = []
    for _ in range(3):
        handle = ctypes.c_void_p()
        assert lib.scanmon_open_remote(b"127.0.0.1", s.port, None, ctypes.byref(handle)) == 0, \
            lib.scanmon_last_error()
        handles.append(handle)
    block = (ctypes.c_uint8 * 64)()
    samples = (ctypes.c_uint8 * (64 * 5000))()
    for handle in handles:
        for _ in range(20):
            assert lib.scanmon_read_block(handle, 10000, block, samples, None, 5000) == 0
    s.process.kill()
    s.process.communicate()
    for handle in handles:
        status = 0
        for _ in range(100000):
            status = lib.scanmon_read_block(handle, 10000, block, samples, None, 5000)
            if status != 0:
                break
        assert status == -12  # SCANMON_E_CONNECTION
        assert b"without an end message" in lib.scanmon_last_error()
        lib.scanmon_close(handle)


def first_frame(sock):
    """The type and payload of the first frame the server sends."""
    sock.settimeout(20)
    data = b""
    while len(data) < 8 or len(data) < 8 + struct.unpack_from("<I", data, 4)[0]:
        chunk = sock.recv(65536)
        if not chunk:
            return None, None
        data += chunk
    kind, length = struct.unpack_from("<II", data)
    return kind, data[8:8 + length]


def test_a_burst_of_connections_each_hears_the_server(server):
    # 200 at once against 16 readers: each gets its greeting or the end frame
    # saying the server is full (none waits for ever in an overflowed backlog).
    s = server("--max-readers", "16")
    socks = [socket.create_connection(("127.0.0.1", s.port)) for _ in range(200)]
    kinds = [first_frame(sock)[0] for sock in socks]
    assert kinds.count(1) == 16 and kinds.count(4) == 184, kinds
    for sock in socks:
        sock.close()
    s.stop()


def test_a_replay_sends_the_file_header_and_offers_raw(server, recording):
    # The greeting's header is the .prc file's first 293 bytes; with BASE.raw
    # beside it the replay offers raw records.
    s = server(operands=("--capture", str(recording)))
    with socket.create_connection(("127.0.0.1", s.port)) as sock:
        kind, payload = first_frame(sock)
    assert kind == 1
    with open(str(recording) + ".prc", "rb") as f:
        assert payload[44:44 + 293] == f.read(293)
    with RemoteSource("127.0.0.1", s.port, raw=True) as reader:
        block = reader.read(10.0)
        assert reader.has_raw and block.raw is not None and len(block.raw) == len(block.samples)
    s.stop()


def test_listening_on_ipv6_and_on_a_name(server):
    # An IPv6 literal in brackets, and a name of this machine; the line gives
    # the port picked.
    s = server("--listen", "[::1]:0")
    assert s.host == "[::1]"
    with RemoteSource("::1", s.port) as reader:
        assert reader.read(10.0) is not None
    # The C library too, bare or in brackets; a name without an address is
    # said as such.
    path = os.environ.get("SCANMON_LIBRARY")
    if path:
        from scanmon.live import load_library
        lib = load_library()
        for address in (b"::1", b"[::1]", b"no-such-host.invalid"):
            handle = ctypes.c_void_p()
            status = lib.scanmon_open_remote(address, s.port, None, ctypes.byref(handle))
            if address.endswith(b".invalid"):
                assert status == -12 and b"no-such-host.invalid" in lib.scanmon_last_error()
                continue
            assert status == 0, (address, lib.scanmon_last_error())
            lib.scanmon_close(handle)
    s.stop()
    s = server("--listen", "localhost:0")
    with RemoteSource("localhost", s.port) as reader:
        assert reader.read(10.0) is not None
    s.stop()
def test_the_c_library_times_a_remote_source_by_the_servers_fetches(server):
    """The remote source's sample clock fits the server's fetch times: the
    same host here, so the stand-in's true times are on the same clock."""
    if not os.environ.get("SCANMON_LIBRARY"):
        pytest.skip("SCANMON_LIBRARY not set (a build without the shared library)")
    import numpy as np
    from conftest import true_times_ns
    from scanmon.capture import PROCESSED_DTYPE
    from scanmon.live import load_library, _BlockTimes
    lib = load_library()
    env = stand_in_environment()
    env["HSIF_SIM_FETCH_DELAY_MS"] = "1"
    s = server(env=env)
    handle = ctypes.c_void_p()
    assert lib.scanmon_open_remote(b"127.0.0.1", s.port, None, ctypes.byref(handle)) == 0, \
        lib.scanmon_last_error()
    block = (ctypes.c_uint8 * 64)()
    samples = np.zeros(5000, dtype=PROCESSED_DTYPE)
    times = _BlockTimes(struct_size=ctypes.sizeof(_BlockTimes))
    errors, previous_end = [], None
    for _ in range(60):
        assert lib.scanmon_read_block(handle, 10000, block, samples.ctypes.data, None, 5000) == 0
        assert lib.scanmon_block_times_get(handle, ctypes.byref(times)) == 0
        count = int.from_bytes(bytes(block[24:28]), "little")
        if previous_end is not None and times.first_sample == previous_first + previous_count:
            assert times.first_mono_ns > previous_end
        previous_first, previous_count = times.first_sample, count
        previous_end = times.first_mono_ns + (count - 1) * times.period_ns
        errors.append(times.first_mono_ns - int(true_times_ns(samples[:1])[0]))
    lib.scanmon_close(handle)
    assert times.clock_state in (1, 2) and abs(times.rate_hz - 200000) < 200
    assert np.median(np.abs(errors[20:])) < 1_000_000, errors


def test_a_replay_read_as_revolutions_cuts_them_where_the_capture_does(server, recording):
    # The remote source's revolutions come from the assembler the capture's
    # use: the same turns, timed by the server's fetches instead; the end of
    # the replay hands over the last, cut, one and ends the loop.
    from scanmon import iter_revolutions, open_capture, open_index
    with open_capture(f"{recording}.prc") as capture:
        local = [(i.first_sample, i.count, i.flags)
                 for i, _ in iter_revolutions(capture, open_index(f"{recording}.idx"))]
    s = server(operands=("--capture", str(recording)))
    with RemoteSource("127.0.0.1", s.port) as reader:
        remote = [(i.first_sample, i.count, i.flags) for i, _ in reader.revolutions()]
    s.finish()
    assert remote == local and len(local) > 5
