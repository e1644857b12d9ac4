"""limit_file: one audio file limited block by block into another."""

from __future__ import annotations

import contextlib
import os
import tempfile
import time
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from nalo_limiter import NaloLimiter

from . import formats
from ._native import LimiterStream, TruePeakMeter
from .gains_file import GainsWriter, check_suffix
from .summary import FileSummary, Tally, dbfs

MISSING_CLI_PACKAGES = "soundfile is not installed: pip install 'nalo-limiter[cli]'"


class AudioFileError(Exception):
    """A file could not be limited; the message is one line naming the file."""

    def __init__(self, path: str | os.PathLike[str], message: str) -> None:
        super().__init__(f"{os.fspath(path)}: {message}")
        self.path = os.fspath(path)


class TruncatedInputWarning(UserWarning):
    """The input's header promises more frames than the file holds."""


def limit_file(
    input: str | os.PathLike[str],
    output: str | os.PathLike[str],
    *,
    threshold_dBFS: float = -1.0,
    attack_ms: float = 5.0,
    hold_ms: float = 15.0,
    release_ms: float = 40.0,
    subtype: str | None = None,
    gains: str | os.PathLike[str] | None = None,
    block_frames: int = 65536,
    progress: bool | Callable[[int], object] = False,
    truncated: str = "warn",
    true_peak: bool = False,
) -> FileSummary:
    """Limit an audio file of any length into another, block by block.

    Reads and writes through soundfile (libsndfile): WAV, FLAC, OGG (Vorbis,
    Opus), AIFF and the other formats it handles. The output's format follows
    its extension; its subtype (bit depth), sample rate and channels are the
    input's unless ``subtype`` says otherwise. Integer PCM is scaled to
    [-1, 1) and back exactly, and quantised so that reading the output back
    gives no sample above the ceiling; a float output holds exactly what
    ``nalo_limiter.limit`` returns for the decoded input. Lossy encoders
    (Vorbis, Opus, MP3) overshoot on their own: leave them a margin of 2 to
    3 dB. The output is written to a temporary file beside it and renamed
    only on success; the input is never overwritten.

    Args:
        input: The file to read.
        output: The file to write (replaced if it exists).
        threshold_dBFS, attack_ms, hold_ms, release_ms: The limiter's
            settings, as for ``nalo_limiter.NaloLimiter``.
        subtype: The output's soundfile subtype, e.g. ``"PCM_16"``.
        gains: A ``.npy`` or ``.csv`` file for the frame gains, or None.
        block_frames: Frames read and limited at a time.
        progress: True for a tqdm progress bar on stderr, or a function
            called with the number of frames of every block read.
        truncated: ``"warn"`` (a TruncatedInputWarning, then the frames the
            file holds are limited) or ``"error"`` for an input whose header
            promises more frames than the file holds.
        true_peak: Hold the ceiling for the true peak (dBTP) rather than for
            the samples, as ``LimiterStream(limiter, true_peak=True)`` does.

    Returns:
        A FileSummary: peaks, gain reduction, speed.

    Raises:
        AudioFileError: The input is missing, unreadable, corrupt,
            unsupported or truncated (with ``truncated="error"``), holds a
            NaN or infinite sample, or the output cannot be written or is
            the input itself.
        ValueError: Invalid settings, subtype, gains file name or block size.
    """
    try:
        import soundfile  # type: ignore[import-untyped]
    except ImportError as error:
        raise ImportError(MISSING_CLI_PACKAGES) from error
    if int(block_frames) < 1:
        raise ValueError(f"block_frames must be at least 1, got {block_frames}")
    if truncated not in ("warn", "error"):
        raise ValueError(f"truncated must be 'warn' or 'error', not {truncated!r}")
    source, target = Path(input), Path(output)
    gains_path = None if gains is None else Path(gains)
    if gains_path is not None:
        check_suffix(gains_path)

    started = time.perf_counter()
    with _open_input(soundfile, source) as reader:
        _refuse_overwriting_input(source, [target] + ([gains_path] if gains_path else []))
        limiter = NaloLimiter(reader.samplerate, threshold_dBFS, attack_ms, hold_ms, release_ms)
        fmt, sub = _output_type(soundfile, reader, target, subtype)
        promised = _check_truncation(source, reader, truncated)
        with _progress_callback(progress, reader.frames, source) as advance, _replacing(target) as out_tmp, (
            _replacing(gains_path) if gains_path else contextlib.nullcontext()
        ) as gains_tmp:
            gains_out = None if gains_path is None or gains_tmp is None else (gains_tmp, gains_path.suffix.lower())
            tally = _limit_blocks(soundfile, reader, source, limiter, (target, out_tmp, fmt, sub), gains_out,
                                  int(block_frames), advance, bool(true_peak))
            if tally.frames < reader.frames:  # the file ended early while being read
                promised = reader.frames
                _report_truncation(source, promised, tally.frames, truncated)
        channels, rate = reader.channels, reader.samplerate
    return FileSummary(
        input=str(source), output=str(target), format=fmt, subtype=sub, sample_rate=rate, channels=channels,
        frames=tally.frames, frames_promised=promised,
        peak_before_dBFS=dbfs(tally.peak_before), peak_after_dBFS=dbfs(tally.peak_after),
        true_peak_before_dBTP=tally.true_peak_before.peak_dBTP(),
        true_peak_after_dBTP=tally.true_peak_after.peak_dBTP(), true_peak_mode=bool(true_peak),
        max_reduction_dB=tally.max_reduction, mean_reduction_dB=tally.mean_reduction(),
        reduced_share=tally.reduced_share(), seconds=time.perf_counter() - started,
    )


# ---------------------------------------------------------------- files


@contextlib.contextmanager
def _open_input(soundfile: Any, source: Path) -> Iterator[Any]:
    try:
        os.stat(source)
        reader = soundfile.SoundFile(source)
    except OSError as error:
        raise AudioFileError(source, f"cannot read: {error.strerror or error}") from None
    except (RuntimeError, TypeError, ValueError) as error:  # libsndfile: corrupt or unsupported
        raise AudioFileError(source, f"cannot read: {_libsndfile_reason(error)}") from None
    with reader:
        yield reader


def _libsndfile_reason(error: Exception) -> str:
    """libsndfile's reason without soundfile's "Error opening 'path': " prefix."""
    text = str(error).strip()
    text = text.split(": ", 1)[1] if text.startswith("Error opening") and ": " in text else text
    return text.removeprefix("Error : ")


def _refuse_overwriting_input(source: Path, targets: list[Path]) -> None:
    for target in targets:
        if os.path.exists(target) and os.path.samefile(source, target):
            raise AudioFileError(target, "is the input file itself; choose another output")


def _output_type(soundfile: Any, reader: Any, target: Path, subtype: str | None) -> tuple[str, str]:
    try:
        fmt = formats.output_format(target, reader.format, soundfile.available_formats())
    except ValueError as error:
        raise AudioFileError(target, str(error)) from None
    if subtype is not None:
        sub = subtype.upper()
        if sub not in soundfile.available_subtypes():
            raise ValueError(f"unknown subtype {subtype!r}")
    else:
        sub = formats.output_subtype(target, fmt, reader.subtype, soundfile.check_format, soundfile.default_subtype)
    if not soundfile.check_format(fmt, sub):
        raise AudioFileError(target, f"a {fmt} file cannot hold {sub} samples")
    return fmt, sub


@contextlib.contextmanager
def _replacing(target: Path) -> Iterator[Path]:
    """A temporary file beside `target` that replaces it when the body
    succeeds and is removed otherwise (also on KeyboardInterrupt)."""
    try:
        handle, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent or ".")
    except OSError as error:
        raise AudioFileError(target, f"cannot write: {error.strerror or error}") from None
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        umask = os.umask(0)
        os.umask(umask)
        try:
            os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, target)
        except OSError as error:
            raise AudioFileError(target, f"cannot write: {error.strerror or error}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


# ---------------------------------------------------------------- truncation


def _check_truncation(source: Path, reader: Any, truncated: str) -> int | None:
    promised = formats.promised_frames(reader.extra_info, reader.frames, reader.channels, reader.subtype)
    if promised is not None:
        _report_truncation(source, promised, reader.frames, truncated)
    return promised


def _report_truncation(source: Path, promised: int, held: int, truncated: str) -> None:
    message = (f"truncated: its header promises {promised} frames, the file holds {held}" if promised >= 0
               else f"truncated: its header promises more than the {held} frames the file holds")
    if truncated == "error":
        raise AudioFileError(source, message)
    warnings.warn(TruncatedInputWarning(f"{source}: {message}"), stacklevel=4)


# ---------------------------------------------------------------- blocks


def _limit_blocks(soundfile: Any, reader: Any, source: Path, limiter: NaloLimiter,
                  out: tuple[Path, Path, str, str], gains: tuple[Path, str] | None, block_frames: int,
                  advance: Callable[[int], object], true_peak: bool) -> Tally:
    """Reads, limits and writes every block; returns the statistics.
    `out` is (target, temporary file, format, subtype); `gains` is
    (temporary file, suffix of the target) or None."""
    target, out_tmp, fmt, sub = out
    integer_in = reader.subtype in formats.INTEGER_BITS
    integer_out = formats.full_scale(sub) is not None
    scale_out = formats.full_scale(sub) or 1.0
    stream = LimiterStream(limiter, true_peak=true_peak)
    tally = Tally(TruePeakMeter(reader.samplerate), TruePeakMeter(reader.samplerate))
    floats = np.empty((block_frames, reader.channels), np.float32) if integer_in else None

    try:
        writer = soundfile.SoundFile(out_tmp, "w", reader.samplerate, reader.channels, sub, format=fmt)
    except (RuntimeError, TypeError, ValueError) as error:
        raise AudioFileError(target, f"cannot write: {_libsndfile_reason(error)}") from None
    with writer, contextlib.ExitStack() as stack:
        gains_out = None
        if gains is not None:
            gains_out = GainsWriter(stack.enter_context(open(gains[0], "wb")), gains[1], reader.frames)

        def emit(audio: np.ndarray, frame_gains: np.ndarray) -> None:
            if len(frame_gains) == 0:  # nothing final yet (or an empty file: no layout to write in)
                return
            if integer_out:
                ints, steps = formats.to_int(audio, sub, limiter.threshold)
                peak = steps / scale_out
                tally.true_peak_after.add(ints / 2.0**31, axis=0)  # what the file holds
            else:
                ints, peak = audio, float(np.max(np.abs(audio), initial=0.0))
                tally.true_peak_after.add(audio, axis=0)
            try:
                writer.write(ints)
            except (RuntimeError, OSError) as error:  # e.g. the disk is full
                raise AudioFileError(target, f"cannot write: {error}") from None
            tally.add_output(peak, frame_gains)
            if gains_out is not None:
                gains_out.write(frame_gains)

        while True:
            raw = _read_block(reader, source, block_frames, "int32" if integer_in else "float32", stream.frames_in)
            if len(raw) == 0:
                break
            block = formats.to_float(raw, floats[: len(raw)]) if floats is not None else raw
            tally.add_input(block)
            try:
                emit(*stream.process(block, axis=0))
            except ValueError:
                frame, channel = np.argwhere(~np.isfinite(block))[0]
                raise AudioFileError(
                    source, f"sample at frame {stream.frames_in + int(frame)} (channel {int(channel) + 1}) is not finite"
                ) from None
            tally.true_peak_before.add(block, axis=0)  # finite: the stream took it
            advance(len(raw))
        emit(*stream.flush())
        if gains_out is not None:
            gains_out.close()
    return tally


def _read_block(reader: Any, source: Path, frames: int, dtype: str, done: int) -> np.ndarray:
    try:
        block: np.ndarray = reader.read(frames, dtype=dtype, always_2d=True)
        return block
    except (RuntimeError, ValueError) as error:
        raise AudioFileError(
            source, f"cannot read past frame {done} of {reader.frames}: {_libsndfile_reason(error)}"
        ) from None


# ---------------------------------------------------------------- progress


@contextlib.contextmanager
def _progress_callback(progress: bool | Callable[[int], object], total: int,
                       source: Path) -> Iterator[Callable[[int], object]]:
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
    with tqdm(total=total, unit="frame", unit_scale=True, desc=source.name, leave=False) as bar:
        yield bar.update
