"""Throughput benchmark of nalo_limiter against np.copy and peer limiters.

Run through ``bench/run`` (it sets up the environment); ``--quick`` is the
smoke mode CI uses. Every figure is the median of several timed runs, and
the runs of the things compared with each other are interleaved, so that a
change of load on the machine hits both sides alike.

Nothing here fails on a timing: goals are printed as met or missed (not in
the smoke mode, whose figures mean nothing). The run
fails only when something crashes or when our own output breaks the ceiling
or alters audio that needed no limiting.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

import nalo_limiter

SAMPLE_RATE = 48_000
CEILING_DBFS = -1.0
ATTACK_MS, HOLD_MS, RELEASE_MS = 5.0, 15.0, 40.0
QUIET_DB = 28.0
SEED = 20240611
CHUNK = 1 << 20  # frames generated at a time; part of the signal's definition

CEILING = 10.0 ** (CEILING_DBFS / 20.0)
CEILING_F32 = float(np.float32(CEILING))


# --------------------------------------------------------------------------
# Test material


def music(frames: int, seed: int = SEED) -> np.ndarray:
    """Loud, music-like stereo material, shape (2, frames), float32.

    Three detuned voices of four partials each change chords every bar,
    under a kick on every beat, a snare on two and four, hi-hats on the
    eighths, a breathing amplitude envelope and louder and softer sections.
    The result is scaled so that peaks reach about +6 dBFS and a -1 dBFS
    ceiling keeps reducing gain nearly all the time.

    The same (frames, seed) always gives the same samples: every chunk draws
    from its own generator seeded by (seed, chunk index).
    """
    beat = SAMPLE_RATE // 2  # 120 beats per minute
    bar = 4 * beat
    bars = frames // bar + 1
    chords = np.random.default_rng([seed, 0xC0]).integers(0, 12, size=(bars, 3))
    # A root and two chord tones above it, in semitones from A2 (110 Hz).
    steps = np.stack([chords[:, 0], chords[:, 0] + 3 + chords[:, 1] % 2 + 1,
                      chords[:, 0] + 7 + chords[:, 2] % 3], axis=1)
    voice_hz = 110.0 * 2.0 ** (steps / 12.0)                 # (bars, 3)
    sections = np.random.default_rng([seed, 0x5E]).uniform(0.55, 1.0, size=bars // 8 + 1)
    detune = np.array([1.0 + 0.0025, 1.0 - 0.0025])           # left, right
    partial_gain = np.array([1.0, 0.5, 0.33, 0.2])

    out = np.empty((2, frames), dtype=np.float32)
    for chunk, start in enumerate(range(0, frames, CHUNK)):
        stop = min(start + CHUNK, frames)
        n = stop - start
        rng = np.random.default_rng([seed, chunk])
        index = np.arange(start, stop, dtype=np.int64)
        t = index / SAMPLE_RATE
        bar_of = index // bar

        tone = np.zeros((2, n))
        for v in range(3):
            f = voice_hz[bar_of, v]
            for k, g in enumerate(partial_gain, start=1):
                for ch in range(2):
                    tone[ch] += g * np.sin(2.0 * np.pi * (k * detune[ch]) * f * t
                                           + 0.7 * v + 1.3 * k)

        in_beat = (index % beat) / SAMPLE_RATE
        kick = np.exp(-in_beat * 28.0) * np.sin(
            2.0 * np.pi * (48.0 * in_beat + 110.0 / 35.0 * (1.0 - np.exp(-35.0 * in_beat))))
        noise = rng.standard_normal((2, n))
        snare_on = (index // beat) % 2 == 1
        snare = np.where(snare_on, np.exp(-in_beat * 22.0), 0.0) * noise
        in_eighth = (index % (beat // 2)) / SAMPLE_RATE
        hats = np.exp(-in_eighth * 90.0) * np.diff(noise, axis=1, prepend=0.0)

        envelope = (0.8 + 0.2 * np.sin(2.0 * np.pi * t / 7.3)) * sections[bar_of // 8]
        mix = envelope * (0.16 * tone + 0.8 * kick + 0.35 * snare + 0.18 * hats + 0.025 * noise)
        out[:, start:stop] = mix
    return out


# --------------------------------------------------------------------------
# Measuring


def cpu_seconds() -> float:
    """CPU time of this process and of its finished child processes."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def clock(fn: Callable[[], object]) -> tuple[float, float]:
    """Wall-clock and CPU seconds of one call."""
    cpu = cpu_seconds()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    cpu = cpu_seconds() - cpu
    del result
    return elapsed, cpu


@dataclass
class Timings:
    wall: dict[str, float]
    cpu: dict[str, float]
    spread: dict[str, float]  # (slowest - fastest) / median of the wall times


def interleaved(reps: int, cases: dict[str, Callable[[], object]],
                warm: bool = True) -> Timings:
    """Median wall-clock and CPU seconds of each case.

    The cases take turns in every round, after one untimed warm-up call each.
    CPU time shows what a case costs when a busy machine makes the wall
    clock unreliable: time spent waiting for a core is not in it, time spent
    waiting for memory is.
    """
    if warm:
        for fn in cases.values():
            clock(fn)
    wall: dict[str, list[float]] = {name: [] for name in cases}
    cpu: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(reps):
        for name, fn in cases.items():
            w, c = clock(fn)
            wall[name].append(w)
            cpu[name].append(c)
            gc.collect()
    return Timings({n: statistics.median(v) for n, v in wall.items()},
                   {n: statistics.median(v) for n, v in cpu.items()},
                   {n: (max(v) - min(v)) / statistics.median(v) if statistics.median(v) > 0
                    else 0.0 for n, v in wall.items()})


def limit(audio: np.ndarray, axis: int = -1):
    return nalo_limiter.limit(audio, SAMPLE_RATE, CEILING_DBFS, ATTACK_MS,
                              HOLD_MS, RELEASE_MS, axis=axis)


def peak_dbfs(audio: np.ndarray) -> tuple[float, bool]:
    peak = float(np.max(np.abs(audio)))
    db = 20.0 * math.log10(peak) if peak > 0 else -math.inf
    return db, peak <= CEILING_F32


# --------------------------------------------------------------------------
# Report


@dataclass
class Row:
    name: str
    seconds: float | None = None
    frames: int = 0
    ratio: str = ""          # "2.31x np.copy", "ours 12.4x faster", ...
    goal: str = ""
    met: bool | None = None
    peak_db: float | None = None
    kept: bool | None = None
    note: str = ""
    cpu: float | None = None
    cpu_ratio: str = ""      # the same comparison in CPU time
    spread: float | None = None


@dataclass
class Report:
    frames: int
    show_goals: bool = True
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    faults: list[str] = field(default_factory=list)

    def add(self, row: Row) -> None:
        self.rows.append(row)
        print(f"  measured: {row.name}", file=sys.stderr, flush=True)

    def print(self) -> None:
        seconds_of_audio = self.frames / SAMPLE_RATE
        head = ("case", "median s", "spread", "M frames/s", "x realtime", "ratio",
                "goal", "CPU s", "ratio in CPU time", "max |out| dBFS", "ceiling kept")
        lines = []
        for r in self.rows:
            peak = "-" if r.peak_db is None else f"{r.peak_db:+.4f}"
            kept = "-" if r.kept is None else ("yes" if r.kept else "NO")
            if r.seconds is None:
                lines.append((r.name, "-", "-", "-", "-", r.ratio or "-", r.goal or "-", "-", "-",
                              peak, kept))
                continue
            goal = r.goal
            if r.goal and r.met is not None:
                goal += " met" if r.met else " MISSED"
            lines.append((
                r.name,
                f"{r.seconds:.4g}",
                "-" if r.spread is None else f"{r.spread:.0%}",
                f"{r.frames / r.seconds / 1e6:.1f}" if r.seconds > 0 and r.frames else "-",
                f"{(r.frames / SAMPLE_RATE) / r.seconds:.0f}" if r.seconds > 0 and r.frames else "-",
                r.ratio or "-",
                goal or "-",
                "-" if r.cpu is None else f"{r.cpu:.4g}",
                r.cpu_ratio or "-",
                peak,
                kept,
            ))
        left = {0, 5, 6, 8}
        if not self.show_goals:
            head, lines = drop_column(6, head, lines)
            left = {0, 5, 7}
        widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(head)]
        fmt = " | ".join(f"{{:{'<' if i in left else '>'}{w}}}"
                         for i, w in enumerate(widths))
        print()
        print(f"Signal: {self.frames:,} frames per channel, stereo, {SAMPLE_RATE} Hz "
              f"({seconds_of_audio:.1f} s of audio); ceiling {CEILING_DBFS:+.1f} dBFS, "
              f"attack {ATTACK_MS:g} ms, hold {HOLD_MS:g} ms, release {RELEASE_MS:g} ms")
        print(fmt.format(*head))
        print("-+-".join("-" * w for w in widths))
        for l in lines:
            print(fmt.format(*l))
        extra = [f"{r.name}: {r.note}" for r in self.rows if r.note]
        if extra or self.notes:
            print()
            for n in extra + self.notes:
                print(f"* {n}")
        if self.faults:
            print()
            for f in self.faults:
                print(f"FAULT: {f}")


def drop_column(index: int, head: tuple, lines: list[tuple]) -> tuple[tuple, list[tuple]]:
    def without(row: tuple) -> tuple:
        return row[:index] + row[index + 1:]
    return without(head), [without(l) for l in lines]


def ratio(num: float, den: float) -> float:
    return num / den if den > 0 else math.inf


def versus(peer: float, ours: float) -> str:
    speedup = ratio(peer, ours)
    if speedup >= 1.0:
        return f"ours {speedup:.2f}x faster"
    return f"ours {1.0 / speedup:.2f}x slower"


# --------------------------------------------------------------------------
# The measurements


def bench_ours(report: Report, loud: np.ndarray, quiet: np.ndarray, reps: int) -> None:
    frames = loud.shape[1]
    limiter = nalo_limiter.NaloLimiter(SAMPLE_RATE, CEILING_DBFS, ATTACK_MS, HOLD_MS, RELEASE_MS)
    t = interleaved(reps, {
        "copy loud": lambda: np.copy(loud),
        "limit loud": lambda: limit(loud),
        "copy quiet": lambda: np.copy(quiet),
        "limit quiet": lambda: limit(quiet),
        "process loud": lambda: limiter.process(loud),
    })

    def vs_copy(case: str, copy: str) -> dict:
        return dict(seconds=t.wall[case], frames=frames, cpu=t.cpu[case], spread=t.spread[case],
                    ratio=f"{ratio(t.wall[case], t.wall[copy]):.2f}x np.copy",
                    cpu_ratio=f"{ratio(t.cpu[case], t.cpu[copy]):.2f}x np.copy")

    out, gains = limit(loud)
    db, kept = peak_dbfs(out)
    if not kept:
        report.faults.append(f"limit() output peaks at {db:+.4f} dBFS, above the ceiling")
    if out.shape != loud.shape or out.dtype != np.float32 or gains.shape != (frames,):
        report.faults.append("limit() returned unexpected shapes or types")
    reduced = float(np.mean(gains < 1.0))
    in_db, _ = peak_dbfs(loud)
    report.notes.append(f"loud input peaks at {in_db:+.2f} dBFS; {reduced:.1%} of its frames "
                        f"get gain reduction, deepest {20 * math.log10(float(gains.min())):.1f} dB")
    reference = out
    r = ratio(t.wall["limit loud"], t.wall["copy loud"])
    report.add(Row("np.copy (2, N) float32", **vs_copy("copy loud", "copy loud")))
    report.add(Row("limit() loud (2, N) float32", goal="<= 3x", met=r <= 3.0,
                   peak_db=db, kept=kept, **vs_copy("limit loud", "copy loud")))
    del out, gains

    out, gains = limit(quiet)
    qdb, qkept = peak_dbfs(out)
    untouched = bool(np.all(gains == 1.0)) and np.array_equal(out, quiet)
    if not untouched:
        report.faults.append("limit() altered the quiet signal, which is below the ceiling")
    r = ratio(t.wall["limit quiet"], t.wall["copy quiet"])
    report.add(Row(f"limit() quiet (-{QUIET_DB:g} dB)", goal="<= 4x", met=r <= 4.0,
                   peak_db=qdb, kept=qkept, note="" if untouched else "OUTPUT ALTERED",
                   **vs_copy("limit quiet", "copy quiet")))
    del out, gains

    out, gains = limiter.process(loud)
    pdb, pkept = peak_dbfs(out)
    if not np.array_equal(out, reference):
        report.faults.append("NaloLimiter.process() and limit() disagree")
    r = ratio(t.wall["process loud"], t.wall["copy loud"])
    report.add(Row("NaloLimiter.process() loud", goal="<= 3x", met=r <= 3.0, peak_db=pdb, kept=pkept,
                   **vs_copy("process loud", "copy loud")))
    del out, gains, reference
    gc.collect()


def bench_layouts(report: Report, loud: np.ndarray, reps: int) -> None:
    frames = loud.shape[1]
    reference, _ = limit(loud)

    def vs_planar(t: Timings, case: str) -> dict:
        r = ratio(t.wall[case], t.wall["planar"])
        return dict(seconds=t.wall[case], frames=frames, cpu=t.cpu[case], spread=t.spread[case],
                    ratio=f"{r:.2f}x (2, N) f32", goal="<= 2x", met=r <= 2.0,
                    cpu_ratio=f"{ratio(t.cpu[case], t.cpu['planar']):.2f}x (2, N) f32")

    interleaved_audio = np.ascontiguousarray(loud.T)  # (frames, channels)
    t = interleaved(reps, {
        "planar": lambda: limit(loud),
        "interleaved": lambda: limit(interleaved_audio, axis=0),
    })
    out, _ = limit(interleaved_audio, axis=0)
    db, kept = peak_dbfs(out)
    if not np.array_equal(out.T, reference):
        report.faults.append("(frames, channels) with axis=0 differs from (channels, frames)")
    report.add(Row("limit() loud (N, 2) axis=0", peak_db=db, kept=kept,
                   **vs_planar(t, "interleaved")))
    del interleaved_audio, out
    gc.collect()

    loud64 = loud.astype(np.float64)
    t = interleaved(reps, {
        "planar": lambda: limit(loud),
        "f64": lambda: limit(loud64),
    })
    out, _ = limit(loud64)
    db, kept = peak_dbfs(out)
    if not np.array_equal(out, reference):
        report.faults.append("float64 input gives other results than the same float32 input")
    report.add(Row("limit() loud (2, N) float64", peak_db=db, kept=kept, **vs_planar(t, "f64")))
    del loud64, out, reference
    gc.collect()


def bench_threads(report: Report, loud: np.ndarray, reps: int) -> None:
    frames = loud.shape[1]
    other = music(frames, seed=SEED + 1)
    # CPU seconds of the busier of the two threads in each round: what the
    # wall clock would show if both had a core of their own all the time.
    busiest: list[float] = []

    def one_thread():
        limit(loud)
        limit(other)

    def two_threads():
        barrier = threading.Barrier(2)
        errors: list[BaseException] = []
        spent: list[float] = []

        def work(audio):
            try:
                barrier.wait()
                start = time.thread_time()
                limit(audio)
                spent.append(time.thread_time() - start)
            except BaseException as e:  # surfaced below, in the main thread
                errors.append(e)

        threads = [threading.Thread(target=work, args=(a,)) for a in (loud, other)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        if errors:
            raise errors[0]
        busiest.append(max(spent))

    t = interleaved(reps, {"one": one_thread, "two": two_threads})
    busy = statistics.median(busiest[-reps:])  # the timed rounds, not the warm-up
    speedup = ratio(t.wall["one"], t.wall["two"])
    report.add(Row("2 threads, 2 signals", t.wall["two"], 2 * frames,
                   f"{speedup:.2f}x one thread", ">= 1.8x", speedup >= 1.8,
                   cpu=busy, spread=t.spread["two"],
                   cpu_ratio=f"{ratio(t.cpu['one'], busy):.2f}x one thread",
                   note=f"one thread doing both signals: {t.wall['one']:.4f} s "
                        f"({t.cpu['one']:.4f} CPU s); with two threads the busier one used "
                        f"{busy:.4f} CPU s; {os.cpu_count()} cores visible"))
    # What this machine gives two threads at the moment, on work that needs
    # neither memory bandwidth nor anything shared: a cache-resident NumPy
    # loop (it releases the GIL) about as long as one limit() call.
    block = np.linspace(0.0, 1.0, 16_384)
    calls = max(10, int(t.wall["one"] / 2 / max(clock(lambda: np.sin(block))[0], 1e-7)))

    def spin():
        for _ in range(calls):
            np.sin(block)

    def spin_two():
        threads = [threading.Thread(target=spin) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    ref = interleaved(reps, {"one": lambda: (spin(), spin()), "two": spin_two})
    ref_speedup = ratio(ref.wall["one"], ref.wall["two"])
    report.add(Row("  same, NumPy loop in cache (machine check)", ref.wall["two"],
                   ratio=f"{ref_speedup:.2f}x one thread", spread=ref.spread["two"]))

    # (Short signals are left out: there starting the threads is what counts.)
    if speedup < 1.5 <= ratio(t.cpu["one"], busy) and t.wall["two"] > 0.05:
        report.notes.append(
            "the two threads each needed about half the CPU time of one thread doing both, "
            "yet did not finish sooner: they did not get two cores at once. The kernel shares "
            "the cores between sessions first (scheduler autogroups), so while another "
            "session keeps a core busy, this one gets about one core however many threads "
            "it runs; 'ratio in CPU time' is the speed-up two free cores would give")
    del other
    gc.collect()


def bench_pedalboard(report: Report, loud: np.ndarray, reps: int) -> None:
    frames = loud.shape[1]
    try:
        import pedalboard
    except Exception as e:  # not installable here, or broken
        report.add(Row("pedalboard Limiter", ratio=f"not available: {e}"))
        return
    version = getattr(pedalboard, "__version__", "?")
    peers: dict[str, object] = {
        # Its ceiling is fixed at 0 dBFS with makeup gain after the
        # compression; the threshold is where it starts to work.
        "Limiter": pedalboard.Limiter(threshold_db=CEILING_DBFS, release_ms=RELEASE_MS),
    }
    if hasattr(pedalboard, "BrickwallLimiter"):
        peers["BrickwallLimiter"] = pedalboard.BrickwallLimiter(
            ceiling_db=CEILING_DBFS, release_ms=RELEASE_MS, lookahead_ms=ATTACK_MS)
    else:
        report.add(Row("pedalboard BrickwallLimiter",
                       ratio=f"not in pedalboard {version}"))

    cases: dict[str, Callable[[], object]] = {"ours": lambda: limit(loud)}
    for name, plugin in peers.items():
        cases[name] = (lambda p: lambda: p.process(loud, SAMPLE_RATE, reset=True))(plugin)
    t = interleaved(reps, cases)
    for name, plugin in peers.items():
        out = plugin.process(loud, SAMPLE_RATE, reset=True)
        db, kept = peak_dbfs(out)
        speedup = ratio(t.wall[name], t.wall["ours"])
        report.add(Row(f"pedalboard {version} {name}", t.wall[name], frames,
                       versus(t.wall[name], t.wall["ours"]), ">= 3x", speedup >= 3.0, db, kept,
                       cpu=t.cpu[name], cpu_ratio=versus(t.cpu[name], t.cpu["ours"]),
                       spread=t.spread[name],
                       note=f"our limit() in the same rounds: {t.wall['ours']:.4f} s"))
        del out
        gc.collect()


MONO_SECONDS = 120.0


def bench_cylimiter(report: Report, loud: np.ndarray, reps: int) -> None:
    """Mono against cylimiter: its Limiter() with default settings and its
    copying limit(), on up to two minutes of the left channel."""
    mono = np.ascontiguousarray(loud[0, :int(MONO_SECONDS * SAMPLE_RATE)])
    frames = mono.shape[0]
    try:
        import cylimiter
        from importlib.metadata import version as installed_version
        version = installed_version("cylimiter")
    except Exception as e:  # not installable here, or broken
        report.add(Row("cylimiter Limiter (mono)", ratio=f"not available: {e}"))
        return
    peer = cylimiter.Limiter()
    t = interleaved(reps, {"ours": lambda: limit(mono), "cylimiter": lambda: peer.limit(mono)})
    out = peer.limit(mono)
    db, _ = peak_dbfs(out)  # its defaults aim at no ceiling of ours: "kept" would mean nothing
    del out
    ours, _ = limit(mono)
    our_db, our_kept = peak_dbfs(ours)
    if not our_kept:
        report.faults.append(f"limit() mono output peaks at {our_db:+.4f} dBFS, above the ceiling")
    del ours
    report.add(Row(f"limit() mono ({frames / SAMPLE_RATE:g} s)", t.wall["ours"], frames,
                   peak_db=our_db, kept=our_kept, cpu=t.cpu["ours"], spread=t.spread["ours"]))
    speedup = ratio(t.wall["cylimiter"], t.wall["ours"])
    report.add(Row(f"cylimiter {version} Limiter() (mono)", t.wall["cylimiter"], frames,
                   versus(t.wall["cylimiter"], t.wall["ours"]), ">= 1.3x", speedup >= 1.3, db,
                   cpu=t.cpu["cylimiter"], cpu_ratio=versus(t.cpu["cylimiter"], t.cpu["ours"]),
                   spread=t.spread["cylimiter"],
                   note=f"its default settings and copying limit() against our limit() at "
                        f"{CEILING_DBFS:+g} dBFS on the same mono signal, in the same rounds "
                        f"(ours {t.wall['ours']:.4f} s); it does not promise to keep a ceiling"))
    gc.collect()


def scratch_dir(need: int) -> Path:
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > 2 * need:
        return Path(tempfile.mkdtemp(prefix="nalo-bench-", dir=shm))
    return Path(tempfile.mkdtemp(prefix="nalo-bench-"))


def bench_ffmpeg(report: Report, loud: np.ndarray, reps: int) -> None:
    frames = loud.shape[1]
    exe = shutil.which("ffmpeg")
    if exe is None:
        report.add(Row("ffmpeg alimiter", ratio="not available: no ffmpeg on PATH"))
        return
    version = subprocess.run([exe, "-hide_banner", "-version"], capture_output=True,
                             text=True).stdout.split()[2:3] or ["?"]

    work = scratch_dir(3 * loud.nbytes)
    try:
        source, sink = work / "in.f32", work / "out.f32"
        np.ascontiguousarray(loud.T).tofile(source)  # f32le, interleaved

        def run(filters: str) -> Callable[[], None]:
            cmd = [exe, "-hide_banner", "-nostdin", "-loglevel", "error",
                   "-f", "f32le", "-ar", str(SAMPLE_RATE), "-ac", "2", "-i", str(source),
                   "-af", filters, "-f", "f32le", "-y", str(sink)]
            return lambda: subprocess.run(cmd, check=True)

        # The filter works on doubles, so the graph converts in and out of
        # them around it. The pass-through makes the same conversions, which
        # leaves nothing but the limiter itself in the difference.
        limiter = (f"alimiter=limit={CEILING!r}:attack={ATTACK_MS:g}:release={RELEASE_MS:g}"
                   f":level=disabled:latency=1")
        passthrough = "aformat=sample_fmts=dbl"
        t = interleaved(reps, {
            "ours": lambda: limit(loud),
            "alimiter": run(limiter),
            "passthrough": run(passthrough),
            "anull": run("anull"),
        })
        run(limiter)()
        out = np.fromfile(sink, dtype=np.float32)
        if out.size != loud.size:
            report.faults.append(f"ffmpeg returned {out.size} samples for {loud.size}")
        db, kept = peak_dbfs(out)
        del out
        own = t.wall["alimiter"] - t.wall["passthrough"]
        own_cpu = t.cpu["alimiter"] - t.cpu["passthrough"]
        with_conversions = t.wall["alimiter"] - t.wall["anull"]
        name = f"ffmpeg {version[0]} alimiter (own work)"
        note = (f"our limit() in the same rounds: {t.wall['ours']:.4f} s; "
                f"whole run {t.wall['alimiter']:.4f} s ({t.cpu['alimiter']:.4f} CPU s) minus "
                f"pass-through {t.wall['passthrough']:.4f} s ({t.cpu['passthrough']:.4f} CPU s); "
                f"raw f32le files on {'tmpfs' if str(work).startswith('/dev/shm') else 'disk'}. "
                f"Counting its conversions to doubles and back as its work too (pass-through "
                f"'anull', {t.wall['anull']:.4f} s): "
                + (f"{with_conversions:.4f} s, {versus(with_conversions, t.wall['ours'])}"
                   if with_conversions > 0 else "lost in noise"))
        if own <= 0:
            report.add(Row(name, ratio="lost in noise", peak_db=db, kept=kept, note=note))
            return
        speedup = ratio(own, t.wall["ours"])
        report.add(Row(name, own, frames, versus(own, t.wall["ours"]), ">= 2.5x",
                       speedup >= 2.5, db, kept,
                       cpu=own_cpu if own_cpu > 0 else None,
                       cpu_ratio=versus(own_cpu, t.cpu["ours"]) if own_cpu > 0 else "",
                       note=note))
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --------------------------------------------------------------------------
# Memory of one call

# One limit() call in a fresh interpreter: the input is made first, the
# kernel's peak-RSS mark is reset (Linux: clear_refs 5), and the peak above
# the resident size before the call is printed in bytes (the two results
# are still alive at the peak, as a caller holds them).
MEMORY_PROBE = r"""
import sys
import numpy as np
import nalo_limiter

frames, dtype, frames_first = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
x = np.empty((frames, 2) if frames_first else (2, frames), dtype)
x[...] = np.random.default_rng(1).uniform(-2.0, 2.0, size=x.shape)

def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":"))

before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
audio, gains = nalo_limiter.limit(x, 48000, -1.0, axis=0 if frames_first else -1)
print(status("VmHWM") - before)
"""

MEMORY_CASES = [  # name, dtype, frames first, peak above the input before (in S)
    ("float32 (2, N)", "float32", False, 1.5),
    ("float32 (N, 2), axis=0", "float32", True, 2.5),
    ("float64 (2, N)", "float64", False, 2.5),
    ("float64 (N, 2), axis=0", "float64", True, 3.5),
]  # "before": the same measurement of the version that converted and transposed whole arrays


def bench_memory(frames: int) -> list[str]:
    """The memory table: one fresh process per case."""
    size = frames * 2 * 4  # S: the audio as float32
    lines = [f"Memory of one limit() call on stereo, {frames:,} frames (S = {size / 1e6:.0f} MB, the audio "
             "as float32); peak resident size above the input, results included (they are 1.5 S):",
             f"{'input':<24} | {'peak above input':>16} | {'in S':>6} | {'before':>6}",
             f"{'-' * 24}-+-{'-' * 16}-+-{'-' * 6}-+-{'-' * 6}"]
    for name, dtype, frames_first, before in MEMORY_CASES:
        done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(frames), dtype, str(int(frames_first))],
                              capture_output=True, text=True, check=True)
        peak = int(done.stdout.split()[-1])
        lines.append(f"{name:<24} | {peak / 1e6:>13.0f} MB | {peak / size:>5.2f}S | {before:>5.1f}S")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: a few seconds of signal, one repetition")
    parser.add_argument("--seconds", type=float, default=None,
                        help="length of the signal (default 600, or 4 with --quick)")
    parser.add_argument("--reps", type=int, default=None,
                        help="timed runs per case (default 5, or 1 with --quick)")
    parser.add_argument("--no-peers", action="store_true",
                        help="skip pedalboard, cylimiter and ffmpeg")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory table")
    parser.add_argument("--memory-only", action="store_true", help="print only the memory table")
    args = parser.parse_args(argv)

    seconds = args.seconds if args.seconds is not None else (4.0 if args.quick else 600.0)
    reps = args.reps if args.reps is not None else (1 if args.quick else 5)
    frames = int(round(seconds * SAMPLE_RATE))
    if args.memory_only:
        print("\n".join(bench_memory(frames)))
        return 0

    print(f"Python {platform.python_version()}, NumPy {np.__version__}, "
          f"{os.cpu_count()} cores visible; {reps} timed run(s) per case", file=sys.stderr)
    print("  generating signal...", file=sys.stderr, flush=True)
    started = time.perf_counter()
    loud = music(frames)
    quiet = loud * np.float32(10.0 ** (-QUIET_DB / 20.0))
    print(f"  generated in {time.perf_counter() - started:.1f} s", file=sys.stderr, flush=True)

    report = Report(frames, show_goals=not args.quick)
    load_before = os.getloadavg()[0]
    bench_ours(report, loud, quiet, reps)
    del quiet
    gc.collect()
    bench_layouts(report, loud, reps)
    bench_threads(report, loud, reps)
    if args.no_peers:
        report.notes.append("peers skipped (--no-peers)")
    else:
        # A peer that breaks is reported in its row; only our own faults fail the run.
        for name, peer in (("pedalboard", bench_pedalboard), ("cylimiter", bench_cylimiter),
                           ("ffmpeg alimiter", bench_ffmpeg)):
            try:
                peer(report, loud, reps)
            except Exception as e:
                report.add(Row(name, ratio=f"failed: {type(e).__name__}: {e}"))
            gc.collect()
    if args.quick:
        report.notes.append("smoke run: figures from a short signal and one run are not "
                            "meaningful")
    report.notes.append("median of each case; 'spread' is (slowest - fastest) / median of its "
                        "runs; cases compared with each other were timed in turns in the same "
                        "rounds; peers' speed-ups are against our limit() timed in the same "
                        "rounds")
    load_after = os.getloadavg()[0]
    report.notes.append(f"load average (1 min) {load_before:.2f} before, {load_after:.2f} after "
                        f"on {os.cpu_count()} cores: above 0 means others were running too")
    report.print()
    if not args.no_memory:
        print()
        print("\n".join(bench_memory(frames)))
    sys.stdout.flush()
    return 1 if report.faults else 0


if __name__ == "__main__":
    sys.exit(main())
