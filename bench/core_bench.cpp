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
//
// --quick: 2 seconds of signal and one run, for smoke tests. The exit status
// is non-zero if an output sample exceeds the ceiling.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    std::vector<double> t_copy, t_process, t_into, t_gains;
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

    // The envelope alone, on the frame peaks.
    std::vector<float> peaks(frames);
    for (std::size_t f = 0; f < frames; ++f) peaks[f] = std::max(std::fabs(source[f]), std::fabs(source[frames + f]));
    std::vector<float> levels(frames);
    for (int r = 0; r < runs; ++r) {
        std::memcpy(levels.data(), peaks.data(), frames * sizeof(float));
        t_gains.push_back(seconds_of([&] {
            limiter.reset_envelope();
            limiter.compute_gains(levels);
        }));
    }
    if (std::memcmp(levels.data(), gains.data(), frames * sizeof(float)) != 0) {
        std::fprintf(stderr, "compute_gains alone disagrees with process_planar\n");
        return false;
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
    report("memcpy of the planar buffer", copy, frames, copy);

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
