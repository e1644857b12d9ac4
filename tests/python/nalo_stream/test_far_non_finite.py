"""A NaN or infinity far into the data (past true_peak()'s first chunk of
16,384 frames, in a later tile of an axis=0 limit() call, deep in a stream's
block) is named at its own index, and frame, with the interpreter lock held
again."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import nalo_limiter
from nalo_stream import LimiterStream, TruePeakMeter, true_peak

LIMITER = nalo_limiter.NaloLimiter(48000, -1.0)


def measure(audio: np.ndarray, axis: int) -> None:
    meter = TruePeakMeter(48000)
    meter.add(audio, axis=axis)


def stream(true_peak_mode: bool):
    def process(audio: np.ndarray, axis: int) -> None:
        s = LimiterStream(LIMITER, true_peak=true_peak_mode)
        first = audio[:1000] if axis == 0 else audio[:, :1000]
        s.process(np.zeros_like(first), axis=axis)  # the block is named at frame 1000 + its own frame
        s.process(audio, axis=axis)
    return process


CALLS = {
    "true_peak": (lambda audio, axis: true_peak(audio, 48000, axis=axis), 70_000, ""),
    "TruePeakMeter.add": (measure, 40_000, ""),
    # (frames, channels) calls run in tiles of 2**17 samples
    "limit": (lambda audio, axis: nalo_limiter.limit(audio, 48000, -1.0, axis=axis), 300_000, ""),
    "LimiterStream.process": (stream(False), 40_000, " (frame {frame} of the stream)"),
    "LimiterStream.process, true peak": (stream(True), 40_000, " (frame {frame} of the stream)"),
}


@pytest.mark.parametrize("call", sorted(CALLS))
@settings(max_examples=15, deadline=None)
@given(data=st.data(), channels=st.integers(1, 3), frames_first=st.booleans(),
       bad=st.sampled_from([np.nan, np.inf, -np.inf]))
def test_a_non_finite_sample_far_into_the_data_is_named_where_it_is(call, data, channels, frames_first, bad):
    run, most, suffix = CALLS[call]
    if call == "limit":
        frames_first = True
    frames = data.draw(st.integers(1001, most), label="frames")
    frame = data.draw(st.integers(1000, frames - 1), label="frame")  # past the stream's first block
    channel = data.draw(st.integers(0, channels - 1), label="channel")
    audio = np.full((frames, channels) if frames_first else (channels, frames), 0.25, np.float32)
    at = (frame, channel) if frames_first else (channel, frame)
    audio[at] = bad
    index = np.ravel_multi_index(at, audio.shape)
    with pytest.raises(ValueError) as error:
        run(audio, 0 if frames_first else -1)
    expected = f"input sample at flat index {index} is not finite" + suffix.format(frame=1000 + frame)
    assert str(error.value) == expected
