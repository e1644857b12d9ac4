"""The nalo-limiter command and nalo_stream.limit_file on generated files."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import loud

import nalo_limiter

sf = pytest.importorskip("soundfile")
from nalo_stream import AudioFileError, limit_file  # noqa: E402
from nalo_stream.formats import to_int  # noqa: E402

CEILING_DB = -3.0
CEILING = 10 ** (CEILING_DB / 20)
BITS = {"PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def nearest_steps(samples, subtype, threshold):
    """The integer steps `samples` must be written as: the nearest, but none
    above the largest float32 at or below the threshold."""
    scale = 2.0 ** (BITS[subtype] - 1)
    ceiling = np.float32(threshold)
    if float(ceiling) > threshold:
        ceiling = np.nextafter(ceiling, np.float32(0))
    top = np.floor(float(ceiling) * scale)
    return np.clip(np.rint(np.asarray(samples, np.float64) * scale), -top, min(top, scale - 1))


def write(path, frames=20000, channels=2, rate=48000, fmt="WAV", subtype="FLOAT", seed=0):
    frames = 0 if path.name.startswith("empty") else frames
    data = loud((frames, channels), seed, scale=0.6)
    if subtype != "FLOAT":
        data = np.clip(data, -1, 1)
    sf.write(path, data, rate, format=fmt, subtype=subtype)
    return path


def command(*args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "nalo_stream", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=120)


@pytest.mark.parametrize("name, fmt, subtype, channels, rate", [
    ("pcm16.wav", "WAV", "PCM_16", 2, 44100),
    ("pcm24.wav", "WAVEX", "PCM_24", 3, 48000),
    ("pcm32.wav", "WAV", "PCM_32", 1, 22050),
    ("u8.wav", "WAV", "PCM_U8", 2, 8000),
    ("float.wav", "WAV", "FLOAT", 2, 48000),
    ("double.wav", "WAV", "DOUBLE", 1, 48000),
    ("x.flac", "FLAC", "PCM_24", 2, 96000),
    ("x.aiff", "AIFF", "PCM_16", 2, 44100),
    ("x.ogg", "OGG", "VORBIS", 2, 48000),
    ("empty.wav", "WAV", "PCM_16", 2, 48000),
    ("x.opus", "OGG", "OPUS", 1, 48000),
])
def test_the_file_keeps_its_type_and_the_ceiling_holds(tmp_path, name, fmt, subtype, channels, rate):
    source = write(tmp_path / name, channels=channels, rate=rate, fmt=fmt, subtype=subtype)
    target = tmp_path / f"out_{name}"
    gains = tmp_path / "gains.npy"
    summary = limit_file(source, target, threshold_dBFS=CEILING_DB, gains=gains, block_frames=4096)
    info, before = sf.info(target), sf.info(source)
    assert (info.format, info.subtype, info.samplerate, info.channels) == (fmt, subtype, rate, channels)
    back, _ = sf.read(target, dtype="float64", always_2d=True)
    decoded, _ = sf.read(source, dtype="float32", always_2d=True)
    expected, expected_gains = nalo_limiter.limit(decoded, rate, CEILING_DB, axis=0)
    np.testing.assert_array_equal(np.load(gains), expected_gains)
    assert summary.frames == before.frames and summary.peak_after_dBFS <= CEILING_DB
    if subtype in ("VORBIS", "OPUS"):
        return  # lossy: the encoder adds its own overshoot
    assert len(back) == before.frames and np.abs(back).max(initial=0) <= CEILING
    assert np.abs(sf.read(target, dtype="float32")[0]).max(initial=0) <= np.float32(CEILING)
    if subtype == "FLOAT":
        np.testing.assert_array_equal(back.astype(np.float32), expected)  # bit for bit
    elif subtype == "DOUBLE":
        np.testing.assert_array_equal(back, expected)
    else:  # limit()'s result rounded to the nearest step, exactly
        steps = nearest_steps(expected, subtype, nalo_limiter.NaloLimiter(rate, CEILING_DB).threshold)
        np.testing.assert_array_equal(back * 2.0 ** (BITS[subtype] - 1), steps)


@given(st.floats(-60, 0), st.sampled_from(["PCM_U8", "PCM_16", "PCM_24", "PCM_32"]))
def test_quantisation_never_rounds_over_the_ceiling(threshold_db, subtype):
    limiter = nalo_limiter.NaloLimiter(48000, threshold_db)
    ceiling = np.float32(limiter.threshold)  # the limiter's own clamp value
    near = np.array([ceiling, np.nextafter(ceiling, np.float32(0)), -ceiling, 0.5 * ceiling], np.float32)
    ints, _ = to_int(near[:, None], subtype, limiter.threshold)
    back = ints.astype(np.float64) / 2**31  # libsndfile keeps the top bits of these
    assert np.abs(back).max() <= min(limiter.threshold, float(ceiling))
    np.testing.assert_array_equal(back * 2.0 ** (BITS[subtype] - 1), nearest_steps(near[:, None], subtype,
                                                                                  limiter.threshold))


def test_the_command_writes_gains_and_a_summary_and_several_files(tmp_path):
    a, b = write(tmp_path / "a.wav", seed=1), write(tmp_path / "b.flac", fmt="FLAC", subtype="PCM_16", seed=2)
    result = command("a.wav", "out.wav", "--threshold", "-3", "--gains", "g.csv", "--block", "1000", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "dBFS before" in result.stdout and "x realtime" in result.stdout and result.stderr == ""
    csv = np.loadtxt(tmp_path / "g.csv", delimiter=",", skiprows=1)
    decoded, rate = sf.read(a, dtype="float32")
    np.testing.assert_array_equal(csv[:, 1].astype(np.float32), nalo_limiter.limit(decoded, rate, -3.0, axis=0)[1])
    result = command(a, b, "--out-dir", tmp_path / "out", "--jobs", "2", "-q", cwd=tmp_path)
    assert result.returncode == 0 and result.stdout == "" and result.stderr == ""
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.wav", "b.flac"]


def truncated(path):
    data = write(path, frames=10000).read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


@pytest.mark.parametrize("prepare, args, status, message", [
    (lambda d: None, ["missing.wav", "out.wav"], 1, "missing.wav: cannot read: No such file"),
    (lambda d: (d / "bad.wav").write_bytes(b"RIFF\0\0\0\0WAVEjunk" * 9), ["bad.wav", "out.wav"], 1,
     "bad.wav: cannot read:"),
    (lambda d: (d / "text.wav").write_text("not audio"), ["text.wav", "out.wav"], 1, "text.wav: cannot read:"),
    (lambda d: write(d / "in.wav"), ["in.wav", "out.xyz"], 1, "out.xyz: unsupported output format"),
    (lambda d: sf.write(d / "nan.wav", np.pad([[0.5, np.nan]], ((700, 9), (0, 0))), 8000, subtype="FLOAT"),
     ["nan.wav", "out.wav"], 1, "nan.wav: sample at frame 700 (channel 2) is not finite"),
    (lambda d: write(d / "in.wav"), ["in.wav", "no/such/dir/out.wav"], 1, "out.wav: cannot write:"),
    (lambda d: write(d / "in.wav"), ["in.wav", "in.wav"], 1, "in.wav: is the input file itself"),
    (lambda d: truncated(d / "in.wav"), ["in.wav", "out.wav", "--strict"], 1,
     "in.wav: truncated: its header promises 10000 frames, the file holds 4994"),
    (lambda d: truncated(d / "in.wav"), ["in.wav", "out.wav"], 0,
     "warning: in.wav: truncated: its header promises 10000 frames, the file holds 4994"),
    (lambda d: write(d / "in.wav"), ["in.wav"], 2, "give IN and OUT"),
    (lambda d: write(d / "in.wav"), ["in.wav", "out.wav", "--threshold", "1"], 2, "threshold_dBFS must be"),
    (lambda d: write(d / "in.wav"), ["in.wav", "out.wav", "--hold", "1e9"], 2, "hold_ms=1e+09 are too long at 48000"),
    (lambda d: write(d / "in.wav"), ["in.wav", "out.wav", "--block", "99999999999"], 2, "--block must be from 1 to"),
    (lambda d: (d / "dir.wav").mkdir(), ["dir.wav", "out.wav"], 1, "dir.wav: cannot read: Is a directory"),
    (lambda d: write(d / "in.wav", channels=64, subtype="PCM_16"), ["in.wav", "out.flac"], 1,
     "out.flac: cannot write: the FLAC format cannot hold 64 channels"),
    (lambda d: write(d / "in.wav", channels=6, rate=44100, subtype="PCM_16"), ["in.wav", "out.mp3"], 1,
     "out.mp3: cannot write: the MP3 format cannot hold 6 channels"),
    (lambda d: write(d / "in.wav"), ["in.wav", "--out-dir", "in.wav"], 1, "in.wav: is not a directory"),
    (lambda d: sf.write(d / "big.wav", np.pad([[1e300]], ((5, 0), (0, 0))), 8000, subtype="DOUBLE"),
     ["big.wav", "out.wav"], 1, "big.wav: sample at frame 5 (channel 1) is 1e+300, beyond the range of 32-bit float"),
    (lambda d: sf.write(d / "nan.wav", np.pad([[0.5, np.nan]], ((2500, 9), (0, 0))), 8000, subtype="FLOAT"),
     ["nan.wav", "out.wav", "--block", "1000"], 1, "nan.wav: sample at frame 2500 (channel 2) is not finite"),
    (lambda d: sf.write(d / "nan.wav", np.pad([[0.5, np.nan]], ((2500, 3000), (0, 0))), 8000, subtype="FLOAT"),
     ["nan.wav", "out.wav", "--block", "1000"], 1, "nan.wav: sample at frame 2500 (channel 2) is not finite"),
    (lambda d: write(d / "empty.wav", subtype="PCM_16"), ["empty.wav", "out.flac"], 1,
     "out.flac: cannot write an empty FLAC file"),
    (lambda d: [write(d / "in.wav"), (d / "out.wav").mkdir()], ["in.wav", "out.wav", "--gains", "g.npy"], 1,
     "out.wav: cannot write: Is a directory"),  # and no gains file either
    (lambda d: [write(d / "in.wav"), (d / "a").mkdir(), write(d / "a" / "in.wav")],
     ["in.wav", "a/in.wav", "--out-dir", "o"], 2, "two inputs would be written to o/in.wav"),
    (lambda d: write(d / "in.wav"), ["-", "--out-dir", "o"], 2, "'-' (standard input) has no name"),
])
def test_failures_are_one_line_and_leave_no_output(tmp_path, prepare, args, status, message):
    prepare(tmp_path)
    before = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.iterdir()}
    result = command(*args, cwd=tmp_path)
    assert result.returncode == status
    lines = [line for line in result.stderr.splitlines() if not line.startswith("usage") and line.startswith("nal")]
    assert len(lines) == 1 and message in lines[0] and "Traceback" not in result.stderr, result.stderr
    assert all(data is None or p.read_bytes() == data for p, data in before.items())  # inputs untouched
    created = {p.name for p in tmp_path.iterdir()} - {p.name for p in before}
    assert created == ({"out.wav"} if status == 0 else set())


@pytest.mark.parametrize("name, fmt, subtype", [
    ("x.wav", "WAVEX", "PCM_24"), ("x.rf64", "RF64", "PCM_16"), ("x.w64", "W64", "FLOAT"), ("x.aiff", "AIFF", "PCM_16"),
])
def test_a_truncated_file_of_each_family_is_reported_with_both_counts(tmp_path, name, fmt, subtype):
    data = write(tmp_path / name, frames=10000, fmt=fmt, subtype=subtype).read_bytes()
    (tmp_path / name).write_bytes(data[: len(data) // 2])
    with pytest.warns(UserWarning, match="its header promises 10000 frames, the file holds"):
        summary = limit_file(tmp_path / name, tmp_path / f"out_{name}")
    assert summary.frames_promised == 10000 and 4000 < summary.frames < 5000
    with pytest.raises(AudioFileError, match="truncated"):
        limit_file(tmp_path / name, tmp_path / f"out_{name}", truncated="error")


def test_an_interrupted_run_leaves_no_output_and_keeps_the_old_one(tmp_path):
    source = write(tmp_path / "in.wav", frames=50000)
    (tmp_path / "out.wav").write_bytes(b"old")

    def interrupt(frames):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        limit_file(source, tmp_path / "out.wav", gains=tmp_path / "g.npy", block_frames=1000, progress=interrupt)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav", "out.wav"]
    assert (tmp_path / "out.wav").read_bytes() == b"old"
    with pytest.raises(AudioFileError, match="is the input file itself"):
        limit_file(source, source)


def test_without_soundfile_the_command_says_what_to_install(tmp_path):
    blocker = tmp_path / "blocked" / "soundfile"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('no soundfile here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(blocker.parent),
                                                                   os.environ.get("PYTHONPATH")])))
    result = command("a.wav", "b.wav", cwd=tmp_path, env=env)
    assert result.returncode == 1 and result.stderr.strip() == \
        "nalo-limiter: needs soundfile and tqdm: pip install 'nalo-limiter[cli]'"
