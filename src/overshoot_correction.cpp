#include "overshoot_correction.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "true_peak.hpp"

namespace nalo {

void FrameQueue::append(const float* const* channels, const float* frame_gains, std::size_t frames)
{
    for (std::size_t c = 0; c < samples.size(); ++c) samples[c].insert(samples[c].end(), channels[c], channels[c] + frames);
    gains.insert(gains.end(), frame_gains, frame_gains + frames);
}

void FrameQueue::drop_front(std::size_t frames)
{
    head += frames;
    // Storage is reclaimed once the consumed part outweighs the rest, so
    // each frame is moved at most a bounded number of times.
    if (head >= 4096 && head >= size()) {
        for (auto& channel : samples) channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(head));
        gains.erase(gains.begin(), gains.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
}

namespace {

// Slots kept past the newest frame for corrections that reach beyond it.
constexpr std::size_t kAhead = OvershootCorrector::kMargin + OvershootCorrector::kEasing + 1;
// Intervals measured per batch.
constexpr std::size_t kBatch = 1024;
// Corrections aim this little under the ceiling, for the roundings of the
// gain and of the product that follow.
constexpr double kAim = 1.0 - 0x1p-16;

// Rising half cosine: weight t / (kEasing + 1) of the way into a correction.
const std::array<double, OvershootCorrector::kEasing>& easing()
{
    static const auto table = [] {
        std::array<double, OvershootCorrector::kEasing> w{};
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

[[gnu::always_inline]] inline float corrected_gain(float gain, double factor) noexcept
{
    return static_cast<float>(static_cast<double>(gain) * factor);
}

}  // namespace

OvershootCorrector::OvershootCorrector(std::uint64_t channels, unsigned oversampling, float ceiling)
    : channels_(channels),
      oversampling_(oversampling),
      ceiling_(ceiling),
      base_(-static_cast<std::int64_t>(kTruePeakHistory)),
      next_interval_(-static_cast<std::int64_t>(kTruePeakLatency)),
      input_(channels, std::vector<float>(kTruePeakHistory, 0.0f)),
      output_(channels, std::vector<float>(kTruePeakHistory, 0.0f)),
      gains_(kTruePeakHistory, 0.0f),
      factors_(kTruePeakHistory + kAhead, 1.0),
      peaks_(kBatch)
{
    easing();
}

void OvershootCorrector::push(const float* const* samples, const float* gains, std::size_t frames, FrameQueue& out)
{
    const std::int64_t first = base_ + static_cast<std::int64_t>(gains_.size());
    for (std::size_t c = 0; c < channels_; ++c) {
        input_[c].insert(input_[c].end(), samples[c], samples[c] + frames);
        output_[c].resize(input_[c].size());
    }
    gains_.insert(gains_.end(), gains, gains + frames);
    factors_.resize(gains_.size() + kAhead, 1.0);
    refresh_output(first, first + static_cast<std::int64_t>(frames) - 1);
    frames_in_ += static_cast<std::int64_t>(frames);
    // The interval after frame m is known once frame m + 6 is here.
    measure_up_to(frames_in_ - 1 - static_cast<std::int64_t>(kTruePeakLatency));
    emit(next_interval_ - static_cast<std::int64_t>(kLatency - kTruePeakLatency), out);
}

void OvershootCorrector::finish(FrameQueue& out)
{
    static constexpr float kSilence[kTruePeakHistory] = {};
    static constexpr float kNoGain[kTruePeakHistory] = {};
    // Trailing silence: measured, never handed out.
    const std::int64_t real = frames_in_;
    for (std::size_t c = 0; c < channels_; ++c) {
        input_[c].insert(input_[c].end(), kSilence, kSilence + kTruePeakHistory);
        output_[c].resize(input_[c].size(), 0.0f);
    }
    gains_.insert(gains_.end(), kNoGain, kNoGain + kTruePeakHistory);
    factors_.resize(gains_.size() + kAhead, 1.0);
    measure_up_to(real + static_cast<std::int64_t>(kTruePeakLatency) - 2);
    emit(real, out);
}

// Measures intervals in order up to `last`; at the first one above the
// ceiling it corrects and measures again from the next, with the corrected
// output.
void OvershootCorrector::measure_up_to(std::int64_t last)
{
    const auto reach = static_cast<std::int64_t>(kTruePeakLatency) - 1;  // frames before m in its window
    while (next_interval_ <= last) {
        const auto count = static_cast<std::size_t>(std::min<std::int64_t>(last - next_interval_ + 1, kBatch));
        std::fill(peaks_.begin(), peaks_.begin() + static_cast<std::ptrdiff_t>(count), 0.0f);
        const std::size_t start = slot(next_interval_ - reach);
        for (std::size_t c = 0; c < channels_; ++c)
            interval_peaks(output_[c].data() + start, count, oversampling_, peaks_.data());
        const auto over = std::find_if(peaks_.begin(), peaks_.begin() + static_cast<std::ptrdiff_t>(count),
                                       [&](float p) { return p > ceiling_; });
        const auto found = over - peaks_.begin();
        if (found == static_cast<std::ptrdiff_t>(count)) {
            next_interval_ += static_cast<std::int64_t>(count);
            continue;
        }
        correct(next_interval_ + found, static_cast<double>(ceiling_) / static_cast<double>(*over) * kAim);
        next_interval_ += found + 1;
    }
}

// Multiplies the gains of the frames interval m depends on (and kMargin more
// on each side) by `factor`, easing in and out over kEasing frames.
void OvershootCorrector::correct(std::int64_t interval, double factor)
{
    const auto& ease = easing();
    const std::int64_t full_first = interval - static_cast<std::int64_t>(kTruePeakLatency - 1 + kMargin);
    const std::int64_t full_last = interval + static_cast<std::int64_t>(kTruePeakLatency + kMargin);
    const std::int64_t first = full_first - static_cast<std::int64_t>(kEasing);
    const std::int64_t last = full_last + static_cast<std::int64_t>(kEasing);
    const double depth = 1.0 - factor;
    for (std::int64_t k = std::max(first, base_); k <= last; ++k) {
        double scale = factor;
        if (k < full_first) scale = 1.0 - depth * ease[static_cast<std::size_t>(k - first)];
        else if (k > full_last) scale = 1.0 - depth * ease[static_cast<std::size_t>(last - k)];
        factors_[slot(k)] *= scale;
    }
    refresh_output(std::max(first, base_), std::min(last, base_ + static_cast<std::int64_t>(gains_.size()) - 1));
}

void OvershootCorrector::refresh_output(std::int64_t first, std::int64_t last)
{
    for (std::int64_t k = first; k <= last; ++k) {
        const std::size_t s = slot(k);
        const float gain = corrected_gain(gains_[s], factors_[s]);
        for (std::size_t c = 0; c < channels_; ++c) output_[c][s] = limited(input_[c][s], gain, ceiling_);
    }
}

// Hands out the real frames before `end` and forgets every frame before it.
void OvershootCorrector::emit(std::int64_t end, FrameQueue& out)
{
    end = std::min(end, frames_in_);
    if (end <= base_) return;
    const std::size_t drop = slot(end);
    const std::size_t skip = base_ < 0 ? std::min(drop, static_cast<std::size_t>(-base_)) : 0;
    const std::size_t n = drop - skip;
    if (n > 0) {
        std::vector<const float*> channels(channels_);
        for (std::size_t c = 0; c < channels_; ++c) channels[c] = input_[c].data() + skip;
        std::vector<float> gains(n);
        for (std::size_t i = 0; i < n; ++i) gains[i] = corrected_gain(gains_[skip + i], factors_[skip + i]);
        out.append(channels.data(), gains.data(), n);
    }
    const auto cut = static_cast<std::ptrdiff_t>(drop);
    for (std::size_t c = 0; c < channels_; ++c) {
        input_[c].erase(input_[c].begin(), input_[c].begin() + cut);
        output_[c].erase(output_[c].begin(), output_[c].begin() + cut);
    }
    gains_.erase(gains_.begin(), gains_.begin() + cut);
    factors_.erase(factors_.begin(), factors_.begin() + cut);
    base_ = end;
}

}  // namespace nalo
