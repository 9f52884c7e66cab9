"""A reader of scanmon-serve that stops reading for longer than 10 s is told
why (end reason 4) once it reads again, and the server goes on without it."""

import time

import pytest

from scanmon.remote import RemoteSource, ServerEnded
from test_remote import server  # noqa: F401  (the fixture)


def test_a_reader_behind_for_10_s_is_told_and_disconnected(server):  # noqa: F811
    s = server()
    slow = RemoteSource("127.0.0.1", s.port)
    assert slow.read(10.0) is not None
    time.sleep(12)
    with pytest.raises(ServerEnded) as ended:
        for _ in range(2000):
            slow.read(10.0)
    assert ended.value.reason == 4 and "10 s" in ended.value.text
    # The server still serves.
    fresh = RemoteSource("127.0.0.1", s.port)
    assert fresh.read(10.0) is not None
    code, out, err = s.stop()
    assert code == 3, err
    assert "ended: the reader stayed behind too long" in out
