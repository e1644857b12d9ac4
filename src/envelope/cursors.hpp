// The cursors through which the envelope engine advances the windows: a copy
// of a window's scalar state in locals, so that the compiler can keep the
// running sum and positions in registers (a store into a ring could
// otherwise alias them). Take a cursor, push through it, and store it back
// before using the window itself again.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>

#include "envelope.hpp"
#include "simd/double_lanes.hpp"

namespace nalo {

struct MinimumCursor {
    double* current;   // values of the segment being filled; [window] = +inf
    double* previous;  // suffix minima of the last full segment; [window] = +inf
    std::uint64_t window;
    std::uint64_t position;  // offset in the current segment
    double prefix;           // minimum of the current segment so far
    std::uint64_t next_index;  // pushes since the reset
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

struct AverageCursor {
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

struct EnvelopeEngineAccess {
    static MinimumCursor cursor(const MovingMinimum& m) noexcept
    {
        return {m.current_, m.previous_, m.window_length_, m.position_, m.prefix_, m.next_index_, m.ready_};
    }
    static AverageCursor cursor(const MovingAverage& a) noexcept
    {
        return {a.buffer_.get(), a.length_, a.position_, a.sum_, a.reciprocal_length_, a.filled_};
    }
    static void store(MovingMinimum& m, const MinimumCursor& c) noexcept
    {
        m.current_ = c.current;
        m.previous_ = c.previous;
        m.position_ = c.position;
        m.prefix_ = c.prefix;
        m.next_index_ = c.next_index;
        m.ready_ = c.ready;
    }
    static void store(MovingAverage& a, const AverageCursor& c) noexcept
    {
        a.position_ = c.position;
        a.sum_ = c.sum;
        a.filled_ = c.filled;
    }
};

}  // namespace nalo
