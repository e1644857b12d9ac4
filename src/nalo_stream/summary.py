"""What a file run did: peaks, gain reduction and speed, gathered block by
block in constant memory."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ._native import TruePeakMeter


#: A gain reduction a listener can notice: about the smallest change of level heard on music.
AUDIBLE_REDUCTION_DB = 1.0
_AUDIBLE_GAIN = np.float32(10 ** (-AUDIBLE_REDUCTION_DB / 20))


def dbfs(level: float) -> float:
    """A linear level in dB (-inf for silence)."""
    return 20.0 * math.log10(level) if level > 0 else -math.inf


@dataclass(frozen=True)
class LoudnessReport:
    """What a loudness job measured and did."""

    target_LUFS: float
    #: Integrated loudness (LUFS) and loudness range (LU) of the input and of the samples written.
    before_LUFS: float
    after_LUFS: float
    range_before_LU: float
    range_after_LU: float
    #: The gain applied before the limiter, in dB.
    gain_dB: float
    #: Limiting passes run (the first, and the corrections).
    passes: int
    #: In album mode, the joint loudness of all inputs and of all outputs; else None.
    album_before_LUFS: float | None = None
    album_after_LUFS: float | None = None

    def lines(self) -> list[str]:
        album = (f"; album {self.album_before_LUFS:+.2f} before, {self.album_after_LUFS:+.2f} after"
                 if self.album_after_LUFS is not None else "")
        passes = f"{self.passes} limiting pass" + ("es" if self.passes > 1 else "")
        return [
            f"  loudness    {self.before_LUFS:+.2f} LUFS before, {self.after_LUFS:+.2f} LUFS after{album} "
            f"(target {self.target_LUFS:+.1f}), gain {self.gain_dB:+.2f} dB, {passes}",
            f"  range       {self.range_before_LU:.1f} LU before, {self.range_after_LU:.1f} LU after",
        ]


@dataclass(frozen=True)
class Readback:
    """OUT read back from the file written: its peaks and loudness, and the
    promises it breaks (none: it holds the ceiling, and the target if any)."""

    peak_dBFS: float
    true_peak_dBTP: float
    loudness_LUFS: float
    failures: tuple[str, ...]

    def line(self) -> str:
        verdict = "NOT MET: " + "; ".join(self.failures) if self.failures else "met"
        return (f"  verified    read back: peak {self.peak_dBFS:+.2f} dBFS, true peak {self.true_peak_dBTP:+.2f} dBTP, "
                f"{self.loudness_LUFS:+.2f} LUFS: {verdict}")


@dataclass(frozen=True)
class FileSummary:
    """The result of ``limit_file``: what was read, written and done."""

    input: str
    output: str
    format: str
    subtype: str
    sample_rate: int
    channels: int
    frames: int
    #: Frames the input's header promised, when the file holds fewer; else None.
    frames_promised: int | None
    peak_before_dBFS: float
    #: Peak of the samples written (after quantisation, before any lossy encoder).
    peak_after_dBFS: float
    #: True peaks (ITU-R BS.1770-4 oversampling) of the input and of the samples written.
    true_peak_before_dBTP: float
    true_peak_after_dBTP: float
    #: Whether the ceiling was held for the true peak (dBTP) rather than the samples.
    true_peak_mode: bool
    max_reduction_dB: float
    mean_reduction_dB: float
    #: Share of frames whose gain is below 1.
    reduced_share: float
    seconds: float
    #: Share of frames reduced by at least AUDIBLE_REDUCTION_DB, a change of level a listener can notice.
    audibly_reduced_share: float = 0.0
    #: Whether the output's encoder is lossy: the "after" peaks are those of the samples it was given.
    before_encoding: bool = False
    #: The loudness job's figures, or None without one.
    loudness: LoudnessReport | None = None
    #: What OUT holds, read back from the file (with verify), or None.
    verified: Readback | None = None

    @property
    def realtime(self) -> float:
        """Audio duration over processing time."""
        return self.frames / self.sample_rate / self.seconds if self.seconds > 0 else math.inf

    def lines(self) -> list[str]:
        """The summary as the command prints it."""
        after = " after, before encoding" if self.before_encoding else " after"
        return [
            f"{self.input} -> {self.output}: {self.channels} ch, {self.sample_rate} Hz, "
            f"{self.format} {self.subtype}, {self.frames / self.sample_rate:.2f} s",
            f"  peak        {self.peak_before_dBFS:+.2f} dBFS before, {self.peak_after_dBFS:+.2f} dBFS{after}",
            f"  true peak   {self.true_peak_before_dBTP:+.2f} dBTP before, {self.true_peak_after_dBTP:+.2f} dBTP{after}"
            + (" (ceiling held for the true peak)" if self.true_peak_mode else " (ceiling held for the samples)"),
            f"  reduction   largest {self.max_reduction_dB:.2f} dB, mean {self.mean_reduction_dB:.2f} dB, "
            f"{100 * self.reduced_share:.1f}% of frames reduced, "
            f"{100 * self.audibly_reduced_share:.1f}% by {AUDIBLE_REDUCTION_DB:g} dB or more",
            *(self.loudness.lines() if self.loudness else []),
            *([self.verified.line()] if self.verified else []),
            f"  speed       {self.seconds:.2f} s, {self._speed()}",
        ]

    def _speed(self) -> str:
        if not math.isfinite(self.realtime):
            return "instant"
        # Whole multiples where they are large; two significant digits for short files, where the
        # start-up dominates ("0.31x", not "0x").
        return f"{self.realtime:,.0f}x realtime" if self.realtime >= 10 else f"{self.realtime:.2g}x realtime"


class Tally:
    """Running statistics over the blocks of one file."""

    def __init__(self, true_peak_before: TruePeakMeter, true_peak_after: TruePeakMeter) -> None:
        self.true_peak_before = true_peak_before
        self.true_peak_after = true_peak_after
        self.peak_before = 0.0
        self.peak_after = 0.0
        self.max_reduction = 0.0
        self.reduction_sum = 0.0
        self.reduced = 0
        self.audibly_reduced = 0
        self.frames = 0

    @classmethod
    def for_rate(cls, sample_rate: int) -> Tally:
        return cls(TruePeakMeter(sample_rate), TruePeakMeter(sample_rate))

    def add_input_peak(self, peak: float) -> None:
        self.peak_before = max(self.peak_before, peak)

    def add_output(self, peak: float, gains: np.ndarray) -> None:
        self.peak_after = max(self.peak_after, peak)
        if len(gains) == 0:
            return
        with np.errstate(divide="ignore"):
            self.max_reduction = max(self.max_reduction, -20.0 * math.log10(float(gains.min())) if gains.min() > 0
                                     else math.inf)
            # float32 logarithms summed in float64: ample for a mean in dB, and cheap.
            self.reduction_sum -= 20.0 * float(np.sum(np.log10(gains), dtype=np.float64))
        self.reduced += int(np.count_nonzero(gains < 1.0))
        self.audibly_reduced += int(np.count_nonzero(gains <= _AUDIBLE_GAIN))
        self.frames += len(gains)

    def mean_reduction(self) -> float:
        return self.reduction_sum / self.frames if self.frames else 0.0

    def reduced_share(self) -> float:
        return self.reduced / self.frames if self.frames else 0.0

    def audibly_reduced_share(self) -> float:
        return self.audibly_reduced / self.frames if self.frames else 0.0
