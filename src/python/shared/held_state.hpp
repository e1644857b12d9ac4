// The one way a Python object of the package holds its C++ state: in place,
// after the object's header. The type's tp_new makes the object with
// new_object(), its tp_dealloc is dealloc_object().
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "python/shared/common.hpp"

namespace nalo::python {

template <typename State>
struct Object {
    PyObject_HEAD
    State state;
};

// The tp_basicsize of a type whose objects hold a State.
template <typename State>
inline constexpr int kObjectSize = static_cast<int>(sizeof(Object<State>));

template <typename State>
State& state_of(PyObject* self) noexcept
{
    return reinterpret_cast<Object<State>*>(self)->state;
}

// A new object of `type` holding State(args...), or nullptr with MemoryError
// set. The state is built once the object exists, so that nothing can fail
// between the two.
template <typename State, typename... Args>
PyObject* new_object(PyTypeObject* type, Args&&... args)
{
    static_assert(std::is_nothrow_constructible_v<State, Args&&...>);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Object<State>*>(self)->state) State(std::forward<Args>(args)...);
    return self;
}

template <typename State>
void dealloc_object(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    state_of<State>(self).~State();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

}  // namespace nalo::python
