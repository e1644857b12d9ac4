// libFuzzer target for the limiter core.
//
// The input bytes are read as: five doubles (threshold in dBFS, attack, hold
// and release times in milliseconds, and a value picking the sample rate), one
// byte for the channel count, then raw float32 samples. Any settings are
// tried; sizes that would need more than a few million envelope entries are
// only checked for their error, not processed. For every accepted signal the
// result must stay within the ceiling, every gain must lie in [0, 1], and a
// failure must be exactly the error the input calls for.
//
// The signal is also limited through a LimiterStream, pushed in blocks whose
// sizes come from the input's trailing bytes (those that do not make up a
// whole sample): the concatenated output must equal the whole-signal call bit
// for bit, and a block with a NaN or infinity must fail with its index.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "lib.hpp"

namespace {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;

    template <typename T>
    T take(T fallback)
    {
        if (size < sizeof(T)) return fallback;
        T value;
        std::memcpy(&value, data, sizeof value);
        data += sizeof value;
        size -= sizeof value;
        return value;
    }
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what)
{
    if (!ok) fail(what);
}

std::uint32_t bits(float x)
{
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

bool finite_bits(float x) { return (bits(x) & 0x7FFFFFFFu) <= 0x7F7FFFFFu; }

// Sample rates from the whole range, with the common ones likely.
std::uint32_t pick_rate(double selector)
{
    static constexpr std::uint32_t common[] = {0, 1, 8000, 44100, 48000, 96000, 192000, 4294967295u};
    std::uint64_t raw;
    std::memcpy(&raw, &selector, sizeof raw);
    if ((raw & 1) == 0) return common[(raw >> 1) % std::size(common)];
    return static_cast<std::uint32_t>(raw >> 1);
}

// Block sizes for a stream, drawn from a seed the input chooses: empty,
// single frames, short ones, ones around the engine's 512-step block, long ones.
struct Splitter {
    std::uint64_t state;
    std::size_t next(std::uint64_t lookahead)
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const std::uint64_t r = state >> 33;
        switch (r % 6) {
        case 0: return 0;
        case 1: return 1;
        case 2: return 1 + (r >> 3) % std::max<std::uint64_t>(lookahead, 1);
        case 3: return 500 + (r >> 3) % 30;
        case 4: return (r >> 3) % 64;
        default: return 1 + (r >> 3) % 3000;
        }
    }
};

// Pushes the planar signal through a stream and checks the result against the
// whole-signal call (`want`, `want_gains`), or the failing block's index
// when the signal holds a non-finite sample (`want` null).
void check_stream(const nalo::NaloLimiter& limiter, const std::vector<float>& signal, std::size_t channels,
                  const std::vector<float>* want, const std::vector<float>* want_gains, std::uint64_t seed)
{
    auto made = nalo::LimiterStream::create(limiter, channels);
    check(bool(made), "stream created");
    nalo::LimiterStream stream = std::move(made).value();
    const std::size_t frames = signal.size() / channels;
    std::vector<float> out(signal.size()), gains(frames), block;
    Splitter split{seed};
    std::size_t done = 0;
    for (std::size_t at = 0; at < frames;) {
        const std::size_t m = std::min(split.next(limiter.lookahead_samples), frames - at);
        block.resize(channels * m);
        for (std::size_t c = 0; c < channels; ++c)
            std::copy_n(signal.begin() + static_cast<long>(c * frames + at), m, block.begin() + static_cast<long>(c * m));
        const std::size_t n = stream.frames_ready_after(m);
        std::vector<float> piece(channels * n);
        const auto error = stream.push(block, piece, {gains.data() + done, n});
        if (error) {
            check(!want && error->kind == nalo::LimiterErrorKind::NonFiniteSample && error->count < block.size() &&
                      !finite_bits(block[error->count]) &&
                      std::all_of(block.begin(), block.begin() + static_cast<long>(error->count), finite_bits),
                  "a stream fails exactly on the first non-finite sample of its block");
            return;
        }
        for (std::size_t c = 0; c < channels; ++c)
            std::copy_n(piece.begin() + static_cast<long>(c * n), n, out.begin() + static_cast<long>(c * frames + done));
        done += n;
        at += m;
    }
    check(want != nullptr, "a stream accepts a non-finite sample");
    const std::size_t n = stream.frames_pending();
    std::vector<float> piece(channels * n);
    check(!stream.finish(piece, {gains.data() + done, n}), "stream finish");
    for (std::size_t c = 0; c < channels; ++c)
        std::copy_n(piece.begin() + static_cast<long>(c * n), n, out.begin() + static_cast<long>(c * frames + done));
    check(same_bits(out, *want) && same_bits(gains, *want_gains), "stream output equals the whole-signal output");
    check(bool(stream.push({}, {}, {})), "push after finish fails");
}

// Limits the planar signal tile by tile, into another buffer and in place,
// in pieces of a step budget from the seed, and checks the result against
// the whole-signal call, or the error's index when the signal holds a
// non-finite sample (`want` null).
void check_tiled(nalo::NaloLimiter& limiter, const std::vector<float>& signal, std::size_t channels,
                 const std::vector<float>* want, const std::vector<float>* want_gains, std::uint64_t seed)
{
    const std::size_t frames = signal.size() / channels;
    const std::uint64_t budget = seed % 3 == 0 ? UINT64_MAX : 1 + seed % (2 * limiter.lookahead_samples + 40000);
    for (const bool in_place : {false, true}) {
        std::vector<float> in = signal, out(signal.size()), gains(frames);
        float* target = in_place ? in.data() : out.data();
        const nalo::PlanarBuffers buffers{in.data(), frames, target, frames, channels, frames, gains.data()};
        auto made = nalo::TiledLimit::start(limiter, buffers);
        check(bool(made), "tiled call started");
        std::optional<nalo::LimiterError> error;
        while (!error && !made.value().done()) error = made.value().advance(budget);
        if (!want) {
            const auto first = std::find_if(signal.begin(), signal.end(), [](float x) { return !finite_bits(x); });
            check(error && error->kind == nalo::LimiterErrorKind::NonFiniteSample &&
                      error->count == static_cast<std::uint64_t>(first - signal.begin()),
                  "a tiled call fails on the first non-finite sample");
            continue;
        }
        check(!error, "a tiled call of finite samples succeeds");
        if (!in_place) check(same_bits(in, signal), "a tiled call leaves its input alone");
        check(same_bits(in_place ? in : out, *want) && same_bits(gains, *want_gains),
              "tiled output equals the whole-signal output");
    }
}

// Envelope entries beyond which a configuration is not processed here.
constexpr std::uint64_t kMaxWindow = std::uint64_t{1} << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in{data, size};
    const double threshold_dBFS = in.take<double>(0.0);
    double attack_ms = in.take<double>(5.0);
    double hold_ms = in.take<double>(15.0);
    double release_ms = in.take<double>(40.0);
    const std::uint32_t sample_rate = pick_rate(in.take<double>(0.0));
    const std::uint8_t channel_byte = in.take<std::uint8_t>(1);

    // Keep the look-ahead and window small enough to run thousands of cases
    // a second; the validation order and messages still see every value.
    const bool durations_valid = std::isfinite(attack_ms) && !(attack_ms < 0) && std::isfinite(hold_ms) &&
                                 !(hold_ms < 0) && std::isfinite(release_ms) && !(release_ms < 0);
    if (durations_valid && sample_rate != 0) {
        const double per_ms = static_cast<double>(sample_rate) / 1000.0;
        if ((attack_ms + hold_ms) * per_ms > static_cast<double>(kMaxWindow)) {
            attack_ms = std::fmod(attack_ms, 20.0);
            hold_ms = std::fmod(hold_ms, 20.0);
            if ((attack_ms + hold_ms) * per_ms > static_cast<double>(kMaxWindow)) return 0;
        }
    }

    auto made = nalo::NaloLimiter::create(sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms);
    const bool threshold_valid = std::isfinite(threshold_dBFS) && !(threshold_dBFS > 0.0);
    if (!made) {
        using K = nalo::LimiterErrorKind;
        const K kind = made.error().kind;
        check(!nalo::error_message(made.error()).empty(), "error message");
        if (sample_rate == 0) check(kind == K::ZeroSampleRate, "zero sample rate first");
        else if (!threshold_valid) check(kind == K::InvalidThreshold, "threshold second");
        else if (!durations_valid) check(kind == K::InvalidDuration, "durations third");
        else check(kind == K::AttackRoundsToZero, "only a short attack is left");
        return 0;
    }
    check(sample_rate != 0 && threshold_valid && durations_valid, "invalid settings accepted");
    nalo::NaloLimiter limiter = std::move(made).value();
    check(limiter.threshold >= 0.0 && limiter.threshold <= 1.0, "threshold in [0, 1]");
    check(limiter.lookahead_samples >= 1, "look-ahead of at least one sample");
    check(limiter.release_coefficient >= 0.0 && limiter.release_coefficient <= 1.0, "release coefficient");

    // Channel 0 is kept rare but possible; otherwise 1 to 8 channels, with
    // a sample count that need not divide.
    const std::uint64_t channels = channel_byte == 0xFF ? 0 : channel_byte % 8 + 1;
    std::vector<float> samples(in.size / sizeof(float));
    if (!samples.empty()) std::memcpy(samples.data(), in.data, samples.size() * sizeof(float));
    // The bytes left over after the last whole sample choose the stream's blocks.
    std::uint64_t split_seed = in.size % sizeof(float);
    for (std::size_t k = samples.size() * sizeof(float); k < in.size; ++k) split_seed = split_seed << 8 | in.data[k];
    const std::vector<float> original = samples;
    const float ceiling = static_cast<float>(limiter.threshold);

    for (int round = 0; round < 2; ++round) {
        std::vector<float> work = original;
        auto result = nalo::process_planar(limiter, work, channels);
        using K = nalo::LimiterErrorKind;
        if (!result) {
            const nalo::LimiterError& error = result.error();
            if (channels == 0) {
                check(error.kind == K::ZeroChannels, "zero channels");
            } else if (work.size() % channels != 0) {
                check(error.kind == K::IndivisibleSamples && error.count == work.size() &&
                          error.channels == channels,
                      "indivisible samples");
            } else {
                check(error.kind == K::NonFiniteSample, "only a non-finite sample is left");
                const auto first = std::find_if(original.begin(), original.end(), [](float x) { return !finite_bits(x); });
                check(first != original.end() && error.count == static_cast<std::uint64_t>(first - original.begin()),
                      "index of the first non-finite sample");
            }
            check(same_bits(work, original), "a failed call leaves the samples alone");
            if (error.kind == K::NonFiniteSample) {
                check_stream(limiter, original, channels, nullptr, nullptr, split_seed);
                check_tiled(limiter, original, channels, nullptr, nullptr, split_seed);
            }
            return 0;
        }
        check(channels != 0 && work.size() % channels == 0, "bad layout accepted");
        check(std::all_of(original.begin(), original.end(), finite_bits), "non-finite sample accepted");
        const std::vector<float>& gains = result.value();
        const std::size_t frames = work.size() / channels;
        check(gains.size() == frames, "one gain per frame");
        for (std::size_t f = 0; f < frames; ++f) {
            check(gains[f] >= 0.0f && gains[f] <= 1.0f, "gain in [0, 1]");
            for (std::size_t c = 0; c < channels; ++c) {
                const std::size_t i = c * frames + f;
                const float y = work[i];
                check(std::fabs(y) <= ceiling, "output within the ceiling");
                const float expected = std::clamp(original[i] * gains[f], -ceiling, ceiling);
                check(bits(y) == bits(expected), "sample = clamp(x * gain)");
            }
        }
        // A signal nowhere above the ceiling comes back unchanged.
        const bool quiet = std::all_of(original.begin(), original.end(), [&](float x) {
            return static_cast<double>(std::fabs(x)) <= limiter.threshold;
        });
        if (quiet) {
            check(std::all_of(gains.begin(), gains.end(), [](float g) { return g == 1.0f; }), "quiet: gains 1");
            check(same_bits(work, original), "quiet: unchanged");
        }
        if (round == 0) {
            check_stream(limiter, original, channels, &work, &gains, split_seed);
            check_tiled(limiter, original, channels, &work, &gains, split_seed);
        }
        // The second round must repeat the first bit for bit.
        static std::vector<float> first_out, first_gains;
        if (round == 0) {
            first_out = work;
            first_gains = gains;
        } else {
            check(same_bits(first_out, work), "repeatable output");
            check(same_bits(first_gains, gains), "repeatable gains");
        }
    }
    return 0;
}
