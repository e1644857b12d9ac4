#include "envelope.hpp"

#include "envelope/cursors.hpp"

#include <algorithm>
#include <utility>

namespace nalo {

// ---------------------------------------------------------------- moving minimum

MovingMinimum::MovingMinimum(std::uint64_t window_length)
    : window_length_(window_length),
      // Not initialised here: reset() and the pushes write what they reach.
      storage_(new double[2 * (static_cast<std::size_t>(window_length) + 1)]),
      current_(storage_.get()),
      previous_(storage_.get() + window_length + 1)
{
    reset();
}

void MovingMinimum::reset() noexcept
{
    // The slot past each half ends the suffix reads of the segment's last
    // offset; the previous half's other slots are made +inf as pushes reach
    // them (MinimumCursor::prepare).
    current_[window_length_] = kInfinity;
    previous_[window_length_] = kInfinity;
    position_ = 0;
    prefix_ = kInfinity;
    next_index_ = 0;
    ready_ = 0;
}

void MinimumCursor::fill_infinite(std::uint64_t end) noexcept
{
    std::fill(previous + ready, previous + end, std::numeric_limits<double>::infinity());
    ready = end;
}

void MinimumCursor::push_ones(std::uint64_t count) noexcept
{
    if (count >= 2 * window) {
        // The last full segment and the current one hold nothing but ones:
        // set them directly, whatever the count.
        next_index += count;
        position = (position + count) % window;
        std::fill(previous, previous + window, 1.0);
        std::fill(current, current + position, 1.0);
        prefix = position > 0 ? 1.0 : std::numeric_limits<double>::infinity();
        return;
    }
    while (count > 0) {
        const std::uint64_t n = std::min(count, window - position);
        std::fill(current + position, current + position + n, 1.0);
        prefix = 1.0 < prefix ? 1.0 : prefix;
        position += n;
        next_index += n;
        count -= n;
        if (position == window) close_segment();
    }
}

// ---------------------------------------------------------------- moving average

MovingAverage::MovingAverage(std::uint64_t length)
    : length_(length),
      // Not initialised here: the pushes write the ones they reach.
      buffer_(new double[static_cast<std::size_t>(length)]),
      sum_(static_cast<double>(length)),
      reciprocal_length_(1.0 / static_cast<double>(length))
{
    reset();
}

void MovingAverage::reset() noexcept
{
    position_ = 0;
    sum_ = static_cast<double>(length_);
    filled_ = 0;
}

void AverageCursor::fill_ones(std::uint64_t end) noexcept
{
    std::fill(buffer + filled, buffer + end, 1.0);
    filled = end;
}

// The ring is read oldest first: while the envelope is settling, the oldest
// inputs are the ones that still differ, so the check usually ends at its
// first comparison and costs nothing like a full pass for a long ring.
bool AverageCursor::holds_only(double value, std::uint64_t& read) const noexcept
{
    if (filled < length && value != 1.0) return false;  // unwritten slots hold 1.0
    for (std::uint64_t j = position; j < filled; ++j, ++read)
        if (buffer[j] != value) return false;
    for (std::uint64_t j = 0; j < std::min(position, filled); ++j, ++read)
        if (buffer[j] != value) return false;
    return true;
}

// ---------------------------------------------------------------- envelope

Envelope::Envelope(const EnvelopeSettings& settings_, std::uint64_t window_length,
                   const std::array<std::uint64_t, 3>& stage_lengths)
    : settings(settings_),
      minimum(window_length),
      stages{MovingAverage(stage_lengths[0]), MovingAverage(stage_lengths[1]), MovingAverage(stage_lengths[2])}
{
}

Envelope Envelope::fresh() const
{
    return Envelope(settings, minimum.window_length(),
                    {stages[0].length(), stages[1].length(), stages[2].length()});
}

void Envelope::reset() noexcept
{
    minimum.reset();
    release_gain = 1.0;
    for (MovingAverage& stage : stages) stage.reset();
    rest = RestState{};
}

}  // namespace nalo
