"""Array marshalling: accepted inputs, layouts and axes, result arrays and the
error order, conversions by NumPy, unusual memory layouts and allocation
failures."""
import array
import sys
import warnings

import numpy as np
import pytest

from nalo_limiter import NaloLimiter, limit
from support import assert_fresh_output, assert_same_result, bits, loud


def notes(exc):
    return getattr(exc, "__notes__", [])


# ---------------------------------------------------------------- layouts and axes


@pytest.mark.parametrize("shape", [(0,), (1,), (7,), (1000,), (1, 500), (2, 0), (3, 1), (2, 1000), (8, 300)])
def test_results_are_fresh_arrays_of_the_input_shape(shape):
    x = loud(shape)
    before = x.copy()
    result = limit(x, 48000)
    assert_fresh_output(result, x, shape)
    assert result[1].shape == (shape[-1],)
    np.testing.assert_array_equal(bits(x), bits(before))
    result[0][...] = 0.0  # writing to the result leaves the input alone
    np.testing.assert_array_equal(bits(x), bits(before))


def test_one_dimension_axis_zero_and_minus_one_are_the_same():
    x = loud(1000)
    assert_same_result(limit(x, 48000, axis=0), limit(x, 48000))
    assert_same_result(limit(x, 48000, axis=-1), limit(x, 48000))


def test_two_dimension_axis_aliases():
    x = loud((3, 700))
    assert_same_result(limit(x, 48000, axis=1), limit(x, 48000, axis=-1))
    assert_same_result(limit(x.T, 48000, axis=-2), limit(x.T, 48000, axis=0))


@pytest.mark.parametrize("channels, frames", [(1, 50), (2, 1000), (3, 777), (5, 300), (8, 260), (9, 300), (17, 300), (40, 513), (2, 1)])
def test_frames_first_is_the_transpose_of_frames_last(channels, frames):
    planar = loud((channels, frames), seed=channels)
    interleaved = np.ascontiguousarray(planar.T)
    audio0, gains0 = limit(interleaved, 48000, axis=0)
    audio1, gains1 = limit(planar, 48000)
    assert audio0.shape == (frames, channels)
    assert audio0.flags.c_contiguous
    np.testing.assert_array_equal(bits(audio0), bits(audio1.T))
    np.testing.assert_array_equal(bits(gains0), bits(gains1))


def _layouts_2d(base):
    """Different memory layouts holding the same values as `base`."""
    padded = np.zeros((base.shape[0] * 2, base.shape[1] * 3), np.float32)
    padded[::2, ::3] = base
    flipped = np.ascontiguousarray(base[::-1, ::-1])
    return {
        "fortran": np.asfortranarray(base),
        "strided": padded[::2, ::3],
        "reversed": flipped[::-1, ::-1],
        "transposed view": np.ascontiguousarray(base.T).T,
        "readonly": _readonly(base.copy()),
        "big-endian": base.astype(">f4"),
    }


def _readonly(x):
    x.flags.writeable = False
    return x


@pytest.mark.parametrize("axis", [-1, 0])
@pytest.mark.parametrize("layout", ["fortran", "strided", "reversed", "transposed view", "readonly", "big-endian"])
def test_any_layout_gives_the_results_of_a_row_major_copy(layout, axis):
    base = loud((4, 600) if axis == -1 else (600, 4), seed=3)
    x = _layouts_2d(base)[layout]
    np.testing.assert_array_equal(x, base)
    before = x.copy(order="K")
    result = limit(x, 48000, axis=axis)
    assert_fresh_output(result, x, base.shape)
    assert_same_result(result, limit(base, 48000, axis=axis))
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("channels", [1, 2, 7, 9, 33])
@pytest.mark.parametrize("layout", ["fortran", "strided", "reversed"])
def test_frames_first_with_any_channel_count_and_layout(channels, layout):
    base = loud((700, channels), seed=channels)
    x = _layouts_2d(base)[layout]
    assert_same_result(limit(x, 48000, axis=0), limit(base, 48000, axis=0))
    audio, gains = limit(np.ascontiguousarray(base.T), 48000)
    assert_same_result(limit(x, 48000, axis=0), (np.ascontiguousarray(audio.T), gains))


@pytest.mark.parametrize("view", [lambda x: x[::-1], lambda x: x[::3], lambda x: x[5:-5]])
def test_one_dimensional_views(view):
    base = loud(3000, seed=4)
    x = view(base)
    assert_same_result(limit(x, 48000), limit(np.ascontiguousarray(x), 48000))


def test_single_length_dimensions_may_have_any_stride():
    base = loud((1, 900))
    odd = np.lib.stride_tricks.as_strided(base, shape=(1, 900), strides=(12345 * 4, 4))
    assert_same_result(limit(odd, 48000), limit(base, 48000))
    column = loud((900, 1))
    audio, gains = limit(column, 48000, axis=0)
    mono_audio, mono_gains = limit(column.reshape(900), 48000)
    np.testing.assert_array_equal(bits(audio.reshape(900)), bits(mono_audio))
    np.testing.assert_array_equal(bits(gains), bits(mono_gains))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_subclass_input_gives_plain_ndarrays():
    class Tagged(np.ndarray):
        pass

    x = loud((2, 500)).view(Tagged)
    result = limit(x, 48000)
    assert_fresh_output(result, x, (2, 500))
    assert_same_result(result, limit(np.asarray(x), 48000))
    matrix = np.asmatrix(loud((2, 300)).astype(np.float64))
    assert_fresh_output(limit(matrix, 48000), matrix, (2, 300))


def test_float32_input_is_not_modified_and_may_be_read_only():
    x = _readonly(loud((2, 800)))
    before = x.copy()
    audio, gains = NaloLimiter(48000).process(x)
    assert audio.flags.writeable and gains.flags.writeable
    np.testing.assert_array_equal(bits(x), bits(before))


# ---------------------------------------------------------------- empty inputs and shape errors


@pytest.mark.parametrize("audio", [np.zeros(0, np.float32), [], (), b""])
def test_empty_mono(audio):
    result = limit(audio, 48000)
    assert_fresh_output(result, audio, (0,))
    assert result[1].shape == (0,)


def test_empty_frames():
    result = limit(np.zeros((2, 0), np.float32), 48000)
    assert_fresh_output(result, None, (2, 0))
    assert result[1].shape == (0,)
    result = limit(np.zeros((0, 3), np.float32), 48000, axis=0)
    assert_fresh_output(result, None, (0, 3))


@pytest.mark.parametrize("shape, axis", [((2, 0), 0), ((0, 0), 0), ((0, 0), 1), ((0, 0), -1), ((0, 0), -2),
                                         ((0, 5), -1)])
def test_empty_channel_dimension(shape, axis):
    with pytest.raises(ValueError, match="^the channel dimension must not be empty$"):
        limit(np.zeros(shape, np.float32), 48000, axis=axis)


@pytest.mark.parametrize("ndim, axis, message", [
    (1, 1, "axis=1 is invalid for a 1D array"),
    (1, -2, "axis=-2 is invalid for a 1D array"),
    (2, 2, "axis=2 is invalid for a 2D array"),
    (2, -3, "axis=-3 is invalid for a 2D array"),
    (2, 5, "axis=5 is invalid for a 2D array"),
    (2, -(2**63), f"axis={-(2**63)} is invalid for a 2D array"),
    (2, 2**63 - 1, f"axis={2**63 - 1} is invalid for a 2D array"),
])
def test_invalid_axis(ndim, axis, message):
    x = loud((2, 10) if ndim == 2 else 10)
    with pytest.raises(ValueError) as info:
        limit(x, 48000, axis=axis)
    assert info.value.args == (message,)
    with pytest.raises(ValueError) as info:
        NaloLimiter(48000).process(x, axis)
    assert info.value.args == (message,)
    if ndim == 2:
        with pytest.raises(ValueError, match=f"^{message}$"):
            limit(np.zeros((0, 0), np.float32), 48000, axis=axis)


@pytest.mark.parametrize("audio, ndim", [
    (1.5, 0), (np.float32(1.5), 0), (np.array(1.5, np.float32), 0), (np.array(2, np.int16), 0), ("1.5", 0),
    (np.zeros((2, 2, 2), np.float32), 3), (np.zeros((1,) * 5), 5), (np.zeros((0, 0, 0)), 3),
])
def test_wrong_dimensionality(audio, ndim):
    for axis in (-1, 0, 9):  # the axis is not looked at
        with pytest.raises(ValueError) as info:
            limit(audio, 48000, axis=axis)
        assert info.value.args == (f"audio must be a 1D or 2D array, got {ndim} dimensions",)


# ---------------------------------------------------------------- other inputs


@pytest.mark.parametrize("audio", [
    [0.5, 2.0, -3.0, 0.25],
    (0.5, 2.0, -3.0, 0.25),
    array.array("d", [0.5, 2.0, -3.0, 0.25]),
    array.array("f", [0.5, 2.0, -3.0, 0.25]),
    [0.5, 2, True and 2.0 * -1.5, np.float64(0.25)],
    np.array([0.5, 2.0, -3.0, 0.25], np.float64),
    np.array([0.5, 2.0, -3.0, 0.25], np.float16),
    range(0),
])
def test_sequences_of_numbers(audio):
    expected = limit(np.array(list(audio), np.float32).reshape(-1), 48000)
    result = limit(audio, 48000)
    assert_fresh_output(result, audio, expected[0].shape)
    assert_same_result(result, expected)


def test_bytes_are_byte_values():
    data = bytes([0, 1, 2, 255])
    assert_same_result(limit(data, 48000), limit(np.array([0, 1, 2, 255], np.float32), 48000))
    assert_same_result(limit(bytearray(data), 48000), limit(np.array([0, 1, 2, 255], np.float32), 48000))


def test_nested_lists_are_two_dimensional():
    rows = [[0.5, 1.5, -2.0], [0.1, 0.2, 0.3]]
    result = limit(rows, 48000)
    assert_fresh_output(result, None, (2, 3))
    assert_same_result(result, limit(np.array(rows, np.float32), 48000))
    assert_same_result(limit(rows, 48000, axis=0), limit(np.array(rows, np.float32), 48000, axis=0))


def test_ragged_list_raises_numpys_error_with_a_note():
    with pytest.raises(ValueError) as info:
        limit([[1.0, 2.0], [3.0]], 48000)
    assert notes(info.value) == ["while processing 'audio'"]


@pytest.mark.parametrize("audio", ["abc", [1.0, "x"], {"a": 1}, object(), [[1.0], "ab"]])
def test_unconvertible_audio_gets_a_note(audio):
    with pytest.raises(Exception) as info:
        limit(audio, 48000)
    assert notes(info.value) == ["while processing 'audio'"]
    assert isinstance(info.value, (TypeError, ValueError))


def test_integer_arrays_are_converted_by_value():
    x = np.array([[0, 32767, -32768, 1000], [5, -5, 7, -7]], np.int16)
    audio, gains = limit(x, 48000, -6.0)
    expected = limit(x.astype(np.float32), 48000, -6.0)
    assert_same_result((audio, gains), expected)
    # 32767 is far above full scale, so the gain at that frame is tiny.
    assert gains[1] < 1e-4


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
def test_float64_too_large_for_float32_is_not_finite():
    for audio in (np.array([[0.0, 1e300]]), [0.0, 1e300], np.array([0.0, -1e39])):
        with pytest.raises(ValueError, match="^input sample at flat index 1 is not finite$"):
            limit(audio, 48000)


def test_complex_input_is_cast_by_numpy():
    x = np.array([0.5 + 1j, -2.0 + 0j], np.complex128)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy's ComplexWarning: the imaginary part is dropped
        assert_same_result(limit(x, 48000), limit(np.array([0.5, -2.0], np.float32), 48000))


# ---------------------------------------------------------------- conversions, memory layouts, allocation


@pytest.mark.parametrize("dtype", [np.float64, np.int16, np.int32, np.float16, ">f4"])
def test_arrays_of_other_types_keep_their_shape(dtype):
    """A (frames, 1) array of another type is converted by NumPy with its
    shape, not read item by item as a flat sequence."""
    column = (np.arange(12).reshape(12, 1) * 3 - 15).astype(dtype)
    audio, gains = limit(column, 48000, axis=0)
    assert audio.shape == (12, 1)
    assert gains.shape == (12,)
    assert_same_result((audio, gains), limit(column.astype(np.float32), 48000, axis=0))
    audio, gains = limit(column, 48000)  # frames last: twelve channels of one frame
    assert audio.shape == (12, 1) and gains.shape == (1,)


def test_one_dimensional_arrays_of_other_types():
    x = np.array([1, -40000, 3], np.int64)
    assert_same_result(limit(x, 48000), limit(x.astype(np.float32), 48000))


@pytest.mark.parametrize("shape", [(10,), (10, 1), (0, 0, 0)])
def test_arrays_are_never_read_item_by_item(shape):
    """Step 2 is for Python sequences: a NumPy array of another type goes to
    NumPy's conversion without being iterated."""
    iterated = []

    class Watched(np.ndarray):
        def __iter__(self):
            iterated.append(True)
            return super().__iter__()

    x = np.arange(float(np.prod(shape))).reshape(shape).view(Watched)
    if len(shape) == 3:
        with pytest.raises(ValueError, match="got 3 dimensions"):
            limit(x, 48000)
    else:
        audio, gains = limit(x, 48000, axis=0)
        assert type(audio) is np.ndarray and audio.shape == shape
    assert iterated == []


@pytest.mark.parametrize("offset", [1, 2, 3])
def test_unaligned_float32_data(offset):
    values = loud(2 * 301, seed=offset)
    raw = bytearray(offset) + bytearray(values.tobytes())
    x = np.frombuffer(bytes(raw), dtype=np.float32, offset=offset)
    assert not x.flags.aligned
    assert_same_result(limit(x, 48000), limit(values, 48000))
    x2 = x.reshape(2, 301)
    assert_same_result(limit(x2, 48000), limit(values.reshape(2, 301), 48000))
    assert_same_result(limit(x2[:, ::2], 48000), limit(values.reshape(2, 301)[:, ::2].copy(), 48000))
    assert_same_result(limit(x2.T, 48000, axis=0), limit(values.reshape(2, 301).T.copy(), 48000, axis=0))


def test_zero_strides():
    row = loud(500, seed=9)
    x = np.broadcast_to(row, (3, 500))
    assert x.strides[0] == 0
    assert_same_result(limit(x, 48000), limit(np.array(x), 48000))
    assert_same_result(limit(x.T, 48000, axis=0), limit(np.array(x.T), 48000, axis=0))
    scalar = np.broadcast_to(np.float32(2.0), (2, 400))
    assert scalar.strides == (0, 0)
    assert_same_result(limit(scalar, 48000), limit(np.full((2, 400), 2.0, np.float32), 48000))


@pytest.mark.parametrize("axis", [-1, 0])
def test_unallocatable_array_raises_memory_error(axis):
    huge = np.broadcast_to(np.float32(0.5), (2, 2**40) if axis == -1 else (2**40, 2))
    with pytest.raises(MemoryError):
        limit(huge, 48000, axis=axis)
    with pytest.raises(MemoryError):
        NaloLimiter(48000).process(huge, axis)
    assert limit([0.5, 2.0], 48000)[1].shape == (2,)  # still alive


def test_unallocatable_conversion_raises_memory_error():
    huge = np.broadcast_to(np.float64(0.5), (2, 2**40))
    with pytest.raises(MemoryError) as info:
        limit(huge, 48000)
    assert info.value.__notes__ == ["while processing 'audio'"]


def test_memory_error_leaves_the_object_usable():
    limiter = NaloLimiter(48000)
    with pytest.raises(MemoryError):
        limiter.process(np.broadcast_to(np.float32(0.5), (3, 2**41)))
    assert limiter.lookahead_samples == 240
    assert limiter.process([0.5])[0].shape == (1,)


def test_sequence_with_an_absurd_length_is_not_reserved_ahead():
    class Liar:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError(index)
            return float(index) * 0.25

    audio, gains = limit(Liar(), 48000)
    np.testing.assert_array_equal(audio, np.array([0.0, 0.25, 0.5], np.float32))


def test_sequence_whose_length_fails_is_still_read():
    class NoLength:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            if index >= 2:
                raise IndexError(index)
            return 0.5

    audio, _ = limit(NoLength(), 48000)
    np.testing.assert_array_equal(audio, np.array([0.5, 0.5], np.float32))


# ---------------------------------------------------------------- non-finite samples


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_index_frames_last(bad):
    x = loud((3, 50))
    x[2, 7] = bad
    with pytest.raises(ValueError) as info:
        limit(x, 48000)
    assert info.value.args == (f"input sample at flat index {2 * 50 + 7} is not finite",)


def test_non_finite_index_frames_first():
    x = loud((50, 3))
    x[7, 2] = np.nan
    with pytest.raises(ValueError, match=f"^input sample at flat index {7 * 3 + 2} is not finite$"):
        limit(x, 48000, axis=0)
    with pytest.raises(ValueError, match=f"^input sample at flat index {7 * 3 + 2} is not finite$"):
        limit(np.asfortranarray(x), 48000, axis=0)


def test_first_non_finite_in_channel_major_order_is_reported():
    x = np.ones((2, 2), np.float32)
    x[0, 1] = x[1, 0] = np.nan
    with pytest.raises(ValueError, match="^input sample at flat index 2 is not finite$"):
        limit(x, 48000, axis=0)
    with pytest.raises(ValueError, match="^input sample at flat index 1 is not finite$"):
        limit(x, 48000)


def test_index_is_into_the_callers_shape_for_views():
    x = loud((2, 100))
    x[1, 98] = np.inf
    with pytest.raises(ValueError, match=f"^input sample at flat index {1 * 50 + 49} is not finite$"):
        limit(x[:, ::2], 48000)
    with pytest.raises(ValueError, match="^input sample at flat index 101 is not finite$"):
        limit(x[:, ::-1], 48000)


def test_extreme_finite_values_pass():
    x = np.array([-0.0, 1e-45, np.finfo(np.float32).max, -np.finfo(np.float32).max], np.float32)
    audio, gains = limit(x, 48000)
    assert np.all(np.abs(audio) <= 1.0)


# ---------------------------------------------------------------- error precedence


def test_error_order_of_process_numpy():
    x3 = np.full((2, 2, 2), np.nan, np.float32)
    with pytest.raises(ValueError, match="got 3 dimensions"):
        limit(x3, 48000, axis=5)
    empty = np.full((0, 4), np.nan, np.float32)
    with pytest.raises(ValueError, match="^axis=5 is invalid"):
        limit(empty, 48000, axis=5)
    nan = np.full((2, 0), np.nan, np.float32)
    with pytest.raises(ValueError, match="channel dimension"):
        limit(nan, 48000, axis=0)
    with pytest.raises(ValueError, match="^axis=2 is invalid"):
        limit(np.full((2, 2), np.nan, np.float32), 48000, axis=2)


def test_dimension_errors_come_after_the_configuration():
    with pytest.raises(ValueError, match="rounds to zero"):
        limit(np.zeros((1, 1, 1), np.float32), 48000, attack_ms=0.0)
    with pytest.raises(ValueError, match="^sample_rate must be"):
        limit(np.zeros((1, 1, 1), np.float32), 0)


# ---------------------------------------------------------------- references


def test_no_references_are_leaked():
    limiter = NaloLimiter(48000)
    x = loud((2, 64))
    bad = x.copy()
    bad[0, 0] = np.nan
    rows = [[0.5, 1.0], [2.0, 3.0]]
    calls = [
        lambda: limit(x, 48000),
        lambda: limiter.process(x, 0),
        lambda: limit(bad, 48000),
        lambda: limit(x, 48000, axis=3),
        lambda: limit(x, 0),
        lambda: limit(x, 48000, hold_ms="h"),
        lambda: limiter.process(rows),
    ]
    for call in calls:
        for _ in range(3):
            try:
                call()
            except (ValueError, TypeError):
                pass
        counts = (sys.getrefcount(x), sys.getrefcount(bad), sys.getrefcount(rows), sys.getrefcount(limiter))
        for _ in range(50):
            try:
                call()
            except (ValueError, TypeError):
                pass
        assert (sys.getrefcount(x), sys.getrefcount(bad), sys.getrefcount(rows), sys.getrefcount(limiter)) == counts


class Sample(float):
    """A float that counts its live instances."""
    alive = 0

    def __new__(cls, value):
        Sample.alive += 1
        return super().__new__(cls, value)

    def __del__(self):
        Sample.alive -= 1


class MadeOnRead:
    """A sequence that creates each item when it is read: a reference kept
    to an item keeps that item alive, which a list's own items would hide."""

    def __len__(self):
        return 64

    def __getitem__(self, i):
        if i >= 64:
            raise IndexError(i)
        return Sample(i / 32 - 1)


def test_no_reference_is_kept_to_the_float32_dtype_or_to_items_read():
    float32 = np.dtype(np.float32)
    x = loud((2, 64))
    limiter = NaloLimiter(48000)
    for call in (lambda: limit(x, 48000), lambda: limiter.process(x.T, 0), lambda: limiter.process(MadeOnRead()),
                 lambda: limit(MadeOnRead(), 48000, axis=3), lambda: limit(range(1000, 1064), 48000)):
        try:
            call()
        except ValueError:
            pass
        before = sys.getrefcount(float32)
        for _ in range(20):
            try:
                call()
            except ValueError:
                pass
        assert sys.getrefcount(float32) == before
        assert Sample.alive == 0
