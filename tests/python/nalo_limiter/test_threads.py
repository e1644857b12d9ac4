"""Exclusive use of a NaloLimiter object, re-entry, and calls from several
threads."""
import threading

import numpy as np
import pytest

from nalo_limiter import NaloLimiter, limit
from support import assert_same_result, loud

SMALL = loud((2, 64))


def test_borrow_guard_while_process_runs_in_another_thread():
    """While one thread is inside process (lock released), another thread
    gets "Already mutably borrowed" for a property or the text form and
    "Already borrowed" for process; afterwards everything works again.
    Seeing either error at all also proves the lock is released in process."""
    limiter = NaloLimiter(48000)
    big = loud((2, 1_000_000), seed=1)
    expected = limiter.process(big)
    stop = threading.Event()
    results, failures = [], []

    def worker():
        try:
            for _ in range(400):
                if stop.is_set():
                    return
                try:
                    results.append(limiter.process(big))
                except RuntimeError as error:  # the main thread may hold it for a moment
                    assert str(error) == "Already borrowed"
        except BaseException as error:  # pragma: no cover - reported below
            failures.append(error)

    seen = set()
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        while thread.is_alive() and len(seen) < 3:
            for name, probe in (("property", lambda: limiter.lookahead_samples),
                                ("repr", lambda: repr(limiter)),
                                ("process", lambda: limiter.process(SMALL))):
                try:
                    probe()
                except RuntimeError as error:
                    seen.add((name, str(error)))
    finally:
        stop.set()
        thread.join()
    assert not failures
    assert seen == {("property", "Already mutably borrowed"), ("repr", "Already mutably borrowed"),
                    ("process", "Already borrowed")}
    for result in results:
        assert_same_result(result, expected)
    assert limiter.lookahead_samples == 240
    assert_same_result(limiter.process(SMALL), limit(SMALL, 48000))


class Reentrant:
    """An axis whose __index__ touches the limiter that is processing."""

    def __init__(self, limiter, action):
        self.limiter, self.action, self.error = limiter, action, None

    def __index__(self):
        try:
            self.action(self.limiter)
        except RuntimeError as error:
            self.error = str(error)
        return -1


@pytest.mark.parametrize("action, message", [
    (lambda lim: lim.process(SMALL), "Already borrowed"),
    (lambda lim: lim.sample_rate, "Already mutably borrowed"),
    (lambda lim: lim.release_samples, "Already mutably borrowed"),
    (lambda lim: repr(lim), "Already mutably borrowed"),
])
def test_reentry_through_axis_index(action, message):
    limiter = NaloLimiter(48000)
    axis = Reentrant(limiter, action)
    assert_same_result(limiter.process(SMALL, axis), limit(SMALL, 48000))
    assert axis.error == message
    # Free again afterwards.
    action(limiter)


def test_reentry_error_propagates_from_axis_with_a_note():
    limiter = NaloLimiter(48000)

    class Axis:
        def __index__(self):
            return limiter.hold_samples

    with pytest.raises(RuntimeError) as info:
        limiter.process(SMALL, Axis())
    assert info.value.args == ("Already mutably borrowed",)
    assert info.value.__notes__ == ["while processing 'axis'"]
    assert limiter.hold_samples == 720


def test_reentry_through_an_array_likes_conversion():
    limiter = NaloLimiter(48000)

    class ArrayLike:
        def __init__(self, action):
            self.action = action

        def __array__(self, dtype=None, copy=None):
            self.action()
            return np.asarray(SMALL, dtype=dtype)

    for action, message in ((lambda: limiter.threshold, "Already mutably borrowed"),
                            (lambda: limiter.process(SMALL), "Already borrowed")):
        with pytest.raises(RuntimeError) as info:
            limiter.process(ArrayLike(action))
        assert info.value.args == (message,)
        assert info.value.__notes__ == ["while processing 'audio'"]
    # The object is free again, and limit() does not use it at all.
    assert_same_result(limiter.process(ArrayLike(lambda: limit(SMALL, 48000))), limit(SMALL, 48000))


def test_limit_inside_a_conversion_is_independent():
    limiter = NaloLimiter(48000)
    inner = []

    class Axis:
        def __index__(self):
            inner.append(limit(SMALL, 44100))
            return 0

    assert_same_result(limiter.process(SMALL.T, Axis()), limit(SMALL.T, 48000, axis=0))
    assert_same_result(inner[0], limit(SMALL, 44100))


def test_failed_process_releases_the_object():
    limiter = NaloLimiter(48000)
    bad = SMALL.copy()
    bad[1, 3] = np.nan
    for args in ((bad,), (SMALL, 5), ("abc",), (SMALL, "x"), (np.zeros((2, 2, 2)),)):
        with pytest.raises((ValueError, TypeError)):
            limiter.process(*args)
        assert limiter.sample_rate == 48000
    assert_same_result(limiter.process(SMALL), limit(SMALL, 48000))


def test_concurrent_calls_share_nothing():
    inputs = [loud((2, 20_000), seed=s) for s in range(6)]
    expected_limit = [limit(x, 44100, -3.0) for x in inputs]
    limiters = [NaloLimiter(44100, -3.0) for _ in inputs]
    barrier = threading.Barrier(len(inputs))
    got = [None] * len(inputs)
    failures = []

    def run(i):
        try:
            barrier.wait()
            outputs = []
            for _ in range(5):
                outputs.append(limit(inputs[i], 44100, -3.0))
                outputs.append(limiters[i].process(inputs[i]))
            got[i] = outputs
        except BaseException as error:  # pragma: no cover - reported below
            failures.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    for i, outputs in enumerate(got):
        for output in outputs:
            assert_same_result(output, expected_limit[i])
