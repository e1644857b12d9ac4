// Core errors as Python exceptions.
#pragma once

#include <cstdint>
#include <optional>

#include "lib.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/common.hpp"

namespace nalo::python {

// Sets the Python exception for a core error, with the kind's message:
// ValueError for the errors of settings and signals. Despite its name it
// also raises MemoryError: for AllocationFailed, and when the message itself
// cannot be built. WrongOutputSize, a fault of the binding's own buffers,
// raises SystemError.
void value_error(const LimiterError& error);

// The same for the error of a call on an array laid out as `layout` (a
// stream's block included): a non-finite sample is named by its row-major
// flat index in that array; for a stream, whose block starts at frame
// `first_frame`, also by its frame in the stream. A finished stream raises
// RuntimeError.
void raise_core_error(const LimiterError& error, const AudioLayout& layout,
                      std::optional<std::uint64_t> first_frame = std::nullopt);

}  // namespace nalo::python
