#!/usr/bin/env python3
"""Limit a WAV file and write the result next to it (or where you say).

    python examples/limit_file.py in.wav [out.wav] [--threshold -1]
    python examples/limit_file.py --smoke     # makes a small file and limits it

Audio files hold (frames, channels), so the limiter is told that frames are on
axis 0. The output is written as 16-bit PCM (WAV through the standard library,
any format `soundfile` knows when it is installed).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from wavio import read_wav, write_wav  # noqa: E402

import nalo_limiter  # noqa: E402


def limit_file(source: Path, target: Path, threshold_dBFS: float = -1.0) -> np.ndarray:
    audio, sample_rate = read_wav(source)  # float32 (frames, channels), full scale = 1.0
    limited, gains = nalo_limiter.limit(audio, sample_rate, threshold_dBFS, axis=0)
    write_wav(target, limited, sample_rate)
    reduction = -20 * np.log10(max(float(gains.min(initial=1.0)), 1e-12))
    print(f"{source} -> {target}: {limited.shape[0]} frames x {limited.shape[1]} ch, "
          f"peak {20 * np.log10(max(float(np.abs(audio).max(initial=0.0)), 1e-12)):+.2f} dBFS in, "
          f"largest gain reduction {reduction:.2f} dB")
    return limited


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", nargs="?", type=Path)
    parser.add_argument("target", nargs="?", type=Path)
    parser.add_argument("--threshold", type=float, default=-1.0, help="ceiling in dBFS (default -1)")
    parser.add_argument("--smoke", action="store_true", help="run on a small generated file")
    args = parser.parse_args()

    if args.smoke:
        with tempfile.TemporaryDirectory() as tmp:
            rate = 44100
            t = np.arange(rate // 2) / rate
            hot = np.stack([1.6 * np.sin(2 * np.pi * 220 * t), 0.5 * np.sin(2 * np.pi * 330 * t)], axis=1)
            write_wav(Path(tmp) / "hot.wav", hot, rate, float32=True)  # float WAV keeps the overs
            limited = limit_file(Path(tmp) / "hot.wav", Path(tmp) / "hot_limited.wav", args.threshold)
            back, back_rate = read_wav(Path(tmp) / "hot_limited.wav")
            ceiling = 10 ** (args.threshold / 20)
            assert back.shape == hot.shape and back_rate == rate
            assert np.abs(limited).max() <= np.float32(ceiling), "output above the ceiling"
            assert np.abs(back).max() <= ceiling + 1 / 32768, "file above the ceiling"
        print("smoke ok")
        return 0
    if args.source is None:
        parser.error("give a WAV file (or --smoke)")
    target = args.target or args.source.with_name(args.source.stem + "_limited.wav")
    limit_file(args.source, target, args.threshold)
    return 0


if __name__ == "__main__":
    sys.exit(main())
