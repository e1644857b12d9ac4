"""Properties of limit and NaloLimiter.process for arbitrary finite signals,
layouts and valid settings, including a bit-for-bit comparison with a plain
Python implementation of the gain envelope kept here.

Profiles: a small one by default; "ci" (chosen when CI=true or
HYPOTHESIS_PROFILE=ci) runs more examples, still within a minute."""
import math
import os
from collections import deque
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from nalo_limiter import NaloLimiter, limit
from support import assert_same_result, bits, loud

settings.register_profile("properties-default", max_examples=40, deadline=None, database=None)
# The CI profile is derandomised so that a gate run is reproducible.
settings.register_profile("ci", max_examples=400, deadline=None, database=None, derandomize=True)
_wanted = os.environ.get("HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") == "true" else "")
if os.environ.get("NALO_SANITIZED") == "1" or _wanted != "ci":
    _wanted = "properties-default"
PROFILE = settings.get_profile(_wanted)

EPSILON = 2.0**-52
SHARES = (0.404078562416, 0.334851475794, 0.261069961789)


# ---------------------------------------------------------------- plain reference


def linear_threshold(dBFS):
    """10 ** (dBFS / 20) rounded once to the nearest double: the power is
    taken with 80 significant digits, far more than a double's rounding can
    be decided by (float() of a Decimal rounds correctly)."""
    exponent = dBFS / 20.0
    with localcontext() as context:
        context.prec = 80
        return float(Decimal(10) ** Decimal(exponent))


def count(t_ms, sample_rate):
    x = (t_ms * float(sample_rate)) / 1000.0
    rounded = math.trunc(x + math.copysign(0.49999999999999994, x))
    return max(0, rounded)


def stage_lengths(lookahead):
    n = float(lookahead - 1)
    part, frac = [], []
    for share in SHARES:
        p = n * share
        part.append(math.floor(p))
        frac.append(p - math.floor(p))
    while sum(part) < lookahead - 1:
        best = max(range(3), key=lambda k: (frac[k], -k))
        part[best] += 1
        frac[best] -= 1.0
    return [p + 1 for p in part]


def fma(x, y, z):
    """x * y + z with one rounding (int / int division rounds correctly)."""
    exact = Fraction(x) * Fraction(y) + Fraction(z)
    return exact.numerator / exact.denominator


class Config:
    def __init__(self, sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms):
        self.threshold = linear_threshold(threshold_dBFS)
        self.lookahead = count(attack_ms, sample_rate)
        self.window = max(count(attack_ms + hold_ms, sample_rate), self.lookahead)
        self.release_samples = (release_ms * float(sample_rate)) / 1000.0
        self.coefficient = 1.0 / (self.release_samples + 1.0)
        self.stages = stage_lengths(self.lookahead)


class Average:
    def __init__(self, length):
        self.ring = [1.0] * length
        self.position = 0
        self.sum = float(length)
        self.reciprocal = 1.0 / float(length)

    def push(self, x):
        self.sum = self.sum + (x - self.ring[self.position])
        self.ring[self.position] = x
        self.position = (self.position + 1) % len(self.ring)
        return self.sum * self.reciprocal


def reference_gains(config, levels):
    """Per-frame gains from per-frame float32 levels, step by step."""
    frames = len(levels)
    levels = [float(v) for v in levels]
    T, c, La = config.threshold, config.coefficient, config.lookahead
    queue, next_index = deque(), 0
    release = 1.0
    stages = [Average(length) for length in config.stages]
    out = [None] * frames
    if frames == 0:
        return np.zeros(0, np.float32)
    for i in range(frames + La):
        p = levels[i] if i < frames else 0.0
        target = T / (p + EPSILON) if p > T else 1.0
        while queue and queue[-1][1] >= target:
            queue.pop()
        queue.append((next_index, target))
        next_index += 1
        oldest = max(0, next_index - config.window)
        while queue[0][0] < oldest:
            queue.popleft()
        w = queue[0][1]
        d = w - release
        r = d + release if c == 1.0 else (release if d == 0.0 else fma(d, c, release))
        release = w if w < r or r != r else r
        a = release
        for stage in stages:
            a = stage.push(a)
        g = a if a < 1.0 else 1.0
        g = g if g > 0.0 else 0.0  # rounding residue never inverts a sample
        if i >= La:
            k = i - La
            q = levels[k]
            if g * q > T:
                g = T / (q + EPSILON)
            out[k] = g
    return np.array(out, np.float64).astype(np.float32)


def clamp(y, t32):
    """Below -t32 becomes -t32, above t32 becomes t32, anything else stays
    (a -0.0 too, which np.clip of some NumPy versions turns into +0.0)."""
    y = np.where(y < -t32, -t32, y)
    return np.where(y > t32, t32, y).astype(np.float32)


def reference(planar, settings_):
    """(audio, gains) for a (channels, frames) float32 array."""
    config = Config(*settings_)
    levels = np.max(np.abs(planar), axis=0) if planar.shape[1] else np.zeros(0, np.float32)
    gains = reference_gains(config, levels)
    t32 = np.float32(config.threshold)
    audio = clamp(planar * gains[np.newaxis, :], t32)
    assert audio.dtype == np.float32
    return audio, gains


# ---------------------------------------------------------------- strategies


@st.composite
def limiter_settings(draw, max_lookahead=48, max_window=120):
    """Valid settings with a short look-ahead and window, so that the plain
    reference stays quick."""
    rate = draw(st.one_of(st.sampled_from([1000, 8000, 44100, 48000, 96000]), st.integers(1, 4294967295)))
    threshold = draw(st.one_of(st.sampled_from([0.0, -0.0, -6.0, -7000.0]), st.floats(-80.0, 0.0)))
    # 0.5 samples (rounds to one) up to max_lookahead samples.
    attack = draw(st.floats(500.0 / rate, max_lookahead * 1000.0 / rate))
    hold = draw(st.one_of(st.just(0.0), st.floats(0.0, (max_window - max_lookahead) * 1000.0 / rate)))
    release = draw(st.one_of(st.sampled_from([0.0, -0.0, 1e300]), st.floats(0.0, 1e4)))
    assume(count(attack, rate) >= 1)
    return rate, threshold, attack, hold, release


FINITE32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
SAMPLES = st.one_of(st.floats(-4.0, 4.0, width=32), FINITE32)


def signals(max_channels=4, max_frames=160):
    shapes = st.tuples(st.integers(1, max_channels), st.integers(0, max_frames))
    return hnp.arrays(np.float32, shapes, elements=SAMPLES)


def layouts(x):
    """Arrays with the values of the (channels, frames) array x in other
    memory layouts, each with the axis that names its frames."""
    padded = np.zeros((x.shape[0] * 2, x.shape[1] * 3 + 1), np.float32)
    padded[::2, 1::3] = x
    flipped = np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]
    readonly = x.copy()
    readonly.flags.writeable = False
    frames_first = np.ascontiguousarray(x.T)
    return [
        ("axis 1", x, 1, False), ("fortran", np.asfortranarray(x), -1, False),
        ("strided", padded[::2, 1::3], -1, False), ("negative strides", flipped, -1, False),
        ("read-only", readonly, -1, False), ("frames first", frames_first, 0, True),
        ("frames first, axis -2", frames_first, -2, True), ("transposed view", x.T, 0, True),
        ("frames first, fortran", np.asfortranarray(frames_first), 0, True),
    ]


# ---------------------------------------------------------------- properties


@PROFILE
@given(x=signals(), config=limiter_settings())
def test_matches_the_plain_reference(x, config):
    audio, gains = limit(x, *config)
    ref_audio, ref_gains = reference(x, config)
    np.testing.assert_array_equal(bits(gains), bits(ref_gains))
    np.testing.assert_array_equal(bits(audio), bits(ref_audio))
    limiter = NaloLimiter(*config)
    reference_config = Config(*config)
    assert limiter.threshold == reference_config.threshold
    assert limiter.lookahead_samples == reference_config.lookahead
    assert limiter.hold_samples == reference_config.window - reference_config.lookahead


@PROFILE
@given(x=signals(max_channels=6, max_frames=400), config=limiter_settings(max_lookahead=300, max_window=900))
def test_ceiling_gains_and_linked_application(x, config):
    """Every output within float32(threshold), every gain in [0, 1], and each
    sample is clamp(float32(x * gain)) with its frame's gain."""
    audio, gains = limit(x, *config)
    t32 = np.float32(NaloLimiter(*config).threshold)
    assert audio.shape == x.shape and gains.shape == (x.shape[1],)
    assert np.all(np.abs(audio) <= t32)
    assert np.all((gains >= 0.0) & (gains <= 1.0))
    expected = clamp(x * gains[np.newaxis, :], t32)
    np.testing.assert_array_equal(bits(audio), bits(expected))


@PROFILE
@given(x=signals(), config=limiter_settings())
def test_equivalent_layouts_give_identical_bits(x, config):
    expected = limit(x, *config)
    expected_t = (np.ascontiguousarray(expected[0].T), expected[1])
    limiter = NaloLimiter(*config)
    for label, array, axis, transposed in layouts(x):
        want = expected_t if transposed else expected
        assert_same_result(limit(array, *config, axis=axis), want)
        assert_same_result(limiter.process(array, axis), want)
    if x.shape[0] == 1:
        mono = x[0]
        assert_same_result(limit(mono, *config), (expected[0][0], expected[1]))
        assert_same_result(limit(mono[::-1][::-1], *config, axis=0), (expected[0][0], expected[1]))


@PROFILE
@given(first=signals(), second=signals(), config=limiter_settings())
def test_results_do_not_depend_on_earlier_calls(first, second, config):
    fresh = limit(second, *config)
    limiter = NaloLimiter(*config)
    limiter.process(first)
    assert_same_result(limiter.process(second), fresh)
    assert_same_result(limiter.process(second), fresh)


@PROFILE
@given(x=signals(), config=limiter_settings(), scale=st.floats(0.0, 1.0))
def test_input_at_or_below_the_threshold_is_unchanged(x, config, scale):
    T = NaloLimiter(*config).threshold
    bound = np.float32(T)
    if float(bound) > T:  # the largest float32 at or below T
        bound = np.nextafter(bound, np.float32(0))
    quiet = np.clip(x * np.float32(scale), -bound, bound).astype(np.float32)
    assert np.all(np.abs(quiet).astype(np.float64) <= T)
    audio, gains = limit(quiet, *config)
    assert np.all(gains == np.float32(1.0))
    np.testing.assert_array_equal(bits(audio), bits(quiet))


# ---------------------------------------------------------------- long signals, tile by tile

# Frames per tile of the whole-signal call for 1, 2, 3 and 40 channels: a
# multiple of 512 frames, at most 2**15 samples.
TILE_FRAMES = {1: 32768, 2: 16384, 3: 10752, 40: 512}


@st.composite
def tiled_cases(draw):
    """A signal of loud and quiet stretches around a tile boundary (or
    shorter than the look-ahead), the input layout, and settings with a
    look-ahead from one frame to more than a tile."""
    channels = draw(st.sampled_from(sorted(TILE_FRAMES)))
    rate = draw(st.sampled_from([8000, 48000, 96000]))
    attack = draw(st.one_of(st.floats(0.01, 30.0), st.floats(30.0, 400.0)))
    assume(count(attack, rate) >= 1)
    lookahead = count(attack, rate)
    frames = draw(st.one_of(
        st.integers(0, lookahead + 2),
        st.builds(lambda k, d: max(0, k * TILE_FRAMES[channels] + d), st.integers(1, 3), st.integers(-3, 3))))
    config = (rate, draw(st.floats(-20.0, 0.0)), attack, draw(st.floats(0.0, 30.0)), draw(st.floats(0.0, 200.0)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = loud((channels, frames), seed=int(rng.integers(2**32)))
    x[:, rng.random(frames) < 0.5] *= np.float32(0.01)  # quiet frames, unity stretches
    layout = draw(st.sampled_from(["float32", "channel stride", "float64"]))
    if layout == "channel stride":
        wide = np.zeros((channels, frames + 5), np.float32)
        wide[:, :frames] = x
        audio = wide[:, :frames]
    else:
        audio = x.astype(np.float64) if layout == "float64" else x
    return x, audio, config, draw(st.lists(st.integers(1, 3 * TILE_FRAMES[channels]), min_size=1, max_size=4))


def streamed(x, config, blocks):
    """x limited by a LimiterStream fed blocks of the given lengths, the rest
    in one block, and flushed."""
    from nalo_stream import LimiterStream

    stream = LimiterStream(NaloLimiter(*config))
    ends = np.cumsum(blocks)
    outputs = [stream.process(part) for part in np.split(x, ends[ends < x.shape[1]], axis=1)]
    outputs.append(stream.flush())
    return np.concatenate([a for a, _ in outputs], axis=1), np.concatenate([g for _, g in outputs])


@PROFILE
@given(case=tiled_cases())
def test_the_whole_call_equals_a_stream_over_any_split(case):
    x, audio, config, blocks = case
    before = audio.copy()
    expected = streamed(x, config, blocks)
    assert_same_result(limit(audio, *config), expected)
    assert_same_result(NaloLimiter(*config).process(audio), expected)
    np.testing.assert_array_equal(audio, before)
    if x.shape[0] == 1:
        assert_same_result(limit(audio[0], *config), (expected[0][0], expected[1]))


@pytest.mark.parametrize("layout", ["float32", "float64"])
@pytest.mark.parametrize("channels, frames", [(1, 100_000), (2, 70_001), (40, 3000)])
def test_a_non_finite_sample_in_a_late_tile_is_reported_at_its_index(channels, frames, layout):
    x = loud((channels, frames), seed=5)
    x[channels - 1, frames - 2] = np.inf
    x[0, frames - 1] = np.nan  # with several channels, the first in channel-major order
    first = np.flatnonzero(~np.isfinite(x))[0]
    audio = x.astype(np.float64) if layout == "float64" else x
    with pytest.raises(ValueError, match=f"^input sample at flat index {first} is not finite$"):
        limit(audio, 48000, -1.0, 1.0, 5.0, 10.0)
