"""Runs of limit_file and limit_album: a plain run, or a loudness job
(measure, amplify to the target, limit, correct), and the read-back check.

A loudness job reads every input once to measure it, then limits it with
the gain that brings it to the target. Limiting lowers the loudness where it
reduces gain, so the output is measured as it is written; where it misses
the target by more than TOLERANCE_LU, the limiting pass runs again with a
corrected gain, at most MAX_LIMIT_PASSES times in all. The output's loudness
rises with the gain, ever more slowly as the limiter works harder, and stops
rising where the output is pinned to the ceiling: the corrections extrapolate
from the passes so far until the target is bracketed, then close in on it by
regula falsi (the Illinois variant, which keeps shrinking the bracket from
both sides).
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import time
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import TypeVar

from . import file_run
from ._native import LoudnessMeter
from .files import STDIO, AudioFileError, FileJob, LoudnessTargetError, Progress, VerificationError
from .replacing import Replacement, ReplaceError
from .summary import FileSummary, LoudnessReport, Readback

#: A limiting pass whose output is this close to the target is final.
TOLERANCE_LU = 0.05
#: What the job promises: the output's integrated loudness is this close to the target.
PROMISED_LU = 0.1
#: Limiting passes at most: the first and five corrections (music needs one or two passes).
MAX_LIMIT_PASSES = 6
#: Peaks taken this far over the ceiling (dB) by the first gain make its pass a trial.
HEAVY_OVER_DB = 3.0
#: Below this many LU per dB of gain, more gain no longer buys loudness: the ceiling is reached.
MIN_SLOPE = 0.05

_T = TypeVar("_T")
_R = TypeVar("_R")


def run(jobs: list[FileJob], progress: Progress, workers: int = 1) -> list[FileSummary]:
    """The summaries of the jobs: limited one by one (plain), or brought to
    their loudness target together (one job, or an album's)."""
    with _as_file_errors(jobs[0]):
        if jobs[0].loudness is None:
            summaries = [file_run.run(job, progress) for job in jobs]
        else:
            summaries = _reach_target(jobs, progress, workers)
        if jobs[0].verify:
            _verify(jobs, summaries)
    return summaries


@contextlib.contextmanager
def _as_file_errors(job: FileJob) -> Iterator[None]:
    try:
        yield
    except ReplaceError as error:
        raise AudioFileError(error.target, f"cannot write: {error.strerror}") from None
    except MemoryError:
        raise AudioFileError(job.input, f"not enough memory for blocks of {job.block_frames} frames: "
                                        "choose a smaller block size") from None


def _reach_target(jobs: list[FileJob], progress: Progress, workers: int) -> list[FileSummary]:
    started = time.perf_counter()
    album = len(jobs) > 1
    name = "album" if album else file_run.source_name(jobs[0].input)
    frames = sum(f for _, f in file_run.input_infos([job.input for job in jobs]).values())
    with file_run.progress_callback(progress, 2 * frames, name) as advance:
        measured = _each(workers, lambda job: file_run.measure(job, advance), jobs)
        before = _joint(m.loudness for m in measured)
        target = _Target(jobs[0], before, max(m.true_peak_dBTP if jobs[0].settings.true_peak else m.peak_dBFS
                                              for m in measured))
        target.check_peaks(name, [m.peak_dBFS for m in measured])
        tried: list[tuple[float, float]] = []
        passes = 0
        gain: float | None = target.first_gain(name)
        while gain is not None:
            trial = not tried and target.heavy(gain)
            with _replacement() as replacement:
                done = _limit_all(jobs, measured, gain, replacement, advance, workers, final=False, trial=trial)
                after = _joint(p.loudness for p in done)
                target.check_reductions(jobs, [p.tally.max_reduction for p in done], gain)
                tried.append((gain, after))
                gain = target.next_gain(tried)
                if gain is None:
                    target.check_reached(name, tried)
                    if trial or _to_stdout(jobs):  # nothing was written yet: now it is, at the gain found
                        done = _limit_all(jobs, measured, tried[-1][0], replacement, advance, workers, final=True)
                        passes += 1
                    replacement.commit()
    seconds = time.perf_counter() - started
    return [
        file_run.pass_summary(job, m, p, seconds, LoudnessReport(
            target_LUFS=target.lufs, before_LUFS=m.loudness.integrated, after_LUFS=p.loudness.integrated,
            range_before_LU=m.loudness.loudness_range, range_after_LU=p.loudness.loudness_range,
            gain_dB=tried[-1][0], passes=len(tried) + passes, album_before_LUFS=before if album else None,
            album_after_LUFS=tried[-1][1] if album else None))
        for job, m, p in zip(jobs, measured, done)
    ]


def _limit_all(jobs: list[FileJob], measured: list[file_run.Measurement], gain: float, replacement: Replacement,
               advance: Callable[[int], object], workers: int, final: bool,
               trial: bool = False) -> list[file_run.LimitPass]:
    """One limiting pass over every input. Standard output is written only
    once the gain is `final`: a pass to it before only measures. A `trial`
    only measures, and the loudness of the samples before quantisation."""
    write = final or not _to_stdout(jobs)
    return _each(workers, lambda pair: file_run.limit_pass(pair[0], pair[1], gain, replacement, advance, write,
                                                           trial), list(zip(jobs, measured)))


def _to_stdout(jobs: list[FileJob]) -> bool:
    return any(os.fspath(job.output) == STDIO for job in jobs)


@contextlib.contextmanager
def _replacement() -> Iterator[Replacement]:
    """The temporaries of one limiting pass: committed by the pass that
    reaches the target, removed otherwise."""
    replacement = Replacement()
    try:
        yield replacement
    finally:
        replacement.discard()


def _each(workers: int, function: Callable[[_T], _R], items: list[_T]) -> list[_R]:
    if workers <= 1 or len(items) <= 1:
        return [function(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(workers, len(items))) as pool:
        return list(pool.map(function, items))


def _joint(meters: Iterable[LoudnessMeter]) -> float:
    """The integrated loudness of several signals taken as one (the windows
    of all of them gated together)."""
    joint = LoudnessMeter(48000, 1)
    for meter in meters:
        joint.merge(meter)
    return joint.integrated


@dataclasses.dataclass
class _Target:
    """The gain that reaches the target, found pass by pass."""

    job: FileJob
    before: float  # the inputs' integrated loudness
    peak: float  # the inputs' highest peak, of the kind the ceiling holds for
    # The passes nearest the target from below and from above: (gain, miss in LU).
    low: tuple[float, float] | None = None
    high: tuple[float, float] | None = None
    last_side: str | None = None

    @property
    def lufs(self) -> float:
        assert self.job.loudness is not None
        return self.job.loudness.target_LUFS

    @property
    def max_reduction(self) -> float | None:
        assert self.job.loudness is not None
        return self.job.loudness.max_reduction_dB

    @property
    def ceiling(self) -> str:
        unit = "dBTP" if self.job.settings.true_peak else "dBFS"
        return f"{self.job.settings.threshold_dBFS:g} {unit}"

    def heavy(self, gain: float) -> bool:
        """Whether the gain takes the peaks so far over the ceiling that
        limiting will surely cost more loudness than the tolerance: the
        first pass is then a trial that only measures (it skips quantising,
        the true-peak meter and writing), as a second pass will follow."""
        return self.peak + gain - self.job.settings.threshold_dBFS > HEAVY_OVER_DB

    def first_gain(self, name: str) -> float:
        if not math.isfinite(self.before):
            raise LoudnessTargetError(name, "is silent (no 400 ms window above -70 LUFS): no gain brings it to "
                                            f"{self.lufs:g} LUFS; nothing was written")
        return self.lufs - self.before

    def check_peaks(self, name: str, peaks: list[float]) -> None:
        """Refuses before limiting where the gain alone takes a sample peak
        further over the ceiling than the reduction allowed."""
        if self.max_reduction is None or not math.isfinite(self.before):
            return
        over = max(peaks) + self.lufs - self.before - self.job.settings.threshold_dBFS
        if over > self.max_reduction:
            raise LoudnessTargetError(name, f"reaching {self.lufs:g} LUFS takes a gain of "
                                            f"{self.lufs - self.before:+.2f} dB and at least {over:.2f} dB of gain "
                                            f"reduction, more than the {self.max_reduction:g} dB allowed; "
                                            "nothing was written")

    def check_reductions(self, jobs: list[FileJob], reductions: list[float], gain: float) -> None:
        if self.max_reduction is None:
            return
        for job, reduction in zip(jobs, reductions):
            if reduction > self.max_reduction:
                raise LoudnessTargetError(
                    file_run.source_name(job.input),
                    f"reaching {self.lufs:g} LUFS takes a gain of {gain:+.2f} dB and {reduction:.2f} dB of gain "
                    f"reduction, more than the {self.max_reduction:g} dB allowed; nothing was written")

    def next_gain(self, tried: list[tuple[float, float]]) -> float | None:
        """The gain of the next pass, or None when the last one is final:
        on target, out of passes, or at the ceiling."""
        gain, after = tried[-1]
        miss = after - self.lufs
        if abs(miss) <= TOLERANCE_LU or len(tried) == MAX_LIMIT_PASSES:
            return None
        side = "high" if miss > 0 else "low"
        if side == self.last_side and self.low is not None and self.high is not None:
            other = "low" if side == "high" else "high"  # kept twice: its miss counts half (Illinois)
            other_gain, other_miss = getattr(self, other)
            setattr(self, other, (other_gain, other_miss / 2.0))
        setattr(self, side, (gain, miss))
        self.last_side = side
        if self.low is not None and self.high is not None:
            (low, low_miss), (high, high_miss) = self.low, self.high
            return low - low_miss * (high - low) / (high_miss - low_miss)
        slope = self._slope(tried)
        if slope < MIN_SLOPE:
            return None
        return gain - miss / min(slope, 1.0)

    def _slope(self, tried: list[tuple[float, float]]) -> float:
        """LU of output loudness per dB of gain near the last pass: the
        secant through the last two passes; after the first, a guess from
        how much limiting cost: the loudness lost grows about as the square
        of how far the gain takes the peaks over the ceiling, so its
        derivative is twice the loss over that distance."""
        if len(tried) > 1:
            (g0, l0), (g1, l1) = tried[-2:]
            return (l1 - l0) / (g1 - g0) if g1 != g0 else 0.0
        gain, after = tried[0]
        loss = self.before + gain - after
        over = self.peak + gain - self.job.settings.threshold_dBFS
        return 1.0 if loss <= 0.0 or over <= 0.0 else max(0.2, 1.0 - 2.0 * loss / over)

    def check_reached(self, name: str, tried: list[tuple[float, float]]) -> None:
        gain, after = tried[-1]
        if abs(after - self.lufs) <= PROMISED_LU:
            return
        if len(tried) < MAX_LIMIT_PASSES:  # stopped because more gain no longer raised the loudness
            why = f"more gain no longer raises the loudness ({after:+.2f} LUFS with a gain of {gain:+.2f} dB)"
            raise LoudnessTargetError(name, f"cannot reach {self.lufs:g} LUFS under the {self.ceiling} ceiling: "
                                            f"{why}; nothing was written")
        raise LoudnessTargetError(name, f"did not reach {self.lufs:g} LUFS under the {self.ceiling} ceiling in "
                                        f"{MAX_LIMIT_PASSES} limiting passes ({after:+.2f} LUFS with a gain of "
                                        f"{gain:+.2f} dB); nothing was written")


def _verify(jobs: list[FileJob], summaries: list[FileSummary]) -> None:
    """Reads every output back and puts what it holds into its summary;
    VerificationError where one breaks the ceiling or misses the target."""
    readings = [file_run.read_back(job.output, job.block_frames) for job in jobs]
    joint = _joint(meter for _, _, meter in readings) if len(jobs) > 1 else None
    failed = None
    for index, (job, (peak, true_peak, meter)) in enumerate(zip(jobs, readings)):
        failures = _failures(job, peak, true_peak, meter.integrated if joint is None else joint, joint is not None)
        summaries[index] = dataclasses.replace(summaries[index], verified=Readback(
            peak, true_peak, meter.integrated, tuple(failures)))
        if failures and failed is None:
            failed = (job.output, failures)
    if failed is not None:
        raise VerificationError(failed[0], f"read back, {'; '.join(failed[1])} (the file was kept)", summaries)


def _failures(job: FileJob, peak: float, true_peak: float, loudness: float, album: bool) -> list[str]:
    threshold = job.settings.threshold_dBFS
    failures = []
    if job.settings.true_peak and true_peak > threshold:
        failures.append(f"its true peak {true_peak:+.4f} dBTP is above the {threshold:g} dBTP ceiling")
    if not job.settings.true_peak and peak > threshold:
        failures.append(f"its peak {peak:+.4f} dBFS is above the {threshold:g} dBFS ceiling")
    if job.loudness is not None and not abs(loudness - job.loudness.target_LUFS) <= PROMISED_LU:
        whose = "the album's loudness" if album else "its loudness"
        failures.append(f"{whose} {loudness:+.2f} LUFS is more than {PROMISED_LU:g} LU from the target "
                        f"{job.loudness.target_LUFS:g} LUFS")
    return failures
