#include "true_peak/overshoot_correction.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "true_peak.hpp"


#include "simd/cpu_dispatch.hpp"
#include "simd/float_lanes.hpp"

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

using namespace float_lanes;


// Turns v[k] into the largest of v[k .. k + 31] for k < count (v holds
// count + 31 values; the rest become scratch), by doubling the span of each
// maximum: 5 passes instead of 31 comparisons per value. `Larger` picks the
// larger (or smaller) of two. Maxima are exact, so the result is the same as
// comparing all 32 in any order.
template <typename Larger>
[[gnu::always_inline]] inline void window_extreme(float* v, std::size_t count, Larger pick) noexcept
{
    for (std::size_t span = 1; span < kDetectionTaps; span *= 2) {
        const std::size_t n = count + kDetectionTaps - 2 * span;
        std::size_t k = 0;
        for (; k + kLanes <= n; k += kLanes) store(v + k, pick(load(v + k), load(v + k + span)));
        for (; k < n; ++k) v[k] = pick(v[k], v[k + span]);
    }
}

// How far the bound of each interval lies above the ceiling: excess[k] for
// the interval whose 32-frame window starts at slot k. The window's largest
// and smallest gain bound how far the gains spread from the centre's.
[[gnu::always_inline]] inline void excess_pass(const float* gains, const float* peaks, const float* intervals,
                                               std::size_t count, float tap_bound, float ceiling,
                                               float* excess) noexcept
{
    constexpr std::size_t kSpan = kBatch + kDetectionTaps;
    float most[kSpan], least[kSpan], largest[kSpan], product[kSpan];
    const std::size_t n = count + kDetectionHistory;
    for (std::size_t j = 0; j < n; ++j) {
        most[j] = least[j] = gains[j];
        largest[j] = peaks[j];
        product[j] = magnitude(gains[j]) * peaks[j];
    }
    const auto max = [](auto a, auto b) { return larger(a, b); };
    const auto min = [](auto a, auto b) { return b < a ? b : a; };
    window_extreme(most, count, max);
    window_extreme(least, count, min);
    window_extreme(largest, count, max);
    window_extreme(product, count, max);
    for (std::size_t k = 0; k < count; ++k) {
        const float centre = gains[k + kDetectionBefore];
        const float spread = larger(magnitude(most[k] - centre), magnitude(least[k] - centre));
        const float bound = magnitude(centre) * intervals[k + kDetectionBefore] + spread * tap_bound * largest[k] +
                            kRoundingRoom * largest[k];
        excess[k] = larger(bound - ceiling, product[k] - ceiling);
    }
}

#if NALO_X86_DISPATCH
[[gnu::target("avx2")]] void excess_pass_avx2(const float* gains, const float* peaks, const float* intervals,
                                               std::size_t count, float tap_bound, float ceiling, float* excess) noexcept
{
    excess_pass(gains, peaks, intervals, count, tap_bound, ceiling, excess);
}
#endif

void compute_excess(const float* gains, const float* peaks, const float* intervals, std::size_t count,
                    float tap_bound, float ceiling, float* excess) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return excess_pass_avx2(gains, peaks, intervals, count, tap_bound, ceiling, excess);
#endif
    excess_pass(gains, peaks, intervals, count, tap_bound, ceiling, excess);
}

}  // namespace

// ---------------------------------------------------------------- frames

TruePeakFrames::TruePeakFrames(std::uint64_t channels)
    : base(-static_cast<std::int64_t>(kDetectionHistory)), samples(channels)
{
    append(nullptr, kDetectionHistory);
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

OvershootCorrection::OvershootCorrection(std::uint64_t channels, DetectionGrid grid, float ceiling)
    : channels_(channels),
      grid_(grid),
      ceiling_(ceiling),
      tap_bound_(detection_gain_bound()),
      excess_(kBatch)
{
    easing();
}

// The interval's largest interpolated magnitude over all channels, of the
// output limited with gain(slot): what the true-peak meter measures there.
template <typename Gain>
float OvershootCorrection::measure(const TruePeakFrames& frames, std::int64_t interval, Gain gain) const
{
    const std::size_t first = frames.slot(interval - kDetectionBefore);
    float gains[kDetectionTaps], y[kDetectionTaps];
    for (std::size_t j = 0; j < kDetectionTaps; ++j) gains[j] = gain(first + j);
    float peak = 0.0f;
    for (std::size_t c = 0; c < channels_; ++c) {
        const float* x = frames.samples[c].data() + first;
        for (std::size_t j = 0; j < kDetectionTaps; ++j) y[j] = limited(x[j], gains[j], ceiling_);
        peak = larger(peak, detection_peak(y, grid_));
    }
    return peak;
}

void OvershootCorrection::first_pass(TruePeakFrames& frames, std::int64_t last)
{
    if (grid_.meter == 1) {  // nothing is interpolated: the sample clamp is enough
        first_next_ = std::max(first_next_, last + 1);
        return;
    }
    while (first_next_ <= last) {
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(last - first_next_ + 1, kBatch));
        const std::size_t start = frames.slot(first_next_ - kDetectionBefore);
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
        const std::size_t from = frames.slot(second_next_ - kDetectionBefore);
        const std::size_t to = frames.slot(last + static_cast<std::int64_t>(kDetectionLatency)) + 1;
        const auto* hit = static_cast<const std::uint8_t*>(std::memchr(changed + from, 1, to - from));
        if (hit == nullptr) {
            second_next_ = last + 1;
            break;
        }
        const std::int64_t frame = frames.base + (hit - changed);
        const std::int64_t reach = static_cast<std::int64_t>(kDetectionLatency);
        if (frame - reach > second_next_) {  // no window before its interval holds it
            second_next_ = std::min(frame - reach, last + 1);
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
    const std::int64_t full_first = interval - kDetectionBefore - static_cast<std::int64_t>(kMargin);
    const std::int64_t full_last = interval + static_cast<std::int64_t>(kDetectionLatency + kMargin);
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
