"""Memory and references over many calls, on the success path and on every
error path of limit and NaloLimiter.process, and of nalo_stream's streams,
meter and true_peak().

The core's buffers come from operator new, which tracemalloc does not see, so
growth is measured on the resident set size. The inputs are large enough
(tens of kilobytes of samples, envelopes of a few thousand entries) that a
buffer leaked per call would add tens of megabytes over the loop. Where
NumPy's own conversion leaks for an input (some versions do for ragged lists
and failed string conversions), the growth of the same conversion done by
NumPy alone is measured and allowed on top.

Under the sanitizer build (NALO_SANITIZED=1) the allocator keeps freed memory
in quarantine, so only the reference counts are checked there, over fewer
calls."""
import gc
import os
import sys

import numpy as np
import pytest

from nalo_limiter import NaloLimiter, limit
from nalo_stream import LimiterStream, TruePeakMeter, true_peak
from support import loud

SANITIZED = os.environ.get("NALO_SANITIZED") == "1"
CALLS = 200 if SANITIZED else 10_000
WARMUP = 50
# Allowed RSS growth per case: about 100 bytes per call, far below any
# leaked sample or envelope buffer, well above allocator noise (a few pages).
SLACK = 1 << 20

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


X = loud((2, 4096), seed=11)            # 32 KiB of samples
X_T = np.ascontiguousarray(X.T)          # frames first
X64 = X.astype(np.float64)
ROWS = X[:, :512].tolist()               # nested lists: NumPy's conversion
FLAT = X[0, :2048].tolist()              # flat list: read item by item
BAD_END = X.copy()
BAD_END[1, -1] = np.nan                  # found after the whole buffer is copied
BAD_T = X_T.copy()
BAD_T[-1, 0] = np.inf
HUGE = np.broadcast_to(np.float32(0.5), (2, 2**40))
RAGGED = [[1.0, 2.0], [3.0]]
LIMITER = NaloLimiter(48000, -1.0)
# Streams and a meter used by many calls, as a long signal uses them.
STREAM = LimiterStream(LIMITER)
STREAM_T = LimiterStream(LIMITER)
STREAM_TP = LimiterStream(LIMITER, true_peak=True)
METER = TruePeakMeter(48000)


class ReentrantAxis:
    """An axis whose __index__ runs `action` on the limiter being used."""

    def __init__(self, action, value=-1, swallow=True):
        self.action, self.value, self.swallow = action, value, swallow

    def __index__(self):
        try:
            self.action()
        except RuntimeError:
            if not self.swallow:
                raise
        return self.value


AXIS_PROCESS = ReentrantAxis(lambda: LIMITER.process(X))                 # "Already borrowed", swallowed
AXIS_PROPERTY = ReentrantAxis(lambda: LIMITER.threshold, swallow=False)  # "Already mutably borrowed", raised
AXIS_REPR = ReentrantAxis(lambda: repr(LIMITER), swallow=False)


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


BAD_FLOAT = BadFloat()

# (label, call, expected exception or None, NumPy-only conversion of the same
# input, or None when NumPy's conversion is not involved)
CASES = [
    ("limit", lambda: limit(X, 48000), None, None),
    ("limit frames first", lambda: limit(X_T, 48000, axis=0), None, None),
    ("limit float64", lambda: limit(X64, 48000, -3.0), None, None),
    ("limit nested lists", lambda: limit(ROWS, 44100), None, None),
    ("limit flat list", lambda: limit(FLAT, 44100), None, None),
    ("process", lambda: LIMITER.process(X), None, None),
    ("process frames first", lambda: LIMITER.process(X_T, 0), None, None),
    ("process re-entered from axis", lambda: LIMITER.process(X, AXIS_PROCESS), None, None),
    # argument binding
    ("limit missing", lambda: limit(X), TypeError, None),
    ("limit too many", lambda: limit(X, 48000, 0.0, 5.0, 15.0, 40.0, -1, 0), TypeError, None),
    ("limit unknown keyword", lambda: limit(X, 48000, gain=2), TypeError, None),
    ("limit repeated", lambda: limit(X, 48000, 0.0, threshold_dBFS=0.0), TypeError, None),
    ("constructor missing", lambda: NaloLimiter(), TypeError, None),
    ("process missing", lambda: LIMITER.process(), TypeError, None),
    ("process repeated", lambda: LIMITER.process(X, audio=X), TypeError, None),
    # conversions, with notes
    ("threshold str", lambda: limit(X, 48000, "loud"), TypeError, None),
    ("hold None", lambda: limit(X, 48000, hold_ms=None), TypeError, None),
    ("release __float__ raises", lambda: limit(X, 48000, release_ms=BAD_FLOAT), ArithmeticError, None),
    ("attack int too large", lambda: NaloLimiter(48000, 0.0, 10**400), OverflowError, None),
    ("axis float", lambda: limit(X, 48000, axis=1.5), TypeError, None),
    ("process axis str", lambda: LIMITER.process(X, "x"), TypeError, None),
    ("process axis re-enters property", lambda: LIMITER.process(X, AXIS_PROPERTY), RuntimeError, None),
    ("process axis re-enters repr", lambda: LIMITER.process(X, AXIS_REPR), RuntimeError, None),
    ("audio object", lambda: limit(object(), 48000), TypeError, lambda: np.asarray(object(), np.float32)),
    ("audio str", lambda: limit("abc", 48000), ValueError, lambda: np.asarray("abc", np.float32)),
    ("audio ragged", lambda: LIMITER.process(RAGGED), ValueError, lambda: np.asarray(RAGGED, np.float32)),
    ("audio unallocatable", lambda: limit(HUGE, 48000), MemoryError, None),
    ("process unallocatable", lambda: LIMITER.process(HUGE), MemoryError, None),
    # configuration
    ("sample rate zero", lambda: limit(X, 0), ValueError, None),
    ("sample rate too large", lambda: NaloLimiter(2**32), ValueError, None),
    ("threshold positive", lambda: limit(X, 48000, 1.0), ValueError, None),
    ("attack rounds to zero", lambda: limit(X, 48000, attack_ms=0.01), ValueError, None),
    ("release negative", lambda: NaloLimiter(48000, release_ms=-1.0), ValueError, None),
    ("absurd attack", lambda: limit(X, 48000, attack_ms=1e300), MemoryError, None),
    ("absurd hold", lambda: NaloLimiter(48000, hold_ms=1e12), MemoryError, None),
    # array checks and samples
    ("three dimensions", lambda: limit(np.zeros((2, 2, 2), np.float32), 48000), ValueError, None),
    ("axis out of range", lambda: LIMITER.process(X, 2), ValueError, None),
    ("empty channels", lambda: limit(np.zeros((4, 0), np.float32), 48000, axis=0), ValueError, None),
    ("non-finite frames last", lambda: limit(BAD_END, 48000), ValueError, None),
    ("non-finite frames first", lambda: LIMITER.process(BAD_T, 0), ValueError, None),
    # nalo_stream
    ("stream process", lambda: STREAM.process(X), None, None),
    ("stream process float64", lambda: STREAM.process(X64), None, None),
    ("stream process frames first", lambda: STREAM_T.process(X_T, axis=0), None, None),
    ("true-peak stream process", lambda: STREAM_TP.process(X), None, None),
    ("stream whole signal", lambda: (lambda s: (s.process(X64), s.flush()))(LimiterStream(LIMITER)), None, None),
    ("true-peak stream whole signal", lambda: (lambda s: (s.process(X_T, 0), s.flush()))(
        LimiterStream(LIMITER, True)), None, None),
    ("stream non-finite", lambda: STREAM.process(BAD_END), ValueError, None),
    ("stream channels differ", lambda: STREAM.process(X[:1]), ValueError, None),
    ("stream layout differs", lambda: STREAM.process(X_T, axis=0), ValueError, None),
    ("stream no limiter", lambda: LimiterStream(X), TypeError, None),
    ("true_peak", lambda: true_peak(X, 48000), None, None),
    ("true_peak float64 per channel", lambda: true_peak(X64, 48000, per_channel=True), None, None),
    ("true_peak frames first", lambda: true_peak(X_T, 44100, axis=0), None, None),
    ("true_peak non-finite", lambda: true_peak(BAD_T, 48000, axis=0), ValueError, None),
    ("true_peak sample rate zero", lambda: true_peak(X, 0), ValueError, None),
    ("meter add", lambda: METER.add(X64), None, None),
    ("meter whole signal", lambda: (lambda m: (m.add(X_T, 0), m.peak_dBTP()))(TruePeakMeter(96000)), None, None),
    ("meter non-finite", lambda: METER.add(BAD_END), ValueError, None),
    ("meter channels differ", lambda: METER.add(X[:1]), ValueError, None),
]

# Objects whose reference counts must come back to where they were.
WATCHED = {"X": X, "X_T": X_T, "X64": X64, "ROWS": ROWS, "FLAT": FLAT, "BAD_END": BAD_END, "BAD_T": BAD_T,
           "HUGE": HUGE, "RAGGED": RAGGED, "LIMITER": LIMITER, "AXIS_PROCESS": AXIS_PROCESS,
           "AXIS_PROPERTY": AXIS_PROPERTY, "AXIS_REPR": AXIS_REPR, "BAD_FLOAT": BAD_FLOAT, "STREAM": STREAM,
           "STREAM_T": STREAM_T, "STREAM_TP": STREAM_TP, "METER": METER}


def refcounts():
    return {name: sys.getrefcount(obj) for name, obj in WATCHED.items()}


def run(call, expected, times):
    for _ in range(times):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - checked just below
            if expected is None or not isinstance(error, expected):
                raise
            del error
        else:
            assert expected is None, f"expected {expected.__name__}"


def growth(call, expected, times):
    run(call, expected, WARMUP)
    gc.collect()
    before = rss()
    run(call, expected, times)
    gc.collect()
    return rss() - before


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("label, call, expected, numpy_only", CASES, ids=[case[0] for case in CASES])
def test_no_growth_over_many_calls(label, call, expected, numpy_only):
    run(call, expected, WARMUP)
    counts = refcounts()
    grown = growth(call, expected, CALLS)
    assert refcounts() == counts
    if SANITIZED:
        return
    allowed = SLACK
    if numpy_only is not None:
        # NumPy's own conversion of this input, done as often; its growth (if
        # this NumPy leaks here) is not ours.
        allowed += max(0, growth(numpy_only, Exception, CALLS))
    assert grown <= allowed, f"{label}: RSS grew by {grown} bytes over {CALLS} calls"
