from typing import SupportsIndex, final

import numpy as np
import numpy.typing as npt
from nalo_limiter import NaloLimiter

_Audio = npt.NDArray[np.float32]
_AudioLike = npt.ArrayLike | bytes

@final
class LimiterStream:
    """One signal limited block by block."""

    def __new__(cls, limiter: NaloLimiter) -> LimiterStream: ...
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
