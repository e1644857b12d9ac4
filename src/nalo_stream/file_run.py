"""The steps of ``limit_file``: open the input, plan the output, limit every
block into it, and sum up. The only module of the package that uses
soundfile (libsndfile)."""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import functools
import io
import math
import os
import re
import stat
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from nalo_limiter import NaloLimiter

from . import formats
from ._native import LimiterStream, LoudnessMeter, TruePeakMeter, _decode_pcm
from .files import MISSING_CLI_PACKAGES, STDIO, AudioFileError, FileJob, TruncatedInputWarning
from .gains_file import GainsWriter
from .replacing import Replacement, ReplaceError, replacing
from .settings import check_subtype
from .summary import FileSummary, LoudnessReport, Readback, Tally, dbfs

try:
    import soundfile  # type: ignore[import-untyped]
except ImportError as error:
    raise ImportError(MISSING_CLI_PACKAGES) from error

STDIN_NAME, STDOUT_NAME = "<stdin>", "<stdout>"
# Formats libsndfile writes whole to a pipe; it needs to seek back into the others.
PIPE_FORMATS = ("AU", "FLAC", "OGG", "MP3")
_PIPE_HINT = " (if the format cannot be read from a pipe, name the file instead)"
_SF_COUNT_MAX = 2**63 - 1  # libsndfile's frame count for a FLAC stream of unknown length
_FLAT_INDEX = re.compile(r"flat index (\d+) is not finite")
# The largest sum of tap magnitudes of the true-peak meter's interpolation
# filter (2.0228): how far a reading between samples can move when every
# sample moves by at most one unit.
_METER_TAP_GAIN = 2.03
# How far below the ceiling the limiter aims where the written file must hold
# it exactly: the rounding of the ceiling to 32 bits and of the meter's sums.
_CEILING_SLACK = 2e-6
# Blocks a block pipeline may leave to its writing thread before it waits.
_DEFERRED_STEPS = 3
# Formats that store integer PCM as plain packed samples, and the widths in
# bytes of the subtypes whose bytes are read and written here as they are
# stored: libsndfile's own conversion of them costs more than the limiting.
_PACKED_FORMATS = ("WAV", "WAVEX", "RF64", "W64", "AIFF", "CAF", "AU")
_PACKED_WIDTHS = {"PCM_16": 2, "PCM_24": 3}
_SFC_RAW_DATA_NEEDS_ENDSWAP = 0x1110  # libsndfile's command: whether the stored bytes are foreign-endian


@dataclass(frozen=True)
class OutputPlan:
    """Where and how the limited audio is written."""

    target: Path  # as the caller named it
    format: str
    subtype: str
    quantise: Callable[[np.ndarray], formats.Quantised]

    @property
    def to_stdout(self) -> bool:
        return _is_stdio(self.target)

    @property
    def name(self) -> str:
        return STDOUT_NAME if self.to_stdout else str(self.target)


def run(job: FileJob, progress: bool | Callable[[int], object]) -> FileSummary:
    started = time.perf_counter()
    source = STDIN_NAME if _is_stdio(job.input) else str(job.input)
    try:
        with _open_input(job.input) as reader:
            _refuse_overwriting_input(job)
            limiter, plan = _limiter_and_plan(reader, job)
            promised = formats.promised_frames(reader.extra_info, reader.frames, reader.channels, reader.subtype)
            if promised is not None:
                _report_truncation(source, promised, reader.frames, job.truncated)
            with progress_callback(progress, reader.frames, source) as advance, replacing() as replacement:
                tally = _limit_into(reader, source, limiter, job, plan, replacement, advance)
                if tally.frames < reader.frames and not _length_unknown(reader):
                    promised = reader.frames  # the file ended early while being read
                    _report_truncation(source, promised, tally.frames, job.truncated)
            return _summary(source, plan, reader, tally, promised, job, time.perf_counter() - started)
    except ReplaceError as error:
        raise AudioFileError(error.target, f"cannot write: {error.strerror}") from None
    except MemoryError:
        raise AudioFileError(source, f"not enough memory for blocks of {job.block_frames} frames: "
                                     "choose a smaller block size") from None


def _is_stdio(path: Path) -> bool:
    return os.fspath(path) == STDIO


def source_name(path: Path) -> str:
    """How messages name an input."""
    return STDIN_NAME if _is_stdio(path) else str(path)


def _summary(source: str, plan: OutputPlan, reader: Any, tally: Tally, promised: int | None, job: FileJob,
             seconds: float, before: tuple[float, float] | None = None) -> FileSummary:
    """The run's figures; `before` gives the input's sample and true peak
    where a loudness job measured them in its first pass."""
    peak_before, true_peak_before = before or (dbfs(tally.peak_before), tally.true_peak_before.peak_dBTP())
    return FileSummary(
        input=source, output=plan.name, format=plan.format, subtype=plan.subtype, sample_rate=reader.samplerate,
        channels=reader.channels, frames=tally.frames, frames_promised=promised,
        peak_before_dBFS=peak_before, peak_after_dBFS=dbfs(tally.peak_after),
        true_peak_before_dBTP=true_peak_before,
        true_peak_after_dBTP=tally.true_peak_after.peak_dBTP(), true_peak_mode=job.settings.true_peak,
        max_reduction_dB=tally.max_reduction, mean_reduction_dB=tally.mean_reduction(),
        reduced_share=tally.reduced_share(), seconds=seconds,
        audibly_reduced_share=tally.audibly_reduced_share(), before_encoding=plan.subtype in formats.LOSSY_SUBTYPES,
    )


# ---------------------------------------------------------------- the input


@contextlib.contextmanager
def _open_input(path: Path) -> Iterator[Any]:
    reader = _open_stdin() if _is_stdio(path) else _open_file(path)
    with reader:
        yield reader


def _open_file(path: Path) -> Any:
    try:
        if stat.S_ISDIR(os.stat(path).st_mode):
            raise IsADirectoryError(21, os.strerror(21))
        return soundfile.SoundFile(path)
    except OSError as error:
        raise AudioFileError(path, f"cannot read: {error.strerror or error}") from None
    except (RuntimeError, TypeError, ValueError) as error:  # libsndfile: corrupt or unsupported
        raise AudioFileError(path, f"cannot read: {_libsndfile_reason(error)}") from None


def _open_stdin() -> Any:
    try:
        return soundfile.SoundFile(0, closefd=False)
    except (RuntimeError, TypeError, ValueError) as error:
        raise AudioFileError(STDIN_NAME, f"cannot read: {_libsndfile_reason(error)}{_stdin_hint()}") from None


def _stdin_hint() -> str:
    return "" if stat.S_ISREG(os.fstat(0).st_mode) else _PIPE_HINT


def _libsndfile_reason(error: Exception) -> str:
    """libsndfile's reason without soundfile's "Error opening 'path': " prefix."""
    text = str(error).strip()
    text = text.split(": ", 1)[1] if text.startswith("Error opening") and ": " in text else text
    return text.removeprefix("Error : ")


def _length_unknown(reader: Any) -> bool:
    """Whether the header leaves the length open (a file written to a pipe):
    then the file is read to its end, whatever libsndfile's count says."""
    return bool(reader.frames >= _SF_COUNT_MAX or formats.length_unknown(reader.extra_info))


# Whether this soundfile gives libsndfile's calls for the stored bytes.
_RAW_CALLS = all(hasattr(getattr(soundfile, "_snd", None), name)
                 for name in ("sf_read_raw", "sf_write_raw", "sf_command", "sf_error", "sf_error_number"))


def _packing(sound: Any) -> tuple[int, bool] | None:
    """Width in bytes and byte order (big-endian?) of the packed samples of
    an open file whose bytes can be taken as they are stored; else None."""
    width = _PACKED_WIDTHS.get(sound.subtype)
    if width is None or sound.format not in _PACKED_FORMATS or not _RAW_CALLS:
        return None
    swapped = soundfile._snd.sf_command(sound._file, _SFC_RAW_DATA_NEEDS_ENDSWAP, soundfile._ffi.NULL, 0)
    return width, (sys.byteorder == "little") == bool(swapped)


def _libsndfile_error(sound: Any) -> RuntimeError | None:
    """The error libsndfile reports for an open file, if any."""
    code = soundfile._snd.sf_error(sound._file)
    if not code:
        return None
    return RuntimeError(soundfile._ffi.string(soundfile._snd.sf_error_number(code)).decode(errors="replace"))


def _refuse_overwriting_input(job: FileJob) -> None:
    if _is_stdio(job.input):
        return
    for target in [job.output] + ([job.gains] if job.gains else []):
        if not _is_stdio(target) and os.path.exists(target) and os.path.samefile(job.input, target):
            raise AudioFileError(target, "is the input file itself; choose another output")


def _report_truncation(source: str, promised: int, held: int, truncated: str) -> None:
    message = (f"truncated: its header promises {promised} frames, the file holds {held}" if promised >= 0
               else f"truncated: its header promises more than the {held} frames the file holds")
    if truncated == "error":
        raise AudioFileError(source, message)
    warnings.warn(TruncatedInputWarning(f"{source}: {message}"), stacklevel=4)  # limit_file's caller


# ---------------------------------------------------------------- the output


def _plan_output(reader: Any, job: FileJob, threshold: float) -> OutputPlan:
    target = job.output
    name = STDOUT_NAME if _is_stdio(target) else target
    try:
        fmt = reader.format if _is_stdio(target) else formats.output_format(
            target, reader.format, soundfile.available_formats())
    except ValueError as error:
        raise AudioFileError(name, str(error)) from None
    if _is_stdio(target) and fmt not in PIPE_FORMATS and not stat.S_ISREG(os.fstat(1).st_mode):
        raise AudioFileError(name, f"cannot write {fmt} to a pipe (it can take {', '.join(PIPE_FORMATS)}); "
                                   "name an output file instead")
    sub = check_subtype(job.subtype, soundfile.available_subtypes()) or formats.output_subtype(
        target, fmt, reader.format, reader.subtype, soundfile.check_format, soundfile.default_subtype)
    if not soundfile.check_format(fmt, sub):
        raise AudioFileError(name, f"a {fmt} file cannot hold {sub} samples")
    return OutputPlan(target, fmt, sub, _quantiser(sub, threshold, job.dither_seed))


def _limiter_and_plan(reader: Any, job: FileJob) -> tuple[NaloLimiter, OutputPlan]:
    """The limiter and the output plan of a run. Where the written file must
    hold the ceiling exactly (a loudness job, dither or verification), the
    limiter aims just below it: by the rounding of the ceiling to 32 bits
    and, for the true peak, by the most that quantising the samples can
    raise a reading between them."""
    limiter = job.settings.limiter(reader.samplerate)
    plan = _plan_output(reader, job, limiter.threshold)
    if not job.exact_ceiling:
        return limiter, plan
    ceiling = limiter.threshold * (1.0 - _CEILING_SLACK)
    if job.settings.true_peak:
        dithered = job.dither_seed is not None and formats.full_scale(plan.subtype) is not None
        step = formats.COMPANDED_STEPS.get(plan.subtype)
        levels = None if step is None else _companded_levels(plan.subtype, step)
        ceiling -= _METER_TAP_GAIN * formats.quantisation_error(plan.subtype, dithered, levels)
    if ceiling <= 0.0:
        raise AudioFileError(plan.name, f"a ceiling of {job.settings.threshold_dBFS:g} dBTP is too low for "
                                        f"{plan.subtype} samples to hold it")
    aimed = dataclasses.replace(job.settings, threshold_dBFS=20.0 * math.log10(ceiling)).limiter(reader.samplerate)
    return aimed, dataclasses.replace(plan, quantise=_quantiser(plan.subtype, aimed.threshold, job.dither_seed))


def _quantiser(subtype: str, threshold: float, dither_seed: int | None) -> Callable[[np.ndarray], formats.Quantised]:
    if formats.full_scale(subtype) is not None:
        if dither_seed is not None:
            return formats.DitheredQuantiser(subtype, threshold, dither_seed)
        return formats.IntegerQuantiser(subtype, threshold)
    step = formats.COMPANDED_STEPS.get(subtype)
    if step is not None:
        return formats.CompandedQuantiser(_companded_levels(subtype, step), step, threshold)
    return formats.quantise_float


@functools.cache
def _companded_levels(subtype: str, step: int) -> np.ndarray:
    """For every magnitude index m, the level of the code libsndfile
    encodes the 16-bit value m * step as: written and read back. (The top
    index, reached only by full scale, shares the top code.)"""
    values = np.minimum(np.arange(32768 // step + 1) * step, 32767).astype(np.int16)
    buffer = io.BytesIO()
    with soundfile.SoundFile(buffer, "w", 8000, 1, subtype, format="RAW") as writer:
        writer.write(values)
    buffer.seek(0)
    levels, _ = soundfile.read(buffer, dtype="int16", format="RAW", subtype=subtype, samplerate=8000, channels=1)
    return np.asarray(levels)


@contextlib.contextmanager
def _open_writer(reader: Any, plan: OutputPlan, path: Path | None) -> Iterator[Any]:
    """The audio writer on `path`, or on standard output for None."""
    try:
        writer = soundfile.SoundFile(1 if path is None else path, "w", reader.samplerate, reader.channels,
                                     plan.subtype, format=plan.format, closefd=path is not None)
    except (RuntimeError, TypeError, ValueError) as error:
        raise AudioFileError(plan.name, f"cannot write: {_refusal_reason(error, reader, plan)}") from None
    try:
        yield writer
    except BaseException:
        with contextlib.suppress(Exception):
            writer.close()
        raise
    try:
        writer.close()
    except (RuntimeError, AssertionError, OSError) as error:
        raise AudioFileError(plan.name, f"cannot write: {_write_failure(error, path)}") from None


def _refusal_reason(error: Exception, reader: Any, plan: OutputPlan) -> str:
    """Why libsndfile refused to create the output: told by trying again
    with one channel, or at 48 kHz, where its own message is vague."""
    if reader.channels > 1 and _opens(plan, reader.samplerate, 1):
        return f"the {plan.format} format cannot hold {reader.channels} channels"
    if reader.samplerate != 48000 and _opens(plan, 48000, reader.channels):
        return f"the {plan.format} format cannot hold a sample rate of {reader.samplerate} Hz"
    return _libsndfile_reason(error)


def _opens(plan: OutputPlan, rate: int, channels: int) -> bool:
    try:
        soundfile.SoundFile(io.BytesIO(), "w", rate, channels, plan.subtype, format=plan.format).close()
    except Exception:
        return False
    return True


def _write_failure(error: Exception, path: Path | None) -> str:
    """The system's reason for a failed write (e.g. "No space left on
    device"), found by writing to the file again, where libsndfile gives
    only "System error"; else libsndfile's reason."""
    reason = _libsndfile_reason(error) or "the write failed"
    if path is None:
        return reason
    try:
        with open(path, "ab") as handle:
            size = handle.tell()
            try:
                handle.write(bytes(1 << 16))
                handle.flush()
                os.fsync(handle.fileno())
            finally:
                handle.truncate(size)
    except OSError as probe:
        return probe.strerror or reason
    return reason


@contextlib.contextmanager
def _writing(name: str | Path) -> Iterator[None]:
    """OSError as a one-line AudioFileError naming the file written."""
    try:
        yield
    except OSError as error:
        raise AudioFileError(name, f"cannot write: {error.strerror or error}") from None


@contextlib.contextmanager
def _open_gains(target: Path | None, path: Path | None, frames: int) -> Iterator[GainsWriter | None]:
    if target is None or path is None:
        yield None
        return
    with _writing(target):
        handle = open(path, "wb")
    try:
        with _writing(target):
            gains = GainsWriter(handle, target.suffix.lower(), frames)
        yield gains
        with _writing(target):
            gains.close()
            handle.close()
    finally:
        with contextlib.suppress(OSError):  # a failure is reported already
            handle.close()


# ---------------------------------------------------------------- the blocks


def _limit_into(reader: Any, source: str, limiter: NaloLimiter, job: FileJob, plan: OutputPlan,
                replacement: Replacement, advance: Callable[[int], object], *, gain: float | None = None,
                loudness_after: LoudnessMeter | None = None, write: bool = True, trial: bool = False) -> Tally:
    """Every block limited from `reader` into the planned output (and the
    gains file); the statistics. With `gain`, every block is amplified by
    it first (the input's figures are then measured elsewhere); without
    `write`, nothing is written: the pass only measures; a `trial` measures
    only the loudness of the limited samples, before quantisation."""
    out_path = None if plan.to_stdout or not write else replacement.temporary_for(job.output)
    gains_path = None if job.gains is None or not write else replacement.temporary_for(job.gains)
    writer = _open_writer(reader, plan, out_path) if write else contextlib.nullcontext(_NullWriter())
    with writer as audio_writer, _open_gains(job.gains, gains_path, reader.frames) as gains:
        blocks = BlockPipeline(reader, source, LimiterStream(limiter, true_peak=job.settings.true_peak), plan,
                               _packed_or_plain(audio_writer, plan, out_path), gains, job, gain, loudness_after,
                               trial)
        blocks.run(job.block_frames, advance)
    if blocks.tally.frames == 0 and out_path is not None and os.path.getsize(out_path) == 0:
        raise AudioFileError(plan.name, f"cannot write an empty {plan.format} file: the input holds no frames")
    return blocks.tally


class _Overlap:
    """The two worker threads of a BlockPipeline: one reads ahead, the other
    writes, each in the order its steps were given (libsndfile decodes and
    encodes without the GIL, so both work while the blocks are limited). A
    step's exception is raised in the caller when it takes the step's
    result, or at its next deferred step; on a normal way out every deferred
    step is finished (or its failure raised), on any way out the workers no
    longer run when the files are closed."""

    def __init__(self) -> None:
        self.reader = ThreadPoolExecutor(max_workers=1)
        self.writer = ThreadPoolExecutor(max_workers=1)
        self.pending: collections.deque[Future[Any]] = collections.deque()

    def __enter__(self) -> _Overlap:
        return self

    def prefetch(self, read: Callable[[int], Any], frames: int) -> Future[Any]:
        return self.reader.submit(read, frames)

    def defer(self, step: Callable[..., object], *args: Any) -> None:
        while len(self.pending) >= _DEFERRED_STEPS:
            self.pending.popleft().result()
        self.pending.append(self.writer.submit(step, *args))

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        try:
            if kind is None:
                while self.pending:
                    self.pending.popleft().result()
        finally:
            self.writer.shutdown(wait=True, cancel_futures=True)
            self.reader.shutdown(wait=True, cancel_futures=True)


def _largest(block: np.ndarray) -> float:
    """The largest magnitude in a float block."""
    return max(float(block.max()), -float(block.min())) if block.size else 0.0


class _PackedWriter:
    """Integer PCM written as the bytes the file stores: each block is
    quantised and packed in one native pass (the same steps as the plan's
    quantiser), and libsndfile writes the bytes as they are."""

    def __init__(self, writer: Any, quantiser: formats.IntegerQuantiser, packing: tuple[int, bool]) -> None:
        self.writer, self.quantiser, (self.width, self.big_endian) = writer, quantiser, packing
        self.name = writer.name

    def quantise(self, audio: np.ndarray) -> formats.Quantised:
        return self.quantiser.packed(audio, self.width, self.big_endian)

    def write(self, packed: np.ndarray) -> None:
        written = soundfile._snd.sf_write_raw(self.writer._file, soundfile._ffi.from_buffer(packed), packed.nbytes)
        if written != packed.nbytes:
            raise _libsndfile_error(self.writer) or RuntimeError("the write failed")


def _packed_or_plain(writer: Any, plan: OutputPlan, path: Path | None) -> Any:
    """`writer`, wrapped to take packed bytes where its file can (a named
    file, integer PCM without dither)."""
    if path is None or not isinstance(plan.quantise, formats.IntegerQuantiser):
        return writer
    packing = _packing(writer)
    return writer if packing is None else _PackedWriter(writer, plan.quantise, packing)


class _NullWriter:
    """Takes the samples of a pass that only measures."""

    name = ""

    def write(self, samples: np.ndarray) -> None:
        pass


class Decoder:
    """Blocks read from a file and converted to float32, and the file's
    own words for what goes wrong."""

    def __init__(self, reader: Any, source: str, block_frames: int) -> None:
        self.reader, self.source = reader, source
        self.frames_read = 0
        integer = reader.subtype in formats.INTEGER_BITS
        # Integers and doubles are read as they are and converted here: exactly
        # (integers), or so that an out-of-range double can be told by its value.
        self.dtype = "int32" if integer else "float64" if reader.subtype == "DOUBLE" else "float32"
        self.integer = integer
        # Two buffers of each kind taken in turn, made on first use: one block
        # is read and converted on the reading thread while the one before it
        # is limited.
        self.raws: list[np.ndarray | None] = [None, None]
        self.floats: list[np.ndarray | None] = [None, None]
        # A named PCM file of known length is read as its stored bytes and
        # converted natively; `packed_peak` is the largest magnitude of the
        # block read last.
        known = source != STDIN_NAME and reader.seekable() and not _length_unknown(reader)
        self.packing = _packing(reader) if known else None
        self.packed_peak = 0.0

    def read(self, frames: int) -> np.ndarray:
        if self.reader.seekable():  # no further than the frames the header gives
            frames = max(0, min(frames, self.reader.frames - self.reader.tell()))
        if self.packing is not None:
            return self._read_packed(frames)
        try:
            block: np.ndarray = self.reader.read(frames, dtype=self.dtype, always_2d=True,
                                                 out=self._taken(self.raws, frames, self.dtype))
        except (RuntimeError, ValueError) as error:
            hint = _stdin_hint() if self.source == STDIN_NAME else ""
            raise AudioFileError(self.source, f"cannot read past frame {self.frames_read} of "
                                              f"{self.reader.frames}: {_libsndfile_reason(error)}{hint}") from None
        self.frames_read += len(block)
        return block

    def _read_packed(self, frames: int) -> np.ndarray:
        """The next block as float32, from the bytes the file stores."""
        assert self.packing is not None
        width, big_endian = self.packing
        packed = self._taken(self.raws, frames, np.uint8, width)
        count = soundfile._snd.sf_read_raw(self.reader._file, soundfile._ffi.from_buffer(packed), packed.nbytes)
        got = max(0, count) // max(1, packed.strides[0])
        if got < frames and (error := _libsndfile_error(self.reader)) is not None:
            raise AudioFileError(self.source, f"cannot read past frame {self.frames_read} of "
                                              f"{self.reader.frames}: {_libsndfile_reason(error)}")
        block = self._taken(self.floats, got, np.float32)
        self.packed_peak = _decode_pcm(packed[:got], block, width, big_endian)
        self.frames_read += got
        return block

    def to_float(self, raw: np.ndarray) -> np.ndarray:
        if self.packing is not None:  # read as float32 already
            return raw
        if self.integer:
            return formats.to_float(raw, self._taken(self.floats, len(raw), np.float32))
        if raw.dtype == np.float64:
            with np.errstate(over="ignore"):  # beyond float32: refused by the stream, named by limit()
                return raw.astype(np.float32)
        return raw

    def _taken(self, buffers: list[np.ndarray | None], frames: int, dtype: Any, width: int = 1) -> np.ndarray:
        """The next of two `buffers` in turn, for `frames` frames (of
        `width` items a sample)."""
        buffers.reverse()
        buffer = buffers[0]
        if buffer is None or len(buffer) < frames or buffer.dtype != dtype:
            buffer = buffers[0] = np.empty((frames, self.reader.channels * width), dtype)
        return buffer[:frames]

    def refusal(self, error: ValueError, raw: np.ndarray, first: int | None = None) -> AudioFileError | None:
        """The sample of `raw` (the block starting at frame `first`, by
        default the block just read) that the native code refused as not
        finite, named by frame and channel; None for other errors."""
        match = _FLAT_INDEX.search(str(error))
        if match is None:
            return None
        frame, channel = divmod(int(match[1]), raw.shape[1])
        value = float(raw[frame, channel])
        what = f"is {value:g}, beyond the range of 32-bit float" if np.isfinite(value) else "is not finite"
        if first is None:
            first = self.frames_read - len(raw)
        return AudioFileError(self.source, f"sample at frame {first + frame} "
                                           f"(channel {channel + 1}) {what}")

    def peak(self, raw: np.ndarray) -> float:
        """The largest magnitude of the block as read, exactly, on the [-1, 1) scale."""
        if self.packing is not None:
            return float(self.packed_peak)
        if not raw.size:
            return 0.0
        top = max(-float(raw.min()), float(raw.max()))
        return top * 2.0**-31 if self.integer else top


class BlockPipeline:
    """The path of every block: read, convert to float, amplify (a loudness
    job), limit, quantise, write. One method a step, run in that order by
    `run`."""

    def __init__(self, reader: Any, source: str, stream: LimiterStream, plan: OutputPlan, writer: Any,
                 gains: GainsWriter | None, job: FileJob, gain: float | None = None,
                 loudness_after: LoudnessMeter | None = None, trial: bool = False) -> None:
        self.decoder, self.stream, self.plan = Decoder(reader, source, job.block_frames), stream, plan
        self.writer, self.gains, self.gains_name = writer, gains, job.gains
        self.tally = Tally.for_rate(reader.samplerate)
        self.gain = None if gain is None else np.float32(gain)
        self.amplified = None if gain is None else np.empty((job.block_frames, reader.channels), np.float32)
        self.loudness_after = loudness_after
        self.trial = trial
        self.quantise = writer.quantise if isinstance(writer, _PackedWriter) else plan.quantise
        # The meters run beside the cheap steps: the input's on the reading
        # thread where its bytes are taken as they are (integers, always
        # finite), the output's on the writing thread where they are written
        # so; else on this thread (a codec keeps the other busy enough).
        self.meter_when_read = self.decoder.packing is not None
        self.meter_when_written = isinstance(writer, _PackedWriter)
        # Runs a step of the writing thread: at once, until `run` overlaps them.
        self.deferred: Callable[..., None] = lambda step, *args, **kwargs: step(*args, **kwargs)

    def run(self, block_frames: int, advance: Callable[[int], object]) -> None:
        """The steps in order, overlapped on two more threads: the blocks
        before are written and the next one is read and converted, while this
        one is limited and quantised; the meters run on whichever thread has
        room (libsndfile, the limiter and the meters run without the GIL). At
        most a few blocks wait to be written: memory stays bounded."""
        with _Overlap() as overlap:
            self.deferred = overlap.defer
            reading = overlap.prefetch(self.decoded, block_frames)
            first = 0  # the frame the block starts at: the reading thread is a block ahead
            while len((decoded := reading.result())[0]):
                raw, block = decoded
                reading = overlap.prefetch(self.decoded, block_frames)
                if self.gain is None:
                    self.emit(*self.limit(block, raw, first))
                    if not self.meter_when_read:  # finite: the stream took it
                        self.tally.true_peak_before.add(block, axis=0)
                else:
                    self.emit(*self.limit(self.amplify(block), raw, first))
                first += len(raw)
                advance(len(raw))
            self.emit(*self.stream.flush())

    def decoded(self, frames: int) -> tuple[np.ndarray, np.ndarray]:
        """The next block as read and as float32 (on the reading thread)."""
        raw = self.read(frames)
        block = self.to_float(raw)
        if self.gain is None:
            self.tally.add_input_peak(self.decoder.peak(raw) if self.decoder.integer else _largest(block))
            if self.meter_when_read:
                self.tally.true_peak_before.add(block, axis=0)
        return raw, block

    def read(self, frames: int) -> np.ndarray:
        return self.decoder.read(frames)

    def to_float(self, raw: np.ndarray) -> np.ndarray:
        return self.decoder.to_float(raw)

    def amplify(self, block: np.ndarray) -> np.ndarray:
        assert self.amplified is not None and self.gain is not None
        with np.errstate(over="ignore", invalid="ignore"):  # refused by the stream, named by limit()
            amplified: np.ndarray = np.multiply(block, self.gain, out=self.amplified[: len(block)])
        return amplified

    def limit(self, block: np.ndarray, raw: np.ndarray, first: int) -> tuple[np.ndarray, np.ndarray]:
        try:
            return self.stream.process(block, axis=0)
        except ValueError as error:
            refusal = self.decoder.refusal(error, raw, first)
            if refusal is None:
                raise
            raise refusal from None

    def emit(self, audio: np.ndarray, frame_gains: np.ndarray) -> None:
        """Quantises and meters a limited block; writes it on the writing thread."""
        if len(frame_gains) == 0:  # nothing final yet (or an empty file: no layout to write in)
            return
        if self.trial and self.loudness_after is not None:
            self.loudness_after.add(audio, axis=0)
            self.tally.add_output(0.0, frame_gains)
            return
        quantised = self.quantise(audio)
        if not self.meter_when_written:
            self.meter_output(quantised.held)
        self.deferred(self.write, quantised)
        self.tally.add_output(quantised.peak, frame_gains)
        if self.gains is not None:
            with _writing(self.gains_name or ""):
                self.gains.write(frame_gains)

    def meter_output(self, held: np.ndarray) -> None:
        """Meters what the file will hold."""
        self.tally.true_peak_after.add(held, axis=0)
        if self.loudness_after is not None:
            self.loudness_after.add(held, axis=0)

    def write(self, quantised: formats.Quantised) -> None:
        """Writes a block (on the writing thread), metered first if not yet."""
        if self.meter_when_written:
            self.meter_output(quantised.held)
        try:
            self.writer.write(quantised.samples)
        except (RuntimeError, AssertionError, OSError) as error:  # e.g. the disk is full
            path = None if self.plan.to_stdout else Path(self.writer.name)
            raise AudioFileError(self.plan.name, f"cannot write: {_write_failure(error, path)}") from None


# ---------------------------------------------------------------- the passes of a loudness job


_READ_ONCE = "cannot be read twice (a pipe): a loudness target needs the input measured first; name a file"


@dataclass(frozen=True)
class Measurement:
    """The first pass of a loudness job over one input."""

    source: str
    loudness: LoudnessMeter
    peak_dBFS: float
    true_peak_dBTP: float
    frames: int
    #: Frames the header promised, when the file holds fewer; else None.
    promised: int | None
    #: Where standard input's audio starts, to read it again; None for a named file.
    start: int | None


@dataclass(frozen=True)
class LimitPass:
    """One limiting pass of a loudness job over one input."""

    plan: OutputPlan
    tally: Tally
    loudness: LoudnessMeter
    sample_rate: int
    channels: int


def measure(job: FileJob, advance: Callable[[int], object]) -> Measurement:
    """Pass 1: the input's loudness and peaks, and every refusal that can be
    told before anything is written."""
    source = STDIN_NAME if _is_stdio(job.input) else str(job.input)
    start = _rereadable_start(job.input)
    with _open_input(job.input) as reader:
        _refuse_overwriting_input(job)
        _limiter_and_plan(reader, job)  # settings, output format and subtype
        promised = formats.promised_frames(reader.extra_info, reader.frames, reader.channels, reader.subtype)
        if promised is not None:
            _report_truncation(source, promised, reader.frames, job.truncated)
        decoder = Decoder(reader, source, job.block_frames)
        loudness, true_peak, peak = LoudnessMeter(reader.samplerate, reader.channels), TruePeakMeter(reader.samplerate), 0.0
        while len(raw := decoder.read(job.block_frames)):
            block = decoder.to_float(raw)
            try:
                loudness.add(block, axis=0)
            except ValueError as error:
                refusal = decoder.refusal(error, raw)
                if refusal is None:
                    raise
                raise refusal from None
            true_peak.add(block, axis=0)
            peak = max(peak, decoder.peak(raw))
            advance(len(raw))
        if decoder.frames_read < reader.frames and not _length_unknown(reader):
            promised = reader.frames
            _report_truncation(source, promised, decoder.frames_read, job.truncated)
    return Measurement(source, loudness, dbfs(peak), true_peak.peak_dBTP(), decoder.frames_read, promised, start)


def limit_pass(job: FileJob, measured: Measurement, gain_dB: float, replacement: Replacement,
               advance: Callable[[int], object], write: bool = True, trial: bool = False) -> LimitPass:
    """A later pass: the input amplified by `gain_dB`, limited and written
    (or, without `write`, only measured; a `trial` measures only the
    loudness, of the samples before quantisation)."""
    _seek_stdin(measured.start)
    with _open_input(job.input) as reader:
        limiter, plan = _limiter_and_plan(reader, job)
        loudness = LoudnessMeter(reader.samplerate, reader.channels)
        tally = _limit_into(reader, measured.source, limiter, job, plan, replacement, advance,
                            gain=10.0 ** (gain_dB / 20.0), loudness_after=loudness, write=write and not trial,
                            trial=trial)
        if tally.frames != measured.frames:
            raise AudioFileError(measured.source, f"changed while it was read: {measured.frames} frames in the "
                                                  f"first pass, {tally.frames} in the next")
        return LimitPass(plan, tally, loudness, reader.samplerate, reader.channels)


def pass_summary(job: FileJob, measured: Measurement, done: LimitPass, seconds: float,
                 report: LoudnessReport) -> FileSummary:
    info = _RateAndChannels(done.sample_rate, done.channels)
    return dataclasses.replace(
        _summary(measured.source, done.plan, info, done.tally, measured.promised, job, seconds,
                 before=(measured.peak_dBFS, measured.true_peak_dBTP)),
        loudness=report)


@dataclass(frozen=True)
class _RateAndChannels:
    samplerate: int
    channels: int


def _rereadable_start(path: Path) -> int | None:
    """Where standard input's audio starts (None for a named file), or an
    AudioFileError for an input that cannot be read twice."""
    if _is_stdio(path):
        if not stat.S_ISREG(os.fstat(0).st_mode):
            raise AudioFileError(STDIN_NAME, _READ_ONCE)
        return os.lseek(0, 0, os.SEEK_CUR)
    with contextlib.suppress(OSError):  # a missing file is reported when it is opened
        mode = os.stat(path).st_mode
        if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
            raise AudioFileError(path, _READ_ONCE)
    return None


def _seek_stdin(start: int | None) -> None:
    if start is not None:
        os.lseek(0, start, os.SEEK_SET)


def read_back(path: Path, block_frames: int) -> tuple[float, float, LoudnessMeter]:
    """The sample peak (dBFS), true peak (dBTP) and loudness meter of a
    written file, read back from it."""
    with _open_input(path) as reader:
        decoder = Decoder(reader, str(path), block_frames)
        loudness, true_peak, peak = LoudnessMeter(reader.samplerate, reader.channels), TruePeakMeter(reader.samplerate), 0.0
        while len(raw := decoder.read(block_frames)):
            block = decoder.to_float(raw)
            loudness.add(block, axis=0)
            true_peak.add(block, axis=0)
            peak = max(peak, decoder.peak(raw))
    return dbfs(peak), true_peak.peak_dBTP(), loudness


# ---------------------------------------------------------------- progress


@contextlib.contextmanager
def progress_callback(progress: bool | Callable[[int], object], total: int,
                       source: str) -> Iterator[Callable[[int], object]]:
    if callable(progress):
        yield progress
        return
    if not progress:
        yield lambda frames: None
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError("tqdm is not installed: pip install 'nalo-limiter[cli]'") from error
    with tqdm(total=total, unit="frame", unit_scale=True, desc=Path(source).name, leave=False) as bar:
        yield bar.update


# ---------------------------------------------------------------- for the command


def available_subtypes() -> dict[str, str]:
    return dict(soundfile.available_subtypes())


def input_infos(paths: list[Path]) -> dict[Path, tuple[int, int]]:
    """(sample rate, frames) of every input that can be opened, found
    without reading stdin. Decoders' own warnings (mpg123's) are silenced
    here: the run prints them when it opens the file."""
    infos = {}
    with _quiet_stderr():
        for path in paths:
            if _is_stdio(path):
                continue
            with contextlib.suppress(Exception):  # reported by its run
                info = soundfile.info(os.fspath(path))
                infos[path] = (int(info.samplerate), int(info.frames))
    return infos


@contextlib.contextmanager
def _quiet_stderr() -> Iterator[None]:
    """File descriptor 2 on /dev/null: while the program has one thread."""
    with contextlib.suppress(Exception):
        sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
