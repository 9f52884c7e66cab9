"""The Python examples (examples/python) run as an integrator would."""

import os
import re
import subprocess
import sys

import pytest

from conftest import stand_in_environment

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, os.pardir, os.pardir, "examples", "python")


def run_example(name, *args, cwd):
    env = stand_in_environment()
    env["PYTHONPATH"] = os.path.abspath(os.path.join(HERE, os.pardir))
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *map(str, args)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


def test_the_mirror_rate_plot(recording, tmp_path):
    run = run_example("plot_mirror_rate.py", f"{recording}.prc", tmp_path / "rate.png",
                      cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    # 20 rev/s exactly by the sample clock. By the host's (a block index) the
    # revolutions spread around 20 by the fetches' timing: on a busy machine a
    # fetch that returns late stretches its block (tens of milliseconds have
    # been seen), so only the spread's straddling 20 is checked there.
    slowest, fastest = map(float, re.search(r": 7 revolutions, (\S+) to (\S+) rev/s",
                                            run.stdout).groups())
    if os.path.exists(f"{recording}.idx"):
        assert slowest <= 20.1 and fastest >= 19.9 and slowest <= fastest
    else:
        assert 20 - 0.0005 <= slowest <= fastest <= 20 + 0.0005
    assert (tmp_path / "rate.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_reading_the_stand_in_live(tmp_path):
    from scanmon.live import load_library
    try:
        load_library()
    except OSError as error:
        pytest.skip(str(error))
    cal = os.path.join(os.environ["SCANMON_DEMO_DIR"], "ar4000_demo.cal")
    run = run_example("read_live.py", cal, "1.5", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "0 dropped, 0 lost-data events" in run.stdout
