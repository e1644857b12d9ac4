// Window structures of the gain envelope.
//
//   MovingMinimum  minimum of the last `window_length` values pushed;
//   MovingAverage  average of the last `length` values pushed, kept as a ring
//                  of doubles with a running sum that is updated at every push
//                  and never recomputed from the ring.
//
// Both start in their neutral state and are brought back to it by reset().
// Neither allocates after construction.
//
// Hot loops work on a Cursor: a copy of the scalar state in locals, so that
// the compiler can keep the running sum and positions in registers (a store
// into a ring could otherwise alias them). Take a cursor, push through it,
// and store it back before using the structure itself again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

namespace nalo {

// The minimum is computed block-wise (van Herk / Gil-Werman): the pushes are
// cut into segments of window_length values; the window ending at a value is
// covered by the running minimum of its own segment so far (the prefix) and
// the minimum of the previous segment from the same offset on (its suffix).
// Every push costs constant time with no data-dependent branch; the result is
// exactly the minimum of the last window_length values (of all values pushed
// since the reset, if fewer).
class MovingMinimum {
public:
    // Throws std::bad_alloc when the storage cannot be allocated.
    explicit MovingMinimum(std::uint64_t window_length);

    // Turns a finished segment into its suffix minima in place.
    static void close_segment(double* segment, std::uint64_t window) noexcept;

    struct Cursor {
        double* current;   // values of the segment being filled
        double* previous;  // suffix minima of the last full segment; [window] = +inf
        std::uint64_t window;
        std::uint64_t position;  // offset in the current segment
        double prefix;           // minimum of the current segment so far
        std::uint64_t next_index;

        double push(double value) noexcept
        {
            current[position] = value;
            prefix = value < prefix ? value : prefix;
            const double tail = previous[position + 1];
            const double minimum = tail < prefix ? tail : prefix;
            ++next_index;
            if (++position == window) {
                close_segment(current, window);
                std::swap(current, previous);
                position = 0;
                prefix = std::numeric_limits<double>::infinity();
            }
            return minimum;
        }

        // The same as `count` pushes of 1.0, without computing their minima.
        void push_ones(std::uint64_t count) noexcept;

    };

    Cursor cursor() noexcept;
    void store(const Cursor& cursor) noexcept;

    void reset() noexcept;

    // Stores `value` under index next_index() and returns the minimum of the
    // last window_length() values pushed since the reset.
    double push(double value) noexcept
    {
        Cursor c = cursor();
        const double minimum = c.push(value);
        store(c);
        return minimum;
    }

    std::uint64_t window_length() const noexcept { return window_length_; }
    std::uint64_t next_index() const noexcept { return next_index_; }

private:
    static constexpr double kInfinity = std::numeric_limits<double>::infinity();

    std::uint64_t window_length_;
    std::unique_ptr<double[]> storage_;  // two halves of window_length + 1 doubles
    double* current_;
    double* previous_;
    std::uint64_t position_ = 0;
    double prefix_ = kInfinity;
    std::uint64_t next_index_ = 0;
};

class MovingAverage {
public:
    // Throws std::bad_alloc when the ring cannot be allocated. length >= 1.
    explicit MovingAverage(std::uint64_t length);

    struct Cursor {
        double* buffer;
        std::uint64_t length;
        std::uint64_t position;
        double sum;
        double reciprocal_length;

        // Replaces the oldest input with `value` and returns the new average:
        // the difference first, then added to the sum; a multiplication by
        // the stored reciprocal, not a division.
        double push(double value) noexcept
        {
            sum = sum + (value - buffer[position]);
            buffer[position] = value;
            if (++position == length) position = 0;
            return sum * reciprocal_length;
        }
    };

    Cursor cursor() noexcept { return {buffer_.get(), length_, position_, sum_, reciprocal_length_}; }
    void store(const Cursor& c) noexcept
    {
        position_ = c.position;
        sum_ = c.sum;
    }

    void reset() noexcept;

    double push(double value) noexcept
    {
        Cursor c = cursor();
        const double average = c.push(value);
        store(c);
        return average;
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
