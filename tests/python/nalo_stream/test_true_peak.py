"""True peak: the meter against FFmpeg's, and the limiter's true-peak mode."""

from __future__ import annotations

import math
import re
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nalo_limiter
import nalo_stream

FFMPEG = shutil.which("ffmpeg")


def ffmpeg_true_peak(audio: np.ndarray, rate: int) -> float:
    """FFmpeg's ebur128 true peak of (channels, frames) float32 audio, in dBTP."""
    if FFMPEG is None:
        pytest.skip("ffmpeg is not installed")
    audio = np.atleast_2d(audio).astype(np.float32)
    # Its meter reports per 100 ms: pad short signals with silence.
    audio = np.pad(audio, ((0, 0), (0, max(0, rate // 2 - audio.shape[1]))))
    done = subprocess.run(
        [FFMPEG, "-nostats", "-hide_banner", "-f", "f32le", "-ar", str(rate), "-ac", str(audio.shape[0]),
         "-i", "pipe:", "-af", "ebur128=peak=true:metadata=1,ametadata=mode=print:file=-", "-f", "null", "-"],
        input=np.ascontiguousarray(audio.T).tobytes(), capture_output=True, check=True)
    peaks = [float(v) for v in re.findall(rb"lavfi\.r128\.true_peak=([0-9.]+)", done.stdout)]
    return 20 * math.log10(max(peaks)) if max(peaks) > 0 else -math.inf


def faded(x: np.ndarray) -> np.ndarray:
    """Raised 10 ms in and out, so that no meter sees an abrupt start."""
    ramp = np.minimum(1.0, np.minimum(np.arange(x.shape[-1]), np.arange(x.shape[-1])[::-1]) / 480)
    return (x * ramp).astype(np.float32)


def signal(kind: str, rate: int = 48000) -> np.ndarray:
    t = np.arange(rate) / rate
    rng = np.random.default_rng(3)
    if kind == "noise":  # gently low-passed, as recorded noise is
        white = rng.normal(0.0, 0.3, (2, rate + 1))
        return faded(0.5 * (white[:, 1:] + white[:, :-1]))
    if kind == "tone near half the rate":
        return faded(0.9 * np.sin(2 * np.pi * 20000 * t + 0.7))
    if kind == "tone at a quarter, between samples":
        return faded(0.9 * np.sin(2 * np.pi * rate / 4 * t + np.pi / 4))
    if kind == "square":
        return faded(0.8 * np.sign(np.sin(2 * np.pi * 997 * t)))
    if kind == "clicks":
        clicks = np.zeros(rate, np.float32)
        clicks[100::4800], clicks[2500::4800] = 0.9, -0.7
        return clicks
    return np.zeros((2, rate), np.float32)  # silence


KINDS = ["noise", "tone near half the rate", "tone at a quarter, between samples", "square", "clicks", "silence"]


@pytest.mark.parametrize("kind", KINDS)
def test_meter_agrees_with_ffmpeg(kind: str) -> None:
    audio = signal(kind)
    ours = nalo_stream.true_peak(audio, 48000)
    theirs = ffmpeg_true_peak(audio, 48000)
    if kind == "silence":
        assert ours == theirs == -math.inf
    else:
        assert abs(ours - theirs) <= 0.1


@pytest.mark.parametrize("rate", [44100, 96000, 384000])
def test_meter_at_other_rates(rate: int) -> None:
    audio = signal("noise", rate)
    ours = nalo_stream.true_peak(audio, rate, per_channel=True)
    assert ours.shape == (2,) and ours.max() == nalo_stream.true_peak(audio, rate)
    if rate > 192000:  # not oversampled: the sample peak
        assert ours.max() == 20 * math.log10(np.abs(audio).max())
    else:
        assert abs(ours.max() - ffmpeg_true_peak(audio, rate)) <= 0.1


def test_meter_layouts_and_refusals() -> None:
    audio = signal("noise")
    assert nalo_stream.true_peak(audio.T, 48000, axis=0) == nalo_stream.true_peak(audio, 48000)
    audio[1, 7] = np.nan
    with pytest.raises(ValueError, match="flat index 48007 is not finite"):
        nalo_stream.true_peak(audio, 48000)
    with pytest.raises(ValueError, match="sample_rate"):
        nalo_stream.true_peak(audio, 0)


def limited(limiter: nalo_limiter.NaloLimiter, audio: np.ndarray, splits: list[int]) -> tuple[np.ndarray, np.ndarray]:
    """The true-peak stream's output for `audio` pushed in pieces cut at `splits`."""
    stream = nalo_stream.LimiterStream(limiter, true_peak=True)
    pieces = [stream.process(block) for block in np.split(audio, sorted(splits), axis=-1)]
    pieces.append(stream.flush())
    return np.concatenate([p[0] for p in pieces], axis=-1), np.concatenate([p[1] for p in pieces])


@pytest.mark.parametrize("kind", KINDS[:-1])
def test_limited_output_stays_under_the_ceiling_for_both_meters(kind: str) -> None:
    audio = 4 * signal(kind)
    limiter = nalo_limiter.NaloLimiter(48000, threshold_dBFS=-1.0)
    out, _ = limited(limiter, audio, [])
    assert nalo_stream.true_peak(out, 48000) <= 20 * math.log10(np.float32(limiter.threshold))  # exactly
    # FFmpeg prints three decimals: at most the 32-bit ceiling so printed.
    assert ffmpeg_true_peak(out, 48000) <= 20 * math.log10(round(float(np.float32(10 ** (-1.0 / 20))), 3))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**32 - 1),
    channels=st.integers(1, 2),
    frames=st.integers(0, 700),
    rate=st.sampled_from([44100, 48000, 96000]),
    threshold=st.floats(-12.0, 0.0),
    attack=st.sampled_from([0.02, 0.1, 1.0, 5.0]),
    hold=st.sampled_from([0.0, 0.05, 2.0, 15.0]),
    release=st.sampled_from([0.0, 1.0, 40.0]),
    shape=st.sampled_from(["noise", "square", "high tone", "bursts"]),
    cuts=st.lists(st.integers(0, 700), max_size=4),
)
def test_true_peak_mode_holds_the_ceiling_for_every_split(seed, channels, frames, rate, threshold, attack, hold,
                                                          release, shape, cuts) -> None:
    rng = np.random.default_rng(seed)
    t = np.arange(frames)
    level = rng.uniform(0.3, 6.0)
    if shape == "noise":
        audio = rng.normal(0.0, level / 3, (channels, frames))
    elif shape == "square":
        audio = np.tile(level * np.sign(np.sin(t * rng.uniform(0.01, 1.0))), (channels, 1))
    elif shape == "high tone":
        audio = np.tile(level * np.sin(t * rng.uniform(2.5, 3.14) + rng.uniform(0, 6)), (channels, 1))
    else:
        audio = rng.normal(0.0, level, (channels, frames)) * (rng.uniform(size=frames) < 0.05)
    audio = audio.astype(np.float32)
    limiter = nalo_limiter.NaloLimiter(rate, threshold, attack, hold, release)

    whole, whole_gains = limited(limiter, audio, [])
    split, split_gains = limited(limiter, audio, [c for c in cuts if c <= frames])
    assert whole.tobytes() == split.tobytes() and whole_gains.tobytes() == split_gains.tobytes()
    assert whole.shape == audio.shape and whole_gains.shape == (frames,)
    ceiling = np.float32(limiter.threshold)  # the clamp's value, exactly
    assert np.abs(whole).max(initial=0) <= ceiling
    assert nalo_stream.true_peak(whole, rate) <= 20 * math.log10(ceiling)
