"""nalo_stream.TruePeakMeter and true_peak() measured directly: never below
the sample peak, channels apart, any split the same, and every refusal
leaving the meter usable."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from nalo_stream import TruePeakMeter, true_peak


def decibels(linear: float) -> float:
    """What the meter reports for a float32 linear peak."""
    return 20 * math.log10(linear) if linear > 0 else -math.inf


@settings(max_examples=200, deadline=None)
@given(
    frames=st.integers(1, 80),
    channels=st.integers(1, 3),
    at=st.integers(0, 79),
    value=st.floats(2.0**-10, 1e3, width=32),
    rate=st.sampled_from([44100, 96000, 384000]),
    floor=st.sampled_from([0.0, 1e-3]),
    seed=st.integers(0, 2**16),
    cuts=st.lists(st.integers(0, 80), max_size=4),
)
def test_never_below_the_sample_peak_and_the_same_whole_per_channel_or_in_blocks(frames, channels, at, value, rate,
                                                                                 floor, seed, cuts):
    # A loudest sample at every position of every length: the interpolation
    # around an isolated sample stays below it, so only the samples
    # themselves (the vector code's and its scalar tail's) can bring it in.
    rng = np.random.default_rng(seed)
    audio = (floor * rng.uniform(-1, 1, (channels, frames))).astype(np.float32)
    levels = np.float32(2.0) ** -np.arange(channels, dtype=np.float32)  # channels at different levels, exactly
    audio[:, at % frames] = np.float32(value) * levels * rng.choice([-1, 1], channels)

    whole = true_peak(audio, rate)
    assert whole >= decibels(float(np.abs(audio).max()))
    per_channel = true_peak(audio, rate, per_channel=True)
    assert per_channel.dtype == np.float64 and per_channel.shape == (channels,)
    assert per_channel.max() == whole
    for c in range(channels):
        assert per_channel[c] == true_peak(audio[c], rate) >= decibels(float(np.abs(audio[c]).max()))
    if floor == 0.0:  # one sample per channel: its level is the channel's
        assert list(per_channel) == sorted(per_channel, reverse=True)

    meter = TruePeakMeter(rate)
    for block in np.split(audio, sorted(c % (frames + 1) for c in cuts), axis=-1):
        meter.add(block)
    assert meter.peak_dBTP() == whole
    meter = TruePeakMeter(rate)
    meter.add(audio.T, axis=0)
    assert meter.peak_dBTP() == whole


@pytest.mark.parametrize("view, axis", [
    (lambda wide: wide[:, :50], -1),          # channels apart in a wider buffer
    (lambda wide: wide[:, ::2], -1),          # frames apart
    (lambda wide: wide[:, :50].T, 0),         # frames first, channels apart
    (lambda wide: wide[0], -1),               # one channel
    (lambda wide: wide[0, ::3], -1),          # one channel, frames apart
    (lambda wide: wide[:, 7:57], -1),         # an offset
])
def test_any_strides_read_as_their_contiguous_copy(view, axis) -> None:
    wide = np.random.default_rng(4).standard_normal((3, 100)).astype(np.float32)
    inside = np.zeros(wide.shape, bool)
    view(inside)[...] = True
    wide[~inside] = 100.0  # what a wrong stride would read is louder than the block
    block = view(wide)
    strided, contiguous = TruePeakMeter(48000), TruePeakMeter(48000)
    strided.add(block, axis=axis)
    contiguous.add(np.ascontiguousarray(block), axis=axis)
    assert strided.peak_dBTP() == contiguous.peak_dBTP()


def test_silence_reads_minus_infinity() -> None:
    meter = TruePeakMeter(48000)
    meter.add(np.zeros((2, 0), np.float32))
    assert meter.peak_dBTP() == -math.inf == true_peak(np.zeros(100, np.float32), 48000)


@pytest.mark.parametrize("bad, error, message", [
    (np.zeros((3, 10), np.float32), ValueError, "^block has 3 channels, the meter has 2$"),
    (np.full((2, 10), np.nan, np.float32), ValueError, "^input sample at flat index 0 is not finite$"),
    (np.pad(np.array([[0.0], [-np.inf]], np.float32), ((0, 0), (5000, 5000))), ValueError,
     "^input sample at flat index 15001 is not finite$"),
    (np.zeros((2, 2, 2), np.float32), ValueError, "^audio must be a 1D or 2D array, got 3 dimensions$"),
    ("loud", ValueError, "could not convert string to float"),
])
def test_a_refused_block_changes_nothing_and_frees_the_meter(bad, error, message) -> None:
    # Each refusal must come back with the interpreter lock held (a NaN
    # found while it is released included) and the meter free for the next
    # call: a meter left busy answers "Already borrowed".
    audio = np.random.default_rng(1).uniform(-1, 1, (2, 3000)).astype(np.float32)
    meter = TruePeakMeter(48000)
    meter.add(audio[:, :1000])
    for _ in range(3):
        with pytest.raises(error, match=message):
            meter.add(bad)
    meter.add(audio[:, 1000:])
    assert meter.peak_dBTP() == true_peak(audio, 48000)
    with pytest.raises(RuntimeError, match=r"^add\(\) called after peak_dBTP\(\)$"):
        meter.add(audio)
    assert meter.peak_dBTP() == true_peak(audio, 48000)  # asked again: the same
    with pytest.raises(ValueError, match="sample_rate"):
        TruePeakMeter(0)
