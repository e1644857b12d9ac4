"""Which file format and subtype to write, and how samples cross between
integer PCM and the limiter's float32 scale.

Integer PCM is read as left-justified 32-bit integers and scaled by a power
of two, which is exact up to 24 bits. On writing, samples are rounded to the
nearest step and limited to the largest step at or below the ceiling, so
reading the file back never gives a sample above it. libsndfile's own
float-to-integer conversion is not used: it scales by 2**(bits-1) - 1 on the
way out but divides by 2**(bits-1) on the way in.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._native import _encode_pcm

# Integer subtypes and their widths in bits.
INTEGER_BITS = {
    "PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32,
    "ALAC_16": 16, "ALAC_20": 20, "ALAC_24": 24, "ALAC_32": 32,
    "DWVW_12": 12, "DWVW_16": 16, "DWVW_24": 24, "DPCM_8": 8, "DPCM_16": 16,
}
FLOAT_SUBTYPES = ("FLOAT", "DOUBLE")
# Encoders that add their own overshoot: the ceiling holds before encoding only.
LOSSY_SUBTYPES = ("VORBIS", "OPUS", "MPEG_LAYER_I", "MPEG_LAYER_II", "MPEG_LAYER_III")
# Logarithmic 8-bit codes, written here as the 16-bit levels they decode to,
# and the step of 16-bit values by which libsndfile's encoders index them.
COMPANDED_STEPS = {"ULAW": 4, "ALAW": 16}
# What a RIFF header holds for a size it does not know (a WAV written to a pipe).
UNKNOWN_SIZE = 0xFFFFFFFF

# File extensions that are not simply the upper-cased format name.
_EXTENSION_FORMATS = {"aif": "AIFF", "aifc": "AIFF", "oga": "OGG", "opus": "OGG", "mp3": "MP3"}
# A WAV input written back as .wav keeps these variants of the format.
_WAV_VARIANTS = ("WAVEX", "RF64")
# Bytes per sample, where a frame has a fixed size.
_SAMPLE_BYTES = {**{k: (v + 7) // 8 for k, v in INTEGER_BITS.items() if k.startswith("PCM")},
                 "FLOAT": 4, "DOUBLE": 8, "ULAW": 1, "ALAW": 1}


def output_format(path: Path, input_format: str, available: dict[str, str]) -> str:
    """The major format for `path`, chosen by its extension."""
    extension = path.suffix[1:].lower()
    name = _EXTENSION_FORMATS.get(extension, extension.upper())
    if name not in available:
        raise ValueError(f"unsupported output format {path.suffix or '(no extension)'!r}")
    if name == "WAV" and input_format in _WAV_VARIANTS:
        return input_format
    return name


def output_subtype(path: Path, fmt: str, input_format: str, input_subtype: str,
                   check: Callable[[str, str], bool], default: Callable[[str], str]) -> str:
    """The input's subtype when the output format can hold it, else the
    closest one it can (Opus for .opus). Decoded lossy audio written to
    another format gets that format's usual subtype (16-bit PCM for WAV)."""
    if path.suffix.lower() == ".opus":
        return "OPUS"
    if input_subtype in LOSSY_SUBTYPES and fmt != input_format:
        return str(default(fmt))
    if check(fmt, input_subtype):
        return input_subtype
    if input_subtype in INTEGER_BITS or input_subtype in FLOAT_SUBTYPES:
        for candidate in _same_width(INTEGER_BITS.get(input_subtype)) + ("PCM_24", "PCM_16"):
            if check(fmt, candidate):
                return candidate
    return str(default(fmt))


def _same_width(bits: int | None) -> tuple[str, ...]:
    """PCM subtypes of the width of an integer subtype, first choices."""
    if bits is None:
        return ()
    if bits <= 8:
        return ("PCM_S8", "PCM_U8")
    return ("PCM_16",) if bits <= 16 else ("PCM_24",) if bits <= 24 else ("PCM_32",)


def full_scale(subtype: str) -> float | None:
    """2**(bits-1) for an integer subtype (read and written as int32 here),
    None for the others."""
    bits = INTEGER_BITS.get(subtype)
    return None if bits is None else float(2 ** (bits - 1))


def ceiling_steps(subtype: str, threshold: float) -> int:
    """The largest integer q with q / 2**(bits-1) at or below the ceiling,
    taken both as the linear threshold and as a 32-bit float."""
    scale = full_scale(subtype)
    assert scale is not None
    ceiling = np.float32(threshold)
    if float(ceiling) > threshold:
        ceiling = np.nextafter(ceiling, np.float32(0.0))
    return int(np.floor(float(ceiling) * scale))


def to_float(ints: np.ndarray, out: np.ndarray) -> np.ndarray:
    """Left-justified int32 samples as float32 in [-1, 1)."""
    out[...] = ints
    out *= np.float32(2.0**-31)
    return out


def to_int(samples: np.ndarray, subtype: str, threshold: float,
           dither: np.random.Generator | None = None) -> tuple[np.ndarray, int]:
    """float32 samples as left-justified int32 for `subtype`, rounded to the
    nearest step (after adding TPDF dither from `dither`, if given) and kept
    within the ceiling; also the largest step used."""
    steps, peak = _steps(samples.astype(_steps_type(subtype)), subtype, threshold, dither)
    return _left_justified(steps, subtype), peak


def _steps(steps: np.ndarray, subtype: str, threshold: float,
           dither: np.random.Generator | None) -> tuple[np.ndarray, int]:
    """`steps` (of `_steps_type`, overwritten) on the scale of `subtype`:
    rounded, dithered if asked, and clipped; also the largest step used."""
    scale = full_scale(subtype)
    assert scale is not None
    top = ceiling_steps(subtype, threshold)
    steps *= scale
    if dither is not None:
        steps += tpdf(dither, steps.shape, steps.dtype)
    np.rint(steps, out=steps)
    np.clip(steps, -top, min(top, scale - 1), out=steps)
    peak = int(max(-steps.min(initial=0.0), steps.max(initial=0.0)))
    return steps, peak


def _steps_type(subtype: str) -> type[np.floating]:
    """Up to 24 bits every value on the way is exact in float32; 32-bit
    steps are not (2**31 - 1 has no float32), so they take float64."""
    return np.float32 if (full_scale(subtype) or 0.0) <= 2.0**23 else np.float64


def _left_justified(steps: np.ndarray, subtype: str) -> np.ndarray:
    """Steps (overwritten) as left-justified int32 samples."""
    steps *= 2.0**31 / (full_scale(subtype) or 1.0)
    return steps.astype(np.int32)


def _quantised(audio: np.ndarray, subtype: str, threshold: float, dither: np.random.Generator | None) -> Quantised:
    """`audio` (overwritten) quantised to integer `subtype`. Up to 24 bits
    the values the file holds are the steps scaled by a power of two, exactly
    as the written integers read back; wider ones are read back from them."""
    scale = full_scale(subtype) or 1.0
    narrow = _steps_type(subtype) == np.float32
    steps, peak = _steps(audio if narrow and audio.dtype == np.float32 else audio.astype(_steps_type(subtype)),
                         subtype, threshold, dither)
    held_values = steps * np.float32(1.0 / scale) if narrow else None
    ints = _left_justified(steps, subtype)
    return Quantised(ints, held(ints, subtype) if held_values is None else held_values, peak / scale)


def tpdf(generator: np.random.Generator, shape: tuple[int, ...], dtype: np.dtype) -> np.ndarray:
    """Triangular dither of one step peak, in steps: the difference of two
    uniform draws. Each frame takes its draws in turn, so the noise does not
    depend on how the signal is cut into blocks."""
    pairs = generator.random((*shape, 2), dtype=np.float32 if dtype == np.float32 else np.float64)
    return np.subtract(pairs[..., 0], pairs[..., 1])


@dataclass(frozen=True)
class Quantised:
    """One block as it goes to the file: the samples to write, the same
    samples as the file will read back (for the true-peak meter), and their
    absolute peak."""

    samples: np.ndarray
    held: np.ndarray
    peak: float


def quantise_float(audio: np.ndarray) -> Quantised:
    return Quantised(audio, audio, float(np.max(np.abs(audio), initial=0.0)))


@dataclass(frozen=True)
class IntegerQuantiser:
    subtype: str
    threshold: float

    def __call__(self, audio: np.ndarray) -> Quantised:
        """Takes `audio` over: it is overwritten."""
        return _quantised(audio, self.subtype, self.threshold, None)

    def packed(self, audio: np.ndarray, width: int, big_endian: bool) -> Quantised:
        """The same steps in one native pass, packed as a file stores them
        (`width` bytes a sample): the samples to write are those bytes, one
        row a frame. Takes `audio` (C-contiguous float32) over: it becomes
        the values the file holds."""
        packed = np.empty((len(audio), audio.shape[1] * width), np.uint8)
        top = ceiling_steps(self.subtype, self.threshold)
        peak = _encode_pcm(audio, packed, width, big_endian, top)
        return Quantised(packed, audio, peak / (full_scale(self.subtype) or 1.0))


class DitheredQuantiser:
    """Integer PCM with TPDF dither from a generator seeded once: the same
    seed gives the same file."""

    def __init__(self, subtype: str, threshold: float, seed: int) -> None:
        self.subtype, self.threshold = subtype, threshold
        self._generator = np.random.default_rng(seed)

    def __call__(self, audio: np.ndarray) -> Quantised:
        """Takes `audio` over: it is overwritten."""
        return _quantised(audio, self.subtype, self.threshold, self._generator)


def held(ints: np.ndarray, subtype: str) -> np.ndarray:
    """Left-justified int32 samples as the values the file holds: float32
    up to 24 bits (exact, and half the memory traffic), float64 beyond."""
    if (full_scale(subtype) or 0.0) <= 2.0**23:
        values = ints.astype(np.float32)
        values *= np.float32(2.0**-31)
        return values
    return ints / 2.0**31


def quantisation_error(subtype: str, dithered: bool, companded_levels: np.ndarray | None = None) -> float:
    """The largest distance between a sample at or below the ceiling and
    the value the file holds for it, on the [-1, 1) scale: a step for
    integers (rounding, or the step down under the ceiling), one and a half
    with dither; the widest gap between codes for mu-law and A-law; none
    for floats and for lossy encoders (they are not quantised here)."""
    scale = full_scale(subtype)
    if scale is not None:
        return (1.5 if dithered else 1.0) / scale
    if companded_levels is not None:
        return float(np.diff(companded_levels.astype(np.int64)).max()) / 32768.0
    return 0.0


class CompandedQuantiser:
    """Mu-law and A-law: the code libsndfile's own encoder picks, or, where
    that code reads back above the ceiling, the loudest code at or below it.

    libsndfile encodes a float x by the magnitude index rint(|x| * 32767 /
    step) and the sign of x; `positive[m]` is the level (as a 16-bit value)
    of the code it picks for index m and a positive sign. Negative codes
    read back as the negated levels."""

    def __init__(self, positive: np.ndarray, step: int, threshold: float) -> None:
        limit = min(threshold, float(np.float32(threshold))) * 32768.0
        top = int(positive[positive <= limit].max(initial=0))
        self._positive = np.minimum(positive, top).astype(np.int16)
        self._scale = np.float32(32767.0 / step)

    def __call__(self, audio: np.ndarray) -> Quantised:
        index = np.abs(audio) * self._scale
        np.rint(index, out=index)
        levels = self._positive[index.astype(np.intp)]
        np.negative(levels, out=levels, where=audio < 0)
        held = levels * np.float32(2.0**-15)
        return Quantised(levels, held, float(np.max(np.abs(held), initial=0.0)))


# ---------------------------------------------------------------- truncation

_SHOULD_BE = re.compile(r"^\s*(\w[\w ]*?)\s*:\s*(\d+) \(should be (\d+)\)", re.MULTILINE)


def promised_frames(log: str, frames: int, channels: int, subtype: str) -> int | None:
    """The frame count that a truncated file's header promises, read from
    libsndfile's log (it quietly shortens such files to what they hold);
    None when the header and the file agree. -1 when the file is short but
    its frame size is not fixed, so the count cannot be told."""
    claims = [(name.lower(), int(said), int(real)) for name, said, real in _SHOULD_BE.findall(log)]
    short = [c for c in claims if c[2] < c[1] != UNKNOWN_SIZE]
    if not short:
        return None
    # The data chunk itself when it is logged, else the container around it.
    name, said, real = next((c for c in short if c[0] in ("data", "ssnd")), short[0])
    sample_bytes = _SAMPLE_BYTES.get(subtype)
    if sample_bytes is None:
        return -1
    frame_bytes = sample_bytes * channels
    return frames + -(-(said - real) // frame_bytes)


_UNKNOWN_DATA_SIZE = re.compile(rf"^\s*data\s*:\s*{UNKNOWN_SIZE}\b", re.MULTILINE)


def length_unknown(log: str) -> bool:
    """Whether the header leaves the length open (a WAV written to a pipe),
    so that libsndfile's frame count is no promise: the file is read to its
    end."""
    return _UNKNOWN_DATA_SIZE.search(log) is not None
