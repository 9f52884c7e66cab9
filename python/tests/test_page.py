"""The status page in Debian's headless Chromium against the stand-in: the
mirror's rate per revolution, the sample clock, lost data marked where the
stand-in lost it, the latest revolution's scan line with a field map (and
none without), a stopped mirror, the key asked for. A screenshot of each
state is kept in the test's folder."""

import json
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import stand_in_environment
from scanmon.remote import RemoteSource
from test_remote import server  # noqa: F401 (the fixture)
from test_remote_http import get, metrics

CHROMIUM = shutil.which("chromium")


def browse(folder, port, name, url=None, dom=True, shot=True):
    """The page's DOM after a second and a half of its time, and a screenshot
    of it as `name`.png in `folder` (or of `url` instead; either left out
    when not wanted: each is a browser's start)."""
    if CHROMIUM is None:
        pytest.skip("no chromium (scripts/install-deps.sh chromium installs it)")
    hows = ([["--dump-dom"]] if dom else []) + \
        ([["--screenshot=" + str(folder / (name + ".png")), "--window-size=1000,1150"]]
         if shot else [])
    dom = ""
    for how in hows:
        profile = folder / ("profile-" + name + how[0][2:6])
        result = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + str(profile), "--virtual-time-budget=1500",
             *how, url or "http://127.0.0.1:%d/" % port],
            capture_output=True, text=True, timeout=60, cwd=folder)
        assert result.returncode == 0, result.stderr
        dom = dom or result.stdout
        shutil.rmtree(profile, ignore_errors=True)
    return dom


def test_the_page_shows_the_rate_and_a_stopped_mirror(server, tmp_path):
    # Fetch 20 (half a second in) reports lost data.
    env = stand_in_environment()
    env["HSIF_SIM_LOSE_DATA_AT"] = "20"
    fields = os.path.join(os.environ["SCANMON_DEMO_DIR"], "standin.fields")
    s = server("--fields", fields, env=env)
    with RemoteSource("127.0.0.1", s.port) as reader:
        reader.read(10.0)
        deadline = time.monotonic() + 10
        while "scanmon_mirror_rate_hertz" not in metrics(s.http_port):
            assert time.monotonic() < deadline
            time.sleep(0.2)
        dom = browse(tmp_path, s.http_port, "running")
        figures = json.loads(get(s.http_port, "/status.json?rates=0&events=0")[2])
    assert 'data-state="running"' in dom and '<b id="rate">20.0' in dom, dom
    assert "127.0.0.1:" in dom  # the reader's row
    assert re.search(r"<th>source</th><td>scanner[^<]*, field map</td>", dom), dom  # its settings
    assert figures["source"]["header"]["sample_period_us"] == 5, figures["source"]
    # The rate of each revolution, and the clock settling or locked (it
    # locks after about 20 s of fetches).
    assert 19.5 < float(re.search(r'<b id="revrate">([0-9.]+)<', dom).group(1)) < 20.5, dom
    assert re.search(r'id="clock" data-state="(settling|locked)"', dom), dom
    assert all(19.5 < rate < 20.5 for _, rate, flags in figures["rates"] if flags == 0), figures
    # The loss is marked at the server's time of it, which lies between the
    # last whole revolution before it and the end of the one it cut into.
    lost = [t for t, kind, _ in figures["events"] if kind == "lost"]
    assert lost, figures["events"]
    marked = [float(t) for t in re.findall(r'<li data-kind="lost" data-t="([0-9.]+)">', dom)]
    assert any(abs(t - lost[0]) < 1e-6 for t in marked), dom
    flagged = [i for i, (_, _, flags) in enumerate(figures["rates"]) if flags & 1]
    assert flagged and flagged[0] > 0, figures["rates"]
    assert figures["rates"][flagged[0] - 1][0] <= lost[0] <= figures["rates"][flagged[0]][0]
    # The scan line from the map's range.
    assert re.search(r'id="profile-note" data-points="[1-9][0-9]*" data-range="true"', dom), dom
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
    # No field map: the driver's bytes are not decoded.
    assert 'data-range="false"' in dom and "no field map names a range" in dom, dom
    s.stop()


def test_the_page_asks_for_the_key(server, tmp_path):
    env = stand_in_environment()
    env["SCANMON_SERVE_KEY"] = "sesame"
    s = server(env=env)
    # Chromium asks for the credentials (headless: nobody gives them) and
    # shows nothing of the page. Its screenshot is of the page framed in
    # another (a page that fails its load has none).
    dom = browse(tmp_path, s.http_port, "key", shot=False)
    assert 'id="state"' not in dom and "scanmon" not in dom, dom
    frame = tmp_path / "key.html"
    frame.write_text('<!DOCTYPE html><html><body><h3>scanmon-serve with a key, to a browser '
                     'without it:</h3><iframe src="http://127.0.0.1:%d/" width="900" '
                     'height="300"></iframe></body></html>' % s.http_port)
    browse(tmp_path, s.http_port, "key", url=frame.as_uri(), dom=False)
    assert (tmp_path / "key.png").stat().st_size > 0
    s.stop()
