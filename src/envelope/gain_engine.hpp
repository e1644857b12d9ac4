// The gain envelope engine: the one implementation of the envelope's steps
// (target gain, window minimum, release, three smoothing stages, cap, guard),
// shared by whole-signal processing and streams.
//
// It consumes per-frame levels and produces per-frame gains; measuring the
// levels and applying the gains are separate steps around it. Step i reads
// the level of frame i (silence past the last known frame) and, once
// i >= lookahead, writes the gain of frame i - lookahead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "envelope.hpp"

namespace nalo {

// Steps are run in blocks of this many, counted from step 0: runs of steps
// that start on a block boundary take exactly the steps of one whole run.
inline constexpr std::size_t kEnvelopeBlock = 128;

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

// Runs steps first_step .. end_step - 1 of `envelope`. The caller guarantees
// that every frame read or written lies in [origin, known) of `frames`, that
// is origin <= first_step - lookahead (where that is positive), and that
// steps follow on from the last run since the reset.
void advance_envelope(Envelope& envelope, const FrameSpan& frames, std::uint64_t first_step,
                      std::uint64_t end_step) noexcept;

}  // namespace nalo
