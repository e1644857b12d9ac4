#!/usr/bin/env python3
"""Limit a built-in drum-and-bass test signal (or your own audio file) with
the nalo-limiter file command, and plot what it did.

    python examples/demo.py                     # synthetic stereo loop, -1 dBFS ceiling
    python examples/demo.py song.flac --threshold -0.5 --release 80

Writes the input (for the built-in loop, as a float WAV that keeps its overs),
the limited output in the input's format, the frame gains and a PNG plot into
the output folder (default ``out/``), and prints the command's summary.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

try:
    import soundfile
    from nalo_limiter import NaloLimiter
    from nalo_stream import true_peak
    from nalo_stream.cli import main as nalo_limiter_command
except ImportError as error:
    sys.exit(f"{error.name} is missing: run `pip install '.[cli,demo]'` in the repository root "
             "(or `bash scripts/demo`)")


# ---------------------------------------------------------------- test signal


def _place(track: np.ndarray, sound: np.ndarray, start: int, gains: tuple[float, float]) -> None:
    """Adds a mono one-shot into a (frames, 2) track at `start`, panned by `gains`."""
    end = min(len(track), start + len(sound))
    if start < end:
        track[start:end] += sound[: end - start, None] * np.asarray(gains, dtype=np.float64)


def make_test_signal(sample_rate: int = 48000, seconds: float = 6.0, seed: int = 7) -> np.ndarray:
    """A stereo drum-and-bass loop at 174 BPM as float32 (frames, 2).

    Kick and snare hits peak well above full scale (about +5 dBFS) on top of a
    detuned sub bass, hi-hats and a soft pad: the kind of material a limiter
    meets at the end of a mastering chain. Deterministic for a given seed.
    """
    rng = np.random.default_rng(seed)
    sr = sample_rate
    n = int(round(seconds * sr))
    t = np.arange(n) / sr
    beat = 60.0 / 174.0
    track = np.zeros((n, 2))

    # One-shots.
    tk = np.arange(int(0.35 * sr)) / sr
    kick_phase = 2 * np.pi * (45.0 * tk + (160.0 - 45.0) * 0.03 * (1 - np.exp(-tk / 0.03)))
    kick = np.sin(kick_phase) * np.exp(-tk / 0.12) + 0.6 * np.exp(-tk / 0.002)
    ts = np.arange(int(0.25 * sr)) / sr
    snare = 0.3 * rng.standard_normal(len(ts)) * np.exp(-ts / 0.05) + 0.75 * np.sin(2 * np.pi * 190 * ts) * np.exp(
        -ts / 0.04
    )
    th = np.arange(int(0.05 * sr)) / sr
    hat = np.diff(rng.standard_normal(len(th) + 1)) * np.exp(-th / 0.012)

    # Two-step pattern per bar of four beats: kick on 1 and the "and" of 3,
    # snare on 2 and 4, sixteenth-note hats with alternating panning.
    for bar_start in np.arange(0.0, seconds, 4 * beat):
        for offset in (0.0, 2.5 * beat):
            _place(track, 1.3 * kick, int((bar_start + offset) * sr), (1.0, 1.0))
        for offset in (1.0 * beat, 3.0 * beat):
            _place(track, 1.2 * snare, int((bar_start + offset) * sr), (0.95, 1.05))
        for i in range(16):
            accent = 0.12 if i % 2 == 0 else 0.07
            pan = (1.0, 0.6) if i % 4 < 2 else (0.6, 1.0)
            _place(track, accent * hat, int((bar_start + i * beat / 4) * sr), pan)

    # Reese bass: two slightly detuned band-limited saws per channel, with a
    # note change every bar.
    roots = np.array([43.65, 43.65, 38.89, 49.0])  # F1, F1, D#1, G1
    freq = roots[(t / (4 * beat)).astype(int) % len(roots)]
    phase = 2 * np.pi * np.cumsum(freq) / sr
    for ch, detune in enumerate((0.996, 1.004)):
        saw = sum(np.sin(k * phase * detune) / k for k in range(1, 9))
        track[:, ch] += 0.3 * saw * (0.8 + 0.2 * np.sin(2 * np.pi * 0.5 * t))

    # Pad: a minor chord with a slow stereo drift.
    for f0, a in ((349.2, 0.05), (415.3, 0.04), (523.3, 0.04)):
        track[:, 0] += a * np.sin(2 * np.pi * f0 * t) * (1 + 0.3 * np.sin(2 * np.pi * 0.25 * t))
        track[:, 1] += a * np.sin(2 * np.pi * f0 * 1.003 * t) * (1 - 0.3 * np.sin(2 * np.pi * 0.25 * t))

    # Short fades so the loop starts and ends in silence.
    fade = np.minimum(1.0, np.minimum(t, t[-1] - t) / 0.01)
    return (track * fade[:, None]).astype(np.float32)


# ---------------------------------------------------------------- report


def db(x: np.ndarray | float) -> np.ndarray:
    """Amplitude to dB, with silence mapped to -inf without warnings."""
    with np.errstate(divide="ignore"):
        return 20.0 * np.log10(np.abs(x))


def over(audio: np.ndarray, ceiling: float) -> int:
    """Samples above the ceiling."""
    return int(np.count_nonzero(np.abs(audio) > ceiling))


def waveform_peaks(x: np.ndarray, factor: int = 4) -> np.ndarray:
    """Per frame, the peak over every channel of the waveform a converter
    reconstructs from that frame to the next: band-limited interpolation at
    `factor` points per sample (frames on axis 0). One value per frame, so
    that it lines up with the samples' own peaks whatever the length."""
    n = x.shape[0]
    if n < 2:
        return np.max(np.abs(x), axis=1, initial=0.0).astype(np.float64)
    spectrum = np.fft.rfft(x, axis=0)
    smooth = np.fft.irfft(spectrum, n * factor, axis=0) * factor
    return np.max(np.abs(smooth), axis=1).reshape(n, factor).max(axis=1)


def _peaks(x: np.ndarray, buckets: int) -> tuple[np.ndarray, np.ndarray]:
    """Per-bucket peak magnitude of a signal, the tail included: a drawing
    that keeps every peak however many samples there are (or how few)."""
    per = max(1, -(-len(x) // buckets))
    padded = np.zeros(-(-len(x) // per) * per, dtype=np.float32)
    padded[: len(x)] = np.abs(x)
    return np.arange(len(padded) // per) * per + per / 2, padded.reshape(-1, per).max(axis=1, initial=0.0)


def plot(path: Path, before, after, gains, sample_rate: int, ceiling_db: float, limiter: NaloLimiter, title: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("hint: install matplotlib (pip install matplotlib) to get the plot; skipped it")
        return False

    ceiling = 10 ** (ceiling_db / 20)
    lookahead, hold, release = limiter.lookahead_samples, limiter.hold_samples, limiter.release_samples
    reduction = -db(gains.astype(np.float64))
    frames = len(gains)
    colors = ("#1f77b4", "#ff7f0e")
    fig = plt.figure(figsize=(13, 9), constrained_layout=True)
    grid = fig.add_gridspec(4, 2, height_ratios=[1, 1, 0.7, 1.1])
    ax_in = fig.add_subplot(grid[0, :])
    ax_out = fig.add_subplot(grid[1, :], sharex=ax_in, sharey=ax_in)
    ax_gr = fig.add_subplot(grid[2, :], sharex=ax_in)

    # Peak level in dBFS: quiet passages stay visible, overs stand out.
    peak_db = float(db(np.max(np.abs(before), initial=0.0)))
    top = max(peak_db if np.isfinite(peak_db) else ceiling_db, ceiling_db) + 2.0
    bottom = max(-120.0, min(ceiling_db, peak_db if np.isfinite(peak_db) else ceiling_db) - 36.0)
    for ax, data, name in ((ax_in, before, "Input"), (ax_out, after, "Output")):
        # Inter-sample overs: where the reconstructed waveform crosses the
        # ceiling although no sample does, marked above the ceiling line.
        # Both peaks per frame, then per bucket of the same frames.
        _, sample_peak = _peaks(np.max(np.abs(data), axis=1, initial=0.0), 3000)
        xs, wave_peak = _peaks(waveform_peaks(data), 3000)
        marks = (wave_peak > ceiling) & (sample_peak <= ceiling)
        ax.plot(xs[marks] / sample_rate, np.full(int(marks.sum()), ceiling_db + 1.0), "v", color="darkorange", ms=4,
                label="inter-sample over" if marks.any() else None)
        for ch in range(data.shape[1]):
            x, peak = _peaks(data[:, ch], 3000)
            level = np.maximum(db(peak), bottom)
            label = f"ch {ch + 1}" if data.shape[1] > 1 else None
            ax.fill_between(x / sample_rate, bottom, level, color=colors[ch % 2], alpha=0.45, lw=0, label=label,
                            step="mid")
            # Everything beyond the ceiling in red: the overs the limiter removes.
            ax.fill_between(x / sample_rate, ceiling_db, level, where=level > ceiling_db, color="crimson", lw=0,
                            step="mid")
        ax.axhline(ceiling_db, color="crimson", ls="--", lw=1)
        ax.set_ylim(bottom, top)
        ax.set_ylabel("peak (dBFS)")
        count = over(data, ceiling)
        ax.set_title(f"{name}: peak {db(np.max(np.abs(data), initial=0.0)):+.2f} dBFS, "
                     f"{count:,} sample{'s' if count != 1 else ''} over the ceiling; true peak "
                     f"{true_peak(data, sample_rate, axis=0):+.2f} dBTP; orange: {int(marks.sum()):,} inter-sample over"
                     f"{'s' if marks.sum() != 1 else ''} of the ideally reconstructed waveform", loc="left", fontsize=10)
        ax.grid(alpha=0.25)
    ax_out.text(0.995, 0.96, f"ceiling {ceiling_db:g} dBFS", transform=ax_out.transAxes, ha="right", va="top",
                color="crimson", fontsize=9)
    if ax_in.get_legend_handles_labels()[0]:  # a mono input without inter-sample overs has no labels
        ax_in.legend(loc="lower right", fontsize=8, ncols=3)
    plt.setp(ax_in.get_xticklabels(), visible=False)
    plt.setp(ax_out.get_xticklabels(), visible=False)

    x, deepest = _peaks(np.nan_to_num(reduction, posinf=200.0), 3000)
    ax_gr.fill_between(x / sample_rate, -deepest, 0, color="seagreen", alpha=0.7, lw=0, step="mid")
    ax_gr.set_ylim(min(-1.0, -float(np.max(deepest, initial=0.0)) * 1.15), 0.3)
    ax_gr.set_ylabel("gain (dB)")
    ax_gr.set_xlabel("time (s)")
    limited = bool(np.any(gains < 1.0))
    ax_gr.set_title("Gain reduction (frame_gains)" if limited else
                    "Gain reduction: none, the input never exceeds the ceiling", loc="left", fontsize=10)
    ax_gr.grid(alpha=0.25)
    ax_gr.set_xlim(0, max(frames, 1) / sample_rate)

    # Close-up of the loudest transient: the gain starts falling `lookahead`
    # frames ahead of the peak, so the output is never delayed or clipped.
    if frames:
        peak = int(np.argmax(np.max(np.abs(before), axis=1)))
        half = max(3 * lookahead, int(0.004 * sample_rate))  # samples either side
        lo_i, hi_i = max(0, peak - half), min(frames, peak + half + 1)
        ms = (np.arange(lo_i, hi_i) - peak) * 1000.0 / sample_rate
        ch = int(np.argmax(np.abs(before[peak])))
        ax_zoom = fig.add_subplot(grid[3, 0])
        ax_zoom.plot(ms, before[lo_i:hi_i, ch], color="0.6", lw=1, label="input")
        ax_zoom.plot(ms, after[lo_i:hi_i, ch], color=colors[ch % 2], lw=1.2, label="output")
        for sign in (1, -1):
            ax_zoom.axhline(sign * ceiling, color="crimson", ls="--", lw=1)
        ax_zoom.axvline(0, color="k", lw=0.6, alpha=0.4)
        ax_zoom.set_title(f"Loudest transient, ch {ch + 1} (t = {peak / sample_rate:.3f} s)", loc="left", fontsize=10)
        ax_zoom.set_xlabel("ms from peak")
        ax_zoom.set_ylabel("amplitude")
        ax_zoom.legend(loc="lower left", fontsize=8)
        ax_zoom.grid(alpha=0.25)

        # Wider view of the gain around that peak: look-ahead ramp, hold, release.
        hold_ms, release_ms = hold * 1000.0 / sample_rate, release * 1000.0 / sample_rate
        la_ms = lookahead * 1000.0 / sample_rate
        g_lo = max(0, peak - 2 * lookahead)
        g_hi = min(frames, peak + hold + 2 * int(release) + 2 * lookahead + 1)
        ax_gz = fig.add_subplot(grid[3, 1])
        ax_gz.plot((np.arange(g_lo, g_hi) - peak) * 1000.0 / sample_rate, -reduction[g_lo:g_hi], color="seagreen",
                   lw=1.5)
        spans = (("look-ahead", -la_ms, 0.0, "seagreen"), ("hold", 0.0, hold_ms, "0.5"),
                 ("release", hold_ms, hold_ms + release_ms, "tab:purple"))
        for label, a, b, color in spans:
            if b > a:
                ax_gz.axvspan(a, b, color=color, alpha=0.15, lw=0, label=f"{label} {b - a:.3g} ms")
        ax_gz.legend(loc="lower right", fontsize=8)
        ax_gz.axvline(0, color="k", lw=0.6, alpha=0.4)
        ax_gz.set_ylim(min(-1.0, -float(np.max(reduction[g_lo:g_hi], initial=0.0)) * 1.15), 0.3)
        ax_gz.set_title("Gain around that peak: ramps down ahead of it, holds, releases", loc="left", fontsize=10)
        ax_gz.set_xlabel("ms from peak")
        ax_gz.set_ylabel("gain (dB)")
        ax_gz.grid(alpha=0.25)

    fig.suptitle(title, fontsize=12)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# ---------------------------------------------------------------- main


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", nargs="?", help="audio file to limit (default: a built-in test signal)")
    parser.add_argument("--threshold", type=float, default=-1.0, help="output ceiling in dBFS (default -1)")
    parser.add_argument("--attack", type=float, default=5.0, help="look-ahead attack in ms (default 5)")
    parser.add_argument("--hold", type=float, default=15.0, help="hold in ms (default 15)")
    parser.add_argument("--release", type=float, default=40.0, help="release in ms (default 40)")
    parser.add_argument("--true-peak", action="store_true", help="hold the ceiling for the true peak (dBTP)")
    parser.add_argument("--out", type=Path, default=Path("out"), help="output folder (default out/)")
    parser.add_argument("--seconds", type=float, default=6.0, help="length of the built-in signal (default 6)")
    parser.add_argument("--smoke", action="store_true", help="quick run on one second of the built-in signal")
    args = parser.parse_args(argv)

    args.out.mkdir(parents=True, exist_ok=True)
    if args.file:
        source = Path(args.file)
        stem = source.stem
        target = args.out / f"{stem}_limited{source.suffix}"
    else:
        stem = "demo"
        source = args.out / "demo_input.wav"
        sample_rate = 48000
        # A float WAV keeps the overs of the input.
        soundfile.write(source, make_test_signal(sample_rate, 1.0 if args.smoke else args.seconds), sample_rate,
                        subtype="FLOAT")
        target = args.out / "demo_limited.wav"
    gains_path = args.out / f"{stem}_gains.npy"

    settings = ["--threshold", str(args.threshold), "--attack", str(args.attack), "--hold", str(args.hold),
                "--release", str(args.release)] + (["--true-peak"] if args.true_peak else [])
    status = nalo_limiter_command([str(source), str(target), *settings, "--gains", str(gains_path)])
    if status != 0:
        return status

    audio, sample_rate = soundfile.read(source, dtype="float32", always_2d=True)
    limited, _ = soundfile.read(target, dtype="float32", always_2d=True)
    gains = np.load(gains_path)
    limiter = NaloLimiter(sample_rate, args.threshold, args.attack, args.hold, args.release)
    ceiling = 10 ** (args.threshold / 20)
    print(f"settings:   {limiter.lookahead_samples} samples look-ahead, {limiter.hold_samples} hold, "
          f"{limiter.release_samples:g} release")
    print(f"over ceiling: {over(audio, ceiling)} samples before, {over(limited, ceiling)} after")

    written = [target, gains_path] if args.file else [source, target, gains_path]
    png = args.out / f"{stem}.png"
    title = f"nalo-limiter: {stem}, ceiling {args.threshold:g} {'dBTP' if args.true_peak else 'dBFS'}, " \
            "attack/hold/release " \
            f"{args.attack:g}/{args.hold:g}/{args.release:g} ms"
    if plot(png, audio, limited, gains, sample_rate, args.threshold, limiter, title):
        written.append(png)
    print("wrote:      " + ", ".join(str(p) for p in written))
    return 0


if __name__ == "__main__":
    sys.exit(main())
