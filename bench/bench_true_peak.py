"""Benchmark and search of the true-peak meter and the true-peak mode.

    python bench/bench_true_peak.py            # 10-minute signal, 3 rounds, 2000-case search
    python bench/bench_true_peak.py --quick    # smoke run: 10 seconds, 1 round, 100 cases

Prints, from one run:
- the meter against scipy.signal.resample_poly (4x, then the largest
  magnitude) on the same stereo music, and their agreement;
- the stream in true-peak mode against the sample-peak stream on the loud
  music, in blocks of 65,536 frames;
- a random search over short signals and settings for the worst output true
  peak above the ceiling, by our meter and (on the worst cases) by FFmpeg.

Needs scipy (pip install scipy). Timings are medians of interleaved rounds,
compared as ratios; the run fails only on a wrong result.
"""

from __future__ import annotations

import argparse
import math
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
from scipy import signal as scipy_signal

import nalo_limiter
from nalo_stream import LimiterStream, true_peak

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_limit import (  # noqa: E402
    ATTACK_MS, CEILING_DBFS, HOLD_MS, RELEASE_MS, SAMPLE_RATE, interleaved, music,
)

BLOCK = 65_536


def db(linear: float) -> float:
    return 20 * math.log10(linear) if linear > 0 else -math.inf


def resample_poly_peak(audio: np.ndarray) -> float:
    """True peak the plain way: 4x polyphase resampling, then the largest magnitude."""
    return db(float(np.max(np.abs(scipy_signal.resample_poly(audio, 4, 1, axis=-1)))))


def run_stream(limiter: nalo_limiter.NaloLimiter, audio: np.ndarray, mode: bool) -> np.ndarray:
    stream = LimiterStream(limiter, true_peak=mode)
    pieces = [stream.process(audio[:, i:i + BLOCK])[0] for i in range(0, audio.shape[1], BLOCK)]
    pieces.append(stream.flush()[0])
    return np.concatenate(pieces, axis=-1)


def ffmpeg_true_peak(audio: np.ndarray, rate: int) -> float | None:
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        return None
    audio = np.atleast_2d(audio).astype(np.float32)
    # Its meter reports per 100 ms: pad short signals with silence.
    audio = np.pad(audio, ((0, 0), (0, max(0, rate // 2 - audio.shape[1]))))
    done = subprocess.run(
        [ffmpeg, "-nostats", "-hide_banner", "-f", "f32le", "-ar", str(rate), "-ac", str(audio.shape[0]),
         "-i", "pipe:", "-af", "ebur128=peak=true:metadata=1,ametadata=mode=print:file=-", "-f", "null", "-"],
        input=np.ascontiguousarray(audio.T).tobytes(), capture_output=True, check=True)
    peaks = [float(v) for v in re.findall(rb"lavfi\.r128\.true_peak=([0-9.]+)", done.stdout)]
    return db(max(peaks, default=0.0))


def bench_meter(audio: np.ndarray, reps: int) -> None:
    ours, theirs = true_peak(audio, SAMPLE_RATE), resample_poly_peak(audio)
    t = interleaved(reps, {"ours": lambda: true_peak(audio, SAMPLE_RATE),
                           "resample_poly": lambda: resample_poly_peak(audio)})
    seconds = audio.shape[1] / SAMPLE_RATE
    print(f"meter on {seconds:.0f} s of stereo music: ours {ours:+.3f} dBTP, resample_poly {theirs:+.3f} dBTP")
    print(f"  ours          {t.wall['ours']:.3f} s ({seconds / t.wall['ours']:,.0f}x realtime)")
    print(f"  resample_poly {t.wall['resample_poly']:.3f} s: ours is "
          f"{t.wall['resample_poly'] / t.wall['ours']:.1f}x faster (CPU time: "
          f"{t.cpu['resample_poly'] / t.cpu['ours']:.1f}x)")


def bench_mode(audio: np.ndarray, reps: int) -> None:
    limiter = nalo_limiter.NaloLimiter(SAMPLE_RATE, CEILING_DBFS, ATTACK_MS, HOLD_MS, RELEASE_MS)
    sample_out = run_stream(limiter, audio, False)
    peak_out = run_stream(limiter, audio, True)
    t = interleaved(reps, {"sample": lambda: run_stream(limiter, audio, False),
                           "true": lambda: run_stream(limiter, audio, True)})
    print(f"true-peak mode, {audio.shape[1] / SAMPLE_RATE:.0f} s loud stereo music, ceiling {CEILING_DBFS} dB, "
          f"blocks of {BLOCK}:")
    print(f"  sample-peak stream {t.wall['sample']:.3f} s, true peak out {true_peak(sample_out, SAMPLE_RATE):+.3f} dBTP")
    print(f"  true-peak stream   {t.wall['true']:.3f} s, true peak out {true_peak(peak_out, SAMPLE_RATE):+.4f} dBTP")
    print(f"  cost ratio {t.wall['true'] / t.wall['sample']:.2f}x (CPU time {t.cpu['true'] / t.cpu['sample']:.2f}x)")
    if true_peak(peak_out, SAMPLE_RATE) > CEILING_DBFS + 1e-6:
        sys.exit("true-peak mode output above the ceiling")


def random_case(rng: np.random.Generator) -> tuple[np.ndarray, int, tuple[float, float, float, float]]:
    rate = int(rng.choice([44100, 48000, 96000]))
    frames = int(rng.integers(1, 3000))
    channels = int(rng.integers(1, 3))
    t = np.arange(frames)
    level = rng.uniform(0.3, 8.0)
    kind = int(rng.integers(0, 4))
    if kind == 0:
        audio = rng.normal(0.0, level / 3, (channels, frames))
    elif kind == 1:
        audio = np.tile(level * np.sign(np.sin(t * rng.uniform(0.01, 1.5))), (channels, 1))
    elif kind == 2:
        audio = np.tile(level * np.sin(t * rng.uniform(2.0, 3.14) + rng.uniform(0, 6)), (channels, 1))
    else:
        audio = rng.normal(0.0, level, (channels, frames)) * (rng.uniform(size=frames) < 0.05)
    settings = (rng.uniform(-12.0, 0.0), float(rng.choice([0.03, 0.1, 0.5, 2.0, 5.0])),
                float(rng.choice([0.0, 0.02, 1.0, 15.0])), float(rng.choice([0.0, 0.5, 5.0, 40.0])))
    return audio.astype(np.float32), rate, settings


def search(cases: int) -> None:
    rng = np.random.default_rng(20261208)
    found = []
    for _ in range(cases):
        audio, rate, settings = random_case(rng)
        out = run_stream(nalo_limiter.NaloLimiter(rate, *settings), audio, True)
        found.append((true_peak(out, rate) - settings[0], settings[0], out, rate))
    found.sort(key=lambda f: f[0], reverse=True)
    print(f"search over {cases} random short signals and settings (attack down to 0.03 ms, hold and release to 0):")
    print(f"  worst output true peak above the ceiling, our meter: {found[0][0]:+.7f} dB")
    ffmpeg = [ffmpeg_true_peak(out, rate) for _, _, out, rate in found[:20]]
    if ffmpeg[0] is not None:
        worst = max(f - ceiling for f, (_, ceiling, _, _) in zip(ffmpeg, found) if f is not None)
        print(f"  FFmpeg's reading of the 20 worst by our meter: at most {worst:+.3f} dB above the ceiling")
    if found[0][0] > 1e-6:
        sys.exit("true-peak mode output above the ceiling")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    seconds, reps, cases = (10, 1, 100) if args.quick else (600, 3, 2000)
    audio = music(seconds * SAMPLE_RATE)
    bench_meter(audio[:, : min(audio.shape[1], 60 * SAMPLE_RATE)], reps)
    bench_mode(audio, reps)
    search(cases)


if __name__ == "__main__":
    main()
