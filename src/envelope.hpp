// The envelope state of a limiter and its window structures.
//
//   MovingMinimum  minimum of the last `window_length` values pushed;
//   MovingAverage  average of the last `length` values pushed, kept as a ring
//                  of doubles with a running sum that is updated at every push
//                  and never recomputed from the ring;
//   Envelope       the state of one signal's envelope: the settings it runs
//                  with, the window minimum, the release gain, the three
//                  smoothing stages and what is known of its being at rest.
//
// The windows start in their neutral state and are brought back to it by
// reset(), which costs constant time: storage is initialised lazily, as far
// as the pushes since the reset reach, so an absurdly long window costs
// nothing for a short signal. Neither allocates after construction.
//
// Only the envelope engine (envelope/gain_engine.cpp) advances them, through
// the cursors of envelope/cursors.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>

namespace nalo {

// The engine's way to the windows' state (envelope/cursors.hpp).
struct EnvelopeEngineAccess;

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

private:
    friend struct EnvelopeEngineAccess;

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

private:
    friend struct EnvelopeEngineAccess;

    std::uint64_t length_;
    std::unique_ptr<double[]> buffer_;
    std::uint64_t position_ = 0;
    double sum_;
    double reciprocal_length_;
    std::uint64_t filled_ = 0;
};

// What the envelope is computed with, fixed at construction.
struct EnvelopeSettings {
    double threshold;            // linear ceiling T
    double release_coefficient;  // c
    std::uint64_t lookahead;     // La >= 1
};

// What the engine learnt about the envelope being at rest, carried from one
// run of steps to the next: whether it is at rest, so that a run of quiet
// steps skips the arithmetic from its start, and the step before which
// looking again is not worth it.
struct RestState {
    bool at_rest = false;
    std::uint64_t next_check = 0;
};

class Envelope {
public:
    // A neutral envelope. Throws std::bad_alloc when the windows cannot be
    // allocated.
    Envelope(const EnvelopeSettings& settings, std::uint64_t window_length,
             const std::array<std::uint64_t, 3>& stage_lengths);

    // A neutral envelope with the same settings and window sizes, for a
    // signal of its own. Throws std::bad_alloc.
    Envelope fresh() const;

    // Back to the neutral state: gain 1.0, empty window, not known at rest.
    void reset() noexcept;

    EnvelopeSettings settings;
    MovingMinimum minimum;
    std::array<MovingAverage, 3> stages;
    double release_gain = 1.0;
    RestState rest;
};

}  // namespace nalo
