// What the true-peak limiting mode measures: the larger of two readings of
// the waveform between the samples.
//
// The meter's interpolation filter (true_peak.hpp) rolls off above 20 kHz
// (about -0.7 dB at 21 kHz and -3.5 dB at 23 kHz at 48 kHz), so a signal
// kept under the ceiling by it alone can read higher through an
// interpolator that is flat further up, as many resamplers and converters
// are. The limiting mode therefore also reads the waveform with a second,
// flatter filter: a sinc cut off at half the sample rate, windowed by a
// Kaiser window (beta 9) 32 frames wide, each phase scaled to a DC gain of
// one. It is flat within 0.01 dB to 20 kHz and -0.7 dB at 22 kHz at 48 kHz.
// At 48 kHz it is read at 1/4, 1/2 and 3/4 of the way from one sample to
// the next, and at 96 kHz at 1/2: the points that fall on the 192 kHz grid
// true-peak meters commonly read. At other rates such a grid falls anywhere
// between the samples, so it is read at 16 points per sample: between them
// the reconstruction rises by at most 1 - cos(pi / 32), 0.04 dB, even at
// half the rate. Above 192 kHz nothing is interpolated.
//
// The interval between frames m and m + 1 is read from the 32 frames
// m - 15 .. m + 16 (the meter's 12 among them), so a streaming reader knows
// it 16 frames after frame m.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nalo {

inline constexpr std::size_t kDetectionTaps = 32;
inline constexpr std::size_t kDetectionHistory = kDetectionTaps - 1;
inline constexpr std::uint64_t kDetectionLatency = kDetectionTaps / 2;
// Frames of the window before the interval's first frame.
inline constexpr std::int64_t kDetectionBefore = kDetectionTaps / 2 - 1;

// Points per sample of each filter: the meter's oversampling (4, 2 or 1) and
// the flat filter's (16, 4, 2 or 1).
struct DetectionGrid {
    unsigned meter;
    unsigned flat;
};
DetectionGrid detection_grid(std::uint32_t sample_rate) noexcept;

// For k in [0, count): peaks[k] becomes the larger of peaks[k] and both
// readings of the interval between x[k + 15] and x[k + 16]; `x` holds
// count + 31 samples. Where a bound on the readings (the taps' gain bound
// times the window's largest magnitude) is at or below `quiet`, the bound
// is taken instead: a level that low never limits, and most frames of real
// audio are that low. Reproducible bit for bit whatever the block
// boundaries or the instruction set.
void detection_peaks(const float* x, std::size_t count, DetectionGrid grid, float quiet, float* peaks) noexcept;

// Both readings of the one interval between y[15] and y[16], from
// y[0] .. y[31]: bit for bit what detection_peaks computes for it.
float detection_peak(const float* y, DetectionGrid grid) noexcept;

// A bound on the sum of the magnitudes of any phase's taps of either filter.
float detection_gain_bound() noexcept;

}  // namespace nalo
