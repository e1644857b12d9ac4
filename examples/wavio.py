"""Minimal WAV reading and writing for the examples.

Audio is exchanged as float32 arrays of shape (frames, channels) scaled to
[-1, 1] full scale, the layout audio files use. ``soundfile`` is used when it
is installed (it reads and writes most formats); otherwise a small RIFF
reader/writer from the standard library handles 8/16/24/32-bit PCM and
32/64-bit float WAV files, which covers what the examples produce.
"""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np

try:
    import soundfile  # type: ignore[import-untyped]
except ImportError:  # optional
    soundfile = None

_PCM = 1
_FLOAT = 3
_EXTENSIBLE = 0xFFFE


def read_wav(path: str | Path) -> tuple[np.ndarray, int]:
    """Returns (samples as float32 (frames, channels), sample_rate)."""
    if soundfile is not None:
        data, rate = soundfile.read(str(path), dtype="float32", always_2d=True)
        return data, int(rate)
    raw = Path(path).read_bytes()
    if raw[:4] != b"RIFF" or raw[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a RIFF/WAVE file (install soundfile for other formats)")
    fmt = data = None
    pos = 12
    while pos + 8 <= len(raw):
        cid, size = raw[pos : pos + 4], struct.unpack_from("<I", raw, pos + 4)[0]
        body = raw[pos + 8 : pos + 8 + size]
        if cid == b"fmt ":
            fmt = body
        elif cid == b"data":
            data = body
        pos += 8 + size + (size & 1)  # chunks are padded to even sizes
    if fmt is None or data is None:
        raise ValueError(f"{path}: missing fmt or data chunk")
    tag, channels, rate, _, block, bits = struct.unpack_from("<HHIIHH", fmt)
    if tag == _EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack_from("<H", fmt, 24)[0]  # first two bytes of the sub-format GUID
    width = bits // 8
    frames = len(data) // block
    data = data[: frames * block]
    if tag == _FLOAT and width in (4, 8):
        samples = np.frombuffer(data, dtype=f"<f{width}").astype(np.float32)
    elif tag == _PCM and width == 1:
        samples = (np.frombuffer(data, dtype=np.uint8).astype(np.float32) - 128.0) / 128.0
    elif tag == _PCM and width in (2, 4):
        ints = np.frombuffer(data, dtype=f"<i{width}")
        samples = (ints / float(2 ** (bits - 1))).astype(np.float32)
    elif tag == _PCM and width == 3:
        b = np.frombuffer(data, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        ints = (b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)) << 8 >> 8  # sign-extend 24 bits
        samples = (ints / float(2**23)).astype(np.float32)
    else:
        raise ValueError(f"{path}: unsupported WAV encoding (format {tag}, {bits} bits); install soundfile")
    return samples.reshape(frames, channels), rate


def write_wav(path: str | Path, samples: np.ndarray, sample_rate: int, float32: bool = False) -> None:
    """Writes (frames, channels) or (frames,) samples as 16-bit PCM, or as
    32-bit float when ``float32`` is set (keeps peaks above full scale)."""
    samples = np.asarray(samples, dtype=np.float32)
    if samples.ndim == 1:
        samples = samples[:, None]
    frames, channels = samples.shape
    if soundfile is not None:
        soundfile.write(str(path), samples, sample_rate, subtype="FLOAT" if float32 else "PCM_16")
        return
    if float32:
        payload = samples.astype("<f4").tobytes()
        tag, bits = _FLOAT, 32
    else:
        ints = np.clip(np.round(samples * 32768.0), -32768, 32767).astype("<i2")
        payload = ints.tobytes()
        tag, bits = _PCM, 16
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", tag, channels, sample_rate, sample_rate * block, block, bits)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
    if tag == _FLOAT:  # non-PCM WAV files carry a fact chunk with the frame count
        chunks += b"fact" + struct.pack("<II", 4, frames)
    chunks += b"data" + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)
    Path(path).write_bytes(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
