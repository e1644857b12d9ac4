// Keeps a limited signal's interpolated waveform under the ceiling.
//
// A gain that changes from frame to frame reshapes the waveform between the
// samples, so a gain chosen from the input's true peaks can still let the
// output's true peak rise a little above the ceiling (most where the gain
// moves fast: short attack, hold and release times). The corrector measures
// the output's interpolated values interval by interval, in frame order;
// where an interval rises above the ceiling it multiplies the gains of every
// frame the interval is interpolated from by the same factor, which scales
// that interval exactly down to the ceiling, and eases the factor in and out
// over the neighbouring frames so that the correction is smooth too.
//
// The easing can nudge an earlier interval above the ceiling again, by far
// less than the original overshoot; a second corrector behind the first
// catches those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nalo {

// Planar frames with one gain each, appended at the back and taken from the
// front.
struct FrameQueue {
    explicit FrameQueue(std::uint64_t channels) : samples(channels) {}

    std::size_t size() const noexcept { return gains.size() - head; }
    const float* channel(std::size_t c) const noexcept { return samples[c].data() + head; }
    const float* gain() const noexcept { return gains.data() + head; }
    void append(const float* const* channels, const float* frame_gains, std::size_t frames);
    void drop_front(std::size_t frames);

    std::vector<std::vector<float>> samples;
    std::vector<float> gains;
    std::size_t head = 0;
};

class OvershootCorrector {
public:
    // Frames of easing on each side of the corrected frames.
    static constexpr std::size_t kEasing = 32;
    // Frames of full correction beyond those an interval depends on.
    static constexpr std::size_t kMargin = 2;
    // Frames held back: a frame is final once no interval still to be
    // measured can reach it with its correction.
    static constexpr std::uint64_t kLatency = 11 + kMargin + kEasing;

    OvershootCorrector(std::uint64_t channels, unsigned oversampling, float ceiling);

    // Takes `frames` frames (one pointer per channel, and their gains) and
    // appends to `out` the frames that are now final, with corrected gains.
    void push(const float* const* samples, const float* gains, std::size_t frames, FrameQueue& out);
    // Ends the signal (silence follows) and appends every frame held.
    void finish(FrameQueue& out);

private:
    void measure_up_to(std::int64_t last_interval);
    void correct(std::int64_t interval, double factor);
    void refresh_output(std::int64_t first, std::int64_t last);
    void emit(std::int64_t end, FrameQueue& out);
    std::size_t slot(std::int64_t frame) const noexcept { return static_cast<std::size_t>(frame - base_); }

    std::uint64_t channels_;
    unsigned oversampling_;
    float ceiling_;
    std::int64_t base_;           // frame held in slot 0 (negative: leading silence)
    std::int64_t frames_in_ = 0;  // real frames received
    std::int64_t next_interval_;  // next interval to measure (between that frame and the next)
    std::vector<std::vector<float>> input_, output_;  // per channel, slot-indexed
    std::vector<float> gains_;                        // gains as received
    std::vector<double> factors_;  // corrections, reaching kMargin + kEasing + 6 slots past the newest frame
    std::vector<float> peaks_;     // scratch
};

}  // namespace nalo
