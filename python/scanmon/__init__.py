"""scanmon: capture files with numpy alone, their export, and live sources
through the scanmon library.

    import scanmon
    with scanmon.open_capture("scan01.prc") as capture:
        angles = capture.records["angle"]          # memory-mapped, radians
        period_us = capture.header.sample_period

The capture part needs only numpy. scanmon.Source (the live part) loads the
scanmon shared library when it is first used; see scanmon.live.
"""

__version__ = "1.1.0.0"

from .capture import (BLOCK_LOST_DATA, BLOCK_DROPPED, BLOCK_DTYPE, HEADER_DTYPE, INDEX_FLAG,
                      INDEX_HEADER_DTYPE, LOST_DATA_FLAG, PROCESSED_DTYPE, RAW_DTYPE,
                      RAW_LOST_DATA_BIT, BlockIndex, Capture, CaptureError, Timeline,
                      cal_file_name, index_path_for, open_capture, open_index, revolutions,
                      sample_times)

# The live part's names (Source, ScanmonError, EndOfSource, Status) are not
# listed: "import *" would load the library.
__all__ = ["BLOCK_DROPPED", "BLOCK_DTYPE", "BLOCK_LOST_DATA", "BlockIndex", "Capture",
           "CaptureError", "HEADER_DTYPE", "INDEX_FLAG", "INDEX_HEADER_DTYPE", "LOST_DATA_FLAG",
           "PROCESSED_DTYPE", "RAW_DTYPE", "RAW_LOST_DATA_BIT", "Timeline", "cal_file_name",
           "index_path_for", "open_capture", "open_index", "revolutions", "sample_times"]


def __getattr__(name):
    # The live part only when asked for: reading captures never loads the library.
    if name in ("Source", "ScanmonError", "EndOfSource", "Status"):
        import importlib
        return getattr(importlib.import_module(".live", __name__), name)
    raise AttributeError(f"module 'scanmon' has no attribute {name!r}")
