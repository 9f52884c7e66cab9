"""The Python examples (examples/python) run as an integrator would."""

import os
import re
import subprocess
import sys

import pytest

from conftest import record, stand_in_environment

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, os.pardir, os.pardir, "examples", "python")


def run_example(name, *args, cwd):
    env = stand_in_environment()
    env["PYTHONPATH"] = os.path.abspath(os.path.join(HERE, os.pardir))
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *map(str, args)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("samples", [None, 20500])
def test_the_mirror_rate_plot(recording, tmp_path_factory, tmp_path, samples):
    # The mirror turns at exactly 20 rev/s. The second capture's last fetch is
    # cut to the configured total (500 of 1000): that must show no dip (the
    # times once jumped there by the samples cut off). By the sample clock
    # (a block index), settling all through 0.4 s, each rate is within its
    # settling slew (the period within 1 %); by the sample period exactly 20.
    base = recording if samples is None else record(tmp_path_factory, "cut", samples=samples)
    run = run_example("plot_mirror_rate.py", f"{base}.prc", tmp_path / "rate.png", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    slowest, fastest = map(float, re.search(r": 7 revolutions, (\S+) to (\S+) rev/s \(2 "
                                            r"incomplete", run.stdout).groups())
    if os.path.exists(f"{base}.idx"):
        # While settling the period is within 1 % of the fitted one, and the
        # fit within 2000 ppm of the nominal period; a revolution's ends fall
        # on whole samples (1 in 10000).
        assert 20 / (1.002 * 1.0101) <= slowest <= fastest <= 20 / (0.998 * 0.9899), run.stdout
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
