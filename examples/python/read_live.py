#!/usr/bin/python3
"""Reads the scanner live through the scanmon library for a few seconds and
prints, once a second, the blocks and samples read and the mirror's rate.

    python3 read_live.py CALIBRATION_FILE [SECONDS]

Against the stand-in driver instead of a card: put the stand-in's folder
(lib/scanmon/standin under the installed prefix, standin in the Windows zips)
first on the loader's path, and name the demo's calibration file:

    LD_LIBRARY_PATH=/usr/lib/scanmon/standin \\
        python3 read_live.py /usr/share/scanmon/demo/ar4000_demo.cal 3

Needs numpy, the scanmon Python package and the scanmon library (found beside
the package, through SCANMON_LIBRARY, or on the system's library path). The
samples come as numpy arrays, one call per block; no Python code runs per
sample. The motor is powered while the source is open and off once it closes,
also after Ctrl-C.
"""

import sys
import time

import numpy as np

import scanmon


def main(argv):
    if len(argv) > 1 and argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) not in (2, 3):
        print("usage: " + __doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    seconds = float(argv[2]) if len(argv) == 3 else 3.0
    try:
        source = scanmon.Source.scanner(calibration_file=argv[1], sample_period_us=20,
                                        motor_power=[200, -1, -1, -1], fetch_samples=1000)
    except (OSError, scanmon.ScanmonError) as error:
        print(f"read_live: {error}", file=sys.stderr)
        return 1
    blocks = samples = marks = dropped = 0
    expected_sequence = 0
    with source:
        end = time.monotonic() + seconds
        report = time.monotonic() + 1.0
        while time.monotonic() < end:
            block = source.read(timeout=0.2)
            if block is None:
                continue
            info = block.info
            if int(info["sequence"]) != expected_sequence:
                print(f"blocks {expected_sequence} to {int(info['sequence']) - 1} not read")
            expected_sequence = int(info["sequence"]) + 1
            blocks += 1
            samples += len(block)
            dropped += int(info["dropped_before"])
            marks += int(np.count_nonzero(block.samples["flags"] & scanmon.INDEX_FLAG))
            if time.monotonic() >= report:
                report += 1.0
                health = source.health()
                rate = f"{health.rate_mean:.2f} rev/s" if health.rate_known else "no rate yet"
                print(f"{blocks} blocks, {samples} samples, {marks} index marks, "
                      f"{dropped} dropped; mirror {rate}")
        health = source.health()
    print(f"read {samples} samples in {blocks} blocks; {dropped} dropped, "
          f"{health.lost_events} lost-data events")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
