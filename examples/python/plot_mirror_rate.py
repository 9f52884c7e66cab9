#!/usr/bin/python3
"""Plots the scan mirror's rate over a recorded capture into a PNG.

    python3 plot_mirror_rate.py scan01.prc [mirror.png]

Needs numpy and matplotlib (Debian: python3-numpy python3-matplotlib) and the
scanmon Python package (installed, or PYTHONPATH naming its folder); not the
scanmon library. One point per complete revolution (from an index mark to the
sample before the next, nothing missing inside), its rate one over its duration
by the sample clock: from the block index (<base>.idx) when there is one, else
from the sample period. Revolutions cut by the capture's start or end, or with
samples missing inside, are counted, not plotted.
"""

import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import scanmon  # noqa: E402


def mirror_rate(capture_path):
    """(start times of the complete revolutions in s, their revolutions per
    second), where the times came from, and how many were incomplete."""
    with scanmon.open_capture(capture_path) as capture:
        for problem in capture.problems:
            print(f"warning: {problem}", file=sys.stderr)
        index = None
        try:
            index = scanmon.open_index(scanmon.index_path_for(capture_path))
        except scanmon.CaptureError:
            pass  # no index (or none this reader can use): the sample period
        timeline = scanmon.Timeline(capture, index)
        times, rates, incomplete = [], [], 0
        for info, _ in scanmon.iter_revolutions(capture, index, timeline=timeline):
            if info.flags:
                incomplete += 1
                continue
            times.append(info.time_s)
            rates.append(info.rate_hz)
    return np.array(times), np.array(rates), timeline.source, incomplete


def main(argv):
    if len(argv) > 1 and argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) not in (2, 3):
        print("usage: " + __doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    capture_path = argv[1]
    png = argv[2] if len(argv) == 3 else "mirror_rate.png"
    try:
        times, rates, source, incomplete = mirror_rate(capture_path)
    except scanmon.CaptureError as error:
        print(error, file=sys.stderr)
        return 1
    if len(rates) == 0:
        print(f"{capture_path}: no complete revolution ({incomplete} incomplete)",
              file=sys.stderr)
        return 1
    figure, axes = plt.subplots(figsize=(8, 4.5))
    axes.plot(times, rates, marker=".", linewidth=0.8)
    axes.set_xlabel(f"time, s (from the {source})")
    axes.set_ylabel("mirror, revolutions per second")
    axes.set_title(f"{capture_path}: {len(rates)} revolutions, mean {rates.mean():.3f} rev/s")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    figure.savefig(png, dpi=100)
    print(f"{png}: {len(rates)} revolutions, {rates.min():.3f} to {rates.max():.3f} rev/s"
          f" ({incomplete} incomplete not plotted)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
