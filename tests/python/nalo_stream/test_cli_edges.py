"""The file command at its edges: codecs, pipes, signals, overwriting, the summary's figures."""

import io
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import loud

import nalo_limiter

sf = pytest.importorskip("soundfile")
from nalo_stream import AudioFileError, limit_file, true_peak  # noqa: E402
from nalo_stream.replacing import TEMPORARY_SUFFIX  # noqa: E402
from nalo_stream.summary import dbfs  # noqa: E402

FFMPEG = shutil.which("ffmpeg")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed")


def command(*args, cwd, **kw):
    kw.setdefault("capture_output", True)
    return subprocess.run([sys.executable, "-m", "nalo_stream", *map(str, args)], cwd=cwd, timeout=120, **kw)


def lines_of(stderr):
    return [line for line in stderr.decode().splitlines() if line.startswith("nalo-limiter")]


def names(directory):
    return sorted(p.name for p in directory.iterdir())


# ---------------------------------------------------------------- what the file holds


@settings(max_examples=25, deadline=None)
@given(st.floats(-20, 0), st.sampled_from(["ULAW", "ALAW"]), st.integers(0, 2**32 - 1))
def test_companded_outputs_hold_the_ceiling_and_keep_the_encoders_codes_below_it(tmp_path_factory, threshold,
                                                                                 subtype, seed):
    tmp = tmp_path_factory.mktemp("law")
    source = tmp / "in.wav"
    sf.write(source, np.clip(loud((3000, 2), seed, scale=0.8), -1, 1), 8000, subtype="PCM_16")
    summary = limit_file(source, tmp / "out.wav", threshold_dBFS=threshold, subtype=subtype)
    held = sf.read(tmp / "out.wav", dtype="float32")[0]
    limiter = nalo_limiter.NaloLimiter(8000, threshold)
    assert np.abs(held).max() <= min(limiter.threshold, float(np.float32(limiter.threshold)))
    assert summary.peak_after_dBFS == dbfs(float(np.abs(held).max()))  # what the file holds
    # Where libsndfile's own encoding of the limited samples keeps the ceiling, its codes are kept.
    limited = nalo_limiter.limit(sf.read(source, dtype="float32")[0], 8000, threshold, axis=0)[0]
    own = io.BytesIO()
    sf.write(own, limited, 8000, format="WAV", subtype=subtype)
    own_levels = sf.read(io.BytesIO(own.getvalue()), dtype="float32")[0]
    below = np.abs(own_levels) <= np.abs(held).max()
    np.testing.assert_array_equal(held[below], own_levels[below])


@settings(max_examples=15, deadline=None)
@given(st.sampled_from(["PCM_U8", "PCM_16", "PCM_24", "FLOAT"]), st.sampled_from([1.0, -1.0]),
       st.floats(0.3, 3.0), st.integers(0, 2**32 - 1))
def test_the_summary_figures_are_those_of_the_input_and_of_the_file_written(tmp_path_factory, subtype, sign, scale,
                                                                           seed):
    tmp = tmp_path_factory.mktemp("sum")
    data = np.abs(loud((5000, 2), seed, scale)) * -sign + np.float32(0.05 * sign)  # one sign dominates
    if subtype != "FLOAT":
        data = np.clip(data, -1, 1)
    sf.write(tmp / "in.wav", data, 44100, subtype=subtype)
    summary = limit_file(tmp / "in.wav", tmp / "out.wav", threshold_dBFS=-2.0, block_frames=999)
    before = sf.read(tmp / "in.wav", dtype="float32")[0]
    after = sf.read(tmp / "out.wav", dtype="float32")[0]
    gains = nalo_limiter.limit(before, 44100, -2.0, axis=0)[1]
    assert summary.peak_before_dBFS == dbfs(float(np.abs(before).max()))
    assert summary.peak_after_dBFS == dbfs(float(np.abs(after).max()))
    assert summary.true_peak_before_dBTP == true_peak(before, 44100, axis=0)
    assert summary.true_peak_after_dBTP == true_peak(after, 44100, axis=0)
    assert summary.reduced_share == np.mean(gains < 1)
    assert summary.audibly_reduced_share == np.mean(gains <= np.float32(10 ** -0.05))


@pytest.mark.parametrize("source, subtype, out, expected", [
    ("in.mp3", "MPEG_LAYER_III", "out.wav", "PCM_16"),   # decoded lossy audio: the format's usual subtype
    ("in.ogg", "VORBIS", "out.flac", "PCM_16"),
    ("in.mp3", "MPEG_LAYER_III", "out.mp3", "MPEG_LAYER_III"),
    ("in.wav", "PCM_U8", "out.flac", "PCM_S8"),         # 8-bit stays 8-bit where the format holds it
    ("in.aiff", "PCM_S8", "out.wav", "PCM_U8"),
    ("in.wav", "PCM_32", "out.flac", "PCM_24"),
    ("in.wav", "FLOAT", "out.flac", "PCM_24"),
])
def test_the_output_subtype_is_one_the_format_can_write(tmp_path, source, subtype, out, expected):
    sf.write(tmp_path / source, np.clip(loud((6000, 2), 3, 0.5), -1, 1), 48000, subtype=subtype)
    summary = limit_file(tmp_path / source, tmp_path / out)
    assert summary.subtype == sf.info(tmp_path / out).subtype == expected


def test_settings_are_checked_at_the_files_own_rate(tmp_path):
    sf.write(tmp_path / "in.wav", loud((4000, 1), 1, 0.5), 384000, subtype="FLOAT")
    assert command("in.wav", "out.wav", "--attack", "0.005", "-q", cwd=tmp_path).returncode == 0
    with pytest.raises(ValueError, match="rounds to zero samples at 8000 Hz"):
        sf.write(tmp_path / "low.wav", loud((4000, 1), 1, 0.5), 8000, subtype="FLOAT")
        limit_file(tmp_path / "low.wav", tmp_path / "out.wav", attack_ms=0.005)


# ---------------------------------------------------------------- inputs that end early, or never say their length


def ffmpeg(*args):
    subprocess.run([FFMPEG, "-loglevel", "error", "-y", *map(str, args)], check=True, timeout=60)


@needs_ffmpeg
@pytest.mark.parametrize("name, cut, strict, status, message", [
    ("stream.wav", False, True, 0, None),          # size unknown to its header: read to its end, no warning
    ("in.mp3", True, False, 0, "truncated: its header promises 48000 frames, the file holds"),
    ("in.mp3", True, True, 1, "truncated: its header promises 48000 frames"),
    ("in.flac", True, False, 1, "cannot read past frame"),  # a cut FLAC is damaged: refused, as documented
])
def test_inputs_that_end_early_are_found_and_streamed_ones_are_not(tmp_path, name, cut, strict, status, message):
    sf.write(tmp_path / "full.wav", np.clip(loud((48000, 2), 4, 0.5), -1, 1), 48000, subtype="PCM_16")
    if name == "stream.wav":
        with open(tmp_path / name, "wb") as pipe_like:
            subprocess.run([FFMPEG, "-loglevel", "error", "-i", tmp_path / "full.wav", "-f", "wav", "-"],
                           stdout=pipe_like, check=True, timeout=60)
    else:
        ffmpeg("-i", tmp_path / "full.wav", tmp_path / name)
    if cut:
        data = (tmp_path / name).read_bytes()
        (tmp_path / name).write_bytes(data[: len(data) // 2])
    result = command(name, "out.wav", "--gains", "g.npy", "-q", *(["--strict"] if strict else []), cwd=tmp_path)
    assert result.returncode == status and "Traceback" not in result.stderr.decode()
    assert [line for line in lines_of(result.stderr) if message is None or message in line] == lines_of(result.stderr)
    assert len(lines_of(result.stderr)) == (0 if message is None else 1)
    assert result.stderr.decode().count("Warning:") <= 1  # the decoder's own warnings, once
    if name == "stream.wav":  # and from a pipe, where libsndfile cannot see the file's end either
        with open(tmp_path / name, "rb") as stdin:
            piped = subprocess.run(f"cat | {sys.executable} -m nalo_stream - piped.wav --strict -q", shell=True,
                                   stdin=stdin, capture_output=True, cwd=tmp_path, timeout=60)
        assert piped.returncode == 0 and piped.stderr == b"" and sf.info(tmp_path / "piped.wav").frames == 48000
        (tmp_path / "piped.wav").unlink()
    if status == 0:
        frames = sf.info(tmp_path / "out.wav").frames
        assert len(np.load(tmp_path / "g.npy")) == frames  # the .npy header tells what was written
        assert frames == 48000 if name == "stream.wav" else 0 < frames < 48000
    else:
        assert names(tmp_path) == ["full.wav", name]


# ---------------------------------------------------------------- standard input and output


@pytest.mark.parametrize("name, fmt, piped_in", [pytest.param("in.flac", "FLAC", False, marks=needs_ffmpeg),
                                                 ("in.au", "AU", False), ("in.wav", "WAV", True)])
def test_a_dash_reads_stdin_or_writes_stdout_as_a_named_file_would(tmp_path, name, fmt, piped_in):
    sf.write(tmp_path / name, np.clip(loud((9000, 2), 5, 0.6), -1, 1), 44100, format=fmt, subtype="PCM_16")
    reference = f"ref{Path(name).suffix}"
    assert command(name, reference, "-q", cwd=tmp_path).returncode == 0
    source, out = ("-", "out" + reference[3:]) if piped_in else (name, "-")
    with open(tmp_path / name, "rb") as stdin:
        result = subprocess.run(f"{sys.executable} -m nalo_stream {source} {out} | cat > piped",
                                shell=True, stdin=stdin, stderr=subprocess.PIPE, cwd=tmp_path, timeout=60)
    assert result.returncode == 0 and b"Traceback" not in result.stderr, result.stderr
    written = tmp_path / ("piped" if out == "-" else out)
    np.testing.assert_array_equal(read_to_end(written), read_to_end(tmp_path / reference))
    if out == "-":
        assert b"-> <stdout>" in result.stderr  # the summary keeps off the audio


def read_to_end(path):
    """All frames. libsndfile cannot read the end of a FLAC stream of
    unknown length, which it writes to a pipe: ffmpeg decodes those."""
    if sf.info(path).format != "FLAC":
        return sf.read(path, dtype="int32")[0]
    wav = subprocess.run([FFMPEG, "-v", "error", "-i", path, "-c:a", "pcm_s32le", "-f", "wav", "-"],
                         capture_output=True, check=True, timeout=60).stdout
    return sf.read(io.BytesIO(wav), dtype="int32")[0]


def test_a_format_that_cannot_stream_to_a_pipe_is_one_line(tmp_path):
    sf.write(tmp_path / "in.wav", loud((1000, 1), 1, 0.5), 8000, subtype="FLOAT")
    result = subprocess.run(f"{sys.executable} -m nalo_stream in.wav - | cat > /dev/null", shell=True,
                            stderr=subprocess.PIPE, cwd=tmp_path, timeout=60)
    assert lines_of(result.stderr) == [
        "nalo-limiter: <stdout>: cannot write WAV to a pipe (it can take AU, FLAC, OGG, MP3); name an output "
        "file instead"]


# ---------------------------------------------------------------- pipes closed, signals, a full disk


@pytest.mark.parametrize("inputs", [1, 3])
def test_a_closed_stdout_changes_no_work(tmp_path, inputs):
    files = [f"in{i}.wav" for i in range(inputs)]
    for i, name in enumerate(files):
        sf.write(tmp_path / name, loud((30000, 2), i, 0.5), 48000, subtype="FLOAT")
    targets = ["--out-dir", "out"] if inputs > 1 else ["out.wav"]
    process = subprocess.Popen([sys.executable, "-m", "nalo_stream", *files, *targets, "--jobs", "1"][
        : None if inputs > 1 else -2], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # nobody reads the summary
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 0 and stderr == b""
    assert (names(tmp_path / "out") == files) if inputs > 1 else (tmp_path / "out.wav").exists()


@pytest.mark.parametrize("signum, batch", [(signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGINT, False),
                                           (signal.SIGTERM, True)])
def test_a_terminating_signal_leaves_nothing_and_exits_128_plus_its_number(tmp_path, signum, batch):
    # Long enough that the run cannot finish between the first temporary file
    # appearing and the signal arriving, even on a busy machine.
    sf.write(tmp_path / "in.wav", loud((4_800_000, 2), 1, 0.5), 48000, subtype="FLOAT")
    (tmp_path / "out.wav").write_bytes(b"old")
    args = (["in.wav", "--out-dir", "od"] if batch else ["in.wav", "out.wav", "--gains", "g.npy"])
    process = subprocess.Popen([sys.executable, "-m", "nalo_stream", *args, "--block", "64", "--true-peak", "-q"],
                               cwd=tmp_path, stderr=subprocess.PIPE)
    where = tmp_path / "od" if batch else tmp_path
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(TEMPORARY_SUFFIX) for p in where.glob(".*")) and time.monotonic() < deadline:
        time.sleep(0.01)
    temporaries = [p.name for p in where.glob(".*")]
    assert temporaries and all(t.startswith((".in.wav.",) if batch else (".out.wav.", ".g.npy.")) for t in temporaries)
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 128 + signum
    assert len(lines_of(stderr)) == 1 and "no partial output was left" in stderr.decode()
    assert names(tmp_path) == (["in.wav", "od", "out.wav"] if batch else ["in.wav", "out.wav"])
    assert (tmp_path / "out.wav").read_bytes() == b"old" and (not batch or names(tmp_path / "od") == [])


def limit_file_size(size):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


@pytest.mark.parametrize("out, subtype, gains, failing", [
    ("out.wav", "FLOAT", "g.npy", "out.wav"), ("out.wav", "PCM_24", "g.npy", "out.wav"),  # stored bytes written
    ("out.flac", "PCM_16", "g.csv", "g.csv"),
])
def test_a_full_disk_is_one_line_naming_the_file_and_leaves_nothing(tmp_path, out, subtype, gains, failing):
    sf.write(tmp_path / "in.wav", np.clip(loud((100000, 2), 1, 0.5), -1, 1), 48000, subtype="PCM_16")
    result = command("in.wav", out, "--gains", gains, "-q", "--subtype", subtype,
                     cwd=tmp_path, preexec_fn=limit_file_size(600000))
    assert result.returncode == 1 and "Traceback" not in result.stderr.decode()
    assert lines_of(result.stderr) == [f"nalo-limiter: {failing}: cannot write: File too large"]
    assert names(tmp_path) == ["in.wav"]


# ---------------------------------------------------------------- overwriting


def test_outputs_keep_an_existing_mode_write_through_symlinks_and_take_the_umask(tmp_path):
    sf.write(tmp_path / "in.wav", loud((2000, 1), 1, 0.5), 8000, subtype="FLOAT")
    (tmp_path / "locked.wav").write_bytes(b"old")
    os.chmod(tmp_path / "locked.wav", 0o444)
    (tmp_path / "real.wav").write_bytes(b"old")
    os.symlink("real.wav", tmp_path / "link.wav")
    long_name = "x" * 240 + ".wav"
    for out in ["locked.wav", "link.wav", "new.wav", long_name]:
        result = command("in.wav", out, "-q", cwd=tmp_path, preexec_fn=lambda: os.umask(0o027))
        assert result.returncode == 0, result.stderr
    assert (tmp_path / "locked.wav").stat().st_mode & 0o777 == 0o444
    assert (tmp_path / "link.wav").is_symlink() and sf.info(tmp_path / "real.wav").frames == 2000
    assert (tmp_path / "new.wav").stat().st_mode & 0o777 == 0o640
    assert names(tmp_path) == sorted(["in.wav", "link.wav", "locked.wav", "new.wav", "real.wav", long_name])


# ---------------------------------------------------------------- a batch, conventions


def test_a_batch_with_a_failing_input_limits_the_rest_and_says_how_many_failed(tmp_path):
    sf.write(tmp_path / "good.wav", loud((2000, 1), 1, 0.5), 8000, subtype="FLOAT")
    result = command("good.wav", "missing.wav", "--out-dir", "out", "-q", cwd=tmp_path)
    assert result.returncode == 1 and names(tmp_path / "out") == ["good.wav"]
    assert lines_of(result.stderr) == ["nalo-limiter: missing.wav: cannot read: No such file or directory",
                                       "nalo-limiter: 1 of 2 files failed"]


def test_version_help_and_the_summary_of_short_and_lossy_files(tmp_path):
    import nalo_stream

    assert command("--version", cwd=tmp_path).stdout.decode() == f"nalo-limiter {nalo_stream.__version__}\n"
    assert "exit status:" in command("--help", cwd=tmp_path).stdout.decode()
    sf.write(tmp_path / "in.wav", loud((480, 1), 1, 0.5), 48000, subtype="FLOAT")
    summary = limit_file(tmp_path / "in.wav", tmp_path / "out.ogg")
    lines = summary.lines()
    assert "dBFS after, before encoding" in lines[1] and "dBTP after, before encoding" in lines[2]
    from dataclasses import replace
    assert replace(summary, seconds=0.032).lines()[-1].endswith("s, 0.31x realtime")
    assert replace(summary, frames=48000 * 3, seconds=0.01).lines()[-1].endswith("s, 300x realtime")
    with pytest.raises(AudioFileError, match="is the input file itself"):
        limit_file(tmp_path / "in.wav", tmp_path / "in.wav")
