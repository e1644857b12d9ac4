// Timing of the limiter core on long, loud, music-like stereo material.
//
//   nalo_core_bench [--quick] [--seconds N] [--runs R]
//
// Generates N seconds (default 600) of 48 kHz stereo planar float32 audio,
// deterministically: detuned saw chords and a sine bass under note envelopes,
// drum-like bursts and noise, peaking well above the ceiling. The same signal
// 28 dB quieter is never limited. Each is limited at -1 dBFS with attack,
// hold and release of 5, 15 and 40 ms; every figure is the median of R runs
// (default 5). A memcpy of the same buffer is timed alongside as the floor of
// what any pass over the data costs; process_planar_into is timed with a gains
// buffer reused across runs (no allocation), and compute_gains alone on the
// frame peaks, so that the rest (checks, peak pass, application) follows.
// The tiled call (process_planar_tiled) is timed from the signal into an
// output and a gains buffer reused across runs, as a multiple of it.
//
// The floor of the envelope's sequential part is timed on the same signal:
// one straight loop with only the release recurrence (difference, fused
// multiply-add, the choice as a predicted branch) and the three running sums
// with their rings, fed the window minima of the real envelope (no window
// minimum of its own); compute_gains is printed as a multiple of it. A
// LimiterStream is timed pushing the signal in blocks of 65,536 and of 512
// frames (read from the signal and written to the output in place, through
// the strided views), as a multiple of the whole-signal call.
//
// --quick: 2 seconds of signal and one run, for smoke tests. The exit status
// is non-zero if an output sample exceeds the ceiling.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "lib.hpp"

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr double kThreshold_dBFS = -1.0;

// xorshift64*: deterministic noise independent of the standard library.
struct Noise {
    std::uint64_t state;
    double next()  // uniform in [-1, 1)
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t r = state * 0x2545F4914F6CDD1Dull;
        return static_cast<double>(r >> 11) * 0x1p-52 - 1.0;
    }
};

// One channel of the material into out[0 .. frames).
void synthesize(float* out, std::size_t frames, int channel)
{
    // A progression of four chords (Hz), two seconds each.
    static const double chords[4][3] = {
        {220.00, 277.18, 329.63}, {196.00, 246.94, 293.66}, {174.61, 220.00, 261.63}, {164.81, 207.65, 246.94}};
    static const double bass[4] = {55.00, 49.00, 43.65, 41.20};
    const double detune[3] = {1.0, 1.0 + (channel ? 0.0041 : -0.0037), 1.0 + (channel ? -0.0023 : 0.0029)};
    const double dt = 1.0 / kRate;

    Noise noise{0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(channel)};
    double saw_phase[3][3] = {};
    double bass_phase = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) * dt;
        const std::size_t chord = static_cast<std::size_t>(t / 2.0) % 4;

        // Notes every quarter second, each with a sharp attack and a decay.
        const double note_t = std::fmod(t, 0.25);
        const double note_env = (note_t < 0.005 ? note_t / 0.005 : 1.0) * (0.35 + 0.65 * std::exp(-note_t * 9.0));
        double pad = 0.0;
        for (int n = 0; n < 3; ++n)
            for (int d = 0; d < 3; ++d) {
                double& ph = saw_phase[n][d];
                ph += chords[chord][n] * detune[d] * dt;
                ph -= std::floor(ph);
                pad += 2.0 * ph - 1.0;
            }
        bass_phase += bass[chord] * dt;
        bass_phase -= std::floor(bass_phase);
        const double low = std::sin(6.283185307179586 * bass_phase);

        // A drum-like burst of noise every half second, louder on the beat.
        const double beat_t = std::fmod(t, 0.5);
        const double drum = std::exp(-beat_t * 30.0) * (std::fmod(t, 1.0) < 0.5 ? 1.6 : 1.0);
        // A slow swell over 20 seconds keeps the level moving.
        const double swell = 0.8 + 0.2 * std::sin(6.283185307179586 * t / 20.0 + channel);

        const double x = swell * (0.11 * note_env * pad + 0.55 * low) + drum * 1.3 * noise.next() +
                         0.02 * noise.next();
        out[i] = static_cast<float>(x);
    }
}

double seconds_of(const std::function<void()>& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Window minimum of the targets over `window` steps, for steps 0 .. frames +
// lookahead - 1 (silence past the end): the data the floor loop is fed.
std::vector<double> window_minima(const std::vector<float>& peaks, const nalo::NaloLimiter& limiter)
{
    const double T = limiter.threshold;
    const std::size_t window = limiter.envelope.minimum.window_length();
    const std::size_t steps = peaks.size() + limiter.lookahead_samples;
    std::vector<double> w(steps);
    std::deque<std::pair<std::size_t, double>> queue;
    for (std::size_t i = 0; i < steps; ++i) {
        const double p = i < peaks.size() ? static_cast<double>(peaks[i]) : 0.0;
        const double t = p > T ? T / (p + nalo::kEpsilon) : 1.0;
        while (!queue.empty() && queue.back().second >= t) queue.pop_back();
        queue.emplace_back(i, t);
        while (queue.front().first + window <= i) queue.pop_front();
        w[i] = queue.front().second;
    }
    return w;
}

// The floor: release recurrence and three running sums, nothing else.
// Returns a value that depends on every step so that nothing is dropped.
template <int Variant>
[[gnu::always_inline]] inline double floor_steps(const std::vector<double>& w, double c,
                                                 const std::array<std::uint64_t, 3>& length, std::vector<double>& rings)
{
    double* b1 = rings.data();
    double* b2 = b1 + length[0];
    double* b3 = b2 + length[1];
    std::fill(rings.begin(), rings.end(), 1.0);
    const double rc1 = 1.0 / static_cast<double>(length[0]), rc2 = 1.0 / static_cast<double>(length[1]),
                 rc3 = 1.0 / static_cast<double>(length[2]);
    double release = 1.0, sum1 = static_cast<double>(length[0]), sum2 = static_cast<double>(length[1]),
           sum3 = static_cast<double>(length[2]), total = 0.0;
    std::size_t p1 = 0, p2 = 0, p3 = 0;
    for (const double wk : w) {
        // The choice as a predicted branch, as in the envelope: taken only
        // where the gain drops, it keeps the choice off the chain of steps.
        const double r = std::fma(wk - release, c, release);
        release = r;
        if (__builtin_expect(wk < r, 0)) {
            release = wk;
            asm volatile("");
        }
        sum1 = sum1 + (release - b1[p1]);
        b1[p1] = release;
        const double a1 = sum1 * rc1;
        sum2 = sum2 + (a1 - b2[p2]);
        b2[p2] = a1;
        const double a2 = sum2 * rc2;
        sum3 = sum3 + (a2 - b3[p3]);
        b3[p3] = a2;
        p1 = p1 + 1 == length[0] ? 0 : p1 + 1;
        p2 = p2 + 1 == length[1] ? 0 : p2 + 1;
        p3 = p3 + 1 == length[2] ? 0 : p3 + 1;
    }
    total = sum3 * rc3;
    return total;
}

// Compiled like the core's envelope: with FMA where the CPU has it.
#if defined(__x86_64__) && !defined(NALO_PORTABLE_ONLY)
[[gnu::target("avx2,fma"), gnu::noinline]] double floor_fma(const std::vector<double>& w, double c,
                                                           const std::array<std::uint64_t, 3>& length,
                                                           std::vector<double>& rings)
{
    return floor_steps<1>(w, c, length, rings);
}
#endif

[[gnu::noinline]] double floor_portable(const std::vector<double>& w, double c,
                                        const std::array<std::uint64_t, 3>& length, std::vector<double>& rings)
{
    return floor_steps<0>(w, c, length, rings);
}

double floor_loop(const std::vector<double>& w, double c, const std::array<std::uint64_t, 3>& length,
                  std::vector<double>& rings)
{
#if defined(__x86_64__) && !defined(NALO_PORTABLE_ONLY)
    if (__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2")) return floor_fma(w, c, length, rings);
#endif
    return floor_portable(w, c, length, rings);
}

// Limits `source` (planar stereo) through a stream in blocks of `block`
// frames, read in place and written straight into `out` and `gains`.
bool stream_through(const nalo::NaloLimiter& limiter, const std::vector<float>& source, std::size_t frames,
                    std::size_t block, std::vector<float>& out, std::vector<float>& gains)
{
    auto made = nalo::LimiterStream::create(limiter, 2);
    if (!made) return false;
    nalo::LimiterStream stream = std::move(made).value();
    std::size_t done = 0;
    for (std::size_t first = 0; first < frames; first += block) {
        const std::size_t m = std::min(block, frames - first);
        const std::size_t n = stream.frames_ready_after(m);
        if (stream.push(source.data() + first, frames, m, out.data() + done, frames, gains.data() + done)) return false;
        done += n;
    }
    const std::size_t n = stream.frames_pending();
    if (stream.finish(out.data() + done, frames, gains.data() + done)) return false;
    return done + n == frames;
}

void report(const char* what, double seconds, std::size_t frames, double memcpy_seconds)
{
    const double audio_seconds = static_cast<double>(frames) / kRate;
    std::printf("  %-34s %9.2f ms %9.1f M frames/s %7.3f ns/frame %9.0fx realtime %6.2fx memcpy\n", what,
                seconds * 1e3, static_cast<double>(frames) / seconds / 1e6, seconds * 1e9 / static_cast<double>(frames),
                audio_seconds / seconds, seconds / memcpy_seconds);
}

// Limits `source` (planar stereo) `runs` times; prints the figures. Returns
// false if the output exceeds the ceiling.
bool bench_signal(const char* name, const std::vector<float>& source, std::size_t frames, int runs)
{
    auto made = nalo::NaloLimiter::create(kRate, kThreshold_dBFS, 5.0, 15.0, 40.0);
    if (!made) {
        std::fprintf(stderr, "%s\n", nalo::error_message(made.error()).c_str());
        return false;
    }
    nalo::NaloLimiter limiter = std::move(made).value();
    const float ceiling = static_cast<float>(limiter.threshold);

    float input_peak = 0.0f;
    for (float x : source) input_peak = std::max(input_peak, std::fabs(x));

    std::vector<float> work(source.size());
    std::vector<float> gains;
    std::vector<double> t_copy, t_process, t_into;
    std::vector<float> reused(frames, 0.0f);
    for (int r = 0; r < runs; ++r) {
        t_copy.push_back(seconds_of([&] { std::memcpy(work.data(), source.data(), source.size() * sizeof(float)); }));
        t_process.push_back(seconds_of([&] {
            auto result = nalo::process_planar(limiter, work, 2);
            if (result) gains = std::move(result).value();
        }));
        // The same into a gains buffer that is already mapped: no allocation.
        std::memcpy(work.data(), source.data(), source.size() * sizeof(float));
        t_into.push_back(seconds_of([&] { (void)nalo::process_planar_into(limiter, work, 2, reused); }));
    }
    if (std::memcmp(reused.data(), gains.data(), frames * sizeof(float)) != 0) {
        std::fprintf(stderr, "process_planar_into disagrees with process_planar\n");
        return false;
    }
    if (gains.size() != frames) {
        std::fprintf(stderr, "processing failed\n");
        return false;
    }
    float output_peak = 0.0f;
    for (float x : work) output_peak = std::max(output_peak, std::fabs(x));
    std::size_t reduced = 0;
    for (float g : gains) reduced += g < 1.0f;

    // The envelope alone on the frame peaks, the floor of its sequential
    // part, and streams in blocks of 65,536 and 512 frames: timed round by
    // round, each round all of them back to back with the whole-signal call,
    // so that the ratios compare like with like on a busy machine.
    std::vector<float> peaks(frames);
    for (std::size_t f = 0; f < frames; ++f) peaks[f] = std::max(std::fabs(source[f]), std::fabs(source[frames + f]));
    std::vector<float> levels(frames);
    const std::vector<double> minima = window_minima(peaks, limiter);
    const std::array<std::uint64_t, 3> lengths = {limiter.envelope.stages[0].length(), limiter.envelope.stages[1].length(),
                                                  limiter.envelope.stages[2].length()};
    std::vector<double> rings(lengths[0] + lengths[1] + lengths[2]);
    volatile double sink = 0.0;
    const std::size_t block_sizes[2] = {65536, 512};
    std::vector<float> out(source.size()), stream_gains(frames);
    std::vector<float> tiled_out(source.size()), tiled_gains(frames);
    std::vector<double> t_gains, t_floor, t_whole, t_tiled, t_stream[2];
    std::vector<double> gains_per_floor, tiled_per_whole, stream_per_whole[2];
    for (int r = 0; r < runs; ++r) {
        std::memcpy(levels.data(), peaks.data(), frames * sizeof(float));
        t_gains.push_back(seconds_of([&] {
            limiter.reset_envelope();
            limiter.compute_gains(levels);
        }));
        t_floor.push_back(seconds_of([&] { sink = sink + floor_loop(minima, limiter.release_coefficient, lengths, rings); }));
        gains_per_floor.push_back(t_gains.back() / t_floor.back());
        if (std::memcmp(levels.data(), gains.data(), frames * sizeof(float)) != 0) {
            std::fprintf(stderr, "compute_gains alone disagrees with process_planar\n");
            return false;
        }

        std::memcpy(work.data(), source.data(), source.size() * sizeof(float));
        t_whole.push_back(seconds_of([&] { (void)nalo::process_planar_into(limiter, work, 2, reused); }));
        // Tile by tile from the source into an output buffer, both already mapped.
        const nalo::PlanarBuffers buffers{source.data(), frames, tiled_out.data(), frames, 2, frames, tiled_gains.data()};
        t_tiled.push_back(seconds_of([&] { (void)nalo::process_planar_tiled(limiter, buffers); }));
        tiled_per_whole.push_back(t_tiled.back() / t_whole.back());
        if (std::memcmp(tiled_gains.data(), gains.data(), frames * sizeof(float)) != 0 ||
            std::memcmp(tiled_out.data(), work.data(), tiled_out.size() * sizeof(float)) != 0) {
            std::fprintf(stderr, "the tiled call disagrees with process_planar\n");
            return false;
        }
        for (int b = 0; b < 2; ++b) {
            bool ok = true;
            t_stream[b].push_back(seconds_of([&] { ok = stream_through(limiter, source, frames, block_sizes[b], out, stream_gains); }));
            stream_per_whole[b].push_back(t_stream[b].back() / t_whole.back());
            if (!ok || std::memcmp(stream_gains.data(), gains.data(), frames * sizeof(float)) != 0 ||
                std::memcmp(out.data(), work.data(), out.size() * sizeof(float)) != 0) {
                std::fprintf(stderr, "the stream in blocks of %zu frames disagrees with process_planar\n", block_sizes[b]);
                return false;
            }
        }
    }

    const double copy = median(t_copy), process = median(t_process), envelope = median(t_gains);
    // The gap between the two process lines is the per-call allocation and
    // first touch of the gains buffer.
    std::printf("%s: %zu frames x 2 channels (%.0f s), input peak %+.2f dBFS, output peak %+.4f dBFS, "
                "%.1f%% of frames reduced, median of %d\n",
                name, frames, static_cast<double>(frames) / kRate, 20.0 * std::log10(input_peak),
                20.0 * std::log10(output_peak), 100.0 * static_cast<double>(reduced) / static_cast<double>(frames),
                runs);
    report("process_planar", process, frames, copy);
    report("process_planar_into, reused gains", median(t_into), frames, copy);
    report("  compute_gains alone", envelope, frames, copy);
    report("  rest (checks, peaks, application)", median(t_into) - envelope, frames, copy);
    report("tiled, source to reused output", median(t_tiled), frames, copy);
    report("memcpy of the planar buffer", copy, frames, copy);
    report("floor: release and running sums", median(t_floor), frames, copy);
    report("stream, blocks of 65536 frames", median(t_stream[0]), frames, copy);
    report("stream, blocks of 512 frames", median(t_stream[1]), frames, copy);
    std::printf("  ratios, median of the rounds: compute_gains = %.2fx the floor; tiled = %.3fx and stream = %.3fx "
                "(blocks of 65536) and %.3fx (blocks of 512) process_planar_into\n",
                median(gains_per_floor), median(tiled_per_whole), median(stream_per_whole[0]),
                median(stream_per_whole[1]));

    if (output_peak > ceiling) {
        std::fprintf(stderr, "output exceeds the ceiling: %.9g > %.9g\n", output_peak, ceiling);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 600.0;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            seconds = 2.0;
            runs = 1;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--seconds N] [--runs R]\n", argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0) || runs < 1) {
        std::fprintf(stderr, "--seconds must be positive and --runs at least 1\n");
        return 2;
    }
    const std::size_t frames = static_cast<std::size_t>(seconds * kRate);

    std::vector<float> source(2 * frames);
    synthesize(source.data(), frames, 0);
    synthesize(source.data() + frames, frames, 1);

    std::printf("nalo core benchmark: 48 kHz stereo, %.1f dBFS, 5/15/40 ms\n", kThreshold_dBFS);
    bool ok = bench_signal("loud", source, frames, runs);
    const float quieter = static_cast<float>(std::pow(10.0, -28.0 / 20.0));
    for (float& x : source) x *= quieter;
    ok = bench_signal("quiet (-28 dB)", source, frames, runs) && ok;
    return ok ? 0 : 1;
}
