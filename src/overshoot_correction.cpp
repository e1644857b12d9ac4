#include "overshoot_correction.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "true_peak.hpp"

#if (defined(__x86_64__) || defined(__i386__)) && !defined(NALO_PORTABLE_ONLY)
#define NALO_CORRECTION_X86_DISPATCH 1
#else
#define NALO_CORRECTION_X86_DISPATCH 0
#endif

namespace nalo {

namespace {

constexpr std::size_t kAhead = OvershootCorrection::kReachAhead;
constexpr std::size_t kBatch = 512;
// Corrections aim this little under the ceiling, for the roundings of the
// gain and of the product that follow.
constexpr double kAim = 1.0 - 0x1p-16;
// Room in the bound for the roundings of the interpolation (a few units in
// the last place of the largest term).
constexpr float kRoundingRoom = 0x1p-16f;

// Rising half cosine: weight t / (kEasing + 1) of the way into a correction.
const std::array<double, OvershootCorrection::kEasing>& easing()
{
    static const auto table = [] {
        std::array<double, OvershootCorrection::kEasing> w{};
        for (std::size_t t = 0; t < w.size(); ++t)
            w[t] = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(t + 1) / (w.size() + 1));
        return w;
    }();
    return table;
}

[[gnu::always_inline]] inline float limited(float sample, float gain, float ceiling) noexcept
{
    const float y = sample * gain;
    const float low = y < -ceiling ? -ceiling : y;
    return low > ceiling ? ceiling : low;
}

constexpr int kLanes = 8;
typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));
typedef std::int32_t LaneBits __attribute__((vector_size(kLanes * sizeof(float))));

[[gnu::always_inline]] inline Lanes magnitude(Lanes v) noexcept
{
    return reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(v) & 0x7FFFFFFF);
}
[[gnu::always_inline]] inline float magnitude(float v) noexcept { return std::fabs(v); }
[[gnu::always_inline]] inline Lanes larger(Lanes a, Lanes b) noexcept { return a < b ? b : a; }
[[gnu::always_inline]] inline float larger(float a, float b) noexcept { return a < b ? b : a; }

// How far the bound of each interval lies above the ceiling: excess[k] for
// the interval whose 12-frame window starts at slot k. `V` is one float or
// kLanes of them.
template <typename V, typename Gain, typename Peak, typename Interval>
[[gnu::always_inline]] inline V excess_of(Gain gain, Peak peak, Interval interval, float tap_bound, float ceiling) noexcept
{
    const V centre = gain(5);
    V spread = {}, largest = {}, product = {};
    for (std::size_t j = 0; j < kTruePeakTaps; ++j) {
        const V g = gain(j), p = peak(j);
        spread = larger(spread, magnitude(g - centre));
        largest = larger(largest, p);
        product = larger(product, magnitude(g) * p);
    }
    const V bound = magnitude(centre) * interval(5) + spread * tap_bound * largest + kRoundingRoom * largest;
    return larger(bound - ceiling, product - ceiling);
}

[[gnu::always_inline]] inline Lanes load(const float* p) noexcept
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void excess_pass(const float* gains, const float* peaks, const float* intervals,
                                               std::size_t count, float tap_bound, float ceiling,
                                               float* excess) noexcept
{
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const Lanes e = excess_of<Lanes>([&](std::size_t j) { return load(gains + k + j); },
                                         [&](std::size_t j) { return load(peaks + k + j); },
                                         [&](std::size_t j) { return load(intervals + k + j); }, tap_bound, ceiling);
        std::memcpy(excess + k, &e, sizeof e);
    }
    for (; k < count; ++k)
        excess[k] = excess_of<float>([&](std::size_t j) { return gains[k + j]; },
                                     [&](std::size_t j) { return peaks[k + j]; },
                                     [&](std::size_t j) { return intervals[k + j]; }, tap_bound, ceiling);
}

#if NALO_CORRECTION_X86_DISPATCH
[[gnu::target("avx2")]] void excess_pass_avx2(const float* gains, const float* peaks, const float* intervals,
                                               std::size_t count, float tap_bound, float ceiling, float* excess) noexcept
{
    excess_pass(gains, peaks, intervals, count, tap_bound, ceiling, excess);
}
#endif

void compute_excess(const float* gains, const float* peaks, const float* intervals, std::size_t count,
                    float tap_bound, float ceiling, float* excess) noexcept
{
#if NALO_CORRECTION_X86_DISPATCH
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return excess_pass_avx2(gains, peaks, intervals, count, tap_bound, ceiling, excess);
#endif
    excess_pass(gains, peaks, intervals, count, tap_bound, ceiling, excess);
}

}  // namespace

// ---------------------------------------------------------------- frames

TruePeakFrames::TruePeakFrames(std::uint64_t channels)
    : base(-static_cast<std::int64_t>(kTruePeakHistory)), samples(channels)
{
    append(nullptr, kTruePeakHistory);
}

void TruePeakFrames::reserve_more(std::size_t frames)
{
    const std::size_t size = samples[0].size() + frames;
    for (auto& channel : samples) channel.reserve(size);
    for (auto* v : {&intervals, &peaks, &envelope, &first_factor, &second_factor, &first_gain})
        v->reserve(size + kAhead);
    changed.reserve(size + kAhead);
}

void TruePeakFrames::append(const float* const* channels, std::size_t frames)
{
    for (std::size_t c = 0; c < samples.size(); ++c) {
        auto& channel = samples[c];
        if (channels != nullptr) channel.insert(channel.end(), channels[c], channels[c] + frames);
        else channel.resize(channel.size() + frames, 0.0f);
    }
    const std::size_t size = samples[0].size() + kAhead;
    intervals.resize(size, 0.0f);
    peaks.resize(size, 0.0f);
    envelope.resize(size, 0.0f);
    first_factor.resize(size, 1.0f);
    second_factor.resize(size, 1.0f);
    first_gain.resize(size, 0.0f);
    changed.resize(size, 0);
}

void TruePeakFrames::forget_before(std::int64_t frame)
{
    const std::size_t drop = slot(frame);
    if (drop < 4096 || drop < samples[0].size() / 2) return;
    const auto cut = [drop](auto& v) { v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(drop)); };
    for (auto& channel : samples) cut(channel);
    cut(intervals), cut(peaks), cut(envelope), cut(first_factor), cut(second_factor), cut(first_gain), cut(changed);
    base = frame;
}

// ---------------------------------------------------------------- passes

OvershootCorrection::OvershootCorrection(std::uint64_t channels, unsigned oversampling, float ceiling)
    : channels_(channels),
      oversampling_(oversampling),
      ceiling_(ceiling),
      tap_bound_(interpolation_gain_bound()),
      excess_(kBatch)
{
    easing();
}

// The interval's largest interpolated magnitude over all channels, of the
// output limited with gain(slot): what the true-peak meter measures there.
template <typename Gain>
float OvershootCorrection::measure(const TruePeakFrames& frames, std::int64_t interval, Gain gain) const
{
    const std::size_t first = frames.slot(interval - 5);
    float gains[kTruePeakTaps], y[kTruePeakTaps];
    for (std::size_t j = 0; j < kTruePeakTaps; ++j) gains[j] = gain(first + j);
    float peak = 0.0f;
    for (std::size_t c = 0; c < channels_; ++c) {
        const float* x = frames.samples[c].data() + first;
        for (std::size_t j = 0; j < kTruePeakTaps; ++j) y[j] = limited(x[j], gains[j], ceiling_);
        peak = larger(peak, interval_peak(y, oversampling_));
    }
    return peak;
}

void OvershootCorrection::first_pass(TruePeakFrames& frames, std::int64_t last)
{
    if (oversampling_ == 1) {  // nothing is interpolated: the sample clamp is enough
        first_next_ = std::max(first_next_, last + 1);
        return;
    }
    while (first_next_ <= last) {
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(last - first_next_ + 1, kBatch));
        const std::size_t start = frames.slot(first_next_ - 5);
        compute_excess(frames.first_gain.data() + start, frames.peaks.data() + start,
                       frames.intervals.data() + start, count, tap_bound_, ceiling_, excess_.data());
        std::size_t k = 0;
        for (; k < count; ++k) {
            if (!(excess_[k] > 0.0f)) continue;
            const std::int64_t interval = first_next_ + static_cast<std::int64_t>(k);
            const float peak = measure(frames, interval, [&](std::size_t s) { return frames.first_gain[s]; });
            if (peak > ceiling_) {
                correct(frames, interval, peak, true);
                break;  // the bounds after it are stale
            }
        }
        first_next_ += static_cast<std::int64_t>(std::min(k + 1, count));
    }
}

void OvershootCorrection::second_pass(TruePeakFrames& frames, std::int64_t last)
{
    const auto* changed = frames.changed.data();
    while (second_next_ <= last) {
        // The next frame the first pass changed, from this interval's window on.
        const std::size_t from = frames.slot(second_next_ - 5), to = frames.slot(last + 6) + 1;
        const auto* hit = static_cast<const std::uint8_t*>(std::memchr(changed + from, 1, to - from));
        if (hit == nullptr) {
            second_next_ = last + 1;
            break;
        }
        const std::int64_t frame = frames.base + (hit - changed);
        if (frame - 6 > second_next_) {  // no window before its interval holds it
            second_next_ = std::min(frame - 6, last + 1);
            continue;
        }
        const float peak = measure(frames, second_next_, [&](std::size_t s) { return final_gain(frames, s); });
        if (peak > ceiling_) correct(frames, second_next_, peak, false);
        ++second_next_;
    }
}

// Multiplies the gains of the frames the interval is interpolated from (and
// kMargin more on each side) by the factor that brings `peak` to the
// ceiling, easing in and out over kEasing frames on either side.
void OvershootCorrection::correct(TruePeakFrames& frames, std::int64_t interval, float peak, bool first)
{
    const double factor = static_cast<double>(ceiling_) / static_cast<double>(peak) * kAim;
    const auto& ease = easing();
    const std::int64_t full_first = interval - 5 - static_cast<std::int64_t>(kMargin);
    const std::int64_t full_last = interval + 6 + static_cast<std::int64_t>(kMargin);
    const std::int64_t from = interval - kReachBack, to = interval + kReachAhead;
    const double depth = 1.0 - factor;
    auto& factors = first ? frames.first_factor : frames.second_factor;
    for (std::int64_t k = std::max(from, frames.base); k <= to; ++k) {
        double scale = factor;
        if (k < full_first) scale = 1.0 - depth * ease[static_cast<std::size_t>(k - from)];
        else if (k > full_last) scale = 1.0 - depth * ease[static_cast<std::size_t>(to - k)];
        const std::size_t s = frames.slot(k);
        factors[s] = static_cast<float>(factors[s] * scale);
        if (first) {
            frames.first_gain[s] = frames.envelope[s] * factors[s];
            frames.changed[s] = 1;
        }
    }
}

}  // namespace nalo
