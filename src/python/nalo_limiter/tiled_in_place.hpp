// A whole signal limited tile by tile through a LimiterStream, from a source
// array into the output or in place: memory beyond the signal stays bounded,
// and a long call notices Ctrl-C.
#pragma once

#include <optional>

#include "lib.hpp"
#include "python/shared/planar_copy.hpp"

namespace nalo::python {

// Limits the samples of `source` into `view` (memory of the call's own, or
// `source` itself; the interpreter lock is released meanwhile, so the source
// is only read) with the configuration of `limiter`, and writes the frame
// gains into `gains` (view.frames floats).
// Returns false with a Python exception set (KeyboardInterrupt from Ctrl-C,
// MemoryError); a core error goes to `failure`, a non-finite sample with
// its planar index in the whole signal, the first in channel-major order.
bool limit_tiled(const NaloLimiter& limiter, const AudioView& source, const AudioView& view, float* gains,
                 std::optional<LimiterError>& failure);

}  // namespace nalo::python
