// nalo_stream.loudness: the integrated loudness of an array, in LUFS.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

extern const char kLoudnessDoc[];

// loudness(audio, sample_rate, axis=-1), METH_FASTCALL | METH_KEYWORDS.
PyObject* loudness(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace nalo::python::stream
