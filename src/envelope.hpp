// Window structures of the gain envelope.
//
//   MovingMinimum  minimum of the last `window_length` values pushed;
//   MovingAverage  average of the last `length` values pushed, kept as a ring
//                  of doubles with a running sum that is updated at every push
//                  and never recomputed from the ring.
//
// Both start in their neutral state and are brought back to it by reset(),
// which costs constant time: storage is initialised lazily, as far as the
// pushes since the reset reach, so an absurdly long window costs nothing for
// a short signal. Neither allocates after construction.
//
// Only the envelope engine (gain_engine.cpp) advances them, through a Cursor:
// a copy of the scalar state in locals, so that the compiler can keep the
// running sum and positions in registers (a store into a ring could otherwise
// alias them). Take a cursor, push through it, and store it back before using
// the structure itself again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "simd/double_lanes.hpp"

namespace nalo {

// Friends that may take cursors: the engine, and the tests' hook.
struct EnvelopeEngineAccess;
struct WindowTestAccess;

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

    void reset() noexcept;

    std::uint64_t window_length() const noexcept { return window_length_; }
    // Pushes since the reset.
    std::uint64_t next_index() const noexcept { return next_index_; }

    struct Cursor {
        double* current;   // values of the segment being filled; [window] = +inf
        double* previous;  // suffix minima of the last full segment; [window] = +inf
        std::uint64_t window;
        std::uint64_t position;  // offset in the current segment
        double prefix;           // minimum of the current segment so far
        std::uint64_t next_index;
        // While the first segment fills there is no previous one: its
        // suffix minima read as +inf, and are written so only as far as the
        // pushes reach (slots below `ready`).
        std::uint64_t ready;

        // Makes the previous segment's slots read by the next `count`
        // pushes valid; count <= window - position.
        void prepare(std::uint64_t count) noexcept
        {
            const std::uint64_t needed = position + count + 1;
            if (next_index < window && needed > ready) fill_infinite(needed);
        }

        // Ends a full segment: it becomes the previous one, as suffix minima.
        // The scan runs N values at a time (the values are never NaN, so
        // their minimum is the same in any order); the engine passes the
        // width of the code path it runs in.
        template <int N = 2>
        [[gnu::always_inline]] void close_segment() noexcept
        {
            using namespace lanes;
            double suffix = std::numeric_limits<double>::infinity();
            std::uint64_t j = window;
            for (; j >= N; j -= N) {
                const Double<N> local = suffix_min<N>(lanes::load<N>(current + j - N));
                lanes::store<N>(current + j - N, min<N>(local, splat<N>(suffix)));
                suffix = local[0] < suffix ? local[0] : suffix;
            }
            for (; j-- > 0;) {
                suffix = suffix < current[j] ? suffix : current[j];
                current[j] = suffix;
            }
            std::swap(current, previous);
            position = 0;
            prefix = std::numeric_limits<double>::infinity();
        }

        // The same as `count` pushes of 1.0, without computing their minima.
        void push_ones(std::uint64_t count) noexcept;

    private:
        void fill_infinite(std::uint64_t end) noexcept;
    };

private:
    friend struct EnvelopeEngineAccess;
    friend struct WindowTestAccess;

    Cursor cursor() noexcept;
    void store(const Cursor& cursor) noexcept;

    static constexpr double kInfinity = std::numeric_limits<double>::infinity();

    std::uint64_t window_length_;
    std::unique_ptr<double[]> storage_;  // two halves of window_length + 1 doubles
    double* current_;
    double* previous_;
    std::uint64_t position_ = 0;
    double prefix_ = kInfinity;
    std::uint64_t next_index_ = 0;
    std::uint64_t ready_ = 0;
};

class MovingAverage {
public:
    // Throws std::bad_alloc when the ring cannot be allocated. length >= 1.
    explicit MovingAverage(std::uint64_t length);

    void reset() noexcept;

    std::uint64_t length() const noexcept { return length_; }
    double sum() const noexcept { return sum_; }
    double reciprocal_length() const noexcept { return reciprocal_length_; }

    struct Cursor {
        double* buffer;
        std::uint64_t length;
        std::uint64_t position;  // slot of the oldest input
        double sum;
        double reciprocal_length;
        // Slots at and above `filled` have not been written since the reset
        // and hold 1.0 logically; they are written when a push reaches them.
        std::uint64_t filled;

        // Makes the slots read by the next `count` pushes valid; count <=
        // length - position.
        void prepare(std::uint64_t count) noexcept
        {
            const std::uint64_t needed = position + count;
            if (needed > filled) fill_ones(needed);
        }

        // Whether every input in the ring equals `value`; adds the number of
        // slots read to `read`.
        bool holds_only(double value, std::uint64_t& read) const noexcept;

    private:
        void fill_ones(std::uint64_t end) noexcept;
    };

private:
    friend struct EnvelopeEngineAccess;
    friend struct WindowTestAccess;

    Cursor cursor() noexcept { return {buffer_.get(), length_, position_, sum_, reciprocal_length_, filled_}; }
    void store(const Cursor& c) noexcept
    {
        position_ = c.position;
        sum_ = c.sum;
        filled_ = c.filled;
    }

    std::uint64_t length_;
    std::unique_ptr<double[]> buffer_;
    std::uint64_t position_ = 0;
    double sum_;
    double reciprocal_length_;
    std::uint64_t filled_ = 0;
};

}  // namespace nalo
