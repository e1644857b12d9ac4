"""limit_file: one audio file limited block by block into another."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from .settings import LimiterSettings, check_block_frames, check_gains_path, check_truncated
from .summary import FileSummary

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

    Returns:
        A FileSummary: peaks, gain reduction, speed.

    Raises:
        AudioFileError: The input is missing, unreadable, corrupt,
            unsupported or truncated (with ``truncated="error"``), holds a
            NaN or infinite sample, or the output cannot be written or is
            the input itself.
        ValueError: Invalid settings (at the input's sample rate), subtype,
            gains file name or block size.
    """
    job = FileJob(
        input=Path(input), output=Path(output), gains=None if gains is None else check_gains_path(Path(gains)),
        settings=LimiterSettings(threshold_dBFS, attack_ms, hold_ms, release_ms, bool(true_peak)),
        subtype=subtype, block_frames=check_block_frames(block_frames), truncated=check_truncated(truncated),
    )
    from . import file_run  # imports soundfile: only when a file is limited

    return file_run.run(job, progress)
