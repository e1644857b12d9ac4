"""limit_file: one audio file limited block by block into another."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from .settings import (LimiterSettings, LoudnessSettings, check_block_frames, check_gains_path, check_loudness,
                       check_max_reduction, check_seed, check_truncated)
from .summary import FileSummary

Progress = bool | Callable[[int], object]

MISSING_CLI_PACKAGES = "soundfile is not installed: pip install 'nalo-limiter[cli]'"
#: The name that stands for standard input (as IN) or standard output (as OUT).
STDIO = "-"


class AudioFileError(Exception):
    """A file could not be limited; the message is one line naming the file."""

    def __init__(self, path: str | os.PathLike[str], message: str) -> None:
        super().__init__(f"{os.fspath(path)}: {message}")
        self.path = os.fspath(path)


class TruncatedInputWarning(UserWarning):
    """The input's header promises more frames than the file holds."""


class LoudnessTargetError(AudioFileError):
    """The loudness target cannot be reached under the ceiling (or within
    ``max_reduction_dB`` of gain reduction): nothing was written. The
    message gives the figures."""


class VerificationError(AudioFileError):
    """An output read back from its file breaks the ceiling or misses the
    loudness target (a lossy encoder's overshoot, for example). The outputs
    were kept; ``summaries`` holds every file's figures, with what was read
    back in ``FileSummary.verified``."""

    def __init__(self, path: str | os.PathLike[str], message: str, summaries: list[FileSummary]) -> None:
        super().__init__(path, message)
        self.summaries = summaries


@dataclass(frozen=True)
class FileJob:
    """What to limit into what, and how: checked arguments of limit_file."""

    input: Path
    output: Path
    gains: Path | None
    settings: LimiterSettings
    subtype: str | None
    block_frames: int
    truncated: str
    loudness: LoudnessSettings | None = None
    verify: bool = False
    #: The dither generator's seed; None for no dither.
    dither_seed: int | None = None

    @property
    def exact_ceiling(self) -> bool:
        """Whether the written file itself must hold the ceiling exactly, as
        read back (the limiter then aims just below it); the plain run keeps
        the limiter's own ceiling, so its outputs stay as they were."""
        return self.loudness is not None or self.verify or self.dither_seed is not None


def limit_file(
    input: str | os.PathLike[str],
    output: str | os.PathLike[str],
    *,
    threshold_dBFS: float = -1.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    subtype: str | None = None,
    gains: str | os.PathLike[str] | None = None,
    block_frames: int = 65536,
    progress: bool | Callable[[int], object] = False,
    truncated: str = "warn",
    true_peak: bool = False,
    loudness: float | None = None,
    max_reduction_dB: float | None = None,
    verify: bool = False,
    dither: bool = False,
    seed: int = 0,
) -> FileSummary:
    """Limit an audio file of any length into another, block by block.

    Reads and writes through soundfile (libsndfile): WAV, FLAC, OGG (Vorbis,
    Opus), AIFF and the other formats it handles. The output's format follows
    its extension; its subtype (bit depth), sample rate and channels are the
    input's unless ``subtype`` says otherwise. Integer PCM is scaled to
    [-1, 1) and back exactly, and quantised so that reading the output back
    gives no sample above the ceiling (mu-law and A-law too); a float output
    holds exactly what ``nalo_limiter.limit`` returns for the decoded input.
    Lossy encoders (Vorbis, Opus, MP3) overshoot on their own: leave them a
    margin of 2 to 3 dB. The output and the gains file are written to
    temporary files beside them and renamed only when the whole run
    succeeds; an existing output keeps its permissions, a symlink output
    has its target replaced, and the input is never overwritten. ``"-"``
    reads standard input or writes standard output (in the input's format)
    where libsndfile can stream the format.

    Args:
        input: The file to read.
        output: The file to write (replaced if it exists).
        threshold_dBFS, attack_ms, hold_ms, release_ms: The limiter's
            settings, as for ``nalo_limiter.NaloLimiter`` at the input's rate.
        subtype: The output's soundfile subtype, e.g. ``"PCM_16"``.
        gains: A ``.npy`` or ``.csv`` file for the frame gains, or None.
        block_frames: Frames read and limited at a time (1 to 2**24).
        progress: True for a tqdm progress bar on stderr, or a function
            called with the number of frames of every block read.
        truncated: ``"warn"`` (a TruncatedInputWarning, then the frames the
            file holds are limited) or ``"error"`` for an input whose header
            promises more frames than the file holds.
        true_peak: Hold the ceiling for the true peak (dBTP) rather than for
            the samples, as ``LimiterStream(limiter, true_peak=True)`` does.
        loudness: A target integrated loudness in LUFS (-70 to 0), or None.
            The input is measured first, then amplified by the gain that
            brings it to the target and limited; where limiting lowers the
            loudness by more than 0.05 LU, the limiting pass is run again
            with a corrected gain (at most 6 limiting passes), so that the
            output lands within 0.1 LU of the target. The input must be a
            file that can be read twice (not a pipe).
        max_reduction_dB: With ``loudness``: the largest gain reduction the
            limiter may apply to reach the target, or None for no bound.
        verify: Read the output back from its file and check its sample or
            true peak against the ceiling and its loudness against the
            target (VerificationError if either is missed; the output is
            kept). Not for standard output.
        dither: Add TPDF dither (one step peak, seeded by ``seed``: the same
            seed gives the same file) before rounding to integer PCM;
            float, lossy, mu-law and A-law outputs are not dithered.
        seed: The dither's seed, 0 to 2**64 - 1.

        With ``loudness``, ``verify`` or ``dither``, the file written holds
        the ceiling exactly (also the true peak, for integer PCM): the
        limiter aims below it by the most that rounding the samples can add,
        at most 0.001 dB for 16-bit PCM.

    Returns:
        A FileSummary: peaks, gain reduction, speed; with ``loudness``, the
        loudness before and after, loudness range and gain
        (``FileSummary.loudness``); with ``verify``, what the file read back
        holds (``FileSummary.verified``).

    Raises:
        LoudnessTargetError: The target cannot be reached under the ceiling
            (or within ``max_reduction_dB``), or the input is silent;
            nothing was written.
        VerificationError: With ``verify``, the file written breaks the
            ceiling or misses the target; it was kept.
        AudioFileError: The input is missing, unreadable, corrupt,
            unsupported or truncated (with ``truncated="error"``), holds a
            NaN or infinite sample, or the output cannot be written or is
            the input itself.
        ValueError: Invalid settings (at the input's sample rate), subtype,
            gains file name or block size.
    """
    job = file_job(input, output, gains=gains, threshold_dBFS=threshold_dBFS, attack_ms=attack_ms,
                   hold_ms=hold_ms, release_ms=release_ms, subtype=subtype, block_frames=block_frames,
                   truncated=truncated, true_peak=true_peak, loudness=loudness, max_reduction_dB=max_reduction_dB,
                   verify=verify, dither=dither, seed=seed)
    from . import loudness_job  # imports soundfile: only when a file is limited

    return loudness_job.run([job], progress)[0]


def limit_album(
    inputs: Sequence[str | os.PathLike[str]],
    outputs: Sequence[str | os.PathLike[str]],
    *,
    loudness: float,
    max_reduction_dB: float | None = None,
    threshold_dBFS: float = -1.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    subtype: str | None = None,
    block_frames: int = 65536,
    progress: bool | Callable[[int], object] = False,
    truncated: str = "warn",
    true_peak: bool = False,
    verify: bool = False,
    dither: bool = False,
    seed: int = 0,
    workers: int = 1,
) -> list[FileSummary]:
    """Bring several files to a loudness target with one gain for all.

    The gain comes from the inputs' joint loudness (their gated windows
    taken together, as if they were one file), so their relative levels
    stay; the target is reached by the outputs' joint loudness, within 0.1
    LU. Every input is measured, then all are limited with the same gain
    (again with a corrected one where limiting lowered the joint loudness by
    more than 0.05 LU). The outputs are written all together or not at all.
    The arguments are those of ``limit_file``; ``workers`` files are read
    at once. Returns the summaries in the order of the inputs; raises as
    ``limit_file`` does.
    """
    if len(inputs) != len(outputs) or not inputs:
        raise ValueError(f"limit_album needs as many outputs as inputs (at least one), got {len(inputs)} and "
                         f"{len(outputs)}")
    if int(workers) < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    jobs = [file_job(i, o, gains=None, threshold_dBFS=threshold_dBFS, attack_ms=attack_ms, hold_ms=hold_ms,
                     release_ms=release_ms, subtype=subtype, block_frames=block_frames, truncated=truncated,
                     true_peak=true_peak, loudness=loudness, max_reduction_dB=max_reduction_dB, verify=verify,
                     dither=dither, seed=seed) for i, o in zip(inputs, outputs)]
    from . import loudness_job

    return loudness_job.run(jobs, progress, workers=int(workers))


def file_job(input: str | os.PathLike[str], output: str | os.PathLike[str], *, gains: str | os.PathLike[str] | None,
             threshold_dBFS: float, attack_ms: float, hold_ms: float, release_ms: float, subtype: str | None,
             block_frames: int, truncated: str, true_peak: bool, loudness: float | None,
             max_reduction_dB: float | None, verify: bool, dither: bool, seed: int) -> FileJob:
    """The checked arguments of limit_file or limit_album for one file."""
    if max_reduction_dB is not None and loudness is None:
        raise ValueError("max_reduction_dB goes with a loudness target")
    if verify and os.fspath(output) == STDIO:
        raise ValueError("verify reads the output back: it needs an output file, not standard output")
    return FileJob(
        input=Path(input), output=Path(output), gains=None if gains is None else check_gains_path(Path(gains)),
        settings=LimiterSettings(threshold_dBFS, attack_ms, hold_ms, release_ms, bool(true_peak)),
        subtype=subtype, block_frames=check_block_frames(block_frames), truncated=check_truncated(truncated),
        loudness=None if loudness is None else LoudnessSettings(check_loudness(loudness),
                                                               check_max_reduction(max_reduction_dB)),
        verify=bool(verify), dither_seed=check_seed(seed) if dither else None,
    )
