"""Revolutions of the scan mirror, assembled in Python from blocks and their
sample-clock times: the same revolutions, numbers, times and flags as the
scanmon library's revolution reader (libscanmon/revolution_reader.cpp), step for
step and in the same floating-point operations, so a capture read here and
through the library gives the same revolutions (a test compares them).

One revolution runs from an index mark to the sample before the next. It is
flagged when the card lost data inside it, samples were dropped inside it, it
was cut by the start of the run (begun before the first mark) or its end, or it
ran max_samples samples without a mark (a stopped mirror: it ends there, so no
revolution holds samples without limit). Used by scanmon.capture (a capture's
records and block index) and scanmon.remote (a server's blocks).
"""

import types

import numpy as np

__all__ = ["REVOLUTION_LOST_DATA", "REVOLUTION_DROPPED", "REVOLUTION_CUT_START",
           "REVOLUTION_CUT_END", "REVOLUTION_NO_INDEX", "RevolutionAssembler",
           "default_max_samples"]

REVOLUTION_LOST_DATA, REVOLUTION_DROPPED, REVOLUTION_CUT_START = 0x1, 0x2, 0x4
REVOLUTION_CUT_END, REVOLUTION_NO_INDEX = 0x8, 0x10

_INDEX_FLAG = 0x4  # a sample's index mark (capture.INDEX_FLAG)
_BLOCK_LOST_DATA = 0x1  # a block the card lost data on (capture.BLOCK_LOST_DATA)
_UINT32_MAX = 0xFFFFFFFF
_MAX_SAMPLES = 10000000  # as the library's reader allows


def default_max_samples(period_us):
    """One second of samples at the period (the library's default bound)."""
    period_us = int(period_us)
    return 1000000 // period_us if period_us > 0 else 200000


class RevolutionAssembler:
    """Feed it blocks in order with block(); each call returns the revolutions
    it finished (a list of (info, samples)); end() returns the last, cut, one.

    info is a namespace of the library's scanmon_revolution fields (number,
    first_sample, count, expected, start_mono_ns, start_utc_ns, duration_ns,
    rate_hz, completeness, flags) and first_record (the record of its first
    sample, counting the records fed). samples: a view of `records` when one
    was given (a capture's records: every revolution is a slice of them), else
    a view of the block when the revolution lies in one, else a new array.
    Holds at most max_samples samples and the blocks they lie in."""

    def __init__(self, max_samples, complete_only=False, records=None):
        max_samples = int(max_samples)
        if not 1 <= max_samples <= _MAX_SAMPLES:
            raise ValueError(f"max_samples must be 1 to {_MAX_SAMPLES}, not {max_samples}")
        self._max = max_samples
        self._complete_only = bool(complete_only)
        self._records = records
        self._number = 0
        self._count = 0
        self._flags = 0
        self._missing_inside = 0
        self._first_sample = 0
        self._first_record = 0
        self._start_t = 0.0
        self._utc_offset = 0
        self._after_bound = False
        self._pieces = []
        self._period = 0.0

    def _begin(self, t, sample, record, by_mark, utc_offset):
        self._count = 0
        self._first_sample = sample
        self._first_record = record
        self._start_t = t
        self._utc_offset = utc_offset
        self._flags = 0
        self._missing_inside = 0
        if not by_mark:
            self._flags |= REVOLUTION_NO_INDEX if self._after_bound else REVOLUTION_CUT_START
        self._after_bound = False
        self._pieces = []

    def _finish(self, end_t, flags, out):
        every = self._flags | flags
        start_mono = int(np.floor(self._start_t + 0.5))
        duration = end_t - self._start_t
        expected = min(self._count + self._missing_inside, _UINT32_MAX)
        info = types.SimpleNamespace(
            number=self._number, first_sample=self._first_sample, count=self._count,
            expected=expected, start_mono_ns=start_mono,
            start_utc_ns=start_mono + self._utc_offset if self._utc_offset != 0 else 0,
            duration_ns=duration, rate_hz=1e9 / duration if duration > 0.0 else 0.0,
            completeness=self._count / expected if expected > 0 else 0.0, flags=every,
            first_record=self._first_record)
        self._number += 1
        if not (self._complete_only and every != 0):
            out.append((info, self._samples()))
        self._count = 0
        self._pieces = []
        self._after_bound = (flags & REVOLUTION_NO_INDEX) != 0

    def _samples(self):
        if self._records is not None:
            return self._records[self._first_record:self._first_record + self._count]
        if len(self._pieces) == 1:
            block, a, b = self._pieces[0]
            return block[a:b]
        return np.concatenate([block[a:b] for block, a, b in self._pieces])

    def block(self, samples, first_sample, first_record, flags, utc_ns, mono_ns, times):
        """One block: its processed samples (a PROCESSED_DTYPE array), its first
        sample's number and record, its flags (BLOCK_*), its fetch's return
        times, and the sample clock's times for it (SampleClock.add's result:
        first_mono_ns, period_ns, missing_numbered, missing_estimated,
        run_start)."""
        out = []
        first_mono, period, missing_numbered, missing_estimated, run_start = times
        first_sample, first_record = int(first_sample), int(first_record)
        utc_ns, mono_ns = int(utc_ns), int(mono_ns)
        self._period = period
        if self._count > 0:
            # Samples missing before this block lie inside the revolution; a
            # new run of times ends it.
            if run_start:
                self._finish(self._start_t + self._count * period, REVOLUTION_CUT_END, out)
            else:
                if (int(flags) & _BLOCK_LOST_DATA) != 0 or missing_estimated > 0:
                    self._flags |= REVOLUTION_LOST_DATA
                if missing_numbered > 0:
                    self._flags |= REVOLUTION_DROPPED
                self._missing_inside += int(missing_numbered) + int(missing_estimated)
        n = len(samples)
        if n == 0:
            return out
        utc_offset = utc_ns - mono_ns if utc_ns != 0 else 0
        marks = np.flatnonzero((samples["flags"] & _INDEX_FLAG) != 0).tolist()
        first_mono = float(first_mono)
        pos, m = 0, 0
        while pos < n:
            while m < len(marks) and marks[m] < pos:
                m += 1
            mark = m < len(marks) and marks[m] == pos
            t = first_mono + pos * period
            if self._count > 0 and mark:
                self._finish(t, 0, out)  # the mark begins the next one
            if self._count == self._max:
                self._finish(t, REVOLUTION_NO_INDEX, out)
            if self._count == 0:
                self._begin(t, first_sample + pos, first_record + pos, mark, utc_offset)
            following = m + 1 if mark else m
            stop = marks[following] if following < len(marks) else n
            take = min(stop - pos, self._max - self._count)
            if self._records is None:
                self._pieces.append((samples, pos, pos + take))
            self._count += take
            pos += take
        return out

    def end(self):
        """The end of the blocks: the revolution under way, cut by the end."""
        out = []
        if self._count > 0:
            self._finish(self._start_t + self._count * self._period, REVOLUTION_CUT_END, out)
        return out
