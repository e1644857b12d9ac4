#include "python/nalo_stream/limiter_copy.hpp"

#include <cstdint>
#include <utility>

#include "python/shared/errors.hpp"

namespace nalo::python::stream {

namespace {

// The arguments NaloLimiter() was called with, as converted.
struct ConstructorArguments {
    unsigned long sample_rate = 0;
    double threshold_dBFS = 0.0;
    double attack_ms = 0.0;
    double hold_ms = 0.0;
    double release_ms = 0.0;
};

// The type nalo_limiter.NaloLimiter: a new reference, or nullptr with the
// exception set.
PyObject* limiter_type()
{
    Ref module(PyImport_ImportModule("nalo_limiter"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "NaloLimiter");
}

bool is_limiter(PyObject* object, PyObject* type)
{
    const int is = PyObject_IsInstance(object, type);
    if (is < 0) return false;
    if (is == 0) {
        Ref name(PyType_GetName(Py_TYPE(object)));
        if (name)
            PyErr_Format(PyExc_TypeError,
                         "LimiterStream() argument 'limiter' must be nalo_limiter.NaloLimiter, not %U", name.get());
        return false;
    }
    return true;
}

// nalo_limiter registers the reducer with copyreg: a limiter reduces to
// (NaloLimiter, (sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms)).
bool read_arguments(PyObject* object, PyObject* type, ConstructorArguments& out)
{
    Ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return false;
    Ref table(PyObject_GetAttrString(copyreg.get(), "dispatch_table"));
    if (!table) return false;
    Ref reducer(PyObject_GetItem(table.get(), type));
    if (!reducer) return false;
    Ref reduced(PyObject_CallFunctionObjArgs(reducer.get(), object, nullptr));
    if (!reduced) return false;
    PyObject* callable = nullptr;
    PyObject* arguments = nullptr;
    return PyArg_ParseTuple(reduced.get(), "OO!", &callable, &PyTuple_Type, &arguments) &&
           PyArg_ParseTuple(arguments, "kdddd", &out.sample_rate, &out.threshold_dBFS, &out.attack_ms, &out.hold_ms,
                            &out.release_ms);
}

}  // namespace

std::optional<NaloLimiter> copy_limiter(PyObject* object)
{
    Ref type(limiter_type());
    if (!type || !is_limiter(object, type.get())) return std::nullopt;
    ConstructorArguments a;
    if (!read_arguments(object, type.get(), a)) return std::nullopt;
    auto made = NaloLimiter::create(static_cast<std::uint32_t>(a.sample_rate), a.threshold_dBFS, a.attack_ms,
                                    a.hold_ms, a.release_ms);
    if (!made) {
        value_error(made.error());
        return std::nullopt;
    }
    return std::move(made).value();
}

}  // namespace nalo::python::stream
