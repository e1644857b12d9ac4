"""Argument binding, conversion order and the PEP 678 notes."""
import numpy as np
import pytest

import nalo_limiter
from nalo_limiter import NaloLimiter, limit
from support import assert_same_result, loud

X = loud((2, 600))


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", [])


# ---------------------------------------------------------------- binding

PROCESS = NaloLimiter(48000).process

BINDING_CASES = [
    (limit, (), {}, "limit() missing 2 required positional arguments: 'audio' and 'sample_rate'"),
    (limit, (X,), {}, "limit() missing 1 required positional argument: 'sample_rate'"),
    (limit, (), {"sample_rate": 48000}, "limit() missing 1 required positional argument: 'audio'"),
    (limit, (X, 48000, 0.0, 5.0, 15.0, 40.0, -1, 0), {},
     "limit() takes from 2 to 7 positional arguments but 8 were given"),
    (limit, (X, 48000, 0.0), {"sample_rate": 44100}, "limit() got multiple values for argument 'sample_rate'"),
    (limit, (X, 48000), {"threshold": 0.0}, "limit() got an unexpected keyword argument 'threshold'"),
    (limit, (X, 48000), {"audio": X}, "limit() got multiple values for argument 'audio'"),
    (NaloLimiter, (), {}, "NaloLimiter.__new__() missing 1 required positional argument: 'sample_rate'"),
    (NaloLimiter, (48000, 0.0, 5.0, 15.0, 40.0, 1), {},
     "NaloLimiter.__new__() takes from 1 to 5 positional arguments but 6 were given"),
    (NaloLimiter, (48000,), {"sample_rate": 1}, "NaloLimiter.__new__() got multiple values for argument 'sample_rate'"),
    (NaloLimiter, (48000,), {"axis": 0}, "NaloLimiter.__new__() got an unexpected keyword argument 'axis'"),
    (PROCESS, (), {}, "NaloLimiter.process() missing 1 required positional argument: 'audio'"),
    (PROCESS, (), {"axis": 0}, "NaloLimiter.process() missing 1 required positional argument: 'audio'"),
    (PROCESS, (X, -1, 0), {}, "NaloLimiter.process() takes from 1 to 2 positional arguments but 3 were given"),
    (PROCESS, (X,), {"audio": X}, "NaloLimiter.process() got multiple values for argument 'audio'"),
    (PROCESS, (X,), {"sample_rate": 1}, "NaloLimiter.process() got an unexpected keyword argument 'sample_rate'"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING_CASES)
def test_binding_errors(fn, args, kwargs, message):
    raises_exactly(TypeError, message, fn, *args, **kwargs)


def test_too_many_positional_wins_over_keywords():
    raises_exactly(TypeError, "limit() takes from 2 to 7 positional arguments but 8 were given",
                   limit, X, 48000, 0.0, 5.0, 15.0, 40.0, -1, 0, bogus=1)


def test_keywords_are_checked_in_the_callers_order():
    raises_exactly(TypeError, "limit() got an unexpected keyword argument 'zz'",
                   limit, X, 48000, zz=1, sample_rate=1)
    raises_exactly(TypeError, "limit() got multiple values for argument 'sample_rate'",
                   limit, X, 48000, sample_rate=1, zz=1)


def test_binding_precedes_any_conversion():
    # audio would fail to convert, but the missing argument is reported first.
    raises_exactly(TypeError, "limit() missing 1 required positional argument: 'sample_rate'", limit, "abc")


def test_keywords_and_positions_are_equivalent(limiter):
    expected = limit(X, 48000, -3.0, 2.0, 10.0, 30.0, -1)
    assert_same_result(limit(audio=X, sample_rate=48000, threshold_dBFS=-3.0, attack_ms=2.0,
                             hold_ms=10.0, release_ms=30.0, axis=-1), expected)
    assert_same_result(limit(X, 48000, release_ms=30.0, hold_ms=10.0, attack_ms=2.0, threshold_dBFS=-3.0),
                       expected)
    assert_same_result(limiter.process(X), limiter.process(audio=X, axis=-1))
    assert_same_result(limiter.process(X.T, 0), limiter.process(X.T, axis=0))
    a = NaloLimiter(sample_rate=44100, threshold_dBFS=-2.0, attack_ms=3.0, hold_ms=4.0, release_ms=5.0)
    b = NaloLimiter(44100, -2.0, 3.0, 4.0, 5.0)
    assert repr(a) == repr(b)


def test_defaults_apply_only_to_omitted_arguments():
    assert_same_result(limit(X, 48000), limit(X, 48000, 0.0, 5.0, 15.0, 40.0, -1))
    for name in ("threshold_dBFS", "attack_ms", "hold_ms", "release_ms"):
        with pytest.raises(TypeError) as info:
            limit(X, 48000, **{name: None})
        assert notes(info.value) == [f"while processing '{name}'"]
        with pytest.raises(TypeError) as info:
            NaloLimiter(48000, **{name: None})
        assert notes(info.value) == [f"while processing '{name}'"]
    with pytest.raises(TypeError) as info:
        limit(X, 48000, axis=None)
    assert notes(info.value) == ["while processing 'axis'"]
    with pytest.raises(TypeError) as info:
        NaloLimiter(48000).process(X, None)
    assert notes(info.value) == ["while processing 'axis'"]


# ---------------------------------------------------------------- conversions


class FloatLike:
    def __float__(self):
        return -3.0


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [-3.0, -3, np.float32(-3.0), np.float64(-3.0), np.int8(-3), FloatLike(),
                                   IndexLike(-3)])
def test_float_parameters_use_pythons_float_conversion(value):
    assert NaloLimiter(48000, value).threshold_dBFS == -3.0
    assert_same_result(limit(X, 48000, value), limit(X, 48000, -3.0))


def test_minus_one_is_a_value_not_an_error():
    assert NaloLimiter(48000, -1.0).threshold_dBFS == -1.0
    raises_exactly(ValueError, "attack_ms must be finite and non-negative, got -1", NaloLimiter, 48000, 0.0, -1.0)
    assert_same_result(limit(X, 48000, axis=-1), limit(X, 48000))


@pytest.mark.parametrize("fn", [limit, NaloLimiter])
@pytest.mark.parametrize("name, position", [("threshold_dBFS", 0), ("attack_ms", 1), ("hold_ms", 2),
                                            ("release_ms", 3)])
@pytest.mark.parametrize("bad, exc_type", [("x", TypeError), (10**400, OverflowError), ([1.0], TypeError)])
def test_float_conversion_errors_keep_type_and_get_a_note(fn, name, position, bad, exc_type):
    args = [X, 48000] if fn is limit else [48000]
    with pytest.raises(exc_type) as info:
        fn(*args, **{name: bad})
    assert type(info.value) is exc_type
    assert notes(info.value) == [f"while processing '{name}'"]


@pytest.mark.parametrize("call", [
    lambda axis: limit(X, 48000, axis=axis),
    lambda axis: NaloLimiter(48000).process(X, axis),
])
@pytest.mark.parametrize("bad, exc_type", [(1.5, TypeError), ("0", TypeError), (2**63, OverflowError),
                                           (np.float64(0.0), TypeError)])
def test_axis_conversion_errors_keep_type_and_get_a_note(call, bad, exc_type):
    with pytest.raises(exc_type) as info:
        call(bad)
    assert type(info.value) is exc_type
    assert notes(info.value) == ["while processing 'axis'"]


@pytest.mark.parametrize("axis", [True, np.int64(1), IndexLike(1), 1])
def test_axis_accepts_integers_by_index(axis):
    assert_same_result(limit(X, 48000, axis=axis), limit(X, 48000, axis=-1))


def test_conversion_exceptions_of_their_own_type_pass_through():
    class Custom(Exception):
        pass

    class Raising:
        def __float__(self):
            raise Custom("boom")

        def __index__(self):
            raise Custom("bang")

    with pytest.raises(Custom, match="boom") as info:
        limit(X, 48000, hold_ms=Raising())
    assert notes(info.value) == ["while processing 'hold_ms'"]
    with pytest.raises(Custom, match="bang") as info:
        limit(X, 48000, axis=Raising())
    assert notes(info.value) == ["while processing 'axis'"]


def test_a_failing_add_note_is_ignored():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Raising:
        def __float__(self):
            raise NoNotes("original")

    with pytest.raises(NoNotes, match="original") as info:
        NaloLimiter(48000, Raising())
    assert notes(info.value) == []


def test_existing_notes_are_kept():
    class Noted:
        def __float__(self):
            error = ValueError("noted")
            error.add_note("first")
            raise error

    with pytest.raises(ValueError) as info:
        limit(X, 48000, release_ms=Noted())
    assert notes(info.value) == ["first", "while processing 'release_ms'"]


# ---------------------------------------------------------------- sample rate

SAMPLE_RATE_ERROR = "sample_rate must be a positive 32-bit integer"


@pytest.mark.parametrize("rate", [0, -1, -48000, 2**32, 2**64, 10**30, 44100.0, "48000", None, 1.5, np.float64(48000)])
def test_invalid_sample_rates(rate):
    error = raises_exactly(ValueError, SAMPLE_RATE_ERROR, NaloLimiter, rate)
    assert error.__cause__ is None and error.__context__ is None
    raises_exactly(ValueError, SAMPLE_RATE_ERROR, limit, X, rate)


@pytest.mark.parametrize("rate", [48000, np.int64(48000), np.uint32(48000), IndexLike(48000)])
def test_valid_sample_rates(rate):
    assert NaloLimiter(rate).sample_rate == 48000
    assert_same_result(limit(X, rate), limit(X, 48000))


def test_largest_sample_rate():
    limiter = NaloLimiter(4294967295, attack_ms=0.001, hold_ms=0.0, release_ms=0.0)
    assert limiter.sample_rate == 4294967295
    assert limiter.lookahead_samples == 4295


def test_true_is_a_sample_rate_of_one():
    raises_exactly(ValueError, "attack_ms=5 rounds to zero samples at 1 Hz", NaloLimiter, True)
    raises_exactly(ValueError, "attack_ms=5 rounds to zero samples at 1 Hz", limit, X, True)


# ---------------------------------------------------------------- conversion order


def test_floats_are_converted_before_the_sample_rate():
    with pytest.raises(TypeError) as info:
        limit(X, 0, "x")
    assert notes(info.value) == ["while processing 'threshold_dBFS'"]
    with pytest.raises(TypeError) as info:
        NaloLimiter("x", "y")
    assert notes(info.value) == ["while processing 'threshold_dBFS'"]


def test_float_parameters_are_converted_in_order():
    with pytest.raises(TypeError) as info:
        limit(X, 48000, release_ms="r", attack_ms="a", hold_ms="h")
    assert notes(info.value) == ["while processing 'attack_ms'"]
    with pytest.raises(TypeError) as info:
        NaloLimiter(48000, release_ms="r", hold_ms="h")
    assert notes(info.value) == ["while processing 'hold_ms'"]


def test_axis_is_converted_after_the_floats_and_before_the_sample_rate():
    with pytest.raises(TypeError) as info:
        limit(X, 0, release_ms="r", axis="a")
    assert notes(info.value) == ["while processing 'release_ms'"]
    with pytest.raises(TypeError) as info:
        limit(X, 0, axis="a")
    assert notes(info.value) == ["while processing 'axis'"]


def test_audio_is_converted_first():
    with pytest.raises(ValueError) as info:
        limit([[1.0], [1.0, 2.0]], "rate", "x", axis="a")
    assert notes(info.value) == ["while processing 'audio'"]
    with pytest.raises(ValueError) as info:
        NaloLimiter(48000).process([[1.0], [1.0, 2.0]], "a")
    assert notes(info.value) == ["while processing 'audio'"]


def test_sample_rate_is_judged_before_the_configuration():
    raises_exactly(ValueError, SAMPLE_RATE_ERROR, limit, X, 0, 1.0)
    raises_exactly(ValueError, SAMPLE_RATE_ERROR, NaloLimiter, 0, 1.0)


def test_configuration_is_judged_before_the_array():
    raises_exactly(ValueError, "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1",
                   limit, np.zeros((2, 2, 2), np.float32), 48000, 1.0, axis=7)


def test_module_surface():
    assert nalo_limiter.__all__ == ["NaloLimiter", "limit"]
    assert limit.__self__ is nalo_limiter
    assert limit.__module__ == "nalo_limiter"
    assert limit.__name__ == "limit"
