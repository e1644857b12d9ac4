"""Benchmark of nalo_stream: the stream against the whole-signal call, and
the nalo-limiter command on files against FFmpeg's alimiter.

    python bench/bench_stream.py            # 10-minute signal, 3 rounds
    python bench/bench_stream.py --quick    # smoke run: 10 seconds, 1 round
    python bench/bench_stream.py --hour     # also peak memory on a one-hour WAV

Needs the package installed with its cli extra (pip install ".[cli]").
Figures are medians of interleaved rounds, compared as ratios within the
run; the run fails only on a wrong result, never on a timing.
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import soundfile as sf

import nalo_limiter
from nalo_stream import LimiterStream

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_limit import (  # noqa: E402
    ATTACK_MS, CEILING, CEILING_DBFS, HOLD_MS, RELEASE_MS, SAMPLE_RATE, interleaved, music,
)

BLOCK = 65_536


def limiter() -> nalo_limiter.NaloLimiter:
    return nalo_limiter.NaloLimiter(SAMPLE_RATE, CEILING_DBFS, ATTACK_MS, HOLD_MS, RELEASE_MS)


def blocks(audio: np.ndarray, axis: int) -> list[np.ndarray]:
    """BLOCK-frame views of `audio` along its frame axis."""
    frame_axis = 1 if axis == -1 else 0
    return [audio[:, i:i + BLOCK] if axis == -1 else audio[i:i + BLOCK]
            for i in range(0, audio.shape[frame_axis], BLOCK)]


def streamed(audio: np.ndarray, axis: int, keep: bool = False) -> tuple[np.ndarray, np.ndarray] | None:
    """`audio` through a LimiterStream in BLOCK-frame blocks; the results are
    dropped as they come (as a consumer that writes them out would), or kept
    and joined for the correctness check."""
    stream = LimiterStream(limiter())
    pieces = []
    for block in blocks(audio, axis):
        out = stream.process(block, axis=axis)
        if keep:
            pieces.append(out)
    pieces.append(stream.flush())
    if not keep:
        return None
    frame_axis = 1 if axis == -1 else 0
    return (np.concatenate([p[0] for p in pieces], axis=frame_axis), np.concatenate([p[1] for p in pieces]))


def bench_stream(loud: np.ndarray, reps: int) -> list[str]:
    whole = limiter()
    frames_first = np.ascontiguousarray(loud.T)
    expected = whole.process(loud)
    got = streamed(loud, -1, keep=True)
    if got is None or not (np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])):
        raise SystemExit("FAULT: the stream differs from the whole-signal call")
    del got, expected
    t = interleaved(reps, {
        "whole": lambda: whole.process(loud),
        "stream": lambda: streamed(loud, -1),
        "whole_fc": lambda: whole.process(frames_first, axis=0),
        "stream_fc": lambda: streamed(frames_first, 0),
    })
    seconds = loud.shape[1] / SAMPLE_RATE
    rows = [f"| `limiter.process(whole)`, (2, N) | {t.wall['whole']:.3f} s | {seconds / t.wall['whole']:,.0f} | 1 |",
            f"| `LimiterStream`, 65,536-frame blocks, (2, n) | {t.wall['stream']:.3f} s | "
            f"{seconds / t.wall['stream']:,.0f} | {t.wall['stream'] / t.wall['whole']:.2f} |",
            f"| `limiter.process(whole, axis=0)`, (N, 2) | {t.wall['whole_fc']:.3f} s | "
            f"{seconds / t.wall['whole_fc']:,.0f} | {t.wall['whole_fc'] / t.wall['whole']:.2f} |",
            f"| `LimiterStream`, 65,536-frame blocks, (n, 2) | {t.wall['stream_fc']:.3f} s | "
            f"{seconds / t.wall['stream_fc']:,.0f} | {t.wall['stream_fc'] / t.wall['whole']:.2f} |"]
    return ["| case | time | × realtime | ratio to the whole call |", "|---|---|---|---|", *rows]


# ---------------------------------------------------------------- files


def write_file(path: Path, loud: np.ndarray, fmt: str, repeat: int = 1) -> None:
    """The signal scaled to peak at -0.1 dBFS, as 24-bit PCM, block by block."""
    scale = np.float32(10 ** (-0.1 / 20) / np.abs(loud).max())
    with sf.SoundFile(path, "w", SAMPLE_RATE, loud.shape[0], "PCM_24", format=fmt) as f:
        for _ in range(repeat):
            for i in range(0, loud.shape[1], BLOCK):
                f.write(np.ascontiguousarray(loud[:, i:i + BLOCK].T) * scale)


def run_measured(cmd: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident memory (MB) of one command. The memory
    comes from GNU time, which starts the command from its own small process:
    a child forked from this large one would inherit its peak."""
    timer = shutil.which("time")
    start = time.perf_counter()
    result = subprocess.run([timer, "-f", "%M", *cmd] if timer else cmd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"FAULT: {' '.join(cmd)} failed: {result.stderr}")
    return wall, int(result.stderr.split()[-1]) / 1024.0 if timer else math.nan


def command(source: Path, target: Path) -> list[str]:
    return [sys.executable, "-m", "nalo_stream", str(source), str(target), "--quiet",
            "--threshold", str(CEILING_DBFS), "--attack", str(ATTACK_MS), "--hold", str(HOLD_MS),
            "--release", str(RELEASE_MS)]


def ffmpeg(source: Path, target: Path) -> list[str] | None:
    """FFmpeg's alimiter with the same settings, writing 24-bit samples."""
    exe = shutil.which("ffmpeg")
    if exe is None:
        return None
    codec = ["-c:a", "flac", "-sample_fmt", "s32"] if target.suffix == ".flac" else ["-c:a", "pcm_s24le"]
    return [exe, "-hide_banner", "-nostdin", "-loglevel", "error", "-i", str(source),
            "-af", f"alimiter=limit={CEILING!r}:attack={ATTACK_MS:g}:release={RELEASE_MS:g}:level=disabled",
            *codec, "-y", str(target)]


def check_ceiling(path: Path) -> None:
    with sf.SoundFile(path) as f:
        for block in f.blocks(BLOCK, dtype="float64"):
            if np.abs(block).max() > CEILING:
                raise SystemExit(f"FAULT: {path} has a sample above the ceiling")


def bench_files(loud: np.ndarray, reps: int, work: Path) -> list[str]:
    seconds = loud.shape[1] / SAMPLE_RATE
    wav, flac = work / "in.wav", work / "in.flac"
    write_file(wav, loud, "WAV")
    write_file(flac, loud, "FLAC")
    cases: dict[str, list[str] | None] = {
        "`nalo-limiter` WAV → WAV": command(wav, work / "out.wav"),
        "FFmpeg `alimiter` WAV → WAV": ffmpeg(wav, work / "ffmpeg.wav"),
        "`nalo-limiter` FLAC → FLAC": command(flac, work / "out.flac"),
        "FFmpeg `alimiter` FLAC → FLAC": ffmpeg(flac, work / "ffmpeg.flac"),
        "Python start-up with the imports (no work)": [sys.executable, "-c", "import nalo_stream, soundfile"],
    }
    runs: dict[str, list[tuple[float, float]]] = {name: [] for name, cmd in cases.items() if cmd}
    for _ in range(reps):
        for name, cmd in cases.items():
            if cmd:
                runs[name].append(run_measured(cmd))
    check_ceiling(work / "out.wav")
    check_ceiling(work / "out.flac")
    wall = {name: statistics.median(w for w, _ in measured) for name, measured in runs.items()}
    rows = ["| case | wall time | × realtime | peak RSS | time ratio to FFmpeg on the same files |",
            "|---|---|---|---|---|"]
    for name, measured in runs.items():
        rss = max(r for _, r in measured)
        peer = "FFmpeg `alimiter`" + name[name.index("`", 1) + 1:] if name.startswith("`nalo") else None
        versus = f"{wall[name] / wall[peer]:.2f}" if peer in wall else ""
        rows.append(f"| {name} | {wall[name]:.2f} s | {seconds / wall[name]:,.0f} | {rss:.0f} MB | {versus} |")
    if "FFmpeg `alimiter` WAV → WAV" not in runs:
        rows.append("| FFmpeg `alimiter` | not available: no ffmpeg on PATH | | | |")
    return rows + ["", bench_meters(wav, work, reps, wall["`nalo-limiter` WAV → WAV"])]


class _NoMeter:
    """Stands in for a true-peak meter: measures nothing."""

    def add(self, *args: object, **kwargs: object) -> None:
        pass

    def peak_dBTP(self) -> float:
        return math.nan


def bench_meters(wav: Path, work: Path, reps: int, command_wall: float) -> str:
    """What the summary's two true-peak meters add to a WAV run: limit_file
    in this process with its meters, and with stand-ins that measure
    nothing, in turns."""
    from nalo_stream import limit_file, summary

    real = summary.Tally.for_rate

    def run(metered: bool) -> Callable[[], object]:
        def go() -> object:
            summary.Tally.for_rate = real if metered else classmethod(lambda cls, rate: cls(_NoMeter(), _NoMeter()))
            try:
                return limit_file(wav, work / "meters.wav", threshold_dBFS=CEILING_DBFS, attack_ms=ATTACK_MS,
                                  hold_ms=HOLD_MS, release_ms=RELEASE_MS)
            finally:
                summary.Tally.for_rate = real
        return go

    t = interleaved(reps, {"with": run(True), "without": run(False)})
    cost = t.wall["with"] - t.wall["without"]
    return (f"the summary's two true-peak meters: {t.wall['with']:.3f} s with them, {t.wall['without']:.3f} s "
            f"without (limit_file in one process), {cost:.3f} s = {100 * cost / command_wall:.0f}% of the "
            f"command's {command_wall:.2f} s WAV run")


def bench_hour(loud: np.ndarray, work: Path) -> list[str]:
    """Peak memory of the command on a one-hour stereo 48 kHz 24-bit WAV."""
    repeat = max(1, round(3600 * SAMPLE_RATE / loud.shape[1]))
    source = work / "hour.wav"
    write_file(source, loud, "WAV", repeat)
    hours = sf.info(source).frames / SAMPLE_RATE / 3600
    wall, rss = run_measured(command(source, work / "hour_out.wav"))
    size = source.stat().st_size / 1e6
    return [f"one-hour file: {hours:.2f} h, {size:,.0f} MB on disk: {wall:.1f} s "
            f"({hours * 3600 / wall:,.0f}x realtime), peak RSS {rss:.0f} MB"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: 10 seconds, one round")
    parser.add_argument("--hour", action="store_true", help="also measure peak memory on a one-hour WAV")
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the signal (default 10)")
    parser.add_argument("--files-only", action="store_true", help="only the command on files")
    parser.add_argument("--reps", type=int, default=None, help="rounds (default 3, or 1 with --quick)")
    args = parser.parse_args(argv)
    seconds = 10.0 if args.quick else 60.0 * args.minutes
    reps = args.reps if args.reps is not None else 1 if args.quick else 3

    loud = music(int(seconds * SAMPLE_RATE))
    print(f"signal: {seconds / 60:g} min of loud stereo at {SAMPLE_RATE} Hz, ceiling {CEILING_DBFS:g} dBFS, "
          f"medians of {reps} interleaved rounds\n")
    if not args.files_only:
        print("\n".join(bench_stream(loud, reps)) + "\n")
    work = Path(tempfile.mkdtemp(prefix="nalo-stream-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    try:
        print("\n".join(bench_files(loud, reps, work)) + "\n")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.hour:
        work = Path(tempfile.mkdtemp(prefix="nalo-stream-hour-"))
        try:
            print("\n".join(bench_hour(loud, work)))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
