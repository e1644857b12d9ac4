// _decode_pcm and _encode_pcm: packed integer PCM to and from float32, for
// the file command's reading and writing of the bytes a file stores.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

extern const char kDecodePcmDoc[];
extern const char kEncodePcmDoc[];

PyObject* decode_pcm(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* encode_pcm(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace nalo::python::stream
