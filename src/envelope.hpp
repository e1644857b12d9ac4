// Window structures of the gain envelope.
//
//   MovingMinimum  minimum of the last `window_length` values pushed, kept as a
//                  monotonic queue of (index, value) candidates in a fixed ring.
//   MovingAverage  average of the last `length` values pushed, kept as a ring of
//                  doubles with a running sum that is updated, never recomputed.
//
// Both start in their neutral state and are brought back to it by reset().
// Neither allocates after construction: the queue's ring has room for
// window_length + 1 entries, the most it ever holds (inside a push, between
// the append and the eviction).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace nalo {

class MovingMinimum {
public:
    // Throws std::bad_alloc when the ring cannot be allocated.
    explicit MovingMinimum(std::uint64_t window_length);

    void reset() noexcept;

    // Stores `value` under index next_index() and returns the minimum of the
    // last window_length() values pushed since the reset.
    double push(double value) noexcept;

    std::uint64_t window_length() const noexcept { return window_length_; }
    std::uint64_t next_index() const noexcept { return next_index_; }
    std::size_t size() const noexcept { return size_; }

private:
    struct Entry {
        std::uint64_t index;
        double value;
    };

    std::size_t wrap(std::size_t slot) const noexcept { return slot >= capacity_ ? slot - capacity_ : slot; }

    std::uint64_t window_length_;
    std::size_t capacity_;  // window_length + 1
    std::unique_ptr<Entry[]> ring_;
    std::size_t front_ = 0;  // slot of the oldest entry
    std::size_t size_ = 0;
    std::uint64_t next_index_ = 0;
};

class MovingAverage {
public:
    // Throws std::bad_alloc when the ring cannot be allocated. length >= 1.
    explicit MovingAverage(std::uint64_t length);

    void reset() noexcept;

    // Replaces the oldest input with `value` and returns the new average.
    double push(double value) noexcept
    {
        sum_ = sum_ + (value - buffer_[position_]);
        buffer_[position_] = value;
        if (++position_ == length_) position_ = 0;
        return sum_ * reciprocal_length_;
    }

    std::uint64_t length() const noexcept { return length_; }
    double sum() const noexcept { return sum_; }
    double reciprocal_length() const noexcept { return reciprocal_length_; }

private:
    std::uint64_t length_;
    std::unique_ptr<double[]> buffer_;
    std::uint64_t position_ = 0;
    double sum_;
    double reciprocal_length_;
};

}  // namespace nalo
