#include "python/shared/errors.hpp"

#include <new>
#include <string>

namespace nalo::python {

void value_error(const LimiterError& error)
{
    try {
        const std::string message = error_message(error);
        PyObject* type = error.kind == LimiterErrorKind::AllocationFailed ? PyExc_MemoryError : PyExc_ValueError;
        PyErr_SetString(type, message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

}  // namespace nalo::python
