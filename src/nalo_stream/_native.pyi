from collections.abc import Sequence
from typing import Literal, SupportsIndex, final, overload

import numpy as np
import numpy.typing as npt
from nalo_limiter import NaloLimiter

_Audio = npt.NDArray[np.float32]
_AudioLike = npt.ArrayLike | bytes

@final
class LimiterStream:
    """One signal limited block by block.

    Ctrl-C is handled only when ``process`` returns: a ``KeyboardInterrupt``
    arriving during the call is raised after the stream has taken the block,
    and that call's output is lost (``frames_out`` counts it, so the frames
    lost are ``frames_out`` minus those received). To stop without a gap,
    stop between calls: feed short blocks and let a ``signal.SIGINT`` handler
    set a flag that the loop checks before each block, then ``flush``.
    Otherwise treat an interrupted stream as lost and start again.
    """

    def __new__(cls, limiter: NaloLimiter, true_peak: bool = False) -> LimiterStream: ...
    def process(self, /, block: _AudioLike, axis: SupportsIndex = -1) -> tuple[_Audio, _Audio]:
        """Limit the next block of the signal."""
    def flush(self, /) -> tuple[_Audio, _Audio]:
        """End the signal and return the frames held back."""
    @property
    def latency(self) -> int:
        """int: Frames held back: the output lags the input by this many frames until flush()."""
    @property
    def frames_in(self) -> int:
        """int: Frames passed to process() so far."""
    @property
    def frames_out(self) -> int:
        """int: Frames handed out by process() and flush() so far."""

@final
class TruePeakMeter:
    """The true peak of a signal measured block by block."""

    def __new__(cls, sample_rate: SupportsIndex) -> TruePeakMeter: ...
    def add(self, /, block: _AudioLike, axis: SupportsIndex = -1) -> None:
        """Measure the next block."""
    def peak_dBTP(self, /) -> float:
        """End the signal and return its true peak in dBTP (-inf for silence)."""

@final
class LoudnessMeter:
    """The loudness of a signal measured block by block."""

    def __new__(cls, sample_rate: SupportsIndex, channels: SupportsIndex,
                weights: Sequence[float] | None = None) -> LoudnessMeter: ...
    def add(self, /, block: _AudioLike, axis: SupportsIndex = -1) -> None:
        """Measure the next block of the signal."""
    def merge(self, /, other: LoudnessMeter) -> None:
        """Add the windows another meter measured to this one's (joint loudness of an album)."""
    @property
    def integrated(self) -> float:
        """float: Integrated loudness in LUFS (-inf while no 400 ms window passes the gates)."""
    @property
    def loudness_range(self) -> float:
        """float: Loudness range in LU (0 while no 3 s window passes the gates)."""
    @property
    def momentary_max(self) -> float:
        """float: Largest loudness of any 400 ms window, in LUFS (-inf before the first)."""
    @property
    def short_term_max(self) -> float:
        """float: Largest loudness of any 3 s window, in LUFS (-inf before the first)."""

def loudness(audio: _AudioLike, sample_rate: SupportsIndex, axis: SupportsIndex = -1) -> float:
    """The integrated loudness of audio in LUFS (-inf for silence)."""

@overload
def true_peak(audio: _AudioLike, sample_rate: SupportsIndex, axis: SupportsIndex = -1,
              per_channel: Literal[False] = False) -> float:
    """The true peak of audio in dBTP."""
@overload
def true_peak(audio: _AudioLike, sample_rate: SupportsIndex, axis: SupportsIndex = -1, *,
              per_channel: Literal[True]) -> npt.NDArray[np.float64]: ...
@overload
def true_peak(audio: _AudioLike, sample_rate: SupportsIndex, axis: SupportsIndex,
              per_channel: Literal[True]) -> npt.NDArray[np.float64]: ...

def _decode_pcm(packed: npt.NDArray[np.uint8], out: _Audio, width: int, big_endian: bool, /) -> float:
    """Packed 16- or 24-bit integer samples as floats on [-1, 1); their largest magnitude."""
def _encode_pcm(samples: _Audio, packed: npt.NDArray[np.uint8], width: int, big_endian: bool, top: int, /) -> int:
    """Floats rounded to packed integer steps within ``top``; the largest step magnitude."""
