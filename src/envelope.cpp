#include "envelope.hpp"

#include <algorithm>
#include <utility>

namespace nalo {

MovingMinimum::MovingMinimum(std::uint64_t window_length)
    : window_length_(window_length),
      storage_(new double[2 * (static_cast<std::size_t>(window_length) + 1)]),
      current_(storage_.get()),
      previous_(storage_.get() + window_length + 1)
{
    reset();
}

void MovingMinimum::reset() noexcept
{
    // No previous segment yet: its suffix minima are +inf, so the window is
    // covered by the current segment's prefix alone.
    std::fill(previous_, previous_ + window_length_ + 1, kInfinity);
    current_[window_length_] = kInfinity;
    position_ = 0;
    prefix_ = kInfinity;
    next_index_ = 0;
}

MovingMinimum::Cursor MovingMinimum::cursor() noexcept
{
    return {current_, previous_, window_length_, position_, prefix_, next_index_};
}

void MovingMinimum::store(const Cursor& c) noexcept
{
    current_ = c.current;
    previous_ = c.previous;
    position_ = c.position;
    prefix_ = c.prefix;
    next_index_ = c.next_index;
}

void MovingMinimum::close_segment(double* segment, std::uint64_t window) noexcept
{
    for (std::uint64_t j = window - 1; j-- > 0;) {
        const double next = segment[j + 1];
        segment[j] = next < segment[j] ? next : segment[j];
    }
}

void MovingMinimum::Cursor::push_ones(std::uint64_t count) noexcept
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
        if (position == window) {
            close_segment(current, window);
            std::swap(current, previous);
            position = 0;
            prefix = std::numeric_limits<double>::infinity();
        }
    }
}

MovingAverage::MovingAverage(std::uint64_t length)
    : length_(length),
      buffer_(new double[static_cast<std::size_t>(length)]),
      sum_(static_cast<double>(length)),
      reciprocal_length_(1.0 / static_cast<double>(length))
{
    reset();
}

void MovingAverage::reset() noexcept
{
    std::fill(buffer_.get(), buffer_.get() + length_, 1.0);
    position_ = 0;
    sum_ = static_cast<double>(length_);
}

}  // namespace nalo
