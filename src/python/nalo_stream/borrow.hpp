// Exclusive use of an object's state for one call: a second thread that
// calls in meanwhile gets RuntimeError "Already borrowed" instead of racing.
#pragma once

#include <atomic>

#include "python/shared/common.hpp"

namespace nalo::python::stream {

class Borrow {
public:
    explicit Borrow(std::atomic<bool>& busy) noexcept : busy_(busy), held_(!busy.exchange(true))
    {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow()
    {
        if (held_) busy_.store(false);
    }
    explicit operator bool() const noexcept { return held_; }

private:
    std::atomic<bool>& busy_;
    bool held_;
};

}  // namespace nalo::python::stream
