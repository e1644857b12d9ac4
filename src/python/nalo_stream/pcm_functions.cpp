#include "python/nalo_stream/pcm_functions.hpp"

#include <cstdint>

#include "pcm.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/numpy_api.hpp"

namespace nalo::python::stream {

const char kDecodePcmDoc[] =
    "_decode_pcm(packed, out, width, big_endian)\n--\n\n"
    "The integer samples in the uint8 array packed (width bytes each: 2 or 3)\n"
    "as floats on [-1, 1) in the C-contiguous float32 array out, one per\n"
    "item of out. Returns their largest magnitude.";

const char kEncodePcmDoc[] =
    "_encode_pcm(samples, packed, width, big_endian, top)\n--\n\n"
    "The C-contiguous float32 array samples rounded to the nearest integer\n"
    "step (width bytes: 2 or 3), kept within top steps and full scale, and\n"
    "stored in the uint8 array packed; each sample is replaced by the value of\n"
    "its step. Returns the largest magnitude among the steps.";

namespace {

// The data and item count of a C-contiguous NumPy array of `type`; false
// with TypeError or ValueError set.
bool contiguous(PyObject* object, int type, bool writeable, const char* name, void*& data, std::size_t& items)
{
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_TYPE(array) != type || !PyArray_IS_C_CONTIGUOUS(array) || (writeable && !PyArray_ISWRITEABLE(array))) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous%s %s array", name, writeable ? ", writeable" : "",
                     type == NPY_UINT8 ? "uint8" : "float32");
        return false;
    }
    data = PyArray_DATA(array);
    items = static_cast<std::size_t>(PyArray_SIZE(array));
    return true;
}

// Width and byte order; false with ValueError set.
bool pcm_format(PyObject* width, PyObject* big_endian, PcmFormat& out)
{
    const long bytes = PyLong_AsLong(width);
    if (bytes == -1 && PyErr_Occurred()) return false;
    const int big = PyObject_IsTrue(big_endian);
    if (big < 0) return false;
    out = PcmFormat{static_cast<unsigned>(bytes), big != 0};
    if (bytes != 2 && bytes != 3) {
        PyErr_Format(PyExc_ValueError, "width must be 2 or 3, got %ld", bytes);
        return false;
    }
    return true;
}

bool enough_bytes(std::size_t packed_bytes, std::size_t samples, PcmFormat format)
{
    if (packed_bytes / format.bytes >= samples) return true;
    PyErr_SetString(PyExc_ValueError, "packed is too short for the samples");
    return false;
}

}  // namespace

PyObject* decode_pcm(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "_decode_pcm() takes 4 arguments");
        return nullptr;
    }
    void *packed = nullptr, *out = nullptr;
    std::size_t packed_bytes = 0, samples = 0;
    PcmFormat format{};
    if (!contiguous(args[0], NPY_UINT8, false, "packed", packed, packed_bytes) ||
        !contiguous(args[1], NPY_FLOAT32, true, "out", out, samples) || !pcm_format(args[2], args[3], format) ||
        !enough_bytes(packed_bytes, samples, format))
        return nullptr;
    float largest = 0.0f;
    {
        ReleasedLock released;  // the caller keeps both arrays alive
        largest = nalo::decode_pcm(static_cast<const std::uint8_t*>(packed), samples, format, static_cast<float*>(out));
    }
    return PyFloat_FromDouble(largest);
}

PyObject* encode_pcm(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "_encode_pcm() takes 5 arguments");
        return nullptr;
    }
    void *samples = nullptr, *packed = nullptr;
    std::size_t count = 0, packed_bytes = 0;
    PcmFormat format{};
    if (!contiguous(args[0], NPY_FLOAT32, true, "samples", samples, count) ||
        !contiguous(args[1], NPY_UINT8, true, "packed", packed, packed_bytes) || !pcm_format(args[2], args[3], format) ||
        !enough_bytes(packed_bytes, count, format))
        return nullptr;
    const long top = PyLong_AsLong(args[4]);
    if (top == -1 && PyErr_Occurred()) return nullptr;
    if (top < 0 || top > (1L << (format.bits() - 1))) {
        PyErr_Format(PyExc_ValueError, "top must be from 0 to full scale, got %ld", top);
        return nullptr;
    }
    std::int32_t largest = 0;
    {
        ReleasedLock released;
        largest = nalo::encode_pcm(static_cast<float*>(samples), count, format, static_cast<std::int32_t>(top),
                                   static_cast<std::uint8_t*>(packed));
    }
    return PyLong_FromLong(largest);
}

}  // namespace nalo::python::stream
