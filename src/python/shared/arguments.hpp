// Binding and conversion of Python arguments, shared by every callable of
// both extension modules: limit, NaloLimiter() and NaloLimiter.process in
// nalo_limiter; LimiterStream() and its process, TruePeakMeter() and its
// add, and true_peak in nalo_stream._native.
//
// Binding follows one rule set: too many positional arguments,
// then the keyword arguments in the caller's order (unknown name, or a name
// that already has a positional value), then missing required parameters;
// every failure is a TypeError whose message starts with the callable's name
// and "()". Conversions keep Python's own exception and add the PEP 678 note
// "while processing '{name}'".
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/shared/common.hpp"

namespace nalo::python {

// The parameter list of one callable. All parameters may be passed by
// position or by keyword; the first `required` ones must be given.
struct Parameters {
    const char* callable;      // as it appears in messages, e.g. "limit()"
    const char* const* names;  // parameter names in positional order
    std::size_t count;         // number of parameters (at most kMaxParameters)
    std::size_t required;      // number of leading required parameters
};

inline constexpr std::size_t kMaxParameters = 8;

// Bound arguments: one borrowed reference per parameter, nullptr where the
// argument was omitted (defaults apply only then; None is a value).
struct Bound {
    PyObject* values[kMaxParameters] = {};
    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. Returns false with a TypeError set.
bool bind_fastcall(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Bound& bound);

// Binds a tp_new style call (argument tuple, keyword dict or NULL).
// Returns false with a TypeError set.
bool bind_tuple(const Parameters& parameters, PyObject* args, PyObject* kwargs, Bound& bound);

// Adds the note "while processing '{name}'" to the exception being raised.
// A failure to add the note is ignored; the original exception stays.
void add_processing_note(const char* name);

// Python's float conversion (floats, ints, bools, __float__, __index__).
// On failure the conversion's exception is kept and gets the note.
bool convert_double(PyObject* object, const char* name, double& out);

// Python's integer conversion (__index__) to a signed 64-bit integer.
// On failure the conversion's exception is kept and gets the note.
bool convert_int64(PyObject* object, const char* name, std::int64_t& out);

// An integer from 1 to 4294967295, or ValueError
// "sample_rate must be a positive 32-bit integer" (Python's own conversion
// error is discarded, not chained).
bool parse_sample_rate(PyObject* object, std::uint32_t& out);

}  // namespace nalo::python
