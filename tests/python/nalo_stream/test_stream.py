"""nalo_stream.LimiterStream: a signal limited in blocks equals the
whole-signal call bit for bit, and bad blocks change nothing."""

import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import assert_same_result, loud

import nalo_limiter
from nalo_stream import LimiterStream

LAYOUTS = {"mono": (None, -1), "channels_frames": (0, -1), "frames_channels": (1, 0)}


def signal(layout, channels, frames, dtype, seed):
    """A loud signal in `layout` (1-D, (channels, frames) or (frames, channels))."""
    data = loud((channels, frames), seed)
    if layout == "mono":
        data = data[0]
    elif layout == "frames_channels":
        data = data.T
    return data.astype(dtype) if dtype != np.int16 else (data * 8000).astype(np.int16)


def split(data, cuts, frame_axis):
    edges = [0, *sorted(cuts), data.shape[frame_axis]]
    return [np.take(data, np.arange(a, b), axis=frame_axis) for a, b in zip(edges, edges[1:])]


def run_stream(stream, blocks, axis):
    pieces = [stream.process(b, axis=axis) for b in blocks]
    pieces.append(stream.flush())
    return pieces


@settings(max_examples=60, deadline=None)
@given(
    layout=st.sampled_from(sorted(LAYOUTS)),
    channels=st.integers(1, 3),
    frames=st.integers(0, 3000),
    dtype=st.sampled_from([np.float32, np.float64, np.int16]),
    rate=st.sampled_from([8000, 44100, 48000]),
    attack=st.floats(0.5, 20),
    hold=st.floats(0, 30),
    release=st.floats(0, 100),
    threshold=st.floats(-20, 0),
    cuts=st.lists(st.integers(0, 3000), max_size=8),
    seed=st.integers(0, 2**16),
)
def test_stream_equals_the_whole_signal_for_every_split(layout, channels, frames, dtype, rate, attack, hold,
                                                         release, threshold, cuts, seed):
    limiter = nalo_limiter.NaloLimiter(rate, threshold, attack, hold, release)
    channels = 1 if layout == "mono" else channels
    data = signal(layout, channels, frames, dtype, seed)
    axis = LAYOUTS[layout][1]
    frame_axis = 0 if layout != "channels_frames" else 1
    stream = LimiterStream(limiter)
    assert stream.latency == limiter.lookahead_samples

    pieces = []
    for block in split(data, [c % (frames + 1) for c in cuts], frame_axis):
        pieces.append(stream.process(block, axis=axis))
        assert stream.frames_out == max(0, stream.frames_in - stream.latency)
    pieces.append(stream.flush())
    assert stream.frames_in == stream.frames_out == frames

    got = tuple(np.concatenate([p[i] for p in pieces], axis=frame_axis if i == 0 else 0) for i in (0, 1))
    assert_same_result(got, limiter.process(data, axis=axis))


@pytest.mark.parametrize("layout, nan_at, index, frame", [
    ("mono", (700,), 700, 1700),
    ("channels_frames", (1, 650), 1650, 1650),  # (2, 1000): channel 1, frame 650
    ("frames_channels", (650, 1), 1301, 1650),  # (1000, 2): frame 650, channel 1
])
def test_a_non_finite_sample_is_named_and_changes_nothing(limiter, layout, nan_at, index, frame):
    channels = 1 if layout == "mono" else 2
    data = signal(layout, channels, 3000, np.float32, 1)
    axis = LAYOUTS[layout][1]
    frame_axis = 0 if layout != "channels_frames" else 1
    first, second, third = split(data, [1000, 2000], frame_axis)
    stream = LimiterStream(limiter)
    pieces = [stream.process(first, axis=axis)]
    bad = second.copy()
    bad[nan_at] = np.inf
    with pytest.raises(ValueError, match=rf"^input sample at flat index {index} is not finite "
                                         rf"\(frame {frame} of the stream\)$"):
        stream.process(bad, axis=axis)
    assert stream.frames_in == 1000
    pieces += run_stream(stream, [second, third], axis)  # the repaired block goes through
    got = tuple(np.concatenate([p[i] for p in pieces], axis=frame_axis if i == 0 else 0) for i in (0, 1))
    assert_same_result(got, limiter.process(data, axis=axis))


@pytest.mark.parametrize("block, axis, message", [
    (np.zeros((3, 10), np.float32), -1, "block has 3 channels, the stream has 2"),
    (np.zeros((10, 2), np.float32), 0, r"block layout \(frames, channels\) differs from the stream's"),
    (np.zeros((2, 0), np.float32), 0, "the channel dimension must not be empty"),
    (np.zeros((2, 2, 2), np.float32), -1, "audio must be a 1D or 2D array, got 3 dimensions"),
])
def test_a_block_unlike_the_first_is_refused(limiter, block, axis, message):
    stream = LimiterStream(limiter)
    stream.process(np.zeros((2, 0), np.float32))  # an empty block fixes nothing
    stream.process(np.zeros((2, 500), np.float32))
    with pytest.raises(ValueError, match=message):
        stream.process(block, axis=axis)
    assert (stream.frames_in, stream.frames_out) == (500, 500 - limiter.lookahead_samples)


def test_a_finished_stream_refuses_more_and_other_objects_are_no_limiter(limiter):
    stream = LimiterStream(limiter)
    audio, gains = stream.flush()
    assert audio.shape == gains.shape == (0,)
    for call in (lambda: stream.process([0.5]), stream.flush):
        with pytest.raises(RuntimeError, match="after flush"):
            call()
    with pytest.raises(TypeError, match="must be nalo_limiter.NaloLimiter, not float"):
        LimiterStream(48000.0)


def test_two_threads_on_one_stream_never_corrupt_it(limiter):
    block = loud((2, 200_000), 5)
    stream = LimiterStream(limiter)
    accepted, refused = [], []
    start = threading.Barrier(2)

    def hammer():
        start.wait()
        for _ in range(200):
            try:
                accepted.append(stream.process(block))
            except RuntimeError as error:
                refused.append(str(error))
            if refused and len(accepted) >= 4:
                return

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert refused and set(refused) == {"Already borrowed"}  # only possible with the GIL released
    accepted.append(stream.flush())
    got = (np.concatenate([a for a, _ in accepted], axis=1), np.concatenate([g for _, g in accepted]))
    assert_same_result(got, limiter.process(np.tile(block, len(accepted) - 1)))
