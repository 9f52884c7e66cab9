"""scanmon-serve's HTTP side against the stand-in: the figures at /metrics and
/status.json, the key, and a flood of HTTP clients that costs a stream reader
nothing."""

import base64
import http.client
import json
import socket
import subprocess
import sys
import time

from conftest import stand_in_environment
from scanmon.remote import RemoteSource
from test_remote import Server, contiguous, server  # noqa: F401 (the fixture)


HAMMER = """
import http.client, sys
while True:
    try:
        c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=10)
        c.request("GET", "/metrics")
        c.getresponse().read()
        c.close()
    except (OSError, http.client.HTTPException):
        pass
"""


def get(port, path, headers=None, method="GET"):
    """(status, headers, body) of one request."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode()
    finally:
        connection.close()


def metrics(port, headers=None):
    """The /metrics samples as {name with labels: value}."""
    status, _, body = get(port, "/metrics", headers)
    assert status == 200, body
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in body.splitlines() if line and not line.startswith("#")}


def test_the_figures_beside_the_stream(server):
    s = server()
    assert s.http_port is not None
    with RemoteSource("127.0.0.1", s.port) as reader:
        assert contiguous(reader, 20)
        # The stand-in's mirror turns at 20 rev/s; the rates are known after
        # a second of samples.
        deadline = time.monotonic() + 10
        while not {"scanmon_mirror_rate_hertz",
                   "scanmon_fetch_interval_seconds"} <= (m := metrics(s.http_port)).keys():
            assert time.monotonic() < deadline, m
            time.sleep(0.2)
        assert 19.5 < m["scanmon_mirror_rate_hertz"] < 20.5
        assert m["scanmon_readers"] == 1 and m["scanmon_samples_total"] > 0
        assert m["scanmon_mirror_stopped"] == 0 and m["scanmon_lost_data_events_total"] == 0
        assert 0.02 < m["scanmon_fetch_interval_seconds"] < 0.03  # 5000 samples at 5 us
        number = [k for k in m if k.startswith("scanmon_reader_blocks_sent_total{")]
        assert len(number) == 1 and m[number[0]] > 0
        status, headers, body = get(s.http_port, "/status.json")
        figures = json.loads(body)
        assert status == 200 and headers["Content-Type"] == "application/json"
        assert figures["readers"][0]["streaming"] and figures["samples"] > 0
    assert get(s.http_port, "/nowhere")[0] == 404
    assert get(s.http_port, "/metrics", method="POST")[0] == 405
    s.stop()
    quiet = server("--no-http")
    assert quiet.http_port is None
    quiet.stop()


def test_every_path_wants_the_key_and_it_is_never_shown(server):
    env = stand_in_environment()
    env["SCANMON_SERVE_KEY"] = "sesame"
    s = server(env=env)
    for path in ("/metrics", "/status.json", "/nowhere"):
        status, headers, _ = get(s.http_port, path)
        assert status == 401 and headers["WWW-Authenticate"].startswith("Basic"), path
    basic = "Basic " + base64.b64encode(b"prometheus:sesame").decode()
    for authorization, expected in ((basic, 200), ("Bearer sesame", 200),
                                    ("Bearer sesam", 401), ("sesame", 401)):
        assert get(s.http_port, "/metrics", {"Authorization": authorization})[0] == expected
    code, out, err = s.stop()
    assert "sesame" not in out + err


def test_a_flood_of_http_clients_costs_a_reader_no_block(server):
    s = server()
    # Silent clients hold the 8 HTTP slots; more are closed at once; two
    # processes of their own ask for the figures as fast as they are
    # answered meanwhile (not threads: they would take this reader's turns).
    silent = [socket.create_connection(("127.0.0.1", s.http_port)) for _ in range(30)]
    with RemoteSource("127.0.0.1", s.port) as reader:
        hammers = [subprocess.Popen([sys.executable, "-c", HAMMER, str(s.http_port)])
                   for _ in range(2)]
        try:
            assert contiguous(reader, 160)  # 4 s of blocks, none lost
        finally:
            for hammer in hammers:
                hammer.kill()
                hammer.wait()
    # The silent ones are dropped after the 5 s a request may take.
    silent[0].settimeout(10)
    assert silent[0].recv(1) == b""
    for sock in silent:
        sock.close()
    time.sleep(0.5)  # the slots counted free
    assert metrics(s.http_port)["scanmon_http_refused_total"] >= 22
    s.stop()
