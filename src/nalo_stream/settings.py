"""The settings of a file run, checked in one place for ``limit_file`` and
the command alike.

Each check raises ValueError with a one-line message; ``name`` is how the
caller calls the setting (a keyword argument or a command-line option).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from nalo_limiter import NaloLimiter

#: The largest block: beyond it the block buffers alone take gigabytes.
MAX_BLOCK_FRAMES = 1 << 24
GAINS_SUFFIXES = (".npy", ".csv")
TRUNCATED_MODES = ("warn", "error")


@dataclass(frozen=True)
class LimiterSettings:
    """The limiter's settings, as for ``nalo_limiter.NaloLimiter``, and the
    kind of peak the ceiling holds for."""

    threshold_dBFS: float = -1.0
    attack_ms: float = 5.0
    hold_ms: float = 15.0
    release_ms: float = 40.0
    true_peak: bool = False

    def limiter(self, sample_rate: int) -> NaloLimiter:
        """The limiter for audio at `sample_rate`: the times become samples
        at that rate. ValueError for settings it refuses, including windows
        too long for memory."""
        try:
            return NaloLimiter(sample_rate, self.threshold_dBFS, self.attack_ms, self.hold_ms, self.release_ms)
        except MemoryError as error:
            raise ValueError(f"attack_ms={self.attack_ms:g} and hold_ms={self.hold_ms:g} are too long at "
                             f"{sample_rate} Hz: {error}") from None


def check_block_frames(frames: int, name: str = "block_frames") -> int:
    if not 1 <= int(frames) <= MAX_BLOCK_FRAMES:
        raise ValueError(f"{name} must be from 1 to {MAX_BLOCK_FRAMES}, got {frames}")
    return int(frames)


def check_gains_path(path: Path, name: str = "gains file") -> Path:
    if path.suffix.lower() not in GAINS_SUFFIXES:
        raise ValueError(f"{name} must end in .npy or .csv, not {path.suffix or '(no extension)'!r}")
    return path


def check_subtype(subtype: str | None, available: dict[str, str]) -> str | None:
    """The subtype's canonical (upper-case) name, or None for the input's."""
    if subtype is None:
        return None
    if subtype.upper() not in available:
        raise ValueError(f"unknown subtype {subtype!r}; choose from {', '.join(available)}")
    return subtype.upper()


def check_truncated(mode: str) -> str:
    if mode not in TRUNCATED_MODES:
        raise ValueError(f"truncated must be 'warn' or 'error', not {mode!r}")
    return mode


#: Loudness targets the job accepts, in LUFS: from the absolute gate to full scale.
LOUDNESS_RANGE = (-70.0, 0.0)
#: Seeds of the dither's generator.
MAX_SEED = 2**64 - 1


@dataclass(frozen=True)
class LoudnessSettings:
    """A loudness job: the integrated loudness to reach, and the largest gain
    reduction the limiter may apply on the way (None: no bound)."""

    target_LUFS: float
    max_reduction_dB: float | None = None


def check_loudness(target: float, name: str = "loudness") -> float:
    low, high = LOUDNESS_RANGE
    if not low <= float(target) <= high:  # NaN fails too
        raise ValueError(f"{name} must be from {low:g} to {high:g} LUFS, got {target:g}")
    return float(target)


def check_max_reduction(decibels: float | None, name: str = "max_reduction_dB") -> float | None:
    if decibels is None:
        return None
    if not 0.0 <= float(decibels) < float("inf"):
        raise ValueError(f"{name} must be a finite number of dB, at least 0, got {decibels:g}")
    return float(decibels)


def check_seed(seed: int, name: str = "seed") -> int:
    if not 0 <= int(seed) <= MAX_SEED:
        raise ValueError(f"{name} must be from 0 to {MAX_SEED}, got {seed}")
    return int(seed)
