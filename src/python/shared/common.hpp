// Shared by every translation unit of the extension module: the one way the
// Python headers are included (stable ABI of CPython 3.11) and a tiny owning
// reference type.
#pragma once

#ifndef Py_LIMITED_API
#error "the nalo_limiter module is built against the limited API (Py_LIMITED_API=0x030B0000)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace nalo::python {

// Owns one strong reference (or none) and releases it when it goes out of
// scope. release() hands the reference over to the caller.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(object_, owned)); }

private:
    PyObject* object_ = nullptr;
};

// Runs `body` and returns its result; a C++ exception never crosses into the
// interpreter: std::bad_alloc becomes MemoryError, anything else SystemError,
// and `failure` is returned. Every entry point from Python runs inside one.
template <typename Result, typename Body>
Result guard_exceptions(Result failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in nalo_limiter");
    }
    return failure;
}

}  // namespace nalo::python
