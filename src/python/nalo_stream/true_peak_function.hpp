// nalo_stream.true_peak: the true peak of an array, in dBTP.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

extern const char kTruePeakDoc[];

// true_peak(audio, sample_rate, axis=-1, per_channel=False), METH_FASTCALL |
// METH_KEYWORDS.
PyObject* true_peak(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace nalo::python::stream
