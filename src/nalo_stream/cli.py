"""The nalo-limiter command: limit audio files of any length."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import warnings
from collections.abc import Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import Any

from .files import (STDIO, AudioFileError, LoudnessTargetError, TruncatedInputWarning, VerificationError,
                    limit_album, limit_file)
from .settings import (LimiterSettings, check_block_frames, check_gains_path, check_loudness, check_max_reduction,
                       check_seed, check_subtype)
from .summary import FileSummary

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
renamed only on success; IN is never overwritten. IN or OUT "-" is standard
input or output (OUT then in IN's format), for the formats libsndfile
streams: AU, FLAC, OGG and MP3 to a pipe, WAV and AU from one."""

EPILOG = """\
lossy formats: the Vorbis, Opus and MP3 encoders add their own overshoot to
the limited signal: about +0.8 to +1.2 dB on music, up to +2.5 dB on loud
noise-like material. For these formats leave a margin of 2 to 3 dB, e.g.
--threshold -3 for a -1 dBFS target.

true peak: by default the ceiling holds for the samples; the waveform a
converter reconstructs between them can rise higher (often 0.5 to 2 dB on
loud material). --true-peak holds it for that waveform as ITU-R BS.1770-4
measures it (dBTP), as delivery specifications such as EBU R128 ask.

loudness: --loudness LUFS first measures IN (ITU-R BS.1770-4 integrated
loudness), then amplifies it by the gain that brings it to the target and
limits it under the ceiling (--true-peak for a dBTP ceiling). Limiting lowers
the loudness a little; where OUT is measured more than 0.05 LU off the target,
the limiting pass runs again with a corrected gain (at most 6 limiting passes
in all, usually 1 or 2), so that OUT lands within 0.1 LU of it. IN must be a
file, not a pipe. Where the target cannot be reached under the ceiling (or
only with more gain reduction than --max-reduction allows), nothing is
written and the exit status is 3. --album gives every input one gain from
their joint loudness, so their relative levels stay; the outputs are written
all together or not at all. Targets: -14 LUFS / -1 dBTP for most streaming
services, -16 / -1 for Apple, -23 / -1 for EBU R 128, -24 / -2 for ATSC A/85.
For lossy OUT leave a margin: the encoder adds its own peaks.

exit status:
  0    every file was limited (and, with --verify, holds the ceiling and target)
  1    a file could not be limited (the others still were), or --verify found
       OUT above the ceiling or off the target (OUT is kept)
  2    usage error: nothing was done
  3    a loudness target cannot be reached: that file (with --album, every
       file) was not written
  128+N  stopped by signal N (130 for Ctrl-C); no partial output is left

examples:
  nalo-limiter song.wav song_limited.wav --threshold -1
  nalo-limiter master.wav delivery.wav --threshold -1 --true-peak
  nalo-limiter master.wav stream.wav --loudness -14 --true-peak --verify
  nalo-limiter tracks/*.wav --out-dir album/ --loudness -16 --true-peak --album
  nalo-limiter take.flac take.wav --subtype PCM_24 --gains take_gains.npy
  nalo-limiter stems/*.wav --out-dir limited/ --jobs 4
  curl -s https://example.org/take.wav | nalo-limiter - take.flac"""

# Signals whose default action ends the program: each is caught so that the
# run can remove its temporary files first (SIGPIPE stays ignored, as Python
# sets it: a closed pipe is an error on the write).
TERMINATING_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGALRM", "SIGUSR1", "SIGUSR2",
                                       "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGPWR")
    if hasattr(signal, name)
)


class Cancelled(Exception):
    """Raised inside a job when the run is stopped."""


class Terminated(BaseException):
    """A terminating signal arrived: the run stops and cleans up."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path


class VersionAction(argparse.Action):
    """--version, with the installed package's version looked up only then."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *rest: Any) -> None:
        from . import _version

        print(f"{PROG} {_version()}")
        parser.exit()


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
    parser.add_argument("--loudness", type=float, metavar="LUFS",
                        help="bring the integrated loudness to this target (-70 to 0), then limit")
    parser.add_argument("--max-reduction", type=float, metavar="DB",
                        help="with --loudness: refuse targets that need more gain reduction than this")
    parser.add_argument("--album", action="store_true",
                        help="with --loudness: one gain for all inputs, from their joint loudness")
    parser.add_argument("--verify", action="store_true",
                        help="read OUT back and check its peak (or true peak) and loudness; exit 1 if missed")
    parser.add_argument("--dither", action="store_true", help="add TPDF dither before rounding to integer PCM")
    parser.add_argument("--seed", type=int, metavar="N", help="the dither's seed (default 0): same seed, same file")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no summary")
    parser.add_argument("--version", action=VersionAction, help="show the version and exit")
    return parser


def settings_of(args: argparse.Namespace) -> LimiterSettings:
    return LimiterSettings(args.threshold, args.attack, args.hold, args.release, args.true_peak)


def plan_jobs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[Job]:
    """The (input, output) pairs from the command line, or a usage error."""
    files = [Path(f) for f in args.files]
    if args.out_dir is None:
        if len(files) != 2:
            parser.error("give IN and OUT, or several inputs with --out-dir DIR")
        return [Job(files[0], files[1])]
    if args.gains is not None and len(files) > 1:
        parser.error("--gains takes a single input")
    if any(os.fspath(f) == STDIO for f in files):
        parser.error(f"'{STDIO}' (standard input) has no name to keep in --out-dir: give IN and OUT")
    outputs = [args.out_dir / f.name for f in files]
    seen: set[Path] = set()
    for out in outputs:
        if out in seen:
            parser.error(f"two inputs would be written to {out}")
        seen.add(out)
    return [Job(f, o) for f, o in zip(files, outputs)]


def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace, subtypes: dict[str, str]) -> None:
    """Usage errors in the options that need no input file."""
    try:
        args.subtype = check_subtype(args.subtype, subtypes)
        if args.gains is not None:
            check_gains_path(args.gains, "--gains FILE")
        check_block_frames(args.block, "--block")
    except ValueError as error:
        parser.error(str(error))
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.jobs is not None and args.out_dir is None:
        parser.error("--jobs goes with --out-dir")
    for option, given in (("--max-reduction", args.max_reduction is not None), ("--album", args.album)):
        if given and args.loudness is None:
            parser.error(f"{option} goes with --loudness")
    if args.album and args.gains is not None:
        parser.error("--gains does not go with --album")
    if args.seed is not None and not args.dither:
        parser.error("--seed goes with --dither")
    if args.verify and args.out_dir is None and len(args.files) == 2 and args.files[1] == STDIO:
        parser.error(f"--verify reads OUT back: it needs a file, not '{STDIO}'")
    try:
        if args.loudness is not None:
            check_loudness(args.loudness, "--loudness")
        check_max_reduction(args.max_reduction, "--max-reduction")
        args.seed = check_seed(0 if args.seed is None else args.seed, "--seed")
    except ValueError as error:
        parser.error(str(error))


def check_settings(parser: argparse.ArgumentParser, settings: LimiterSettings, rates: set[int]) -> None:
    """The limiter's settings at the sample rate of every readable input
    (the times become samples at that rate)."""
    for rate in sorted(rates):
        try:
            settings.limiter(rate)
        except ValueError as error:
            parser.error(str(error))


def show_warning(message: Any, category: type[Warning], *rest: Any, **kw: Any) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


class Console:
    """The command's output: summaries on stdout (stderr when OUT is
    stdout), errors on stderr, printed past the progress bar if there is
    one. A stream whose reader has gone is dropped, and the work goes on."""

    def __init__(self, bar: Any, summaries_to_stderr: bool) -> None:
        self._bar = bar
        self._lock = threading.Lock()
        self._summary_stream = sys.stderr if summaries_to_stderr else sys.stdout

    def summary(self, lines: list[str]) -> None:
        self._print("\n".join(lines), self._summary_stream)

    def error(self, line: str) -> None:
        self._print(f"{PROG}: {line}", sys.stderr)

    def advance(self, frames: int) -> None:
        if self._bar is not None:
            with self._lock:
                if self._bar.total is not None and self._bar.n + frames > self._bar.total:
                    self._bar.total = self._bar.n + frames  # a loudness job's correction pass
                self._bar.update(frames)

    def _print(self, text: str, stream: Any) -> None:
        with self._lock:
            try:
                if self._bar is not None:
                    self._bar.write(text, file=stream)
                else:
                    print(text, file=stream, flush=True)
            except BrokenPipeError:
                _drop(stream)


def _drop(stream: Any) -> None:
    """Points a stream whose pipe was closed at /dev/null, so that nothing
    written to it later (nor Python's flush at exit) fails."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)


def progress_bar(args: argparse.Namespace, total: int) -> Any:
    """A tqdm bar when stderr is a terminal (tqdm is imported only then)."""
    if args.quiet or not sys.stderr.isatty():
        return None
    import tqdm  # type: ignore[import-untyped, unused-ignore]

    return tqdm.tqdm(total=total, unit="frame", unit_scale=True, leave=False, desc="limiting")


# glibc's mallopt parameters, and the sizes up to which freed memory stays in
# the process.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_KEPT_ALLOCATION, _KEPT_FREE = 32 << 20, 64 << 20


def keep_freed_memory() -> None:
    """Lets the memory of one block's arrays serve the next (glibc): freed,
    it would go back to the kernel and return as fresh zeroed pages, a
    sixth of a run's processor time. At most tens of megabytes stay held."""
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (ImportError, OSError, AttributeError):  # another C library
        return
    mallopt(_M_MMAP_THRESHOLD, _KEPT_ALLOCATION)
    mallopt(_M_TRIM_THRESHOLD, _KEPT_FREE)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    keep_freed_memory()
    try:
        from . import file_run
    except ImportError:
        print(MISSING, file=sys.stderr)
        return 1
    check_options(parser, args, file_run.available_subtypes())
    jobs = plan_jobs(parser, args)
    infos = file_run.input_infos([job.source for job in jobs])
    check_settings(parser, settings_of(args), {rate for rate, _ in infos.values()})
    if args.out_dir is not None and not make_out_dir(args.out_dir):
        return 1
    try:
        passes = 1 if args.loudness is None else 2
        bar = progress_bar(args, passes * sum(frames for _, frames in infos.values()))
    except ImportError:
        print(MISSING, file=sys.stderr)
        return 1
    console = Console(bar, summaries_to_stderr=any(os.fspath(job.target) == STDIO for job in jobs))
    try:
        with warnings.catch_warnings(), terminating_signals():
            warnings.simplefilter("always", TruncatedInputWarning)
            warnings.showwarning = show_warning
            return Runner(args, console).run_all(jobs)
    finally:
        if bar is not None:
            bar.close()


def make_out_dir(out_dir: Path) -> bool:
    if out_dir.exists() and not out_dir.is_dir():
        print(f"{PROG}: {out_dir}: is not a directory", file=sys.stderr)
        return False
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        print(f"{PROG}: {out_dir}: cannot create: {error.strerror or error}", file=sys.stderr)
        return False
    return True


class Runner:
    """Runs the jobs on worker threads; the main thread only waits, so that
    a signal stops the run between blocks and every job removes its
    temporary files."""

    def __init__(self, args: argparse.Namespace, console: Console) -> None:
        self.args, self.console = args, console
        self.settings = settings_of(args)
        self.cancelled = threading.Event()
        self.failures = 0
        self.unreached = 0
        self._lock = threading.Lock()

    def run_all(self, jobs: list[Job]) -> int:
        workers = self.args.jobs or min(len(jobs), os.cpu_count() or 1)
        album = self.args.album
        pool = ThreadPoolExecutor(max_workers=1 if album else workers)
        tasks = [lambda: self.run_album(jobs, workers)] if album else [lambda job=job: self.run(job) for job in jobs]
        try:
            for future in [pool.submit(task) for task in tasks]:
                wait_attentively(future)
        except (Terminated, KeyboardInterrupt) as stop:
            return self.stop(pool, stop)
        pool.shutdown()
        if not album and len(jobs) > 1:
            if self.failures:
                self.console.error(f"{self.failures} of {len(jobs)} files failed")
            if self.unreached:
                self.console.error(f"{self.unreached} of {len(jobs)} files cannot reach the loudness target")
        return 1 if self.failures else 3 if self.unreached else 0

    def stop(self, pool: ThreadPoolExecutor, stop: BaseException) -> int:
        signum = stop.signum if isinstance(stop, Terminated) else signal.SIGINT
        self.cancelled.set()  # running jobs stop at their next block and remove their temporary files
        pool.shutdown(wait=True, cancel_futures=True)
        name = "interrupted" if signum == signal.SIGINT else f"stopped by {signal.Signals(signum).name}"
        self.console.error(f"{name}; no partial output was left")
        return 128 + signum

    def advance(self, frames: int) -> None:
        if self.cancelled.is_set():
            raise Cancelled
        self.console.advance(frames)

    def options(self) -> dict[str, Any]:
        """limit_file's and limit_album's keyword arguments from the command line."""
        args = self.args
        return dict(threshold_dBFS=args.threshold, attack_ms=args.attack, hold_ms=args.hold,
                    release_ms=args.release, subtype=args.subtype, block_frames=args.block, progress=self.advance,
                    truncated="error" if args.strict else "warn", true_peak=args.true_peak, loudness=args.loudness,
                    max_reduction_dB=args.max_reduction, verify=args.verify, dither=args.dither, seed=args.seed)

    def run(self, job: Job) -> None:
        self.report(job.source, lambda: [limit_file(job.source, job.target, gains=self.args.gains, **self.options())])

    def run_album(self, jobs: list[Job], workers: int) -> None:
        self.report("album", lambda: limit_album([job.source for job in jobs], [job.target for job in jobs],
                                                 workers=workers, **self.options()))

    def report(self, source: Path | str, work: Any) -> None:
        """Runs `work` (a list of summaries) and prints what it did or why it failed."""
        try:
            summaries: list[FileSummary] = work()
        except Cancelled:
            return
        except LoudnessTargetError as error:
            with self._lock:
                self.unreached += 1
            self.console.error(str(error))
            return
        except VerificationError as error:
            self.print_summaries(error.summaries)
            self.fail(str(error))
            return
        except (AudioFileError, ValueError) as error:
            self.fail(str(error) if isinstance(error, AudioFileError) else f"{source}: {error}")
            return
        self.print_summaries(summaries)

    def fail(self, line: str) -> None:
        with self._lock:
            self.failures += 1
        self.console.error(line)

    def print_summaries(self, summaries: list[FileSummary]) -> None:
        if not self.args.quiet:
            for summary in summaries:
                self.console.summary(summary.lines())


# How often the main thread wakes while it waits for the jobs.
_SIGNAL_CHECK_SECONDS = 0.05


def wait_attentively(future: Future[Any]) -> None:
    """Waits for `future` in short waits: a signal that the system hands to
    one of the worker threads wakes no wait of the main thread, and its
    handler runs only when the main thread next runs Python code."""
    while True:
        try:
            future.result(timeout=_SIGNAL_CHECK_SECONDS)
            return
        except TimeoutError:
            continue


@contextlib.contextmanager
def terminating_signals() -> Iterator[None]:
    """Every terminating signal raises Terminated in the main thread; a
    second one exits at once, after removing every temporary file. Signals
    ignored at start (nohup) stay ignored."""
    from .replacing import discard_all

    received: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        if received:
            discard_all()
            os._exit(128 + received[0])
        received.append(signum)
        raise Terminated(signum)

    previous = {}
    for signum in TERMINATING_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, handler)
    try:
        yield
    finally:
        for signum, action in previous.items():
            signal.signal(signum, action)


if __name__ == "__main__":
    sys.exit(main())
