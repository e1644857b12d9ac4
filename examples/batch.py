#!/usr/bin/env python3
"""Limit many files or signals in parallel: threads on one machine, dask beyond.

    python examples/batch.py music/*.wav --out limited/            # thread pool
    python examples/batch.py music/ --out limited/ --engine dask   # dask bag
    python examples/batch.py --smoke                               # generated signals, both engines

The limiter releases the GIL while it processes, so a plain
`ThreadPoolExecutor` keeps every core busy without pickling audio between
processes. The same job as a `dask.bag` runs here on dask's process-based
scheduler (each worker process imports the limiter itself; jobs and results
are pickled), and on a cluster unchanged once a `dask.distributed.Client` is
connected (give it file paths rather than arrays there, so that each worker
reads its own audio). For whole files of any length, the `nalo-limiter`
command does this with `--out-dir DIR --jobs N`.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import nalo_limiter

try:
    import soundfile
except ImportError:  # only needed for files
    soundfile = None

# A job is a WAV file, or a named signal already in memory with its rate.
Job = Path | tuple[str, np.ndarray, int]


def generate(count: int, seconds: float, rate: int = 48000) -> list[Job]:
    """Stereo test signals: a tone with loud noise bursts, (frames, 2)."""
    jobs: list[Job] = []
    for seed in range(count):
        rng = np.random.default_rng(seed)
        t = np.arange(int(seconds * rate)) / rate
        tone = 0.4 * np.sin(2 * np.pi * rng.uniform(50, 400) * t)
        bursts = rng.standard_normal(len(t)) * (rng.random(len(t) // 4800 + 1) > 0.8).repeat(4800)[: len(t)]
        audio = np.stack([tone + bursts, tone - 0.5 * bursts], axis=1).astype(np.float32)
        jobs.append((f"signal{seed:03d}", audio, rate))
    return jobs


def process(job: Job, out: Path | None, threshold: float) -> tuple[str, float]:
    """Limits one job; returns its name and largest gain reduction in dB."""
    if isinstance(job, Path):
        (audio, rate), name = soundfile.read(job, dtype="float32", always_2d=True), job.stem
    else:
        name, audio, rate = job
    limited, gains = nalo_limiter.limit(audio, rate, threshold, axis=0)
    if out is not None:
        soundfile.write(out / f"{name}_limited.wav", limited, rate, subtype="FLOAT")
    return name, float(-20 * np.log10(max(float(gains.min(initial=1.0)), 1e-12)))


def run_threads(jobs: list[Job], workers: int, **kw) -> list[tuple[str, float]]:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(lambda job: process(job, **kw), jobs))


def run_dask(jobs: list[Job], workers: int, **kw) -> list[tuple[str, float]] | None:
    try:
        import dask.bag
    except ImportError:
        print("hint: install dask (pip install 'dask[bag]') for the dask engine; skipped it")
        return None
    bag = dask.bag.from_sequence(jobs, npartitions=max(1, min(len(jobs), 4 * workers)))
    # Worker processes, as on a cluster: with a distributed Client connected,
    # leave out `scheduler=` to run there instead.
    return bag.map(process, **kw).compute(scheduler="processes", num_workers=workers)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("inputs", nargs="*", type=Path, help="WAV files or folders of them")
    parser.add_argument("--out", type=Path, help="folder for the limited files (default: do not write)")
    parser.add_argument("--threshold", type=float, default=-1.0, help="ceiling in dBFS (default -1)")
    parser.add_argument("--engine", choices=("threads", "dask", "both"), default="threads")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--count", type=int, default=16, help="generated signals without inputs (default 16)")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each generated signal")
    parser.add_argument("--smoke", action="store_true", help="a few short generated signals, both engines")
    args = parser.parse_args()
    if args.smoke:
        args.count, args.seconds, args.engine = 6, 0.5, "both"

    if args.inputs and soundfile is None:
        parser.error("reading files needs soundfile: pip install soundfile")
    jobs: list[Job] = []
    for p in args.inputs:
        jobs += sorted(p.glob("*.wav")) if p.is_dir() else [p]
    if not args.inputs:
        jobs = generate(args.count, args.seconds)
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
    kw = dict(out=args.out, threshold=args.threshold)

    start = time.perf_counter()
    serial = [process(job, **kw) for job in jobs]
    base = time.perf_counter() - start
    print(f"serial:  {len(jobs)} jobs in {base:.2f} s")
    engines = {"threads": run_threads, "dask": run_dask}
    for name in ("threads", "dask") if args.engine == "both" else (args.engine,):
        start = time.perf_counter()
        results = engines[name](jobs, args.workers, **kw)
        if results is None:
            continue
        took = time.perf_counter() - start
        print(f"{name + ':':8} {len(jobs)} jobs in {took:.2f} s with {args.workers} workers "
              f"({base / took:.1f}x the serial speed)")
        # The limiter is deterministic: every engine gives the same answers.
        assert results == serial, f"{name} results differ from the serial run"
    worst = max(serial, key=lambda r: r[1])
    print(f"largest gain reduction: {worst[1]:.2f} dB in {worst[0]}")
    if args.smoke:
        print("smoke ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
