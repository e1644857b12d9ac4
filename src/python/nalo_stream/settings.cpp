#include "python/nalo_stream/settings.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>

#include "python/shared/errors.hpp"

namespace nalo::python::stream {

namespace {

// What the limiter exposes: its sample rate and threshold as given, and the
// counts derived from the times (the times themselves are not kept).
struct Exposed {
    std::uint32_t sample_rate = 0;
    double threshold_dBFS = 0.0;
    std::uint64_t lookahead = 0;
    std::uint64_t hold = 0;
    double release_samples = 0.0;
};

bool read_attribute(PyObject* object, const char* name, Ref& value)
{
    value.reset(PyObject_GetAttrString(object, name));
    return static_cast<bool>(value);
}

bool read_count(PyObject* object, const char* name, std::uint64_t& out)
{
    Ref value;
    if (!read_attribute(object, name, value)) return false;
    out = PyLong_AsUnsignedLongLong(value.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool read_real(PyObject* object, const char* name, double& out)
{
    Ref value;
    if (!read_attribute(object, name, value)) return false;
    out = PyFloat_AsDouble(value.get());
    return !(out == -1.0 && PyErr_Occurred());
}

bool read_exposed(PyObject* object, Exposed& e)
{
    std::uint64_t rate = 0;
    if (!read_count(object, "sample_rate", rate) || !read_real(object, "threshold_dBFS", e.threshold_dBFS) ||
        !read_count(object, "lookahead_samples", e.lookahead) || !read_count(object, "hold_samples", e.hold) ||
        !read_real(object, "release_samples", e.release_samples))
        return false;
    e.sample_rate = static_cast<std::uint32_t>(rate);
    return true;
}

// The smallest non-negative finite double x with f(x) >= target, for a
// non-decreasing f: a bisection over the bit patterns of the doubles, which
// are ordered like the values they stand for.
template <typename T>
double smallest_reaching(T target, const std::function<T(double)>& f)
{
    std::uint64_t low = 0;                                             // +0.0
    std::uint64_t high = std::bit_cast<std::uint64_t>(1.7976931348623157e308);  // largest finite
    while (low < high) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (f(std::bit_cast<double>(mid)) >= target)
            high = mid;
        else
            low = mid + 1;
    }
    return std::bit_cast<double>(low);
}

bool is_limiter(PyObject* object)
{
    Ref module(PyImport_ImportModule("nalo_limiter"));
    if (!module) return false;
    Ref type(PyObject_GetAttrString(module.get(), "NaloLimiter"));
    if (!type) return false;
    const int is = PyObject_IsInstance(object, type.get());
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

}  // namespace

std::optional<NaloLimiter> copy_limiter(PyObject* object)
{
    if (!is_limiter(object)) return std::nullopt;
    Exposed e;
    if (!read_exposed(object, e)) return std::nullopt;

    // Times that give back exactly the exposed counts: every derived value
    // of the record depends on the times only through these counts.
    const std::uint32_t rate = e.sample_rate;
    const double attack_ms =
        smallest_reaching<std::uint64_t>(e.lookahead, [rate](double ms) { return count_samples(ms, rate); });
    const std::uint64_t lookahead = count_samples(attack_ms, rate);
    const double hold_ms = smallest_reaching<std::uint64_t>(e.hold, [&](double ms) {
        const std::uint64_t window = count_samples(attack_ms + ms, rate);
        return (window > lookahead ? window : lookahead) - lookahead;
    });
    const double release_ms = smallest_reaching<double>(
        e.release_samples, [rate](double ms) { return (ms * static_cast<double>(rate)) / 1000.0; });

    auto made = NaloLimiter::create(rate, e.threshold_dBFS, attack_ms, hold_ms, release_ms);
    if (!made) {
        value_error(made.error());
        return std::nullopt;
    }
    NaloLimiter& limiter = made.value();
    if (limiter.lookahead_samples != e.lookahead || limiter.hold_samples != e.hold ||
        limiter.release_samples != e.release_samples) {
        PyErr_SetString(PyExc_SystemError, "the limiter's settings could not be copied exactly");
        return std::nullopt;
    }
    return std::move(made).value();
}

}  // namespace nalo::python::stream
