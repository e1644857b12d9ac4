"""Limit audio of any length: a block-by-block stream and a file command.

``LimiterStream`` limits one signal in blocks with the exact results of a
whole-signal ``nalo_limiter`` call; ``limit_file`` (and the ``nalo-limiter``
command) limits audio files of any length in bounded memory.
"""

from __future__ import annotations

from ._native import LimiterStream, LoudnessMeter, TruePeakMeter, loudness, true_peak
from .files import AudioFileError, TruncatedInputWarning, limit_file
from .summary import FileSummary

__all__ = ["AudioFileError", "FileSummary", "LimiterStream", "LoudnessMeter", "TruePeakMeter", "TruncatedInputWarning",
           "limit_file", "loudness", "true_peak"]
