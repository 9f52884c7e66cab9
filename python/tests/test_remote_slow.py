"""A reader of scanmon-serve that stops reading is dropped 10 s after it fell
behind, its slot free at once; once it reads again it finds the end frame
(reason 4) or, when the network held no room for it, the closed connection.
The server goes on without it."""

import time

import pytest

from scanmon.remote import RemoteSource, ServerEnded
from test_remote import server  # noqa: F401  (the fixture)


def test_a_reader_behind_for_10_s_is_told_and_disconnected(server):  # noqa: F811
    s = server("--max-readers", "1")
    slow = RemoteSource("127.0.0.1", s.port)
    assert slow.read(10.0) is not None
    # Behind once the network's buffers are full (well under a second at the
    # stand-in's 13 MB/s), dropped 10 s later: its slot is free by 14 s (it
    # was held some 20 s before).
    time.sleep(14)
    fresh = RemoteSource("127.0.0.1", s.port)
    assert fresh.read(10.0) is not None
    with pytest.raises((ServerEnded, ConnectionError)) as ended:
        for _ in range(2000):
            slow.read(10.0)
    if isinstance(ended.value, ServerEnded):
        assert ended.value.reason == 4 and "10 s" in ended.value.text
    else:
        assert "without an end message" in str(ended.value)
    code, out, err = s.stop()
    assert code == 3, err
    assert "ended: the reader stayed behind too long" in out
