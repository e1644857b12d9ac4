"""Benchmark of the loudness meter against pyloudnorm and FFmpeg's ebur128 filter.

    python bench/bench_loudness.py            # 10-minute stereo music at 48 kHz, 3 rounds
    python bench/bench_loudness.py --quick    # smoke run: 20 seconds, 1 round

Prints, from one run:
- the time of loudness() on the 10-minute float32 music, of loudness() on the
  float64 (frames, channels) array pyloudnorm takes, of LoudnessMeter.add()
  with the whole signal, of pyloudnorm on the same signal (its timing
  includes the float64 (frames, channels) copy it needs and overwrites; that
  copy is also timed alone) and of FFmpeg reading the same signal from a
  float WAV, with how many times longer pyloudnorm takes than each, by wall
  clock and by CPU time;
- the readings of the three meters on that signal (integrated loudness and
  loudness range), and their differences;
- the integrated loudness of music and noise at 44.1, 48 and 96 kHz by the
  three meters. pyloudnorm is read with its default filter (an approximation
  of K-weighting by a 1.5 kHz shelf) and with its "DeMan" filter (the
  standard's K-weighting, as ours).

FFmpeg's readings come from its per-frame metadata (full precision), the last
frame's. Timings are medians of interleaved rounds; CPU time is shown too, as
a busy machine makes the wall clock unreliable.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pyloudnorm
import soundfile

from nalo_stream import LoudnessMeter, loudness

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_limit import SAMPLE_RATE, interleaved, music  # noqa: E402

FFMPEG = shutil.which("ffmpeg")


def ffmpeg_readings(path: Path) -> tuple[float, float]:
    """FFmpeg's integrated loudness and loudness range of a file."""
    done = subprocess.run(
        [FFMPEG, "-nostats", "-hide_banner", "-i", str(path), "-af",
         "ebur128=metadata=1,ametadata=mode=print:file=-", "-f", "null", "-"],
        capture_output=True, check=True)
    integrated = re.findall(rb"lavfi\.r128\.I=(-?[0-9.inf]+)", done.stdout)
    lra = re.findall(rb"lavfi\.r128\.LRA=(-?[0-9.inf]+)", done.stdout)
    return float(integrated[-1]), float(lra[-1])


def pyloudnorm_readings(audio: np.ndarray, rate: int, filter_class: str = "K-weighting") -> float:
    return pyloudnorm.Meter(rate, filter_class=filter_class).integrated_loudness(audio.T.astype(np.float64))


def ours(audio: np.ndarray, rate: int) -> tuple[float, float]:
    meter = LoudnessMeter(rate, audio.shape[0])
    meter.add(audio)
    return meter.integrated, meter.loudness_range


def write_wav(directory: Path, audio: np.ndarray, rate: int, name: str) -> Path:
    path = directory / name
    soundfile.write(path, audio.T, rate, subtype="FLOAT")
    return path


def speed(audio: np.ndarray, rounds: int, directory: Path) -> None:
    wav = write_wav(directory, audio, SAMPLE_RATE, "music.wav")
    as_float64 = audio.T.astype(np.float64)  # pyloudnorm's own layout, made once outside the timings
    cases = {
        "nalo_stream.loudness": lambda: loudness(audio, SAMPLE_RATE),
        "  float64 (frames, 2)": lambda: loudness(as_float64, SAMPLE_RATE, axis=0),
        "LoudnessMeter.add": lambda: ours(audio, SAMPLE_RATE),
        "pyloudnorm": lambda: pyloudnorm_readings(audio, SAMPLE_RATE),
        "  its float64 copy": lambda: audio.T.astype(np.float64),
    }
    if FFMPEG:
        cases["ffmpeg ebur128"] = lambda: ffmpeg_readings(wav)
    timings = interleaved(rounds, cases)
    minutes = audio.shape[1] / SAMPLE_RATE / 60
    print(f"Speed: {minutes:.1f} min of stereo music at {SAMPLE_RATE} Hz, median of {rounds} round(s)")
    print(f"  {'':24} {'wall s':>8} {'cpu s':>8}   pyloudnorm's time / this: wall, cpu")
    for name in cases:
        wall, cpu = timings.wall[name], timings.cpu[name]
        print(f"  {name:24} {wall:8.3f} {cpu:8.3f}   {timings.wall['pyloudnorm'] / wall:6.1f} "
              f"{timings.cpu['pyloudnorm'] / cpu if cpu > 0 else float('inf'):6.1f}")
    net = timings.cpu["pyloudnorm"] - timings.cpu["  its float64 copy"]
    print(f"  pyloudnorm without the copy: {net / timings.cpu['nalo_stream.loudness']:.1f} x ours (cpu)")

    integrated, lra = ours(audio, SAMPLE_RATE)
    print("\nReadings on that signal (LUFS, LU):")
    print(f"  ours                    I {integrated:9.4f}   LRA {lra:7.3f}")
    default = pyloudnorm_readings(audio, SAMPLE_RATE)
    deman = pyloudnorm_readings(audio, SAMPLE_RATE, "DeMan")
    print(f"  pyloudnorm (default)    I {default:9.4f}   diff {integrated - default:+.4f}")
    print(f"  pyloudnorm (DeMan)      I {deman:9.4f}   diff {integrated - deman:+.4f}")
    if FFMPEG:
        f_i, f_lra = ffmpeg_readings(wav)
        print(f"  ffmpeg ebur128          I {f_i:9.4f}   LRA {f_lra:7.3f}   diff I {integrated - f_i:+.4f}"
              f"   diff LRA {lra - f_lra:+.3f}")


def accuracy(seconds: float, directory: Path) -> None:
    print(f"\nIntegrated loudness differences, ours minus theirs (LU), {seconds:.0f} s stereo:")
    print(f"  {'signal':14} {'rate':>6} {'ours':>9} {'pyln default':>13} {'pyln DeMan':>11} {'ffmpeg':>9}")
    for rate in (44100, 48000, 96000):
        frames = int(seconds * rate)
        signals = {
            "music": music(frames),
            "noise": (np.random.default_rng(1).standard_normal((2, frames)) * 0.1).astype(np.float32),
        }
        for name, audio in signals.items():
            value = loudness(audio, rate)
            row = [value - pyloudnorm_readings(audio, rate), value - pyloudnorm_readings(audio, rate, "DeMan")]
            row.append(value - ffmpeg_readings(write_wav(directory, audio, rate, "a.wav"))[0] if FFMPEG else
                       float("nan"))
            print(f"  {name:14} {rate:6} {value:9.4f} {row[0]:+13.4f} {row[1]:+11.4f} {row[2]:+9.4f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="20 seconds, one round")
    args = parser.parse_args()
    seconds = 20.0 if args.quick else 600.0
    if FFMPEG is None:
        print("note: ffmpeg is not installed; its column is left out")
    with tempfile.TemporaryDirectory() as directory:
        speed(music(int(seconds * SAMPLE_RATE)), 1 if args.quick else 3, Path(directory))
        accuracy(10.0 if args.quick else 60.0, Path(directory))


if __name__ == "__main__":
    main()
