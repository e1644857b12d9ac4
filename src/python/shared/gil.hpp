// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include <chrono>

#include "python/shared/common.hpp"

namespace nalo::python {

// Holds the interpreter lock released for its lifetime and re-acquires it on
// every path out of the scope.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// The lock released for a long loop, which calls keep_going() between its
// steps: at most every `interval` that retakes the lock briefly and lets
// Python run its signal handlers, so Ctrl-C is noticed during the loop. The
// lock is held again when the section ends.
class InterruptibleSection {
public:
    using Clock = std::chrono::steady_clock;

    explicit InterruptibleSection(Clock::duration interval = std::chrono::milliseconds(100)) noexcept
        : interval_(interval), next_(Clock::now() + interval), state_(PyEval_SaveThread())
    {
    }
    InterruptibleSection(const InterruptibleSection&) = delete;
    InterruptibleSection& operator=(const InterruptibleSection&) = delete;
    ~InterruptibleSection()
    {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

    // False once a signal handler has raised (KeyboardInterrupt for Ctrl-C):
    // the exception is set and the lock stays held from then on.
    bool keep_going() noexcept
    {
        if (state_ == nullptr) return false;
        if (Clock::now() < next_) return true;
        PyEval_RestoreThread(state_);
        state_ = nullptr;
        if (PyErr_CheckSignals() < 0) return false;
        state_ = PyEval_SaveThread();
        next_ = Clock::now() + interval_;
        return true;
    }

private:
    Clock::duration interval_;
    Clock::time_point next_;
    PyThreadState* state_;
};

}  // namespace nalo::python
