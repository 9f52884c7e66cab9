"""scanmon: capture files with numpy alone, their export, and live sources
through the scanmon library.

    import scanmon
    with scanmon.open_capture("scan01.prc") as capture:
        angles = capture.records["angle"]          # radians
        period_us = capture.header.sample_period

The capture part needs only numpy. scanmon.Source (the live part) loads the
scanmon shared library when it is first used; see scanmon.live. Every
exception of the package's own is a scanmon.Error.
"""

__version__ = "1.1.0.0"

import sys as _sys

from .errors import CaptureError, CaptureOpenError, EndOfSource, Error

try:
    import numpy as _numpy
except ImportError:
    # The first python3 on a machine may be one without numpy: say so, and
    # which Python, rather than fail deep inside a module.
    raise ImportError(f"the scanmon package needs numpy, which this Python "
                      f"({_sys.executable}) does not have: install it (Debian: apt-get install "
                      f"python3-numpy, then use /usr/bin/python3; elsewhere: pip install numpy)",
                      name=__name__) from None
del _numpy

from .capture import (BLOCK_LOST_DATA, BLOCK_DROPPED, BLOCK_DTYPE, BLOCK_INT64_DTYPE,  # noqa: E402
                      GAP_DTYPE, HEADER_DTYPE, INDEX_FLAG, INDEX_HEADER_DTYPE, LOST_DATA_FLAG,
                      PROCESSED_DTYPE, RAW_DTYPE, RAW_LOST_DATA_BIT, BlockIndex, Capture,
                      CaptureHeader, Timeline, cal_file_name, fingerprint, gaps, index_path_for,
                      iter_revolutions, open_capture, open_index, revolutions, sample_times)
from .fields import (Field, FieldMap, FieldMapError, field_map_path_for,  # noqa: E402
                     read_field_map)

# The live part's names (Source, ScanmonError, Status) are not listed:
# "import *" would load the live module.
__all__ = ["BLOCK_DROPPED", "BLOCK_DTYPE", "BLOCK_INT64_DTYPE", "BLOCK_LOST_DATA", "BlockIndex",
           "Capture", "CaptureError", "CaptureHeader", "CaptureOpenError", "EndOfSource", "Error",
           "Field", "FieldMap", "FieldMapError", "field_map_path_for", "read_field_map",
           "GAP_DTYPE", "HEADER_DTYPE", "INDEX_FLAG", "INDEX_HEADER_DTYPE", "LOST_DATA_FLAG",
           "PROCESSED_DTYPE", "RAW_DTYPE", "RAW_LOST_DATA_BIT", "Timeline", "cal_file_name",
           "fingerprint", "gaps", "index_path_for", "iter_revolutions", "open_capture",
           "open_index", "revolutions", "sample_times"]


def __getattr__(name):
    # The live part only when asked for: reading captures never loads the library.
    if name in ("Source", "ScanmonError", "Status"):
        import importlib
        return getattr(importlib.import_module(".live", __name__), name)
    raise AttributeError(f"module 'scanmon' has no attribute {name!r}")
