"""Helpers shared by the Python tests."""
import numpy as np


def loud(shape, seed=0, scale=1.5):
    """Float32 noise that regularly exceeds full scale."""
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def bits(array):
    return np.asarray(array, dtype=np.float32).view(np.uint32)


def assert_same_result(got, expected):
    """Both (audio, frame_gains) tuples are bit-identical, shapes included."""
    assert isinstance(got, tuple) and len(got) == 2
    for g, e in zip(got, expected):
        assert g.shape == e.shape
        assert g.dtype == np.float32
        np.testing.assert_array_equal(bits(g), bits(e))


def assert_fresh_output(result, source, shape):
    """Results are new, writeable, row-major float32 numpy.ndarray objects of
    the expected shapes, independent of the input and of each other."""
    assert type(result) is tuple and len(result) == 2
    audio, gains = result
    for array in (audio, gains):
        assert type(array) is np.ndarray
        assert array.dtype == np.dtype(np.float32)
        assert array.dtype.isnative
        assert array.flags.c_contiguous
        assert array.flags.writeable
        if isinstance(source, np.ndarray):
            assert not np.shares_memory(array, source)
    assert audio.shape == shape
    assert gains.ndim == 1
    assert not np.shares_memory(audio, gains)
