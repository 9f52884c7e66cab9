"""The package's exceptions: every one it raises of its own is a scanmon.Error.

Needs nothing beyond Python itself, so that the package can say clearly what
is missing (numpy, the library) through them.
"""

import os

__all__ = ["CaptureError", "CaptureOpenError", "EndOfSource", "Error", "RemoteError"]


class Error(Exception):
    """The base of the package's own exceptions: `except scanmon.Error` takes
    a refused file, a failed library call, the end of a source and a lost or
    refused connection alike."""


class CaptureError(Error):
    """A file that cannot be read as what it should be. str() names the file;
    path and what are the parts."""

    def __init__(self, path, what):
        super().__init__(f"{os.fspath(path)}: {what}")
        self.path = os.fspath(path)
        self.what = what

    def __str__(self):
        return self.args[0]


class CaptureOpenError(CaptureError, OSError):
    """A capture or index file that cannot be opened (missing, not readable):
    also an OSError, with the system's errno, strerror and filename."""

    def __init__(self, path, what, errno=None, strerror=None):
        super().__init__(path, what)
        self.errno = errno
        self.strerror = strerror
        self.filename = self.path


class RemoteError(Error, ConnectionError):
    """A connection to a scanmon-serve server failed or the server broke the
    protocol (also a ConnectionError, as before)."""


class EndOfSource(Error):
    """A source has delivered its last block: a capture (not looped) at its
    end, a server that stopped or reached the end of its capture."""
