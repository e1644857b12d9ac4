#!/usr/bin/env python3
"""Bring a file to a target loudness, then catch the peaks with the limiter.

    python examples/normalize_then_limit.py in.wav out.wav [--target -14] [--ceiling -1]
    python examples/normalize_then_limit.py --smoke

Normalising a quiet, dynamic recording to streaming loudness pushes its peaks
above full scale; the limiter brings them back under the ceiling without
touching the rest. Loudness is measured in LUFS with `pyloudnorm` when it is
installed; otherwise a plain RMS level in dBFS stands in for it.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

import nalo_limiter

try:
    import soundfile  # type: ignore[import-untyped]
except ImportError:  # only needed for files
    soundfile = None

try:
    import pyloudnorm  # type: ignore[import-untyped]
except ImportError:  # optional
    pyloudnorm = None


def loudness(audio: np.ndarray, sample_rate: int) -> tuple[float, str]:
    """Loudness of (frames, channels) audio and its unit."""
    if pyloudnorm is not None:
        return float(pyloudnorm.Meter(sample_rate).integrated_loudness(audio.astype(np.float64))), "LUFS"
    rms = np.sqrt(np.mean(np.square(audio, dtype=np.float64)))
    return float(20 * np.log10(max(rms, 1e-12))), "dBFS RMS"


def normalize_then_limit(audio: np.ndarray, sample_rate: int, target: float, ceiling: float) -> np.ndarray:
    level, unit = loudness(audio, sample_rate)
    gain_db = target - level
    louder = audio * np.float32(10 ** (gain_db / 20))
    limited, gains = nalo_limiter.limit(louder, sample_rate, ceiling, axis=0)
    after, _ = loudness(limited, sample_rate)
    print(f"loudness {level:.1f} -> {after:.1f} {unit} (gain {gain_db:+.1f} dB), "
          f"peak before limiting {20 * np.log10(np.abs(louder).max()):+.1f} dBFS, "
          f"after {20 * np.log10(np.abs(limited).max()):+.1f} dBFS, "
          f"largest reduction {-20 * np.log10(gains.min()):.1f} dB")
    return limited


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", nargs="?", type=Path)
    parser.add_argument("target_file", nargs="?", type=Path)
    parser.add_argument("--target", type=float, default=-14.0, help="target loudness (default -14)")
    parser.add_argument("--ceiling", type=float, default=-1.0, help="limiter ceiling in dBFS (default -1)")
    parser.add_argument("--smoke", action="store_true", help="run on small generated data")
    args = parser.parse_args()

    if args.smoke:
        rate = 48000
        rng = np.random.default_rng(1)
        t = np.arange(2 * rate) / rate
        # Quiet tone with sparse loud clicks: a large crest factor.
        quiet = 0.05 * np.sin(2 * np.pi * 440 * t)
        quiet[rng.integers(0, len(t), 40)] += 0.4
        audio = np.stack([quiet, 0.8 * quiet], axis=1).astype(np.float32)
        limited = normalize_then_limit(audio, rate, args.target, args.ceiling)
        if soundfile is not None:
            with tempfile.TemporaryDirectory() as tmp:
                soundfile.write(Path(tmp) / "out.wav", limited, rate, subtype="FLOAT")
        assert limited.shape == audio.shape
        assert np.abs(limited).max() <= np.float32(10 ** (args.ceiling / 20)), "output above the ceiling"
        print("smoke ok")
        return 0
    if args.source is None:
        parser.error("give an audio file (or --smoke)")
    if soundfile is None:
        parser.error("reading files needs soundfile: pip install soundfile")
    audio, rate = soundfile.read(args.source, dtype="float32", always_2d=True)
    limited = normalize_then_limit(audio, rate, args.target, args.ceiling)
    target_file = args.target_file or args.source.with_name(args.source.stem + "_normalized.wav")
    soundfile.write(target_file, limited, rate, subtype="FLOAT")
    print(f"wrote {target_file}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
