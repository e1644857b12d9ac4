#include "python/nalo_stream/loudness_input.hpp"

#include "python/shared/audio_arrays.hpp"
#include "python/shared/numpy_api.hpp"

namespace nalo::python::stream {

namespace {

// Whether `object` is a NumPy array of native-order doubles. The meter
// rounds each to the float nearest to it, as converting the array would.
bool is_double_array(PyObject* object) noexcept
{
    if (!PyArray_Check(object)) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);  // new reference
    if (float64 == nullptr) {
        PyErr_Clear();  // the conversion below is then the way
        return false;
    }
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
    const bool same = descr == float64 || PyArray_EquivTypes(descr, float64);
    Py_DECREF(float64);
    return same;
}

}  // namespace

PyObject* extract_loudness_audio(PyObject* object, SampleFormat& format)
{
    if (is_double_array(object)) {
        format = SampleFormat::Float64;
        Py_INCREF(object);
        return object;
    }
    format = SampleFormat::Float32;
    return extract_audio(object);
}

SampleBlock loudness_block(const AudioView& view, SampleFormat format, std::size_t first, std::size_t count) noexcept
{
    return {view.data + static_cast<std::ptrdiff_t>(first) * view.frame_stride, format, count, view.frame_stride,
            view.channel_stride};
}

}  // namespace nalo::python::stream
