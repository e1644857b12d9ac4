#include "envelope.hpp"

#include <algorithm>

namespace nalo {

MovingMinimum::MovingMinimum(std::uint64_t window_length)
    : window_length_(window_length),
      capacity_(static_cast<std::size_t>(window_length) + 1),
      ring_(new Entry[capacity_])
{
}

void MovingMinimum::reset() noexcept
{
    front_ = 0;
    size_ = 0;
    next_index_ = 0;
}

double MovingMinimum::push(double value) noexcept
{
    // Drop candidates that can never be the minimum again: an equal value is
    // dropped too, so the newer entry replaces it. NaN stops the removal.
    while (size_ > 0) {
        const Entry& back = ring_[wrap(front_ + size_ - 1)];
        if (!(back.value >= value)) break;
        --size_;
    }
    ring_[wrap(front_ + size_)] = Entry{next_index_, value};
    ++size_;
    ++next_index_;

    // Evict what slid out of the window. The entry just appended is always
    // inside it, so the queue never empties here.
    const std::uint64_t oldest = window_length_ > next_index_ ? 0 : next_index_ - window_length_;
    while (ring_[front_].index < oldest) {
        front_ = wrap(front_ + 1);
        --size_;
    }
    return ring_[front_].value;
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
