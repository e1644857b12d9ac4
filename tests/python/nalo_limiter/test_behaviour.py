"""What the limiter does to a signal, seen through the Python API."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from nalo_limiter import NaloLimiter, limit
from support import assert_same_result, bits, loud

settings.register_profile("default", max_examples=60, deadline=None)
settings.load_profile("default")


def ceiling(threshold_dBFS):
    return np.float32(NaloLimiter(48000, threshold_dBFS).threshold)


samples = st.floats(-1e4, 1e4, width=32, allow_nan=False, allow_infinity=False)


@st.composite
def signals(draw):
    channels = draw(st.integers(1, 4))
    frames = draw(st.integers(0, 400))
    shape = draw(st.sampled_from([(frames,), (channels, frames)]))
    return draw(hnp.arrays(np.float32, shape, elements=samples))


@given(x=signals(), threshold=st.floats(-60.0, 0.0), attack=st.floats(0.05, 5.0), hold=st.floats(0.0, 10.0),
       release=st.floats(0.0, 50.0), rate=st.sampled_from([8000, 44100, 48000]))
def test_ceiling_is_never_exceeded_and_gains_are_linked(x, threshold, attack, hold, release, rate):
    try:
        limiter = NaloLimiter(rate, threshold, attack, hold, release)
    except ValueError as error:  # a very short attack at a low rate
        assert "rounds to zero samples" in str(error)
        return
    audio, gains = limiter.process(x)
    t32 = np.float32(limiter.threshold)
    assert audio.shape == x.shape
    assert np.all(np.abs(audio) <= t32)
    assert np.all((gains >= 0.0) & (gains <= 1.0))
    # One gain per frame, applied to every channel, then clamped.
    expected = np.clip(x * gains, -t32, t32)
    np.testing.assert_array_equal(bits(audio), bits(expected))
    assert_same_result(limit(x, rate, threshold, attack, hold, release), (audio, gains))


@pytest.mark.parametrize("threshold", [0.0, -1.0, -6.0, -20.0])
def test_loud_music_like_signal_respects_the_ceiling(threshold):
    x = loud((2, 48000), seed=5, scale=2.0)
    audio, gains = limit(x, 48000, threshold)
    assert np.max(np.abs(audio)) <= ceiling(threshold)
    assert np.min(gains) < 1.0


def test_quiet_signal_passes_unchanged():
    x = loud((2, 5000), scale=0.1)
    x = np.clip(x, -0.5, 0.5)
    audio, gains = limit(x, 48000)
    np.testing.assert_array_equal(bits(audio), bits(x))
    assert np.all(gains == 1.0)


def test_gain_is_linked_across_channels():
    x = np.zeros((2, 3000), np.float32)
    x[0, 1000] = 4.0  # only channel 0 is loud
    x[1] = 0.5
    audio, gains = limit(x, 48000)
    assert gains[1000] <= 0.25
    assert audio[1, 1000] == np.float32(0.5) * gains[1000]  # the quiet channel is turned down too


def test_reduction_starts_lookahead_frames_early_and_is_not_delayed():
    x = np.zeros(3000, np.float32)
    x[1000] = 4.0
    limiter = NaloLimiter(48000)
    audio, gains = limiter.process(x)
    first = 1000 - limiter.lookahead_samples
    assert np.all(gains[:first] == 1.0)
    assert np.all(gains[first:1001] < 1.0)
    assert gains[1000] == np.float32(0.25)
    assert audio[1000] == 1.0
    assert np.all(np.diff(gains[first:1001]) <= 0)  # a smooth ramp down into the peak


@pytest.mark.parametrize("config", [(48000,), (44100, -3.0, 1.0, 0.0, 0.0), (8000, -12.0, 10.0, 30.0, 100.0)])
@pytest.mark.parametrize("shape, axis", [((4000,), -1), ((2, 3000), -1), ((3000, 3), 0)])
def test_limit_equals_process(config, shape, axis):
    x = loud(shape, seed=len(shape))
    assert_same_result(limit(x, *config, axis=axis), NaloLimiter(*config).process(x, axis))


def test_every_call_starts_from_a_neutral_envelope():
    limiter = NaloLimiter(48000, -1.0)
    x = loud((2, 4000), seed=1)
    first = limiter.process(x)
    assert_same_result(limiter.process(x), first)
    limiter.process(loud((2, 4000), seed=2, scale=20.0))  # leaves a deep reduction behind
    limiter.process([])
    assert_same_result(limiter.process(x), first)
    assert_same_result(NaloLimiter(48000, -1.0).process(x), first)


def test_lower_threshold_gives_lower_gains():
    x = loud((2, 4000), seed=3)
    _, g0 = limit(x, 48000, 0.0)
    _, g6 = limit(x, 48000, -6.0)
    assert np.all(g6 <= g0)
