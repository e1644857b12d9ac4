#include "python/shared/errors.hpp"

#include <new>
#include <string>

namespace nalo::python {

namespace {

PyObject* exception_type(LimiterErrorKind kind) noexcept
{
    switch (kind) {
    case LimiterErrorKind::AllocationFailed:
        return PyExc_MemoryError;
    case LimiterErrorKind::WrongOutputSize:
        return PyExc_SystemError;
    default:
        return PyExc_ValueError;
    }
}

}  // namespace

void value_error(const LimiterError& error)
{
    try {
        const std::string message = error_message(error);
        PyErr_SetString(exception_type(error.kind), message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void raise_core_error(const LimiterError& error, const AudioLayout& layout, std::optional<std::uint64_t> first_frame)
{
    if (error.kind == LimiterErrorKind::StreamFinished) {
        PyErr_SetString(PyExc_RuntimeError, "the stream is finished");
        return;
    }
    if (error.kind != LimiterErrorKind::NonFiniteSample || layout.frames == 0) {
        value_error(error);
        return;
    }
    const auto index = static_cast<unsigned long long>(flat_index(layout, error.count));
    if (!first_frame) {
        PyErr_Format(PyExc_ValueError, "input sample at flat index %llu is not finite", index);
        return;
    }
    const std::uint64_t frame = *first_frame + error.count % layout.frames;
    PyErr_Format(PyExc_ValueError, "input sample at flat index %llu is not finite (frame %llu of the stream)", index,
                 static_cast<unsigned long long>(frame));
}

}  // namespace nalo::python
