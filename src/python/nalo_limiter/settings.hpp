// The limiter settings of NaloLimiter() and limit(): their defaults, their
// conversion and the limiter record built from them.
#pragma once

#include <cstdint>
#include <optional>

#include "lib.hpp"
#include "python/shared/arguments.hpp"

namespace nalo::python {

// The four float settings, in parameter order, with their defaults.
struct Settings {
    double threshold_dBFS = 0.0;
    double attack_ms = 5.0;
    double hold_ms = 15.0;
    double release_ms = 40.0;
};

// The names of the four settings parameters, in order.
inline constexpr const char* kSettingNames[] = {"threshold_dBFS", "attack_ms", "hold_ms", "release_ms"};

// Converts the settings bound at `bound[first]` .. `bound[first + 3]`, in
// order; an omitted one keeps its default. False with the conversion's
// exception (and its note) set.
bool convert_settings(const Bound& bound, std::size_t first, Settings& out);

// Parses `sample_rate` and builds the limiter record from it and `settings`.
// Nothing with ValueError (or MemoryError) set on failure.
std::optional<NaloLimiter> make_limiter(PyObject* sample_rate, const Settings& settings);

}  // namespace nalo::python
