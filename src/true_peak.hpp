// True-peak measurement: the largest magnitude of the waveform that a
// converter reconstructs between the samples, estimated by oversampling.
//
// The signal is oversampled 4 times below 96 kHz, twice up to 192 kHz and not
// at all above, with the 48-tap polyphase interpolation filter of the
// broadcast loudness standard (ITU-R BS.1770-4, Annex 2). Its four phases
// place the interpolated values at 1/8, 3/8, 5/8 and 7/8 of the way from one
// sample to the next; twofold oversampling keeps the two middle ones, at 3/8
// and 5/8.
// No phase falls on the samples themselves, so the samples are always
// included too: a true peak never reads below the sample peak.
//
// Each interval between two neighbouring frames m and m + 1 is interpolated
// from the 12 frames m - 5 .. m + 6, so a streaming meter knows the interval
// after frame m once frame m + 6 has arrived: a latency of 6 frames. Before
// the first frame and after the last the signal is silent; the intervals
// where the filter reaches into that silence are measured too.
//
//     auto meter = nalo::TruePeakMeter::create(48000, 2).value();
//     meter.push(block);              // planar blocks, any sizes
//     meter.finish();
//     float linear = meter.peak();    // 20 * log10(linear) is the dBTP
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "lib.hpp"

namespace nalo {

// Taps of each phase of the interpolation filter, and the frames a streaming
// interpolator keeps from one block to the next.
inline constexpr std::size_t kTruePeakTaps = 12;
inline constexpr std::size_t kTruePeakHistory = kTruePeakTaps - 1;

// 4 below 96 kHz, 2 up to 192 kHz, 1 above.
unsigned true_peak_oversampling(std::uint32_t sample_rate) noexcept;

// For k in [0, count): peaks[k] becomes the larger of peaks[k] and the largest
// magnitude interpolated in the interval between x[k + 5] and x[k + 6], which
// the filter computes from x[k] .. x[k + 11]. `x` holds count + 11 samples.
// With oversampling 1 nothing is interpolated and `peaks` stays as it is.
// Every value is computed by the same sequence of float operations whatever
// the block boundaries or the instruction set, so results are reproducible
// bit for bit.
void interval_peaks(const float* x, std::size_t count, unsigned oversampling, float* peaks) noexcept;

// The largest interpolated magnitude of the one interval between y[5] and
// y[6], from y[0] .. y[11]: bit for bit what interval_peaks computes for it.
float interval_peak(const float* y, unsigned oversampling) noexcept;

// A bound on the sum of the magnitudes of any phase's taps: no interpolated
// value exceeds it times the largest sample magnitude in the window.
float interpolation_gain_bound() noexcept;

// A streaming true-peak meter over planar blocks of a fixed channel count.
class TruePeakMeter {
public:
    // Fails with ZeroChannels, or AllocationFailed.
    static Result<TruePeakMeter> create(std::uint32_t sample_rate, std::uint64_t channels);

    // Appends a planar block (channels() runs of equal length). Fails,
    // changing nothing, with IndivisibleSamples, or with NonFiniteSample
    // carrying the planar index in `block` of the first NaN or infinity.
    std::optional<LimiterError> push(std::span<const float> block);

    // Measures the intervals that reach past the last frame. Pushing after
    // finish() starts a new signal continuing from silence.
    void finish();

    // Largest true peak of any channel, and of each channel (linear).
    float peak() const noexcept;
    const std::vector<float>& channel_peaks() const noexcept { return peaks_; }
    std::uint64_t channels() const noexcept { return peaks_.size(); }

private:
    TruePeakMeter(unsigned oversampling, std::uint64_t channels);
    void push_channel(std::size_t channel, const float* samples, std::size_t frames);

    unsigned oversampling_;
    std::vector<float> peaks_;
    std::vector<float> history_;  // kTruePeakHistory frames per channel, oldest first
};

}  // namespace nalo
