#include "lib.hpp"

#include "lanes.hpp"
#include "power_of_ten.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string_view>

// On x86, the hot loops are also compiled for AVX2 and FMA and chosen at run
// time; NALO_PORTABLE_ONLY builds only the baseline code (to test it on any
// machine).
#if (defined(__x86_64__) || defined(__i386__)) && !defined(NALO_PORTABLE_ONLY)
#define NALO_X86_DISPATCH 1
#else
#define NALO_X86_DISPATCH 0
#endif

namespace nalo {

// ---------------------------------------------------------------- messages

std::string format_number(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; fixed
    // notation would print large values exactly (1e23 as 99999999999999991611392)
    // rather than as those digits followed by zeros.
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string result;
    std::string digits;
    for (const char ch : text.substr(0, e)) {
        if (ch == '-') result += '-';
        else if (ch != '.') digits += ch;
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    // Digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        result += "0.";
        result.append(static_cast<std::size_t>(-point), '0');
        result += digits;
    } else if (point >= count) {
        result += digits;
        result.append(static_cast<std::size_t>(point - count), '0');
    } else {
        result.append(digits, 0, static_cast<std::size_t>(point));
        result += '.';
        result.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return result;
}

std::string error_message(const LimiterError& error)
{
    switch (error.kind) {
    case LimiterErrorKind::ZeroSampleRate:
        return "sample_rate must be greater than zero";
    case LimiterErrorKind::InvalidThreshold:
        return "threshold_dBFS must be a finite dBFS value less than or equal to 0, got " +
               format_number(error.value);
    case LimiterErrorKind::InvalidDuration:
        return std::string(error.name) + " must be finite and non-negative, got " + format_number(error.value);
    case LimiterErrorKind::AttackRoundsToZero:
        return "attack_ms=" + format_number(error.value) + " rounds to zero samples at " +
               std::to_string(error.count) + " Hz";
    case LimiterErrorKind::ZeroChannels:
        return "channels must be greater than zero";
    case LimiterErrorKind::IndivisibleSamples:
        return std::to_string(error.count) + " samples cannot be divided into frames with " +
               std::to_string(error.channels) + " channels";
    case LimiterErrorKind::NonFiniteSample:
        return "input sample at flat index " + std::to_string(error.count) + " is not finite";
    case LimiterErrorKind::AllocationFailed:
        return "not enough memory for the limiter's buffers";
    case LimiterErrorKind::StreamFinished:
        return "the stream has already finished";
    }
    return "unknown limiter error";
}

// ---------------------------------------------------------------- configuration

namespace {

// Largest double below 2^64; anything above saturates.
constexpr double kLargestBelowTwo64 = 18446744073709549568.0;

std::uint64_t saturate_to_u64(double x) noexcept
{
    if (!(x > 0.0)) return 0;  // negative, either zero, NaN
    if (x > kLargestBelowTwo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

bool is_valid_duration(double ms) noexcept { return std::isfinite(ms) && !(ms < 0.0); }

// Bytes of envelope storage beyond which allocation is not even attempted:
// more than any 64-bit address space maps.
constexpr std::uint64_t kMaxEnvelopeBytes = std::uint64_t{1} << 47;

bool envelope_fits(std::uint64_t window_length, std::uint64_t lookahead) noexcept
{
    // Window minimum: 2 * (window_length + 1) doubles; rings: lookahead + 2 doubles.
    constexpr std::uint64_t limit = kMaxEnvelopeBytes / 16;
    return window_length < limit && lookahead < limit;
}

}  // namespace

std::uint64_t count_samples(double t_ms, std::uint32_t sample_rate) noexcept
{
    const double rate = static_cast<double>(sample_rate);
    // The product first, then the division: another order can move the result
    // by one bit, which decides exact halves (175 ms at 44100 Hz is 7717.5).
    const double samples = (t_ms * rate) / 1000.0;
    return saturate_to_u64(std::round(samples));  // halves away from zero
}

std::array<std::uint64_t, 3> stage_lengths(std::uint64_t lookahead) noexcept
{
    const std::uint64_t units = lookahead - 1;
    const double n = static_cast<double>(units);
    std::array<std::uint64_t, 3> part{};
    std::array<double, 3> frac{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double p = n * kStageShares[k];
        part[k] = saturate_to_u64(std::floor(p));
        frac[k] = p - static_cast<double>(part[k]);
    }
    // Hand the units lost to flooring to the largest fractions, the earlier
    // stage winning a tie; a chosen stage drops below every unchosen one.
    while (part[0] + part[1] + part[2] < units) {
        std::size_t best = 0;
        for (std::size_t k = 1; k < 3; ++k)
            if (frac[k] > frac[best]) best = k;
        part[best] += 1;
        frac[best] -= 1.0;
    }
    return {part[0] + 1, part[1] + 1, part[2] + 1};
}

NaloLimiter::NaloLimiter(std::uint32_t sample_rate_, double threshold_dBFS_, double threshold_,
                         std::uint64_t lookahead, std::uint64_t window_length, double release_samples_,
                         const std::array<std::uint64_t, 3>& stage_length)
    : sample_rate(sample_rate_),
      threshold_dBFS(threshold_dBFS_),
      threshold(threshold_),
      lookahead_samples(lookahead),
      hold_samples(window_length - lookahead),
      release_samples(release_samples_),
      release_coefficient(1.0 / (release_samples_ + 1.0)),
      minimum(window_length),
      stages{MovingAverage(stage_length[0]), MovingAverage(stage_length[1]), MovingAverage(stage_length[2])}
{
}

Result<NaloLimiter> NaloLimiter::create(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                                        double hold_ms, double release_ms)
{
    if (sample_rate == 0) return LimiterError::zero_sample_rate();
    if (!std::isfinite(threshold_dBFS) || threshold_dBFS > 0.0) return LimiterError::invalid_threshold(threshold_dBFS);
    if (!is_valid_duration(attack_ms)) return LimiterError::invalid_duration("attack_ms", attack_ms);
    if (!is_valid_duration(hold_ms)) return LimiterError::invalid_duration("hold_ms", hold_ms);
    if (!is_valid_duration(release_ms)) return LimiterError::invalid_duration("release_ms", release_ms);

    const double threshold = exp10_correctly_rounded(threshold_dBFS / 20.0);
    const std::uint64_t lookahead = count_samples(attack_ms, sample_rate);
    if (lookahead == 0) return LimiterError::attack_rounds_to_zero(attack_ms, sample_rate);

    // The hold is never rounded on its own: attack + hold is counted as one time.
    const std::uint64_t window_length = std::max(count_samples(attack_ms + hold_ms, sample_rate), lookahead);
    const double release_samples = (release_ms * static_cast<double>(sample_rate)) / 1000.0;

    if (!envelope_fits(window_length, lookahead)) return LimiterError::allocation_failed();
    try {
        return NaloLimiter(sample_rate, threshold_dBFS, threshold, lookahead, window_length, release_samples,
                           stage_lengths(lookahead));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
}

// ---------------------------------------------------------------- envelope

void NaloLimiter::reset_envelope() noexcept
{
    minimum.reset();
    release_gain = 1.0;
    for (MovingAverage& stage : stages) stage.reset();
}

namespace {

// Steps are processed in blocks: the target gains of a block are computed in
// one vectorisable pass, the strictly sequential part (window minimum,
// release, smoothing) in a tight loop over local state, and the guard and the
// narrowing of the block's outputs in another vectorisable pass.
constexpr std::size_t kBlock = 512;

struct EnvelopeState {
    MovingMinimum::Cursor minimum;
    std::array<MovingAverage::Cursor, 3> stages;
    double release_gain;
    // Targets of 1.0 not yet pushed into the window minimum: while the
    // envelope is at rest they are counted and pushed in one go.
    std::uint64_t pending_ones = 0;

    void push_pending_ones() noexcept
    {
        minimum.push_ones(pending_ones);
        pending_ones = 0;
    }
};

// The bounds of a gain, read through volatiles so that the compiler sees
// registers rather than constants: against a constant it turns the selects
// of capped_gain into branches, against registers into min and max
// instructions (a branch per step is mispredicted on real audio).
volatile double kGainCeiling = 1.0;
volatile double kGainFloor = 0.0;

struct GainBounds {
    double ceiling = kGainCeiling;
    double floor = kGainFloor;
};

// The smoothed gain capped at 1.0 (NaN gives 1.0). Rounding residue in the
// running sums can leave a vanishingly small gain below zero, which would
// invert the sample: a gain is never negative.
[[gnu::always_inline]] inline double capped_gain(double smoothed, const GainBounds& bounds) noexcept
{
    const double g = smoothed < bounds.ceiling ? smoothed : bounds.ceiling;
    return g > bounds.floor ? g : bounds.floor;
}

// Whether no level of the block's steps is above the ceiling (past the last
// frame the look-ahead sees silence). Levels are finite and non-negative, so
// their bit patterns order like their values.
inline bool block_is_quiet(const float* levels, std::size_t frames, std::uint64_t first, std::size_t count,
                           double T) noexcept
{
    const std::size_t inside = first >= frames ? 0 : std::min<std::uint64_t>(count, frames - first);
    std::uint32_t loudest = 0;
    for (std::size_t j = 0; j < inside; ++j) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(levels[first + j]);
        loudest = bits > loudest ? bits : loudest;
    }
    return !(static_cast<double>(std::bit_cast<float>(loudest)) > T);
}

// Target gain of every step of the block: T / (level + eps) above the
// ceiling, else 1.0; past the last frame the look-ahead sees silence.
// Lanes compute the division whether or not they need it: a branch per frame
// would be mispredicted on real audio.
template <int N>
[[gnu::always_inline]] inline void block_targets(const float* levels, std::size_t frames, std::uint64_t first,
                                                 std::size_t count, double T, double* targets) noexcept
{
    using namespace lanes;
    const std::size_t inside = first >= frames ? 0 : std::min<std::uint64_t>(count, frames - first);
    const float* level = levels + first;
    const Double<N> threshold = splat<N>(T), epsilon = splat<N>(kEpsilon), one = splat<N>(1.0);
    std::size_t j = 0;
    for (; j + N <= inside; j += N) {
        const Double<N> p = load_widened<N>(level + j);
        store<N>(targets + j, select<N>(p > threshold, threshold / (p + epsilon), one));
    }
    for (; j < inside; ++j) {
        const double p = static_cast<double>(level[j]);
        targets[j] = p > T ? T / (p + kEpsilon) : 1.0;
    }
    for (; j < count; ++j) targets[j] = 1.0;
}

// The sequential part: smoothed, capped gain of every step of the block.
// Returns the window minimum of the block's last step. The steps run in
// stretches in which no ring wraps and no minimum segment ends, so the inner
// loop is free of position bookkeeping.
[[gnu::always_inline]] inline double block_smoothed(EnvelopeState& s, double c, const double* targets,
                                                    std::size_t count, double* gains) noexcept
{
    MovingMinimum::Cursor& minimum = s.minimum;
    MovingAverage::Cursor& s1 = s.stages[0];
    MovingAverage::Cursor& s2 = s.stages[1];
    MovingAverage::Cursor& s3 = s.stages[2];
    double release = s.release_gain;
    double prefix = minimum.prefix;
    double sum1 = s1.sum, sum2 = s2.sum, sum3 = s3.sum;
    const double rc1 = s1.reciprocal_length, rc2 = s2.reciprocal_length, rc3 = s3.reciprocal_length;
    const GainBounds bounds;
    double w = 1.0;
    for (std::size_t done = 0; done < count;) {
        std::uint64_t n = count - done;
        n = std::min(n, minimum.window - minimum.position);
        n = std::min(n, s1.length - s1.position);
        n = std::min(n, s2.length - s2.position);
        n = std::min(n, s3.length - s3.position);

        const double* t = targets + done;
        double* g = gains + done;
        double* segment = minimum.current + minimum.position;
        const double* tail = minimum.previous + minimum.position + 1;
        double* b1 = s1.buffer + s1.position;
        double* b2 = s2.buffer + s2.position;
        double* b3 = s3.buffer + s3.position;
        for (std::size_t k = 0; k < n; ++k) {
            // Window minimum: the segment's prefix and the previous segment's suffix.
            segment[k] = t[k];
            prefix = t[k] < prefix ? t[k] : prefix;
            w = tail[k] < prefix ? tail[k] : prefix;
            // One-pole release: drop to w at once, rise the fraction c
            // towards it. The select also yields w should r be NaN.
            const double r = std::fma(w - release, c, release);
            release = r < w ? r : w;
            // Three moving averages: difference first, then the running sum,
            // then the multiplication by the stored reciprocal.
            sum1 = sum1 + (release - b1[k]);
            b1[k] = release;
            const double a1 = sum1 * rc1;
            sum2 = sum2 + (a1 - b2[k]);
            b2[k] = a1;
            const double a2 = sum2 * rc2;
            sum3 = sum3 + (a2 - b3[k]);
            b3[k] = a2;
            g[k] = capped_gain(sum3 * rc3, bounds);
        }

        done += n;
        minimum.next_index += n;
        minimum.position += n;
        minimum.prefix = prefix;
        if (minimum.position == minimum.window) {
            MovingMinimum::close_segment(minimum.current, minimum.window);
            std::swap(minimum.current, minimum.previous);
            minimum.position = 0;
            prefix = minimum.prefix = std::numeric_limits<double>::infinity();
        }
        for (MovingAverage::Cursor* stage : {&s1, &s2, &s3}) {
            stage->position += n;
            if (stage->position == stage->length) stage->position = 0;
        }
    }
    s1.sum = sum1;
    s2.sum = sum2;
    s3.sum = sum3;
    s.release_gain = release;
    return w;
}

// Whether every input in the ring equals `value`. The ring is read oldest
// first: while the envelope is settling, the oldest inputs are the ones that
// still differ, so the check usually ends at its first comparison and costs
// nothing like a full pass per block for a long look-ahead.
bool ring_holds_only(const MovingAverage::Cursor& stage, double value) noexcept
{
    for (std::uint64_t j = stage.position; j < stage.length; ++j)
        if (stage.buffer[j] != value) return false;
    for (std::uint64_t j = 0; j < stage.position; ++j)
        if (stage.buffer[j] != value) return false;
    return true;
}

// Whether the envelope is at rest: the window minimum and the release gain
// are 1.0 and every smoothing ring holds copies of its next input, so that
// while the targets stay 1.0 no sum changes and the gain stays constant.
bool envelope_at_rest(const EnvelopeState& s, double last_minimum) noexcept
{
    if (last_minimum != 1.0 || s.release_gain != 1.0) return false;
    const auto& [s1, s2, s3] = s.stages;
    return ring_holds_only(s1, 1.0) && ring_holds_only(s2, s1.sum * s1.reciprocal_length) &&
           ring_holds_only(s3, s2.sum * s2.reciprocal_length);
}

// A block of targets 1.0 with the envelope at rest: the pushes would leave
// every sum as it is, so only the positions move and the gain is constant.
[[gnu::always_inline]] inline double block_at_rest(EnvelopeState& s, std::size_t count) noexcept
{
    s.pending_ones += count;
    for (MovingAverage::Cursor& stage : s.stages) stage.position = (stage.position + count) % stage.length;
    return capped_gain(s.stages[2].sum * s.stages[2].reciprocal_length, GainBounds{});
}

// Output of frames first .. first + count - 1: the guard keeps level times
// gain at or below the ceiling, then the one narrowing to 32 bits.
template <int N>
[[gnu::always_inline]] inline void block_outputs(float* levels, std::uint64_t first, std::size_t count, double T,
                                                 const double* gains) noexcept
{
    using namespace lanes;
    float* level = levels + first;
    const Double<N> threshold = splat<N>(T), epsilon = splat<N>(kEpsilon);
    std::size_t j = 0;
    for (; j + N <= count; j += N) {
        const Double<N> q = load_widened<N>(level + j);
        const Double<N> g = load<N>(gains + j);
        store_narrowed<N>(level + j, select<N>(g * q > threshold, threshold / (q + epsilon), g));
    }
    for (; j < count; ++j) {
        const double q = static_cast<double>(level[j]);
        const double g = gains[j];
        level[j] = static_cast<float>(g * q > T ? T / (q + kEpsilon) : g);
    }
}

template <int N>
[[gnu::always_inline]] inline void run_envelope(NaloLimiter& limiter, float* levels, std::size_t frames) noexcept
{
    const double T = limiter.threshold;
    const double c = limiter.release_coefficient;
    const std::uint64_t La = limiter.lookahead_samples;
    const std::uint64_t steps = frames + La;

    EnvelopeState s{limiter.minimum.cursor(),
                    {limiter.stages[0].cursor(), limiter.stages[1].cursor(), limiter.stages[2].cursor()},
                    limiter.release_gain};
    bool at_rest = false;
    alignas(64) double targets[kBlock];
    alignas(64) double gains[kBlock];
    for (std::uint64_t first = 0; first < steps; first += kBlock) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, steps - first));
        // Step i writes frame i - La; the first La steps only fill the look-ahead.
        const std::size_t skip = first >= La ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, La - first));
        const bool quiet = block_is_quiet(levels, frames, first, count, T);
        if (quiet && at_rest) {
            // Every level the block's outputs look at is at or below the
            // ceiling (the window behind held only targets of 1.0), so the
            // guard cannot act and every output is the constant gain.
            const double g = block_at_rest(s, count);
            if (count > skip) std::fill(levels + first + skip - La, levels + first + count - La, static_cast<float>(g));
            continue;
        }
        s.push_pending_ones();
        if (quiet)
            std::fill(targets, targets + count, 1.0);
        else
            block_targets<N>(levels, frames, first, count, T, targets);
        const double last_minimum = block_smoothed(s, c, targets, count, gains);
        at_rest = quiet && envelope_at_rest(s, last_minimum);
        // A block wholly inside the look-ahead has no outputs (and no valid
        // output pointer: first + skip - La would wrap).
        if (count > skip) block_outputs<N>(levels, first + skip - La, count - skip, T, gains + skip);
    }
    s.push_pending_ones();
    limiter.minimum.store(s.minimum);
    for (std::size_t k = 0; k < 3; ++k) limiter.stages[k].store(s.stages[k]);
    limiter.release_gain = s.release_gain;
}

#if NALO_X86_DISPATCH
// The release step's fused multiply-add is one instruction where the CPU has
// FMA, and a library call otherwise; both round once, so results agree.
[[gnu::target("avx2,fma")]] void run_envelope_fma(NaloLimiter& limiter, float* levels, std::size_t frames) noexcept
{
    run_envelope<4>(limiter, levels, frames);
}

bool cpu_has_fma() noexcept
{
    static const bool has = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
    return has;
}
#endif

void run_envelope_portable(NaloLimiter& limiter, float* levels, std::size_t frames) noexcept
{
    run_envelope<2>(limiter, levels, frames);
}

}  // namespace

void NaloLimiter::compute_gains(std::span<float> levels) noexcept
{
    if (levels.empty()) return;
#if NALO_X86_DISPATCH
    if (cpu_has_fma()) return run_envelope_fma(*this, levels.data(), levels.size());
#endif
    run_envelope_portable(*this, levels.data(), levels.size());
}

// ---------------------------------------------------------------- processing

namespace {

// Magnitude bits of a sample: its bit pattern with the sign cleared. For
// magnitudes the bit patterns order like the values, and NaN and the
// infinities lie above the largest finite float.
constexpr std::uint32_t kLargestFiniteBits = 0x7F7FFFFFu;

[[gnu::always_inline]] inline std::uint32_t magnitude_bits(float sample) noexcept
{
    return std::bit_cast<std::uint32_t>(sample) & 0x7FFFFFFFu;
}

// First sample that is NaN or infinite, or samples.size() when all are finite.
std::size_t first_non_finite(std::span<const float> samples) noexcept
{
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (magnitude_bits(samples[i]) > kLargestFiniteBits) return i;
    return samples.size();
}

// Largest absolute sample of every frame across all channels, computed on
// the magnitude bits in one pass that also finds whether any sample is NaN
// or infinite: returns the largest magnitude bits seen.
[[gnu::always_inline]] inline std::uint32_t peaks_pass(const float* samples, std::size_t channels, std::size_t frames,
                                                     float* peaks) noexcept
{
    std::uint32_t largest = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::uint32_t bits = magnitude_bits(samples[f]);
        largest = bits > largest ? bits : largest;
        peaks[f] = std::bit_cast<float>(bits);
    }
    for (std::size_t c = 1; c < channels; ++c) {
        const float* block = samples + c * frames;
        for (std::size_t f = 0; f < frames; ++f) {
            const std::uint32_t bits = magnitude_bits(block[f]);
            const std::uint32_t peak = std::bit_cast<std::uint32_t>(peaks[f]);
            largest = bits > largest ? bits : largest;
            peaks[f] = std::bit_cast<float>(bits > peak ? bits : peak);
        }
    }
    return largest;
}

// Frames per stretch of the application pass.
constexpr std::size_t kApplyStretch = 2048;

// Whether every gain of the stretch is exactly 1.0: its samples then stay as
// they are (a level at or below the ceiling is at or below the ceiling rounded
// to 32 bits, so the clamp cannot act either), and the stretch is not written.
[[gnu::always_inline]] inline bool all_unity(const float* gains, std::size_t count) noexcept
{
    // Compared as bit patterns, which vectorises (1.0f is 0x3F800000).
    std::uint32_t differs = 0;
    for (std::size_t f = 0; f < count; ++f) differs |= std::bit_cast<std::uint32_t>(gains[f]) ^ 0x3F800000u;
    return differs == 0;
}

// Multiplies every sample by its frame's gain and clamps it to the ceiling.
[[gnu::always_inline]] inline void application_pass(float* samples, std::size_t channels, std::size_t frames,
                                                     const float* gains, float ceiling) noexcept
{
    const float floor = -ceiling;
    for (std::size_t first = 0; first < frames; first += kApplyStretch) {
        const std::size_t count = std::min(kApplyStretch, frames - first);
        if (all_unity(gains + first, count)) continue;
        for (std::size_t c = 0; c < channels; ++c) {
            float* block = samples + c * frames + first;
            const float* gain = gains + first;
            for (std::size_t f = 0; f < count; ++f) {
                const float y = block[f] * gain[f];
                const float low = y < floor ? floor : y;
                block[f] = low > ceiling ? ceiling : low;
            }
        }
    }
}

// Both passes are compiled twice: for AVX2 where the CPU has it (unsigned
// 32-bit maxima need it to vectorise on x86-64), and for the baseline.
#if NALO_X86_DISPATCH
[[gnu::target("avx2")]] std::uint32_t peaks_pass_avx2(const float* samples, std::size_t channels, std::size_t frames,
                                                       float* peaks) noexcept
{
    return peaks_pass(samples, channels, frames, peaks);
}

[[gnu::target("avx2")]] void application_pass_avx2(float* samples, std::size_t channels, std::size_t frames,
                                                    const float* gains, float ceiling) noexcept
{
    application_pass(samples, channels, frames, gains, ceiling);
}

bool cpu_has_avx2() noexcept
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

std::uint32_t compute_peaks(const float* samples, std::size_t channels, std::size_t frames, float* peaks) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return peaks_pass_avx2(samples, channels, frames, peaks);
#endif
    return peaks_pass(samples, channels, frames, peaks);
}

void apply_gains(float* samples, std::size_t channels, std::size_t frames, const float* gains, float ceiling) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return application_pass_avx2(samples, channels, frames, gains, ceiling);
#endif
    application_pass(samples, channels, frames, gains, ceiling);
}

std::optional<LimiterError> check_layout(std::size_t samples, std::uint64_t channels) noexcept
{
    if (channels == 0) return LimiterError::zero_channels();
    if (samples % channels != 0) return LimiterError::indivisible_samples(samples, channels);
    return std::nullopt;
}

// Everything after the layout checks. The envelope is touched only once the
// samples are known to be finite, so a failing call changes nothing but the
// gains buffer.
std::optional<LimiterError> limit_planar(NaloLimiter& limiter, std::span<float> samples, std::size_t channels,
                                         std::span<float> gains) noexcept
{
    const std::size_t frames = gains.size();
    if (compute_peaks(samples.data(), channels, frames, gains.data()) > kLargestFiniteBits)
        return LimiterError::non_finite_sample(first_non_finite(samples));
    limiter.reset_envelope();
    if (frames == 0) return std::nullopt;
    limiter.compute_gains(gains);
    apply_gains(samples.data(), channels, frames, gains.data(), static_cast<float>(limiter.threshold));
    return std::nullopt;
}

}  // namespace

std::optional<LimiterError> process_planar_into(NaloLimiter& limiter, std::span<float> samples,
                                                std::uint64_t channels, std::span<float> gains)
{
    if (auto error = check_layout(samples.size(), channels)) return error;
    if (gains.size() != samples.size() / channels) return LimiterError::allocation_failed();
    return limit_planar(limiter, samples, static_cast<std::size_t>(channels), gains);
}

Result<std::vector<float>> process_planar(NaloLimiter& limiter, std::span<float> samples, std::uint64_t channels)
{
    if (auto error = check_layout(samples.size(), channels)) return *error;
    std::vector<float> gains;
    try {
        gains.resize(samples.size() / channels);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    if (auto error = limit_planar(limiter, samples, static_cast<std::size_t>(channels), gains)) return *error;
    return gains;
}

}  // namespace nalo
