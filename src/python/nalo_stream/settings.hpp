// The configuration of a nalo_limiter.NaloLimiter object, rebuilt as a core
// record for a stream of its own.
#pragma once

#include <optional>

#include "lib.hpp"
#include "python/shared/common.hpp"

namespace nalo::python::stream {

// A core record equal to the one `object` (a nalo_limiter.NaloLimiter)
// holds: same sample rate, ceiling, look-ahead, hold and release counts, so
// that it limits bit for bit alike. TypeError for any other object; the
// object's own error when a property cannot be read (for example while
// another thread processes with it). nullopt with the exception set.
std::optional<NaloLimiter> copy_limiter(PyObject* object);

}  // namespace nalo::python::stream
