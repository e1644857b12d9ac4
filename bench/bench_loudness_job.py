"""Benchmark of the loudness job against ffmpeg-normalize, side by side in one run.

    python bench/bench_loudness_job.py            # 10 minutes of stereo music, 48 kHz, 24-bit WAV
    python bench/bench_loudness_job.py --quick    # smoke run: 30 seconds

Both bring the same file to -14 LUFS under a -1 dBTP ceiling:

    nalo-limiter IN OUT --loudness -14 --true-peak --threshold -1
    ffmpeg-normalize IN -o OUT -nt ebu -t -14 -tp -1

The input is the limiter benchmark's music-like signal scaled so that its
sample peak is -1 dBFS (its integrated loudness is then about -22.6 LUFS, so
reaching -14 takes some 9 dB of gain and heavy limiting). Prints each
command's wall-clock and CPU time (its own and its children's), the ratio,
and what FFmpeg's ebur128 meter (peak=true) reads on each output: integrated
loudness, true peak, and the output's sample rate and subtype. The goal: ours
at most a tenth of ffmpeg-normalize's time, and -14.0 +-0.1 LUFS at most
-1.0 dBTP by FFmpeg's meter.
"""

from __future__ import annotations

import argparse
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_limit import SAMPLE_RATE, music  # noqa: E402

FFMPEG = shutil.which("ffmpeg")
TARGET, CEILING = -14.0, -1.0


def ffmpeg_normalize() -> list[str] | None:
    """The ffmpeg-normalize command, from this interpreter's environment or the PATH."""
    beside = Path(sys.executable).with_name("ffmpeg-normalize")
    found = str(beside) if beside.exists() else shutil.which("ffmpeg-normalize")
    return None if found is None else [found]


def make_input(path: Path, seconds: float) -> None:
    audio = music(int(seconds * SAMPLE_RATE))
    audio *= np.float32(10 ** (CEILING / 20) / np.abs(audio).max())
    soundfile.write(path, audio.T, SAMPLE_RATE, subtype="PCM_24")


def timed(command: list[str]) -> tuple[float, float]:
    """Wall-clock and CPU seconds (user + system, the children's) of a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def ebur128(path: Path) -> tuple[float, float]:
    """FFmpeg's integrated loudness (LUFS) and true peak (dBTP) of a file, from its summary."""
    assert FFMPEG is not None
    done = subprocess.run([FFMPEG, "-nostats", "-hide_banner", "-i", str(path), "-filter_complex",
                           "ebur128=peak=true", "-f", "null", "-"], capture_output=True, text=True, check=True)
    summary = done.stderr[done.stderr.rindex("Summary:"):]
    integrated = float(re.search(r"I:\s+(-?[\d.]+|-inf) LUFS", summary)[1])
    peak = float(re.search(r"Peak:\s+(-?[\d.]+|-inf) dBFS", summary)[1])
    return integrated, peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="30 seconds instead of 10 minutes")
    parser.add_argument("--rounds", type=int, default=3, help="runs of our command (median shown; default 3)")
    args = parser.parse_args()
    seconds = 30.0 if args.quick else 600.0
    peer = ffmpeg_normalize()
    if FFMPEG is None:
        sys.exit("ffmpeg is needed to measure the outputs")
    ours = [sys.executable, "-m", "nalo_stream"]
    with tempfile.TemporaryDirectory() as directory:
        folder = Path(directory)
        source = folder / "music.wav"
        make_input(source, seconds)
        info = soundfile.info(source)
        print(f"Input: {seconds / 60:.1f} min of stereo music-like signal, {info.samplerate} Hz {info.subtype} WAV, "
              f"sample peak {CEILING:g} dBFS; {ebur128(source)[0]:.2f} LUFS, {ebur128(source)[1]:+.2f} dBTP by FFmpeg")
        cases: dict[str, tuple[list[str], Path]] = {
            "nalo-limiter": (ours + [str(source), str(folder / "ours.wav"), "--loudness", str(TARGET), "--true-peak",
                                     "--threshold", str(CEILING), "-q"], folder / "ours.wav"),
        }
        if peer is not None:
            cases["ffmpeg-normalize"] = (peer + [str(source), "-o", str(folder / "theirs.wav"), "-nt", "ebu", "-t",
                                                 str(TARGET), "-tp", str(CEILING), "-f", "-q"], folder / "theirs.wav")
        else:
            print("note: ffmpeg-normalize is not installed (pip install -r bench/requirements.txt); its row is left out")
        times: dict[str, tuple[float, float]] = {}
        for name, (command, _) in cases.items():
            rounds = [timed(command) for _ in range(args.rounds if name == "nalo-limiter" else 1)]
            times[name] = (float(np.median([w for w, _ in rounds])), float(np.median([c for _, c in rounds])))
        print(f"\n  {'':18} {'wall s':>8} {'cpu s':>8} {'x ours':>8}   {'LUFS':>7} {'dBTP':>7}   output")
        base = times["nalo-limiter"][0]
        for name, (_, out) in cases.items():
            wall, cpu = times[name]
            integrated, peak = ebur128(out)
            held = soundfile.info(out)
            print(f"  {name:18} {wall:8.2f} {cpu:8.2f} {wall / base:8.1f}   {integrated:7.1f} {peak:+7.1f}   "
                  f"{held.samplerate} Hz {held.subtype}, {out.stat().st_size / 1e6:.0f} MB")
        if "ffmpeg-normalize" in times:
            wall_ratio = times["ffmpeg-normalize"][0] / base
            cpu_ratio = times["ffmpeg-normalize"][1] / times["nalo-limiter"][1]
            print(f"\n  ours takes 1/{wall_ratio:.1f} of ffmpeg-normalize's wall-clock time, 1/{cpu_ratio:.1f} of its "
                  "CPU time (goal: at most 1/10)")
        integrated, peak = ebur128(cases["nalo-limiter"][1])
        met = abs(integrated - TARGET) <= 0.1 and peak <= CEILING
        print(f"  ours by FFmpeg's meter: {integrated:.1f} LUFS, {peak:+.1f} dBTP: goal "
              f"{'met' if met else 'NOT met'} ({TARGET:g} +-0.1 LUFS, at most {CEILING:g} dBTP)")


if __name__ == "__main__":
    main()
