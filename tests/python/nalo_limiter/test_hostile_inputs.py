"""Hostile audio objects and extreme inputs: each gets its own error or a
correct result, never a crash."""
import _thread
import os
import threading
import time

import numpy as np
import pytest

from nalo_limiter import NaloLimiter, limit
from support import assert_same_result, loud


def numpy_outcome(obj):
    try:
        return np.asarray(obj, dtype=np.float32), None
    except Exception as error:  # noqa: BLE001 - the error is the outcome
        return None, error


def assert_like_numpy(obj):
    """An object that the flat reading refuses goes to NumPy's conversion:
    the result of NumPy's array, or NumPy's error with the note."""
    array, error = numpy_outcome(obj)
    if error is None:
        assert_same_result(limit(obj, 48000, -6.0), limit(array, 48000, -6.0))
        return
    with pytest.raises(type(error)) as info:
        limit(obj, 48000, -6.0)
    assert info.value.args == error.args
    assert info.value.__notes__ == ["while processing 'audio'"]


class Number:
    def __init__(self, value=0.5, fail=None, lie=None):
        self.value, self.fail, self.lie = value, fail, lie

    def __float__(self):
        if self.fail:
            raise self.fail
        if self.lie is not None:
            return self.lie
        return self.value


class Sequence:
    """A sequence whose length and iteration can raise or lie."""

    def __init__(self, items, length=None, length_error=None, iter_error=None, fail_after=None):
        self.items, self.length, self.length_error = items, length, length_error
        self.iter_error, self.fail_after = iter_error, fail_after

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iter_error:
            raise self.iter_error
        for i, item in enumerate(self.items):
            if self.fail_after is not None and i == self.fail_after:
                raise LookupError("iteration broke")
            yield item


ITEMS = [0.25, 3.0, -2.5, 0.5]


@pytest.mark.parametrize("obj", [
    [0.5, Number(fail=ArithmeticError("no float"))],
    [0.5, Number(lie="not a float")],
    [Number(fail=MemoryError())],
    Sequence(ITEMS, iter_error=KeyError("no iterator")),
    Sequence(ITEMS, fail_after=2),
    Sequence(ITEMS, iter_error=TypeError("not iterable"), length_error=RuntimeError("no length")),
], ids=["__float__ raises", "__float__ lies", "__float__ out of memory", "__iter__ raises", "iteration raises",
        "__iter__ and __len__ raise"])
def test_objects_the_flat_reading_refuses_go_to_numpy(obj):
    assert_like_numpy(obj)


@pytest.mark.parametrize("length", [0, 1, 2**62, -1, 2**100])
def test_lying_or_failing_length_does_not_change_what_is_read(length):
    """The reported length only sizes the first reservation: every item that
    iteration yields is read (a negative or too large length makes len() fail,
    which is cleared)."""
    obj = Sequence([Number(v) for v in ITEMS], length=length)
    assert_same_result(limit(obj, 48000, -6.0), limit(np.array(ITEMS, np.float32), 48000, -6.0))


def test_items_with_lying_float_values_are_narrowed_like_any_float():
    obj = [Number(lie=1e300), Number(lie=0.5)]  # __float__ gives a float too large for float32
    with pytest.raises(ValueError, match="^input sample at flat index 0 is not finite$"):
        limit(obj, 48000)


# ---------------------------------------------------------------- huge and degenerate layouts


@pytest.mark.parametrize("shape, axis", [((2**20, 2**20), -1), ((2**20, 2**20), 0), ((2**30, 2**30), -1),
                                         ((2**30, 2**30), 0), ((1, 2**45), -1), ((2**45, 1), 0)])
def test_huge_broadcast_shapes_raise_memory_error(shape, axis):
    huge = np.broadcast_to(np.float32(0.25), shape)
    with pytest.raises(MemoryError):
        limit(huge, 48000, axis=axis)
    limiter = NaloLimiter(48000)
    with pytest.raises(MemoryError):
        limiter.process(huge, axis)
    assert limiter.process([0.25])[1].tolist() == [1.0]


@pytest.mark.parametrize("shape, axis", [((2**40, 0), -1), ((0, 2**40), 0), ((2**40, 0), 0), ((0, 2**40), -1)])
def test_empty_array_with_a_huge_other_dimension_returns_at_once(shape, axis):
    x = np.empty(shape, np.float32)
    if shape[axis] != 0:  # the channel dimension is the empty one
        with pytest.raises(ValueError, match="^the channel dimension must not be empty$"):
            limit(x, 48000, axis=axis)
        return
    audio, gains = NaloLimiter(48000).process(x, axis)
    assert audio.shape == shape and gains.shape == (0,) and audio.dtype == gains.dtype == np.float32


def test_a_long_call_notices_ctrl_c_and_changes_nothing():
    limiter = NaloLimiter(48000, attack_ms=6e6)  # 288 million frames of look-ahead: seconds of work
    x = np.zeros(48000, np.float32)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    started = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        limiter.process(x)
    timer.join()
    if not os.environ.get("NALO_SANITIZED"):
        assert time.perf_counter() - started < 2.0
    assert not x.any() and repr(limiter) == repr(NaloLimiter(48000, attack_ms=6e6))


@pytest.mark.parametrize("axis", [-1, 0])
def test_unaligned_big_endian_negative_and_zero_strides_together(axis):
    base = loud((3, 400) if axis == -1 else (400, 3), seed=31)
    raw = np.frombuffer(b"\0" + base.astype(">f4").tobytes(), dtype=">f4", offset=1).reshape(base.shape)
    assert not raw.flags.aligned
    assert_same_result(limit(raw[::-1, ::-1], 48000, axis=axis),
                       limit(np.ascontiguousarray(base[::-1, ::-1]), 48000, axis=axis))
    unaligned = np.frombuffer(b"\0\0" + base.tobytes(), dtype=np.float32, offset=2).reshape(base.shape)
    assert_same_result(limit(unaligned[::-2, ::-1], 48000, axis=axis),
                       limit(np.ascontiguousarray(base[::-2, ::-1]), 48000, axis=axis))
    column = base[:, :1] if axis == -1 else base[:1, :]
    repeated = np.broadcast_to(column, base.shape)
    assert_same_result(limit(repeated, 48000, axis=axis), limit(np.array(repeated), 48000, axis=axis))


# ---------------------------------------------------------------- extreme settings


def test_subnormal_thresholds():
    quiet = NaloLimiter(48000, -5e-324)  # rounds to a ceiling of exactly 1.0
    assert quiet.threshold_dBFS == -5e-324 and quiet.threshold == 1.0
    x = loud((2, 500), seed=5)
    assert_same_result(quiet.process(x), limit(x, 48000, 0.0))
    with pytest.raises(ValueError) as info:
        NaloLimiter(48000, 5e-324)
    assert info.value.args == ("threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0."
                               + "0" * 323 + "5",)


def test_largest_sample_rate_processes():
    limiter = NaloLimiter(4294967295, -6.0, 0.001, 0.0, 0.001)
    assert limiter.lookahead_samples == 4295
    audio, gains = limiter.process(loud((2, 6000), seed=6))
    assert np.all(np.abs(audio) <= np.float32(limiter.threshold))
    assert np.all((gains >= 0) & (gains <= 1))


@pytest.mark.parametrize("settings", [dict(attack_ms=1e300), dict(hold_ms=1e300), dict(attack_ms=1e300, hold_ms=1e300),
                                      dict(hold_ms=1.7e308)])
def test_absurd_times_raise_memory_error(settings):
    with pytest.raises(MemoryError):
        NaloLimiter(48000, **settings)
    with pytest.raises(MemoryError):
        limit([0.5], 48000, **settings)


def test_absurd_release_is_a_release_that_never_ends():
    x = np.zeros(4000, np.float32)
    x[100] = 2.0
    audio, gains = limit(x, 48000, 0.0, 1.0, 0.0, 1e300)
    # After the reduction the gain never rises again within the call.
    assert gains[100] <= 0.5 and np.all(gains[100:] == gains[100])


# ---------------------------------------------------------------- non-finite samples at every position


def _layout(kind):
    if kind == "1-D":
        return loud(37, seed=8), -1
    if kind == "(C, F) axis -1":
        return loud((3, 37), seed=8), -1
    return loud((37, 3), seed=8), 0


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf], ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("kind", ["1-D", "(C, F) axis -1", "(F, C) axis 0"])
def test_non_finite_sample_reports_its_flat_index(kind, where, bad):
    x, axis = _layout(kind)
    flat = {"first": 0, "middle": x.size // 2 + 1, "last": x.size - 1}[where]
    x.reshape(-1)[flat] = bad
    message = f"input sample at flat index {flat} is not finite"
    for candidate in (x, np.asfortranarray(x), x[::1]):
        with pytest.raises(ValueError) as info:
            limit(candidate, 48000, axis=axis)
        assert info.value.args == (message,)
    with pytest.raises(ValueError) as info:
        NaloLimiter(48000).process(x.tolist(), axis)
    assert info.value.args == (message,)
