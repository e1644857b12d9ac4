"""Python bindings for the nalo-limiter look-ahead brick-wall audio limiter."""

from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["NaloLimiter", "limit"]

# Settings go through Python's float conversion (``__float__`` or
# ``__index__``); sample rates and axes through the integer one (``__index__``).
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsIndex

_Result: TypeAlias = tuple[NDArray[np.float32], NDArray[np.float32]]

# The default of ``axis`` is -1. It is written ``...`` below because the
# module's own introspected signatures show it that way (``axis=...``), and the
# stubs must agree with them.

def limit(
    audio: ArrayLike,
    sample_rate: _Int,
    threshold_dBFS: _Float = 0.0,
    attack_ms: _Float = 5.0,
    hold_ms: _Float = 15.0,
    release_ms: _Float = 40.0,
    axis: _Int = ...,
) -> _Result:
    """Limit mono or multichannel audio in one call.

    Args:
        audio: A one-dimensional mono array or a two-dimensional multichannel
            array. Values are converted to ``numpy.float32``; the input is not
            modified.
        sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.
        threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;
            ``0.0`` is full scale and approximately ``-6.02`` is half scale.
        attack_ms: Look-ahead attack time in milliseconds. It must round to at
            least one sample at ``sample_rate``.
        hold_ms: Hold time in milliseconds. May be zero.
        release_ms: Release time in milliseconds. May be zero.
        axis: Frame axis. The default of ``-1`` expects
            ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For
            mono input, ``0`` and ``-1`` are
            equivalent.

    Returns:
        A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32`` array
        with the same shape as the input. ``frame_gains`` is a one-dimensional
        ``numpy.float32`` array containing one linked gain value per frame.

    Raises:
        ValueError: If a configuration value or input is invalid, or an input
            sample is not finite.
    """

@final
class NaloLimiter:
    """A configurable look-ahead brick-wall limiter.

    The limiter applies one linked gain value to all channels in each frame,
    preserving their relative balance. Processing is offline and every call
    starts with a neutral gain envelope.

    Args:
        sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.
        threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;
            ``0.0`` is full scale and approximately ``-6.02`` is half scale.
        attack_ms: Look-ahead attack time in milliseconds. It must round to at
            least one sample at ``sample_rate``.
        hold_ms: Hold time in milliseconds. May be zero.
        release_ms: Release time in milliseconds. May be zero.

    Raises:
        ValueError: If any configuration value is invalid.
    """

    def __new__(
        cls,
        sample_rate: _Int,
        threshold_dBFS: _Float = 0.0,
        attack_ms: _Float = 5.0,
        hold_ms: _Float = 15.0,
        release_ms: _Float = 40.0,
    ) -> NaloLimiter: ...
    @property
    def sample_rate(self) -> int:
        """int: Configured sample rate in hertz."""
    @property
    def threshold(self) -> float:
        """float: Configured output ceiling as a linear amplitude."""
    @property
    def threshold_dBFS(self) -> float:
        """float: Configured output ceiling in dBFS."""
    @property
    def lookahead_samples(self) -> int:
        """int: Look-ahead latency in samples."""
    @property
    def attack_samples(self) -> int:
        """int: Look-ahead latency in samples. (alias for ``lookahead_samples``)"""
    @property
    def hold_samples(self) -> int:
        """int: Configured hold duration in samples."""
    @property
    def release_samples(self) -> float:
        """float: Configured release duration in samples."""
    def process(self, audio: ArrayLike, axis: _Int = ...) -> _Result:
        """Process mono or multichannel audio.

        Args:
            audio: A one-dimensional mono array or a two-dimensional
                multichannel array. Values are converted to ``numpy.float32``;
                the input is not modified.
            axis: Frame axis. The default of ``-1`` expects
                ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.
                For mono input, ``0`` and ``-1`` are
                equivalent.

        Returns:
            A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32``
            array with the same shape as the input. ``frame_gains`` is a
            one-dimensional ``numpy.float32`` array containing one linked gain
            value per frame.

        Raises:
            ValueError: If the input is not one- or two-dimensional, the
                frame axis is invalid, the channel dimension is empty, or an
                input sample is not finite.
        """
