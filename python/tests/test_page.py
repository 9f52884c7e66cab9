"""The status page in Debian's headless Chromium against the stand-in: the
mirror's rate, a stopped mirror, the key asked for. A screenshot of the
running and the stopped page is kept in the test's folder."""

import os
import shutil
import subprocess
import time

import pytest

from conftest import stand_in_environment
from scanmon.remote import RemoteSource
from test_remote import server  # noqa: F401 (the fixture)
from test_remote_http import metrics

CHROMIUM = shutil.which("chromium")


def browse(folder, port, name):
    """The page's DOM after a second and a half of its time, and a screenshot
    of it as `name`.png in `folder`."""
    if CHROMIUM is None:
        pytest.skip("no chromium (scripts/install-deps.sh chromium installs it)")
    dom = ""
    for how in (["--dump-dom"], ["--screenshot=" + str(folder / (name + ".png")),
                                 "--window-size=1000,760"]):
        profile = folder / ("profile-" + name + how[0][2:6])
        result = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + str(profile), "--virtual-time-budget=1500",
             *how, "http://127.0.0.1:%d/" % port],
            capture_output=True, text=True, timeout=60, cwd=folder)
        assert result.returncode == 0, result.stderr
        dom = dom or result.stdout
        shutil.rmtree(profile, ignore_errors=True)
    return dom


def test_the_page_shows_the_rate_and_a_stopped_mirror(server, tmp_path):
    s = server()
    with RemoteSource("127.0.0.1", s.port) as reader:
        reader.read(10.0)
        deadline = time.monotonic() + 10
        while "scanmon_mirror_rate_hertz" not in metrics(s.http_port):
            assert time.monotonic() < deadline
            time.sleep(0.2)
        dom = browse(tmp_path, s.http_port, "running")
    assert 'data-state="running"' in dom and '<b id="rate">20.0' in dom, dom
    assert "127.0.0.1:" in dom  # the reader's row
    s.stop()
    # The mirror stops after fetch 40 (one second): said within 2 s.
    env = stand_in_environment()
    env.update(HSIF_SIM_MIRROR_SLOW_AFTER="40", HSIF_SIM_MIRROR_SLOW_HZ="0")
    s = server(env=env)
    deadline = time.monotonic() + 10
    while metrics(s.http_port).get("scanmon_fetches_total", 0) < 40:
        assert time.monotonic() < deadline
        time.sleep(0.1)
    time.sleep(2.0)
    dom = browse(tmp_path, s.http_port, "stopped")
    assert 'data-state="stopped"' in dom and "MIRROR STOPPED" in dom, dom
    s.stop()


def test_the_page_asks_for_the_key(server, tmp_path):
    env = stand_in_environment()
    env["SCANMON_SERVE_KEY"] = "sesame"
    s = server(env=env)
    # Chromium asks for the credentials (headless: nobody gives them, and
    # no screenshot is taken) and shows nothing of the page.
    dom = browse(tmp_path, s.http_port, "key")
    assert 'id="state"' not in dom and "scanmon" not in dom, dom
    s.stop()
