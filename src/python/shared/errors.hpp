// Core errors as Python exceptions.
#pragma once

#include "lib.hpp"
#include "python/shared/common.hpp"

namespace nalo::python {

// Sets the Python exception for a core error: MemoryError (with the core's
// message) for AllocationFailed, ValueError with the kind's message otherwise.
void value_error(const LimiterError& error);

}  // namespace nalo::python
