// The gain envelope engine: the one implementation of the envelope's steps
// (target gain, window minimum, release, three smoothing stages, cap, guard),
// shared by whole-signal processing and streams.
//
// It consumes per-frame levels and produces per-frame gains; measuring the
// levels and applying the gains are separate steps around it. Step i reads
// the level of frame i (silence past the last known frame) and, once
// i >= lookahead, writes the gain of frame i - lookahead.
#pragma once

#include <array>
#include <cstdint>

#include "envelope.hpp"

namespace nalo {

// The envelope state it advances: owned by a limiter record or a stream.
struct EnvelopeState {
    MovingMinimum& minimum;
    std::array<MovingAverage, 3>& stages;
    double& release_gain;

    void reset() noexcept;
};

struct EnvelopeSettings {
    double threshold;            // linear ceiling T
    double release_coefficient;  // c
    std::uint64_t lookahead;     // La >= 1
};

// The frames a run of steps reads and writes, in the caller's buffers:
// levels[j] is the level of frame origin + j, gains[j] receives the gain of
// frame origin + j (it may be the levels buffer itself: every level is read
// before its slot is overwritten). Frames from `known` on are silence.
struct FrameSpan {
    const float* levels;
    float* gains;
    std::uint64_t origin;
    std::uint64_t known;
};

// What a run learnt about the envelope being at rest, carried to the next
// run of the same envelope (a fresh one after a reset): whether it is at
// rest, so that a run of quiet steps skips the arithmetic from its start, and
// the step before which looking again is not worth it.
struct RestState {
    bool at_rest = false;
    std::uint64_t next_check = 0;
};

// Runs steps first_step .. end_step - 1. The caller guarantees that every
// frame read or written lies in [origin, known) of `frames`, that is
// origin <= first_step - lookahead (where that is positive), and that steps
// follow on from the last run since the reset.
void advance_envelope(EnvelopeState state, const EnvelopeSettings& settings, const FrameSpan& frames,
                      std::uint64_t first_step, std::uint64_t end_step, RestState& rest) noexcept;

}  // namespace nalo
