// The configuration of a nalo_limiter.NaloLimiter object, rebuilt as a core
// record for a stream of its own.
#pragma once

#include <optional>

#include "lib.hpp"
#include "python/shared/common.hpp"

namespace nalo::python::stream {

// A core record built from the constructor arguments that `object` (a
// nalo_limiter.NaloLimiter) keeps, as its pickling reducer returns them: it
// limits bit for bit alike. TypeError for any other object; MemoryError if
// the record's buffers cannot be allocated. nullopt with the exception set.
std::optional<NaloLimiter> copy_limiter(PyObject* object);

}  // namespace nalo::python::stream
