"""Loudness: the meter against pyloudnorm, its independence from block cuts, and its API."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nalo_stream

pyln = pytest.importorskip("pyloudnorm")


def music_like(rate: int, seconds: float = 20.0, seed: int = 0) -> np.ndarray:
    """Stereo (channels, frames) float32: notes over a bass line, in sections of very different level with
    silent gaps, so that both gates decide."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * rate)) / rate
    notes = 220.0 * 2 ** (rng.integers(0, 24, size=int(seconds * 4)) / 12)
    pitch = notes[np.minimum((t * 4).astype(int), notes.size - 1)]
    decay = np.exp(-6 * ((t * 4) % 1))
    melody = np.sin(2 * np.pi * np.cumsum(pitch) / rate) * decay
    bass = 0.6 * np.sin(2 * np.pi * 55 * t) + 0.05 * rng.standard_normal(t.size)
    level = 10 ** (np.array([-6, -20, -75, -3, -30, -12])[np.minimum((t / seconds * 6).astype(int), 5)] / 20)
    left, right = (melody + bass) * level, (0.7 * melody + bass) * level
    return np.stack([left, right]).astype(np.float32) * 0.5


def noise(rate: int, seconds: float = 20.0, seed: int = 0) -> np.ndarray:
    return (np.random.default_rng(seed).standard_normal((2, int(seconds * rate))) * 0.1).astype(np.float32)


def reference(audio: np.ndarray, rate: int) -> float:
    """pyloudnorm's reading with the standard's filter (its "DeMan" class; its default filter is an approximation
    that reads about 0.04 LU apart on noise)."""
    return pyln.Meter(rate, filter_class="DeMan").integrated_loudness(audio.T.astype(np.float64))


@pytest.mark.parametrize("rate", [44100, 48000, 96000])
@pytest.mark.parametrize("make", [noise, music_like])
def test_agrees_with_pyloudnorm(make, rate: int) -> None:
    audio = make(rate)
    assert abs(nalo_stream.loudness(audio, rate) - reference(audio, rate)) <= 0.05


def readings(meter: nalo_stream.LoudnessMeter) -> tuple[float, ...]:
    return meter.integrated, meter.loudness_range, meter.momentary_max, meter.short_term_max


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**32 - 1), rate=st.sampled_from([8000, 11025, 44100]), channels=st.integers(1, 6),
       cuts=st.lists(st.floats(0, 1), max_size=12), frames_first=st.booleans(), double=st.booleans())
def test_any_cut_gives_the_same_bits(seed, rate, channels, cuts, frames_first, double) -> None:
    audio = music_like(rate, seconds=4.5, seed=seed % 1000)
    audio = np.resize(audio, (channels, audio.shape[1]))
    whole = nalo_stream.LoudnessMeter(rate, channels)
    whole.add(audio)
    # Doubles measure as the floats nearest to them: these are a little off the float signal.
    fed = audio.astype(np.float64) * (1 + 2.0**-30) if double else audio
    cut = nalo_stream.LoudnessMeter(rate, channels)
    for block in np.split(fed, sorted(int(c * audio.shape[1]) for c in cuts), axis=1):
        cut.add(block.T if frames_first else block, axis=0 if frames_first else -1)
    assert np.array(readings(cut)).tobytes() == np.array(readings(whole)).tobytes()
    assert whole.integrated == nalo_stream.loudness(audio, rate) == nalo_stream.loudness(fed.T, rate, axis=0)


def test_channel_weights() -> None:
    rate = 48000
    tone = noise(rate, 5.0)[0]
    silent = np.zeros_like(tone)
    only = lambda c: np.stack([tone if i == c else silent for i in range(6)])  # noqa: E731
    front, lfe, surround = (nalo_stream.loudness(only(c), rate) for c in (0, 3, 4))
    assert lfe == -math.inf
    assert surround - front == pytest.approx(10 * math.log10(1.41), abs=1e-9)
    assert nalo_stream.loudness(only(4)[:5], rate) == pytest.approx(front, abs=1e-9)  # five channels weigh 1.0
    meter = nalo_stream.LoudnessMeter(rate, 2, weights=[0.0, 2.0])
    meter.add(np.stack([tone, tone]))
    assert meter.integrated == pytest.approx(nalo_stream.loudness(tone, rate) + 10 * math.log10(2), abs=1e-9)


def test_readings_of_short_and_silent_signals() -> None:
    meter = nalo_stream.LoudnessMeter(48000, 2)
    assert readings(meter) == (-math.inf, 0.0, -math.inf, -math.inf)
    meter.add(noise(48000, 0.399))
    assert readings(meter) == (-math.inf, 0.0, -math.inf, -math.inf)
    meter.add(noise(48000, 1.0))
    assert meter.integrated > -70 and meter.momentary_max > -70 and meter.short_term_max == -math.inf
    assert nalo_stream.loudness(np.zeros((2, 96000), np.float32), 48000) == -math.inf


def window_loudness(audio: np.ndarray, rate: int) -> np.ndarray:
    """pyloudnorm's loudness of every 400 ms window."""
    meter = pyln.Meter(rate, filter_class="DeMan")
    meter.integrated_loudness(audio.T.astype(np.float64))
    return np.array(meter.blockwise_loudness)


def gated(windows: np.ndarray) -> float:
    """The integrated loudness of a set of windows."""
    energy = 10 ** ((windows + 0.691) / 10)
    kept = windows > -70
    gate = 10 * np.log10(energy[kept].mean()) - 0.691 - 10
    return float(10 * np.log10(energy[kept & (windows > gate)].mean()) - 0.691)


def test_merged_meters_read_the_joint_loudness() -> None:
    rate = 48000
    loud, quiet = music_like(rate, 20.0, seed=1), music_like(rate, 20.0, seed=2) * np.float32(0.1)
    meters = []
    for audio in (loud, quiet):
        meters.append(nalo_stream.LoudnessMeter(rate, 2))
        meters[-1].add(audio)
    before = [readings(m) for m in meters]
    meters[0].merge(meters[1])
    assert readings(meters[1]) == before[1]
    joint = gated(np.concatenate([window_loudness(loud, rate), window_loudness(quiet, rate)]))
    assert abs(meters[0].integrated - joint) <= 0.01
    assert meters[0].integrated != before[0][0]
    assert meters[0].momentary_max == max(before[0][2], before[1][2])
    assert meters[0].short_term_max == max(before[0][3], before[1][3])


def readings_of(audio: np.ndarray, rate: int) -> tuple[float, ...]:
    meter = nalo_stream.LoudnessMeter(rate, audio.shape[0])
    meter.add(audio)
    return readings(meter)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: nalo_stream.LoudnessMeter(0, 2), ValueError, "sample_rate must be a positive 32-bit integer"),
    (lambda: nalo_stream.LoudnessMeter(48000, 0), ValueError, "channels must be greater than zero"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2, [1.0]), ValueError, "weights has 1 values, the meter has 2 channels"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2, [1, -1]), ValueError,
     "weights[1] must be finite and non-negative, got -1"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2, [math.nan, 1]), ValueError,
     "weights[0] must be finite and non-negative, got NaN"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2, 3), TypeError, "not iterable"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2).add(np.zeros((3, 10))), ValueError,
     "block has 3 channels, the meter has 2"),
    (lambda: nalo_stream.LoudnessMeter(48000, 2).merge(3), TypeError,
     "LoudnessMeter.merge() argument 'other' must be LoudnessMeter, not int"),
    (lambda: nalo_stream.loudness(np.zeros((2, 0, 1)), 48000), ValueError, "audio must be a 1D or 2D array"),
    (lambda: nalo_stream.loudness(np.where(np.arange(600).reshape(6, 100) == 350, np.nan, 0.0), 48000), ValueError,
     "input sample at flat index 350 is not finite"),  # the left-out LFE is still checked
])
def test_refusals(call, error, message) -> None:
    with pytest.raises(error, match=re.escape(message)):
        call()


# Bad samples (channel, frame) in a block of 94000 frames: at its start, after many of its quarters are
# complete, and two of them (the first in channel order is named, whatever the layout).
@pytest.mark.parametrize("bad_samples", [[(1, 9)], [(1, 90000)], [(1, 9), (0, 90000)]])
def test_non_finite_samples_are_named_and_change_nothing(bad_samples) -> None:
    audio = noise(48000, 3.0)
    meter = nalo_stream.LoudnessMeter(48000, 2)
    meter.add(audio[:, :50000])
    before = readings(meter)
    bad = audio[:, 50000:].copy()
    for channel, frame in bad_samples:
        bad[channel, frame] = np.inf
    channel, frame = min(bad_samples)
    with pytest.raises(ValueError, match=f"^input sample at flat index {channel * 94000 + frame} is not finite$"):
        meter.add(bad)
    with pytest.raises(ValueError, match=f"^input sample at flat index {frame * 2 + channel} is not finite$"):
        meter.add(bad.T.astype(np.float64), axis=0)
    assert readings(meter) == before
    meter.add(audio[:, 50000:])
    assert readings(meter) == readings_of(audio, 48000)
    whole = audio.copy()
    whole[1, 70000] = np.nan
    with pytest.raises(ValueError, match="^input sample at flat index 214000 is not finite$"):
        nalo_stream.loudness(whole, 48000)
    with pytest.raises(ValueError, match="^a meter cannot be merged into itself$"):
        meter.merge(meter)
