"""The frame gains of a file run, written as they come: .npy or .csv."""

from __future__ import annotations

from typing import BinaryIO

import numpy as np
from numpy.lib import format as npy

_DTYPE = np.dtype("<f4")


class GainsWriter:
    """Appends gains to an open file; .npy files get their header first (for
    the expected count) and again at the end if the count differs."""

    def __init__(self, handle: BinaryIO, suffix: str, expected_frames: int) -> None:
        self._handle = handle
        self._npy = suffix == ".npy"
        self._count = 0
        if self._npy:
            self._expected = expected_frames
            self._header(expected_frames)
            self._start = handle.tell()
        else:
            handle.write(b"frame,gain\n")

    def _header(self, frames: int) -> None:
        npy.write_array_header_1_0(
            self._handle, {"descr": npy.dtype_to_descr(_DTYPE), "fortran_order": False, "shape": (frames,)}
        )

    def write(self, gains: np.ndarray) -> None:
        if self._npy:
            self._handle.write(gains.astype(_DTYPE, copy=False).tobytes())
        else:
            frames = np.arange(self._count, self._count + len(gains))
            np.savetxt(self._handle, np.column_stack((frames, gains)), fmt=("%d", "%.9g"), delimiter=",")
        self._count += len(gains)

    def close(self) -> None:
        if self._npy and self._count != self._expected:
            end = self._handle.tell()
            self._handle.seek(0)
            self._header(self._count)
            # Same length: numpy pads the header of a 1-D shape well past any count.
            assert self._handle.tell() == self._start, "gains header changed length"
            self._handle.seek(end)

