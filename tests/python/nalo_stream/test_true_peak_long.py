"""The true-peak stream on signals far longer than its latency, where most
frames leave through process() rather than flush(): the ceiling holds
exactly, the split changes nothing, and the gain rises smoothly."""

from __future__ import annotations

import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import nalo_limiter
import nalo_stream


KINDS = ["noise", "square", "tone near half the rate", "the same with a few louder frames", "bursts"]


def segment(kind: str, channels: int, frames: int, ceiling: float, rng: np.random.Generator) -> np.ndarray:
    """Loud material of a kind whose true peak lies between the samples."""
    t = np.arange(frames)
    level = ceiling * rng.uniform(1.5, 8.0)
    tone = level * np.sin(2 * np.pi * rng.uniform(0.40, 0.499) * t + rng.uniform(0, 6))
    if kind == "noise":
        return rng.uniform(-level, level, (channels, frames))
    if kind == "square":
        return np.tile(level * np.sign(np.sin(rng.uniform(0.005, 0.5) * t)), (channels, 1))
    if kind == "tone near half the rate":
        return np.tile(tone, (channels, 1))
    if kind == "the same with a few louder frames":  # the gain dips fast
        return tone * np.where(rng.uniform(size=(channels, frames)) < 0.005, 4.0, 1.0)
    return rng.normal(0.0, level, (channels, frames)) * (np.sin(rng.uniform(0.001, 0.01) * t) > 0.3)  # bursts


def material(channels: int, ceiling: float, rng: np.random.Generator) -> np.ndarray:
    """Every kind, in a random order and random lengths."""
    kinds = rng.permutation(KINDS)
    return np.concatenate([segment(k, channels, int(rng.integers(2000, 8000)), ceiling, rng) for k in kinds],
                          axis=-1).astype(np.float32)


def limited(stream: nalo_stream.LimiterStream, audio: np.ndarray, cuts: list[int]):
    pieces = [stream.process(block) for block in np.split(audio, sorted(cuts), axis=-1)]
    pieces.append(stream.flush())
    return np.concatenate([p[0] for p in pieces], axis=-1), np.concatenate([p[1] for p in pieces])


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**32 - 1),
    channels=st.integers(1, 2),
    rate=st.sampled_from([44100, 48000, 96000]),
    threshold=st.floats(-12.0, 0.0),
    attack=st.sampled_from([0.05, 0.2, 1.0]),
    hold=st.sampled_from([0.0, 0.1, 1.0]),
    release=st.sampled_from([0.0, 20.0, 200.0]),
    cuts=st.lists(st.integers(0, 40_000), max_size=24),
    block=st.integers(7, 2000),
)
def test_long_signals_hold_the_ceiling_exactly_for_every_split(seed, channels, rate, threshold, attack, hold, release,
                                                               cuts, block) -> None:
    limiter = nalo_limiter.NaloLimiter(rate, threshold, attack, hold, release)
    audio = material(channels, limiter.threshold, np.random.default_rng(seed))
    frames = audio.shape[1]
    out, gains = limited(nalo_stream.LimiterStream(limiter, true_peak=True), audio, [])

    ceiling = np.float32(limiter.threshold)  # the clamp's value: nothing may exceed it, not by one unit
    assert np.abs(out).max() <= ceiling
    # The meter's dBTP is 20 log10 of its float peak: equal floats give equal figures.
    assert nalo_stream.true_peak(out, rate) <= 20 * math.log10(ceiling)

    # The gain rises at most by the release's one-pole step, plus a little
    # for the corrections' easing (a fault there jumps by tenths of a dB).
    g = gains.astype(np.float64)
    assert np.all((g >= 0) & (g <= 1))
    assert np.all(np.diff(g) <= 1 / (limiter.release_samples + 1) + 0.005 * g[:-1])

    for pieces in ([c % (frames + 1) for c in cuts], list(range(block, frames, block))):
        split, split_gains = limited(nalo_stream.LimiterStream(limiter, true_peak=True), audio, pieces)
        assert split.tobytes() == out.tobytes() and split_gains.tobytes() == gains.tobytes()
