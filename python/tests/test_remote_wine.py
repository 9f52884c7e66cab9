"""Across the 32-bit wall: the 32-bit Windows scanmon-serve.exe with the
32-bit stand-in driver under Wine, read over the loopback by the native Linux
library and by Python, and its page in Chromium on Linux: the shape of the
operator's PC (the server beside the card, a 64-bit program reading it).

Runs when the 32-bit Windows build (SCANMON_WINDOWS_BUILD32, default
build-mingw32 in the source folder, with scanmon-serve.exe and the stand-in's
hsif.dll) and Debian's 32-bit Wine are present and this machine executes
32-bit x86 programs (scripts/x86-32-probe.sh: on some of our machines the
kernel runs none, Wine's 32-bit loader included). Where it cannot, the 64-bit
Windows build (SCANMON_WINDOWS_BUILD64, default build-mingw64) stands in for
it under wine64, so the Windows server's wire and page are still tried;
SCANMON_WALL_BITS=32 or 64 chooses either. Skipped, saying why, when the build
chosen or its Wine is missing.
"""

import ctypes
import http.client
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import config_text
from scanmon.live import EndOfSource
from scanmon.remote import RemoteSource
from test_page import CHROMIUM, browse

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
BUILDS = {"32": (os.environ.get("SCANMON_WINDOWS_BUILD32", os.path.join(SOURCE, "build-mingw32")),
                 "/usr/lib/wine/wine", "wine32:i386"),
          "64": (os.environ.get("SCANMON_WINDOWS_BUILD64", os.path.join(SOURCE, "build-mingw64")),
                 "/usr/lib/wine/wine64", "wine64")}


def runs_32_bit_programs():
    """None when this machine executes 32-bit x86 programs, else why not."""
    probe = subprocess.run([os.path.join(SOURCE, "scripts", "x86-32-probe.sh")],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return None if probe.returncode == 0 else probe.stdout.decode().strip()


def find_windows_process(folder):
    """The process Wine runs scanmon-serve.exe in: the one working in `folder`."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            cmdline = open("/proc/%s/cmdline" % name, "rb").read()
            cwd = os.readlink("/proc/%s/cwd" % name)
        except OSError:
            continue
        if b"scanmon-serve.exe" in cmdline and not cmdline.startswith((b"bash", b"/bin/bash")) \
                and b"start.exe" not in cmdline and cwd == str(folder):
            return int(name)
    return None


def test_the_windows_server_under_wine_read_natively(tmp_path):
    bits = os.environ.get("SCANMON_WALL_BITS")
    cannot = runs_32_bit_programs() if bits != "64" else None
    if bits == "32" and cannot:
        pytest.skip(cannot)
    bits = bits or ("64" if cannot else "32")
    build, wine, package = BUILDS[bits]
    serve_exe = os.path.join(build, "tools", "scanmon-serve", "scanmon-serve.exe")
    standin = os.path.join(build, "standin")
    for path, what in ((serve_exe, "the %s-bit scanmon-serve.exe" % bits),
                       (os.path.join(standin, "hsif.dll"), "the %s-bit stand-in hsif.dll" % bits),
                       (wine, "the %s-bit Wine (%s)" % (bits, package))):
        if not os.path.exists(path):
            pytest.skip("no %s at %s" % (what, path))
    print("the %s-bit server%s" % (bits, " (32-bit programs: %s)" % cannot if cannot else ""))
    if not os.environ.get("SCANMON_DEMO_DIR"):
        pytest.skip("SCANMON_DEMO_DIR not set (run through ctest)")
    cal = os.path.join(os.environ["SCANMON_DEMO_DIR"], "ar4000_demo.cal")
    (tmp_path / "ar4000_demo.cal").write_bytes(open(cal, "rb").read())
    (tmp_path / "scan.cfg").write_text(config_text("unused", period_us=5, fetch=5000))
    env = dict(os.environ)
    env["WINEPATH"] = "Z:" + standin
    env["WINEPREFIX"] = os.path.join(build, "wineprefix")
    env["HSIF_SIM_MIRROR_WANDER"] = "0"
    server = subprocess.Popen(
        ["bash", os.path.join(SOURCE, "scripts", "wine-run.sh"), serve_exe,
         "--listen", "127.0.0.1:0", "scan.cfg"], cwd=tmp_path, env=env,
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        port = http_port = None
        deadline = time.monotonic() + 120
        while port is None and time.monotonic() < deadline:
            line = server.stdout.readline().decode("latin-1")
            if not line:
                break
            match = re.search(r"Listening for HTTP on 127\.0\.0\.1:(\d+)", line)
            if match:
                http_port = int(match.group(1))
            match = re.search(r"Listening on 127\.0\.0\.1:(\d+)", line)
            if match:
                port = int(match.group(1))
        assert port is not None, server.stderr.read1().decode("latin-1")

        # Python: two seconds at 200 kHz, nothing lost.
        reader = RemoteSource("127.0.0.1", port, timeout=30)
        assert reader.header["sample_period"] == 5 and reader.header["cal_file"] == "ar4000_demo.cal"
        first = reader.read(30.0)
        seq, samples = first.info["sequence"], 0
        while samples < 400000:
            block = reader.read(30.0)
            seq += 1
            assert block.info["sequence"] == seq and block.info["dropped_before"] == 0
            samples += int(block.info["count"])

        # Its figures over HTTP: the reader, and the processor time that
        # Windows counts for the process.
        connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=30)
        connection.request("GET", "/metrics")
        response = connection.getresponse()
        body = response.read().decode()
        connection.close()
        assert response.status == 200, body
        assert "\nscanmon_readers 1\n" in body, body
        cpu = re.search(r"\nscanmon_server_cpu_seconds_total ([0-9.]+)\n", body)
        assert cpu and float(cpu.group(1)) > 0, body
        # Its page in Chromium on Linux (when there is one; screenshot wine.png).
        if CHROMIUM:
            dom = browse(tmp_path, http_port, "wine")
            assert 'data-state="running"' in dom and '<b id="rate">20.0' in dom, dom

        # The native C library, beside it.
        path = os.environ.get("SCANMON_LIBRARY")
        if path:
            from scanmon.live import load_library
            lib = load_library()
            handle = ctypes.c_void_p()
            assert lib.scanmon_open_remote(b"127.0.0.1", port, None, ctypes.byref(handle)) == 0, \
                lib.scanmon_last_error()
            block = (ctypes.c_uint8 * 64)()
            buffer = (ctypes.c_uint8 * (64 * 5000))()
            for _ in range(20):
                assert lib.scanmon_read_block(handle, 30000, block, buffer, None, 5000) == 0, \
                    lib.scanmon_last_error()
            lib.scanmon_close(handle)

        # Ctrl-C (Wine turns SIGINT into the console's event) stops the
        # server: the reader gets the end message.
        windows_process = find_windows_process(tmp_path)
        assert windows_process is not None
        os.kill(windows_process, signal.SIGINT)
        with pytest.raises(EndOfSource, match="stopped"):
            for _ in range(4000):
                reader.read(30.0)
        assert server.wait(timeout=60) == 3
    finally:
        if server.poll() is None:
            server.kill()
            server.communicate()
