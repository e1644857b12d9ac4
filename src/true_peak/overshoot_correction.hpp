// Keeps a limited signal's interpolated waveform under the ceiling.
//
// A gain that changes from frame to frame reshapes the waveform between the
// samples, so gains chosen from the input's true peaks can still let the
// output's true peak rise a little above the ceiling (most where the gain
// moves fast: short attack, hold and release times). The correction measures
// the output's interpolated values interval by interval, in frame order;
// where an interval rises above the ceiling it multiplies the gains of every
// frame that interval is interpolated from by one factor, which scales the
// interval exactly down to the ceiling, and eases the factor in and out over
// the neighbouring frames so that the correction is smooth as well.
//
// The easing can nudge an interval already measured above the ceiling again,
// by far less than the original overshoot: a second pass behind the first
// measures again wherever the first changed a gain.
//
// Measuring every interval would cost as much as the input's own true-peak
// levels, so the first pass measures only where a cheap bound allows an
// overshoot: the interval's value is the centre frame's gain times the
// input's interpolated value, plus at most the gain's spread over the window
// times the sum of the taps' magnitudes times the largest sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "true_peak/detection.hpp"

namespace nalo {

// Per-frame state of a true-peak stream, for the frames from `base` on;
// frame -31 .. -1 is the silence before the signal, and the silence after it
// is appended at the end. Every vector but `samples` reaches kAhead slots
// past the newest frame, for corrections that reach beyond it.
struct TruePeakFrames {
    TruePeakFrames(std::uint64_t channels);

    std::size_t slot(std::int64_t frame) const noexcept { return static_cast<std::size_t>(frame - base); }
    std::int64_t end() const noexcept { return base + static_cast<std::int64_t>(samples[0].size()); }
    // Makes room for `frames` more frames (the only step that allocates).
    void reserve_more(std::size_t frames);
    // Appends frames (one pointer per channel; nullptr for silence).
    void append(const float* const* channels, std::size_t frames);
    // Forgets the frames before `frame`, in large steps.
    void forget_before(std::int64_t frame);

    std::int64_t base;
    std::vector<std::vector<float>> samples;
    std::vector<float> intervals;  // the input's largest interpolated value after the frame
    std::vector<float> peaks;      // the input's largest sample magnitude
    std::vector<float> envelope;   // the limiter envelope's gain
    std::vector<float> first_factor, second_factor;
    std::vector<float> first_gain;  // envelope * first_factor, as a float
    std::vector<std::uint8_t> changed;  // the first pass changed the gain
};

class OvershootCorrection {
public:
    // Frames of easing on each side of the corrected frames, and of full
    // correction beyond those the interval is interpolated from.
    static constexpr std::size_t kEasing = 32;
    static constexpr std::size_t kMargin = 2;
    // How far a correction reaches before its interval and past it.
    static constexpr std::int64_t kReachBack = kDetectionBefore + kMargin + kEasing;
    static constexpr std::int64_t kReachAhead = kDetectionLatency + kMargin + kEasing;
    // Frames each pass holds back: the interval after frame m is known once
    // m + 16 is, and its correction reaches kReachBack frames before m.
    static constexpr std::uint64_t kLatency = kDetectionLatency + kReachBack;

    OvershootCorrection(std::uint64_t channels, DetectionGrid grid, float ceiling);

    // Measures the first pass's intervals up to `last` (their frames' gains
    // must be known). Then the frames before first_final() are final for it.
    void first_pass(TruePeakFrames& frames, std::int64_t last);
    std::int64_t first_final() const noexcept { return first_next_ - kReachBack; }
    // The same for the second pass, on frames final for the first.
    void second_pass(TruePeakFrames& frames, std::int64_t last);

    // The gain handed out for a slot.
    static float final_gain(const TruePeakFrames& frames, std::size_t slot) noexcept
    {
        return frames.first_gain[slot] * frames.second_factor[slot];
    }

private:
    template <typename Gain>
    float measure(const TruePeakFrames& frames, std::int64_t interval, Gain gain) const;
    void correct(TruePeakFrames& frames, std::int64_t interval, float peak, bool first);

    std::uint64_t channels_;
    DetectionGrid grid_;
    float ceiling_;
    float tap_bound_;
    std::int64_t first_next_ = -static_cast<std::int64_t>(kDetectionLatency),
                 second_next_ = -static_cast<std::int64_t>(kDetectionLatency);
    std::vector<float> excess_;  // scratch of the bound
};

}  // namespace nalo
