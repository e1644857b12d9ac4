"""The loudness job: target reached, ceiling held in the file, album, refusals, verification, dither."""

import subprocess
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
from nalo_stream import LoudnessTargetError, limit_album, limit_file, loudness, true_peak  # noqa: E402


def music(seconds=8.0, rate=48000, seed=0, level_db=-6.0):
    """Stereo (frames, 2) float32: decaying notes over a bass, with drum-like bursts whose peaks stand far
    above the loudness, so that raising it takes heavy limiting."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * rate)) / rate
    notes = 220.0 * 2 ** (rng.integers(0, 24, size=int(seconds * 4) + 1) / 12)
    melody = np.sin(2 * np.pi * np.cumsum(notes[(t * 4).astype(int)]) / rate) * np.exp(-5 * ((t * 4) % 1))
    hits = rng.standard_normal(t.size) * np.exp(-40 * ((t * 2) % 1)) * 1.5
    left, right = melody + 0.4 * np.sin(2 * np.pi * 55 * t) + hits, 0.7 * melody + hits
    audio = np.stack([left, right], axis=1)
    return (audio / np.abs(audio).max() * 10 ** (level_db / 20)).astype(np.float32)


def command(*args, cwd, **kw):
    return subprocess.run([sys.executable, "-m", "nalo_stream", *map(str, args)], cwd=cwd, capture_output=True,
                          timeout=120, **kw)


def read(path):
    audio, rate = sf.read(path, dtype="float64", always_2d=True)
    return audio, rate


@pytest.mark.parametrize("subtype", ["PCM_16", "PCM_24", "FLOAT"])
@pytest.mark.parametrize("true_peak_mode", [False, True])
@pytest.mark.parametrize("level_db, target, threshold", [
    (-1.0, -14.0, -1.0),    # heavy limiting: about 10 dB of gain on peaks at the ceiling
    (-20.0, -11.0, -0.5),   # very heavy: 25 dB of gain, near the most the ceiling allows
    (-0.1, -23.0, -1.0),    # brought down: nothing to limit
    (-6.0, -16.0, -2.1),    # a ceiling whose 32-bit float lies above it
])
def test_the_target_is_reached_and_the_file_holds_the_ceiling(tmp_path, subtype, true_peak_mode, level_db, target,
                                                              threshold):
    rate = 44100 if subtype == "PCM_16" else 48000
    sf.write(tmp_path / "in.wav", music(rate=rate, seed=int(-level_db), level_db=level_db), rate, subtype=subtype)
    summary = limit_file(tmp_path / "in.wav", tmp_path / "out.wav", loudness=target, threshold_dBFS=threshold,
                         true_peak=true_peak_mode, block_frames=10000)
    info = sf.info(tmp_path / "out.wav")
    assert (info.samplerate, info.subtype, info.channels) == (rate, subtype, 2)
    audio, _ = read(tmp_path / "out.wav")
    assert abs(loudness(audio, rate, axis=0) - target) <= 0.1
    assert np.abs(audio).max() <= 10 ** (threshold / 20)
    if true_peak_mode:
        assert true_peak(audio, rate, axis=0) <= threshold
    assert summary.loudness.after_LUFS == pytest.approx(loudness(audio, rate, axis=0), abs=1e-9)
    assert summary.true_peak_after_dBTP == pytest.approx(true_peak(audio, rate, axis=0), abs=1e-6)


def test_an_album_keeps_the_relative_levels_and_reaches_the_target_together(tmp_path):
    levels = [-1.0, -14.0, -22.0]
    for i, level in enumerate(levels):
        sf.write(tmp_path / f"in{i}.wav", music(seconds=5 + i, seed=i, level_db=level), 48000, subtype="PCM_24")
    inputs = [tmp_path / f"in{i}.wav" for i in range(3)]
    outputs = [tmp_path / f"out{i}.wav" for i in range(3)]
    summaries = limit_album(inputs, outputs, loudness=-20.0, true_peak=True, workers=2)
    before = np.array([loudness(read(p)[0], 48000, axis=0) for p in inputs])
    after = np.array([loudness(read(p)[0], 48000, axis=0) for p in outputs])
    gain = summaries[0].loudness.gain_dB
    assert all(s.loudness.gain_dB == gain for s in summaries) and gain > 0
    # The loudest is limited; the others rise by the one gain, keeping their levels relative to each other.
    unlimited = np.array([s.max_reduction_dB == 0 for s in summaries])
    assert list(unlimited) == [False, True, True]
    np.testing.assert_allclose((after - before)[unlimited], gain, atol=0.01)
    joint = np.concatenate([read(p)[0] for p in outputs])  # the gated windows of all, as one signal
    assert abs(loudness(joint, 48000, axis=0) - -20.0) <= 0.1 + 0.01  # the joins add a few windows
    assert abs(summaries[0].loudness.album_after_LUFS - -20.0) <= 0.1


@pytest.mark.parametrize("args, status, message, kept", [
    (["in.wav", "out.wav", "--loudness", "-14", "--max-reduction", "2"], 3,
     "more than the 2 dB allowed; nothing was written", True),
    (["in.wav", "out.wav", "--loudness", "0", "--true-peak"], 3, "cannot reach 0 LUFS under the -1 dBTP ceiling", True),
    (["silent.wav", "out.wav", "--loudness", "-14"], 3, "is silent", True),
    (["in.wav", "out.wav", "--max-reduction", "2"], 2, "--max-reduction goes with --loudness", True),
    (["in.wav", "out.wav", "--loudness", "3"], 2, "--loudness must be from -70 to 0 LUFS", True),
    (["in.wav", "out.wav", "--dither", "--seed", "-1"], 2, "--seed must be from 0", True),
    (["in.wav", "out.ogg", "--loudness", "-14", "--true-peak", "--verify"], 1,
     "out.ogg: read back, its true peak", False),
])
def test_unreachable_targets_and_failed_checks_have_their_exit_status(tmp_path, args, status, message, kept):
    sf.write(tmp_path / "in.wav", music(seconds=4, level_db=-1.0), 48000, subtype="PCM_24")
    sf.write(tmp_path / "silent.wav", np.zeros((48000, 2)), 48000, subtype="PCM_16")
    out = tmp_path / args[1]
    out.write_bytes(b"old")
    result = command(*args, "-q", cwd=tmp_path)
    lines = [line for line in result.stderr.decode().splitlines() if line.startswith("nalo-limiter")]
    assert result.returncode == status and len(lines) == 1 and message in lines[0], result.stderr
    assert (out.read_bytes() == b"old") == kept
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["in.wav", "silent.wav", args[1]])


def test_a_piped_input_is_refused_and_a_redirected_file_is_read_twice(tmp_path):
    sf.write(tmp_path / "in.wav", music(seconds=3, level_db=-10.0), 48000, subtype="PCM_16")
    piped = subprocess.run(f"cat in.wav | {sys.executable} -m nalo_stream - out.wav --loudness -14", shell=True,
                           capture_output=True, cwd=tmp_path, timeout=60)
    assert piped.returncode == 1 and piped.stderr.decode() == (
        "nalo-limiter: <stdin>: cannot be read twice (a pipe): a loudness target needs the input measured first; "
        "name a file\n")
    assert not (tmp_path / "out.wav").exists()
    with open(tmp_path / "in.wav", "rb") as stdin:
        redirected = command("-", "out.wav", "--loudness", "-14", "-q", cwd=tmp_path, stdin=stdin)
    assert redirected.returncode == 0, redirected.stderr
    assert abs(loudness(read(tmp_path / "out.wav")[0], 48000, axis=0) + 14) <= 0.1


@pytest.mark.parametrize("subtype", ["PCM_16", "PCM_U8"])
def test_dither_is_reproducible_whatever_the_blocks_and_keeps_the_ceiling(tmp_path, subtype):
    sf.write(tmp_path / "in.wav", music(seconds=3, level_db=-2.0), 48000, subtype="FLOAT")
    outputs = {}
    for name, block, seed in [("a", 65536, 5), ("b", 777, 5), ("c", 65536, 6)]:
        limit_file(tmp_path / "in.wav", tmp_path / f"{name}.wav", subtype=subtype, dither=True, seed=seed,
                   true_peak=True, block_frames=block, verify=True)
        outputs[name] = sf.read(tmp_path / f"{name}.wav", dtype="int32")[0]
    limit_file(tmp_path / "in.wav", tmp_path / "plain.wav", subtype=subtype, true_peak=True, verify=True)
    plain = sf.read(tmp_path / "plain.wav", dtype="int32")[0]
    np.testing.assert_array_equal(outputs["a"], outputs["b"])
    assert not np.array_equal(outputs["a"], outputs["c"]) and not np.array_equal(outputs["a"], plain)
    step = 2 ** (32 - (8 if subtype == "PCM_U8" else 16))
    error = (outputs["a"].astype(np.int64) - plain) // step  # dither moves a sample by at most one step or two
    assert np.abs(error).max() <= 2 and 0.3 < np.mean(error != 0) < 0.9
    for audio in outputs.values():
        floats = audio / 2.0**31
        assert np.abs(floats).max() <= 10 ** (-1 / 20) and true_peak(floats, 48000, axis=0) <= -1.0


def test_the_library_raises_for_an_unreachable_target_and_writes_nothing(tmp_path):
    sf.write(tmp_path / "in.wav", music(seconds=3, level_db=-1.0), 48000, subtype="PCM_24")
    with pytest.raises(LoudnessTargetError, match="more than the 1 dB allowed"):
        limit_file(tmp_path / "in.wav", tmp_path / "out.wav", loudness=-10.0, max_reduction_dB=1.0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
