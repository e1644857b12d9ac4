"""Hashes of everything the extensions hand out, over many generated cases.

    PYTHONPATH=build/dev python bench/output_hashes.py > before.txt
    ... change the code, rebuild ...
    PYTHONPATH=build/dev python bench/output_hashes.py | diff before.txt -

A refactor or a speed change must leave every line as it was: the audio and
gains of limit(), NaloLimiter.process() and both kinds of LimiterStream over
many block splits, the true-peak readings, and the type, text and notes of
every exception for invalid input. One line per group of cases; a differing
line names the group to look into. Run it on each build (dispatching and
portable): both must match their own earlier output.
"""

from __future__ import annotations

import hashlib
import sys
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

import nalo_limiter
from nalo_stream import LimiterStream, TruePeakMeter, true_peak

SEED = 16


class Digest:
    """A running hash of arrays, numbers and exceptions."""

    def __init__(self) -> None:
        self._hash = hashlib.sha256()
        self.cases = 0
        self.raised = 0

    def add(self, value: Any) -> None:
        if isinstance(value, np.ndarray):
            self._hash.update(f"{value.dtype}{value.shape}".encode())
            self._hash.update(np.ascontiguousarray(value).tobytes())
        elif isinstance(value, (tuple, list)):
            self._hash.update(f"seq{len(value)}".encode())
            for item in value:
                self.add(item)
        elif isinstance(value, float):
            self._hash.update(np.float64(value).tobytes())
        else:
            self._hash.update(repr(value).encode())

    def outcome(self, call: Callable[[], Any]) -> None:
        """The result of `call`, or its exception's type, text and notes."""
        self.cases += 1
        try:
            self.add(call())
        except Exception as error:  # noqa: BLE001 - the exception is the outcome
            self.raised += 1
            self.add((type(error).__name__, str(error), getattr(error, "__notes__", [])))

    def line(self, name: str) -> str:
        return f"{name:<20} {self.cases:>4} cases {self.raised:>4} raised  {self._hash.hexdigest()[:32]}"


# --------------------------------------------------------------------------
# Material


def signal(rng: np.random.Generator, channels: int, frames: int, style: str) -> np.ndarray:
    """Planar float32 audio, shape (channels, frames)."""
    if style == "noise":
        x = rng.normal(0.0, 0.5, (channels, frames))
    elif style == "bursts":
        x = rng.normal(0.0, 0.05, (channels, frames))
        for _ in range(frames // 300 if frames else 0):
            at = int(rng.integers(0, frames))
            x[:, at:at + int(rng.integers(1, 200))] *= rng.uniform(5.0, 60.0)
    elif style == "tones":
        t = np.arange(frames) / 48000.0
        x = np.stack([np.sin(2 * np.pi * (997.0 + 3001.0 * c) * t + c) * (1.0 + 0.6 * c) for c in range(channels)])
    elif style == "quiet":
        x = rng.uniform(-0.2, 0.2, (channels, frames))
    else:  # extremes: huge, tiny and subnormal values
        x = rng.choice(np.array([0.0, -0.0, 1e-40, -3e38, 3e38, 1.0, -1.0, 7.5, 1e-7]), (channels, frames))
    return x.astype(np.float32)


SETTINGS = [  # sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms
    (48000, -1.0, 5.0, 15.0, 40.0),
    (44100, -0.0, 175.0 / 44.1, 0.0, 0.0),
    (44100, -6.0, 2.0, 3.0, 100.0),
    (8000, -20.0, 0.0625, 0.0, 1.0),
    (96000, -0.1, 1.0, 50.0, 300.0),
    (192000, -3.0, 0.5, 0.2, 10.0),
    (384000, -1.0, 0.005, 1.0, 5.0),
    (22050, -40.0, 20.0, 0.0, 1e6),
    (1, -1.0, 1000.0, 5000.0, 3000.0),
    (48000, -7000.0, 5.0, 15.0, 40.0),
    (48000, 0.0, 0.011, 0.0, 0.0),
    (16000, -2.5, 7.3, 11.9, 1e300),
]

STYLES = ["noise", "bursts", "tones", "quiet", "extremes"]


def cases(rng: np.random.Generator) -> Iterator[tuple[tuple, np.ndarray]]:
    for settings in SETTINGS:
        for style in STYLES:
            channels = int(rng.integers(1, 4))
            frames = int(rng.choice([0, 1, 7, 300, 5000, 20000]))
            yield settings, signal(rng, channels, frames, style)


# --------------------------------------------------------------------------
# Groups


def whole_signal(rng: np.random.Generator) -> Digest:
    """limit() and NaloLimiter.process() on the layouts and dtypes they accept."""
    d = Digest()
    for (rate, thr, att, hold, rel), x in cases(rng):
        limiter = nalo_limiter.NaloLimiter(rate, thr, att, hold, rel)
        d.add(repr(limiter))
        d.outcome(lambda: nalo_limiter.limit(x, rate, thr, att, hold, rel))
        d.outcome(lambda: limiter.process(x.T.copy(), axis=0))
        d.outcome(lambda: limiter.process(np.asfortranarray(x), axis=1))
        d.outcome(lambda: limiter.process(x[0]))
        d.outcome(lambda: limiter.process(x.astype(np.float64)[:, ::2]))
        d.outcome(lambda: limiter.process(np.clip(x.astype(np.float64) * 1000, -32768, 32767).astype(np.int16).T, axis=-2))
    return d


def splits(rng: np.random.Generator, frames: int) -> Iterator[list[int]]:
    yield [frames]
    yield [1] * min(frames, 400) + ([frames - 400] if frames > 400 else [])
    for _ in range(3):
        cuts = sorted(int(c) for c in rng.integers(0, frames + 1, int(rng.integers(1, 12))))
        yield [b - a for a, b in zip([0, *cuts], [*cuts, frames])]


def streamed(limiter: nalo_limiter.NaloLimiter, x: np.ndarray, sizes: list[int], true_peak_mode: bool,
             frames_first: bool) -> tuple:
    stream = LimiterStream(limiter, true_peak=true_peak_mode)
    outs, gains, at = [], [], 0
    for size in sizes:
        block = x[:, at:at + size]
        out, g = stream.process(block.T if frames_first else block, axis=0 if frames_first else -1)
        outs.append(out)
        gains.append(g)
        at += size
    out, g = stream.flush()
    outs.append(out)
    gains.append(g)
    axis = 0 if frames_first else -1
    return np.concatenate(outs, axis=axis), np.concatenate(gains), stream.latency, stream.frames_in, stream.frames_out


def streams(rng: np.random.Generator, true_peak_mode: bool) -> Digest:
    d = Digest()
    for (rate, thr, att, hold, rel), x in cases(rng):
        if x.shape[1] > 6000 or (true_peak_mode and abs(x).max(initial=0) > 1e30):
            x = x[:, :6000]
        limiter = nalo_limiter.NaloLimiter(rate, thr, att, hold, rel)
        for sizes in splits(rng, x.shape[1]):
            frames_first = bool(rng.integers(0, 2))
            d.outcome(lambda: streamed(limiter, x, sizes, true_peak_mode, frames_first))
    return d


def meters(rng: np.random.Generator) -> Digest:
    d = Digest()
    for rate in (1, 8000, 44100, 48000, 88200, 96000, 176400, 192000, 192001, 384000):
        for style in STYLES:
            x = signal(rng, int(rng.integers(1, 4)), int(rng.choice([0, 1, 11, 12, 500, 9000])), style)
            d.outcome(lambda: true_peak(x, rate))
            d.outcome(lambda: true_peak(x.T, rate, axis=0, per_channel=True))
            meter = TruePeakMeter(rate)
            for part in np.array_split(x, 5, axis=1):
                d.outcome(lambda: meter.add(part))
            d.outcome(meter.peak_dBTP)
    return d


def errors(rng: np.random.Generator) -> Digest:
    d = Digest()
    limiter = nalo_limiter.NaloLimiter(48000)
    x = signal(rng, 2, 3000, "noise")
    for index in (0, 1, 2999, 3000, 5999):
        bad = x.copy()
        bad.flat[index] = [np.nan, np.inf, -np.inf][index % 3]
        d.outcome(lambda: nalo_limiter.limit(bad, 48000))
        d.outcome(lambda: limiter.process(bad.T.copy(), axis=0))
        d.outcome(lambda: true_peak(bad, 48000))
        d.outcome(lambda: true_peak(bad.T, 48000, axis=0))
        for mode in (False, True):
            stream = LimiterStream(limiter, true_peak=mode)
            d.outcome(lambda: stream.process(x[:, :100]))
            d.outcome(lambda: stream.process(bad[:, 100:].T, axis=0))
            d.outcome(lambda: stream.process(bad[:, 100:]))
            d.outcome(lambda: stream.process(x[:1]))
            d.outcome(lambda: stream.process(x[0]))
            d.outcome(stream.flush)
            d.outcome(stream.flush)
            d.outcome(lambda: stream.process(x))
        meter = TruePeakMeter(48000)
        d.outcome(lambda: meter.add(bad))
        d.outcome(lambda: meter.add(x[:1]))
    for args in [(0,), (-1,), (48000.5,), ("48000",), (2**32,), (48000, 0.1), (48000, float("nan")),
                 (48000, -1.0, -1.0), (48000, -1.0, 0.001), (48000, -1.0, 5.0, float("inf")),
                 (48000, -1.0, 5.0, 1.0, -0.5), (48000, -1.0, 1e300), (48000, "x"), (48000, -1.0, 5.0, 1.0, None)]:
        d.outcome(lambda: nalo_limiter.NaloLimiter(*args))
        d.outcome(lambda: nalo_limiter.limit(x, *args))
    for call in [lambda: nalo_limiter.limit(np.zeros((2, 2, 2), np.float32), 48000),
                 lambda: nalo_limiter.limit(np.zeros(()), 48000),
                 lambda: nalo_limiter.limit(np.zeros((0, 5)), 48000),
                 lambda: nalo_limiter.limit(x, 48000, axis=2),
                 lambda: nalo_limiter.limit(x, 48000, axis="0"),
                 lambda: nalo_limiter.limit("abc", 48000),
                 lambda: nalo_limiter.limit(x, 48000, bogus=1),
                 lambda: nalo_limiter.limit(x),
                 lambda: limiter.process(x, 0, 1),
                 lambda: LimiterStream(48000.0),
                 lambda: LimiterStream(limiter, true_peak=object.__new__(type("B", (), {"__bool__": None}))),
                 lambda: LimiterStream(),
                 lambda: LimiterStream(limiter).process(np.zeros((2, 2, 2))),
                 lambda: LimiterStream(limiter).process(x, axis=5),
                 lambda: TruePeakMeter(0),
                 lambda: true_peak(x, 0),
                 lambda: true_peak(x, 48000, per_channel=object.__new__(type("B", (), {"__bool__": None}))),
                 lambda: TruePeakMeter(48000).add(np.zeros((3, 3, 3)))]:
        d.outcome(call)
    meter = TruePeakMeter(48000)
    d.outcome(meter.peak_dBTP)
    d.outcome(lambda: meter.add(x))
    return d


def long_signals(rng: np.random.Generator) -> Digest:
    """Calls long enough for the tiled path, and the stream's repeated ends."""
    d = Digest()
    x = signal(rng, 2, 600_000, "bursts")
    limiter = nalo_limiter.NaloLimiter(48000, -2.0, 3.0, 7.0, 60.0)
    d.outcome(lambda: limiter.process(x.T, axis=0))
    d.outcome(lambda: limiter.process(x))
    bad = x.copy()
    bad[1, 400_000] = np.nan
    d.outcome(lambda: limiter.process(bad.T, axis=0))
    big = nalo_limiter.NaloLimiter(48000, -1.0, 800_000.0, 0.0, 10.0)  # look-ahead above one core call
    d.outcome(lambda: big.process(x[:, :50_000]))
    return d


def main() -> int:
    groups = {
        "whole signal": whole_signal,
        "stream sample peak": lambda rng: streams(rng, False),
        "stream true peak": lambda rng: streams(rng, True),
        "true-peak meters": meters,
        "errors": errors,
        "long signals": long_signals,
    }
    for name, group in groups.items():
        print(group(np.random.default_rng([SEED, len(name)])).line(name), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
