"""The sample clock: when each sample was taken, from the blocks' sample numbers
and their fetches' returns.

The same algorithm as the scanmon library's (libscanmon/sample_clock.cpp), step
for step and in the same floating-point operations, so a capture's times here
and through the library agree (a test compares them). Read the library's file
for the why; in short: a fetch returns after its last sample was taken, late by
a varying delay and never early, so the clock fits the lower envelope of the
returns (the lower convex hull, the edge over the mean) and hands out times that
follow the fit without jumping: one fitted period apart, a gap only where
samples are missing.
"""

import math

__all__ = ["LOCK_NONE", "LOCK_SETTLING", "LOCK_LOCKED", "SampleClock"]

LOCK_NONE, LOCK_SETTLING, LOCK_LOCKED = 0, 1, 2

WINDOW = 256
BUCKET_BLOCKS = 8
LOCK_BLOCKS = 32
LOCK_ERROR_NS = 50000.0
UNLOCK_ERROR_NS = 1e6
SLOPE_SPAN_NS = 2e9
LOCK_SPAN_NS = 20e9
MAX_DRIFT_PPM = 2000.0
SETTLING_GAIN, LOCKED_GAIN = 0.5, 0.125
SETTLING_SLEW, LOCKED_SLEW = 0.01, 200e-6
BREAK_BLOCKS = 40


def _nearest(ns):
    """To the nearest ns, halves up (round() would round halves to even)."""
    return math.floor(ns + 0.5)


class SampleClock:
    """add() one block after the other (held: the samples the card still held
    behind a lost-data block when it was restarted, 0 when not known, as in
    every capture); each call returns the block's
    (first_mono_ns, period_ns, missing_numbered, missing_estimated, run_start).
    fit() gives the clock's state after the last block as a dict."""

    def __init__(self, nominal_period_ns=5000.0):
        self._nominal = nominal_period_ns if nominal_period_ns > 0 else 5000.0
        self._running = False
        self._a, self._b = 0.0, self._nominal
        self._lock = LOCK_NONE
        self._lock_after_ns = -1
        self._ref_ns = 0
        self._next_y = 0.0
        self._period_out = 0.0
        self._shift = 0
        self._residuals = []

    def _start_run(self, first_sample, count, return_ns):
        self._running = True
        self._ref_sample = first_sample + count - 1
        self._ref_ns = return_ns
        self._shift = 0
        self._open_shift = 0
        self._since_break = -1
        self._break_next = False
        self._restart_y = 0.0
        self._points = [[0.0, 0.0, 0]]  # oldest first: [x, y, run between losses]
        self._segment = 0
        self._slope_fitted = False
        self._bucket_fill = 1
        self._break_entries = 0
        self._residuals = [0.0]
        self._residual_next = 1
        self._a, self._b = 0.0, self._nominal
        self._period_out = self._nominal
        self._next_y = self._nominal
        self._next_sample = first_sample + count
        self._lock = LOCK_SETTLING
        self._lock_after_ns = -1

    def _line(self, x):
        return self._a + self._b * x

    def _edge(self, begin, end):
        """The hull edge over the mean of points[begin:end]: (slope, a), or None
        when they span less than SLOPE_SPAN_NS."""
        points = self._points
        span = points[end - 1][0] - points[begin][0]
        if end - begin < 2 or span * self._nominal < SLOPE_SPAN_NS:
            return None
        hull = []
        sum_x = 0.0
        for p in points[begin:end]:
            sum_x += p[0]  # in order, as the library adds (not sum())
            while len(hull) >= 2:
                o, q = hull[-2], hull[-1]
                cross = (q[0] - o[0]) * (p[1] - o[1]) - (q[1] - o[1]) * (p[0] - o[0])
                if cross > 0.0:
                    break
                hull.pop()
            hull.append(p)
        mean_x = sum_x / (end - begin)
        for j in range(len(hull) - 1):
            p, q = hull[j], hull[j + 1]
            if q[0] >= mean_x or j + 2 == len(hull):
                slope = (q[1] - p[1]) / (q[0] - p[0])
                return slope, p[1] - slope * p[0]
        return None

    def _refit(self):
        points = self._points
        n = len(points)
        # The runs of points between the card's losses, newest first; the rate
        # is fitted within each (across a loss the points stand where the fit
        # put them), weighted by the square of its span.
        newest_begin = n - 1
        while newest_begin > 0 and points[newest_begin - 1][2] == points[n - 1][2]:
            newest_begin -= 1
        edges = 0
        newest = None
        weight_sum, slope_sum = 0.0, 0.0
        end = n
        while end > 0:
            begin = end - 1
            while begin > 0 and points[begin - 1][2] == points[end - 1][2]:
                begin -= 1
            edge = self._edge(begin, end)
            if edge is not None:
                span = points[end - 1][0] - points[begin][0]
                weight_sum += span * span
                slope_sum += span * span * edge[0]
                edges += 1
                if end == n:
                    newest = edge
            end = begin
        through_edge = False
        if edges == 1 and newest is not None:
            slope, self._a = newest
            through_edge = True
        elif edges > 0:
            slope = slope_sum / weight_sum
        else:
            slope = self._b if self._slope_fitted else self._nominal
        self._slope_fitted = self._slope_fitted or edges > 0
        low = self._nominal * (1.0 - MAX_DRIFT_PPM * 1e-6)
        high = self._nominal * (1.0 + MAX_DRIFT_PPM * 1e-6)
        if slope < low or slope > high:
            slope = min(high, max(low, slope))
            through_edge = False
        self._b = slope
        if not through_edge:
            # The line at this slope under the newest run's points when it
            # spans enough, else under every point, touching one.
            begin = newest_begin if newest is not None else 0
            a = points[begin][1] - slope * points[begin][0]
            for p in points[begin + 1:]:
                a = min(a, p[1] - slope * p[0])
            self._a = a

    def add(self, first_sample, count, return_ns, lost, held=0):
        first_sample, count, return_ns = int(first_sample), int(count), int(return_ns)
        if count == 0:
            self._break_next = getattr(self, "_break_next", False) or bool(lost)
            return self._ref_ns + _nearest(self._next_y), self._period_out, 0, 0, False
        y = float(return_ns - self._ref_ns)
        if not self._running or first_sample < self._next_sample:
            self._start_run(first_sample, count, return_ns)
            return (self._ref_ns + _nearest(-(count - 1.0) * self._b), self._period_out, 0, 0,
                    True)
        missing = first_sample - self._next_sample
        break_here = bool(lost) or self._break_next
        restarted = self._break_next and not lost
        self._break_next = bool(lost)
        x_first = float(first_sample + self._shift - self._ref_sample)
        x_last = x_first + (count - 1.0)
        added = 0
        if break_here:
            bound = y - float(held) * self._b if lost else y
            r = bound - self._line(x_last)
            added = math.floor(r / self._b) if r > 0.0 else 0
            if restarted:
                since = self._restart_y + 0.5 * self._b - self._line(x_first)
                added = min(added, math.floor(since / self._b + 0.5) if since > 0.0 else 0)
            if lost:
                self._restart_y = y
            self._shift += added
            self._open_shift += added
            self._since_break = 1
        elif self._since_break >= 0:
            r = y - self._line(x_last)
            if r < 0.0 and self._open_shift > 0:
                fewer = min(self._open_shift, math.ceil(-r / self._b))
                self._shift -= fewer
                self._open_shift -= fewer
                x_first -= float(fewer)
                points = self._points
                for i in range(min(self._break_entries, len(points))):
                    points[len(points) - 1 - i][0] -= float(fewer)
                added = -fewer
            self._since_break += 1
            if self._since_break > BREAK_BLOCKS:
                self._since_break = -1
                self._open_shift = 0
        x_first += float(added if added > 0 else 0)
        x_last = x_first + (count - 1.0)
        refit = added != 0
        points = self._points
        if break_here or self._bucket_fill >= BUCKET_BLOCKS:
            refit = True
            if len(points) == WINDOW:
                points.pop(0)
            if break_here:
                self._segment += 1
            points.append([x_last, y, self._segment])
            self._bucket_fill = 1
            self._break_entries = 1 if break_here else self._break_entries + 1
        else:
            newest = points[-1]
            if y - self._line(x_last) < newest[1] - self._line(newest[0]):
                points[-1] = [x_last, y, self._segment]
                refit = True
            self._bucket_fill += 1
        if refit:
            self._refit()
        residual = y - self._line(x_last)
        if len(self._residuals) < WINDOW:
            self._residuals.append(residual)
        else:
            self._residuals[self._residual_next] = residual
        self._residual_next = (self._residual_next + 1) % WINDOW

        start = self._next_y + (float(missing) + float(added if added > 0 else 0)) * \
            self._period_out
        error = start - self._line(x_first)
        span_ns = (points[-1][0] - points[0][0]) * self._nominal
        blocks = (len(points) - 1) * BUCKET_BLOCKS + self._bucket_fill
        if (self._lock == LOCK_SETTLING and blocks >= LOCK_BLOCKS and span_ns >= LOCK_SPAN_NS
                and abs(error) <= LOCK_ERROR_NS):
            self._lock = LOCK_LOCKED
            if self._lock_after_ns < 0:
                self._lock_after_ns = return_ns - self._ref_ns
        elif self._lock == LOCK_LOCKED and abs(error) > UNLOCK_ERROR_NS:
            self._lock = LOCK_SETTLING
        locked = self._lock == LOCK_LOCKED
        gain = LOCKED_GAIN if locked else SETTLING_GAIN
        slew = LOCKED_SLEW if locked else SETTLING_SLEW
        period = self._b - gain * error / count
        period = min(self._b * (1.0 + slew), max(self._b * (1.0 - slew), period))

        self._period_out = period
        self._next_y = start + count * period
        self._next_sample = first_sample + count
        return (self._ref_ns + _nearest(start), period, missing, added if added > 0 else 0,
                False)

    def fit(self):
        """The state: lock, period_ns, rate_hz, drift_ppm, residual_median_ns,
        residual_p99_ns, residual_max_ns, window_blocks, lock_after_ns,
        lost_samples."""
        out = dict(lock=self._lock, period_ns=self._b, rate_hz=1e9 / self._b,
                   drift_ppm=(self._nominal / self._b - 1.0) * 1e6, residual_median_ns=0.0,
                   residual_p99_ns=0.0, residual_max_ns=0.0, window_blocks=0,
                   lock_after_ns=self._lock_after_ns, lost_samples=0)
        if not self._running:
            return out
        ordered = sorted(self._residuals)
        n = len(ordered)
        out.update(lost_samples=self._shift,
                   window_blocks=(len(self._points) - 1) * BUCKET_BLOCKS + self._bucket_fill,
                   residual_median_ns=ordered[(n - 1) // 2],
                   residual_p99_ns=ordered[(99 * n + 99) // 100 - 1],
                   residual_max_ns=ordered[n - 1])
        return out
