"""The nalo-limiter command: limit audio files of any length."""

from __future__ import annotations

import argparse
import os
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

PROG = "nalo-limiter"
MISSING = f"{PROG}: needs soundfile and tqdm: pip install 'nalo-limiter[cli]'"

DESCRIPTION = """\
Limit audio files of any length with the nalo look-ahead brick-wall limiter,
block by block in bounded memory.

OUT's format follows its extension (.wav, .flac, .ogg, .opus, .aiff, .mp3, ...);
its subtype (bit depth), sample rate and channels are IN's unless --subtype
says otherwise. Integer PCM is scaled exactly and rounded so that no sample
read back from OUT is above the ceiling; float WAV output holds exactly what
nalo_limiter.limit() returns. OUT is written to a temporary file beside it and
renamed only on success; IN is never overwritten."""

EPILOG = """\
lossy formats: the Vorbis, Opus and MP3 encoders add their own overshoot to
the limited signal: about +0.8 to +1.2 dB on music, up to +2.5 dB on loud
noise-like material. For these formats leave a margin of 2 to 3 dB, e.g.
--threshold -3 for a -1 dBFS target.

true peak: by default the ceiling holds for the samples; the waveform a
converter reconstructs between them can rise higher (often 0.5 to 2 dB on
loud material). --true-peak holds it for that waveform as ITU-R BS.1770-4
measures it (dBTP), as delivery specifications such as EBU R128 ask.

examples:
  nalo-limiter song.wav song_limited.wav --threshold -1
  nalo-limiter master.wav delivery.wav --threshold -1 --true-peak
  nalo-limiter take.flac take.wav --subtype PCM_24 --gains take_gains.npy
  nalo-limiter stems/*.wav --out-dir limited/ --jobs 4"""


class Cancelled(Exception):
    """Raised inside a job when the run is interrupted."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        usage=f"{PROG} IN OUT [options]\n       {PROG} IN... --out-dir DIR [--jobs N] [options]",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="IN OUT, or the inputs with --out-dir")
    parser.add_argument("--threshold", type=float, default=-1.0, metavar="DB",
                        help="ceiling in dBFS, at most 0 (default -1)")
    parser.add_argument("--attack", type=float, default=5.0, metavar="MS", help="look-ahead attack in ms (default 5)")
    parser.add_argument("--hold", type=float, default=15.0, metavar="MS", help="hold in ms (default 15)")
    parser.add_argument("--release", type=float, default=40.0, metavar="MS", help="release in ms (default 40)")
    parser.add_argument("--gains", type=Path, metavar="FILE", help="write the frame gains (.npy or .csv)")
    parser.add_argument("--subtype", metavar="NAME", help="OUT's subtype, e.g. PCM_16, PCM_24, FLOAT (default: IN's)")
    parser.add_argument("--block", type=int, default=65536, metavar="FRAMES",
                        help="frames limited at a time (default 65536)")
    parser.add_argument("--out-dir", type=Path, metavar="DIR", help="limit every FILE into DIR, keeping its name")
    parser.add_argument("--jobs", type=int, metavar="N", help="files limited at once with --out-dir (default: cores)")
    parser.add_argument("--strict", action="store_true",
                        help="fail on a truncated input instead of warning and limiting what it holds")
    parser.add_argument("--true-peak", action="store_true",
                        help="hold the ceiling for the true peak (dBTP, the waveform between the samples, "
                             "ITU-R BS.1770-4) rather than for the samples")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no summary")
    return parser


def plan_jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[tuple[Path, Path]]:
    """(input, output) pairs from the command line, or a usage error."""
    files = [Path(f) for f in args.files]
    if args.out_dir is None:
        if len(files) != 2:
            parser.error("give IN and OUT, or several inputs with --out-dir DIR")
        return [(files[0], files[1])]
    if args.gains is not None and len(files) > 1:
        parser.error("--gains takes a single input")
    outputs = [args.out_dir / f.name for f in files]
    seen: set[Path] = set()
    for out in outputs:
        if out in seen:
            parser.error(f"two inputs would be written to {out}")
        seen.add(out)
    return list(zip(files, outputs))


def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace, soundfile: Any) -> None:
    from nalo_limiter import NaloLimiter

    try:
        NaloLimiter(48000, args.threshold, args.attack, args.hold, args.release)
    except ValueError as error:
        parser.error(str(error))
    if args.subtype is not None and args.subtype.upper() not in soundfile.available_subtypes():
        parser.error(f"unknown subtype {args.subtype!r}; choose from {', '.join(soundfile.available_subtypes())}")
    if args.gains is not None and args.gains.suffix.lower() not in (".npy", ".csv"):
        parser.error("--gains FILE must end in .npy or .csv")
    if args.block < 1:
        parser.error("--block must be at least 1")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.jobs is not None and args.out_dir is None:
        parser.error("--jobs goes with --out-dir")


def show_warning(message: Any, category: type[Warning], *rest: Any, **kw: Any) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def total_frames(soundfile: Any, inputs: Sequence[Path]) -> int:
    total = 0
    for path in inputs:
        try:
            total += soundfile.info(str(path)).frames
        except Exception:  # reported by its job
            pass
    return total


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        import soundfile  # type: ignore[import-untyped]
        import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        print(MISSING, file=sys.stderr)
        return 1
    from .files import AudioFileError, TruncatedInputWarning, limit_file

    check_options(parser, args, soundfile)
    jobs = plan_jobs(parser, args)
    if args.out_dir is not None:
        try:
            args.out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            print(f"{PROG}: {args.out_dir}: cannot create: {error.strerror or error}", file=sys.stderr)
            return 1

    show_progress = not args.quiet and sys.stderr.isatty()
    bar = tqdm.tqdm(total=total_frames(soundfile, [j[0] for j in jobs]), unit="frame", unit_scale=True,
                    disable=not show_progress, leave=False, desc="limiting")
    cancelled = threading.Event()
    lock = threading.Lock()
    failures = 0

    def advance(frames: int) -> None:
        if cancelled.is_set():
            raise Cancelled
        with lock:
            bar.update(frames)

    def run(job: tuple[Path, Path]) -> None:
        nonlocal failures
        source, target = job
        try:
            summary = limit_file(source, target, threshold_dBFS=args.threshold, attack_ms=args.attack,
                                 hold_ms=args.hold, release_ms=args.release, subtype=args.subtype, gains=args.gains,
                                 block_frames=args.block, progress=advance,
                                 truncated="error" if args.strict else "warn", true_peak=args.true_peak)
        except (AudioFileError, ValueError, ImportError) as error:
            line = str(error) if isinstance(error, AudioFileError) else f"{source}: {error}"
            with lock:
                failures += 1
                tqdm.tqdm.write(f"{PROG}: {line}", file=sys.stderr)
            return
        if not args.quiet:
            with lock:
                tqdm.tqdm.write("\n".join(summary.lines()), file=sys.stdout)

    previous = warnings.showwarning
    warnings.showwarning = show_warning
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", TruncatedInputWarning)
            return _run_all(run, jobs, args.jobs, cancelled, lambda: failures)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; no partial output was left", file=sys.stderr)
        return 130
    finally:
        warnings.showwarning = previous
        bar.close()


def _run_all(run: Callable[[tuple[Path, Path]], None], jobs: list[tuple[Path, Path]], workers: int | None,
             cancelled: threading.Event, failures: Callable[[], int]) -> int:
    if len(jobs) == 1:
        try:
            run(jobs[0])
        except Cancelled:
            pass
        return 1 if failures() else 0
    pool = ThreadPoolExecutor(max_workers=workers or min(len(jobs), os.cpu_count() or 1))
    try:
        futures = [pool.submit(run, job) for job in jobs]
        for future in futures:
            future.result()
    except BaseException:
        cancelled.set()  # running jobs stop at their next block and remove their temporary files
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return 1 if failures() else 0


if __name__ == "__main__":
    sys.exit(main())
