"""Packed 16- and 24-bit PCM: the native conversions against NumPy
arithmetic, and files read and written as their stored bytes against the
same files through libsndfile's conversions."""

import dataclasses

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from nalo_stream import _native

sf = pytest.importorskip("soundfile")
from nalo_stream import file_run, limit_file  # noqa: E402
from nalo_stream.formats import ceiling_steps  # noqa: E402


def unpacked(packed, width, big_endian):
    """The integers stored in `packed`, by NumPy."""
    rows = packed.reshape(-1, width).astype(np.int64)
    order = range(width) if big_endian else reversed(range(width))
    value = np.zeros(len(rows), np.int64)
    for byte in order:
        value = (value << 8) | rows[:, byte]
    sign = 1 << (8 * width - 1)
    return (value ^ sign) - sign


samples = arrays(np.float32, st.integers(0, 300), elements=st.floats(-1.0, 1.0, width=32)
                 | st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5 / 2**23, 1.5 / 2**15, -2.5 / 2**23]))


@given(samples, st.sampled_from([2, 3]), st.booleans(), st.floats(-40.0, 0.0))
def test_encoding_rounds_to_the_nearest_step_within_the_ceiling_and_decoding_reads_it_back(x, width, big, ceiling_db):
    subtype = "PCM_16" if width == 2 else "PCM_24"
    scale = 2.0 ** (8 * width - 1)
    top = ceiling_steps(subtype, 10 ** (ceiling_db / 20))
    expected = np.clip(np.rint(x.astype(np.float64) * scale), -top, min(top, scale - 1))

    held, packed = x.copy(), np.empty(x.size * width, np.uint8)
    peak = _native._encode_pcm(held, packed, width, big, top)
    assert np.array_equal(unpacked(packed, width, big), expected)
    assert np.array_equal(held, (expected / scale).astype(np.float32))
    assert peak == np.abs(expected).max(initial=0)

    decoded = np.empty_like(x)
    assert _native._decode_pcm(packed, decoded, width, big) == np.abs(held).max(initial=0)
    assert np.array_equal(decoded, held)


@pytest.mark.parametrize("fmt, subtype, endian", [
    ("WAV", "PCM_24", "FILE"), ("WAV", "PCM_16", "BIG"), ("AIFF", "PCM_24", "FILE"), ("AIFF", "PCM_16", "LITTLE"),
    ("W64", "PCM_16", "FILE"), ("CAF", "PCM_24", "FILE"), ("AU", "PCM_16", "FILE"),
])
def test_files_taken_as_their_stored_bytes_equal_those_converted_by_libsndfile(tmp_path, monkeypatch, fmt, subtype,
                                                                                endian):
    rng = np.random.default_rng(3)
    source = tmp_path / f"in.{fmt.lower()}"
    sf.write(source, np.clip(rng.standard_normal((30011, 2)) * 0.6, -1, 0.99), 44100, subtype, format=fmt,
             endian=endian)

    def run(name):
        summary = limit_file(source, tmp_path / f"{name}.{fmt.lower()}", threshold_dBFS=-2.5, block_frames=7000)
        return dataclasses.replace(summary, output="", seconds=0.0)

    packed_summary = run("packed")
    monkeypatch.setattr(file_run, "_packing", lambda sound: None)
    plain_summary = run("plain")
    assert packed_summary == plain_summary
    assert (tmp_path / f"packed.{fmt.lower()}").read_bytes() == (tmp_path / f"plain.{fmt.lower()}").read_bytes()
