"""Limit audio of any length: a block-by-block stream and a file command.

``LimiterStream`` limits one signal in blocks with the exact results of a
whole-signal ``nalo_limiter`` call; ``limit_file`` (and the ``nalo-limiter``
command) limits audio files of any length in bounded memory, and brings them
to a loudness target with ``loudness=`` (``limit_album`` for several files
with one gain). ``loudness``, ``LoudnessMeter``, ``true_peak`` and
``TruePeakMeter`` measure.
"""

from __future__ import annotations

from ._native import LimiterStream, LoudnessMeter, TruePeakMeter, loudness, true_peak
from .files import AudioFileError, LoudnessTargetError, TruncatedInputWarning, VerificationError, limit_album, limit_file
from .summary import FileSummary, LoudnessReport, Readback

__all__ = ["AudioFileError", "FileSummary", "LimiterStream", "LoudnessMeter", "LoudnessReport", "LoudnessTargetError",
           "Readback", "TruePeakMeter", "TruncatedInputWarning", "VerificationError", "__version__", "limit_album",
           "limit_file", "loudness", "true_peak"]


def __getattr__(name: str) -> str:
    # The version is looked up when asked for: importlib.metadata is slow to import.
    if name == "__version__":
        return _version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _version() -> str:
    import importlib.metadata

    try:
        return importlib.metadata.version("nalo-limiter")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree, not installed
        return "0+unknown"
