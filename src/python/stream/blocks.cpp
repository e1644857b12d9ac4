#include "blocks.hpp"

// NumPy's API table is a static of this file.
#include <numpy/arrayobject.h>

#include <cstring>

#include "../marshalling.hpp"

namespace nalo::python::stream {

namespace {

PyArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<PyArrayObject*>(object); }

float* float_data(PyObject* object) noexcept { return static_cast<float*>(PyArray_DATA(as_array(object))); }

PyObject* new_float_array(int ndim, const npy_intp* dims)
{
    return PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), NPY_FLOAT);
}

inline float load(const char* p) noexcept
{
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

}  // namespace

int import_arrays() { return _import_array() < 0 ? -1 : 0; }

bool block_layout(PyObject* object, std::int64_t axis, Layout& layout, std::uint64_t& frames)
{
    PyArrayObject* array = as_array(object);
    const int ndim = PyArray_NDIM(array);
    if (ndim != 1 && ndim != 2) {
        PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions", ndim);
        return false;
    }
    std::uint64_t frame_axis = 0;
    if (!normalize_axis(axis, static_cast<std::uint64_t>(ndim), frame_axis)) return false;
    const npy_intp* dims = PyArray_DIMS(array);
    layout = Layout{ndim, frame_axis, 1};
    frames = static_cast<std::uint64_t>(dims[0]);
    if (ndim == 2) {
        layout.channels = static_cast<std::uint64_t>(dims[1 - frame_axis]);
        if (layout.channels == 0) {
            PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
            return false;
        }
        frames = static_cast<std::uint64_t>(dims[frame_axis]);
    }
    return true;
}

const char* layout_name(const Layout& layout) noexcept
{
    if (layout.ndim == 1) return "1-D";
    return layout.frames_first() ? "(frames, channels)" : "(channels, frames)";
}

void copy_planar(PyObject* object, const Layout& layout, std::uint64_t frames, float* planar) noexcept
{
    PyArrayObject* array = as_array(object);
    const npy_intp* strides = PyArray_STRIDES(array);
    const npy_intp frame_stride = strides[layout.ndim == 1 ? 0 : layout.frame_axis];
    const npy_intp channel_stride = layout.ndim == 1 ? 0 : strides[1 - layout.frame_axis];
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp item = sizeof(float);
    const bool contiguous = frame_stride == item &&
                            (layout.channels == 1 || channel_stride == item * static_cast<npy_intp>(frames));
    if (contiguous) {
        if (frames > 0) std::memcpy(planar, base, layout.channels * frames * sizeof(float));
        return;
    }
    for (std::uint64_t c = 0; c < layout.channels; ++c) {
        const char* channel = base + static_cast<npy_intp>(c) * channel_stride;
        float* out = planar + c * frames;
        for (std::uint64_t f = 0; f < frames; ++f) out[f] = load(channel + static_cast<npy_intp>(f) * frame_stride);
    }
}

bool Results::allocate(const Layout& layout, std::uint64_t frames)
{
    layout_ = layout;
    frames_ = frames;
    const npy_intp n = static_cast<npy_intp>(frames);
    const npy_intp c = static_cast<npy_intp>(layout.channels);
    npy_intp dims[2] = {n, 0};
    if (layout.ndim == 2) {
        dims[0] = layout.frames_first() ? n : c;
        dims[1] = layout.frames_first() ? c : n;
    }
    audio_.reset(new_float_array(layout.ndim, dims));
    if (!audio_) return false;
    planar_ = float_data(audio_.get());
    if (layout.frames_first()) {
        const npy_intp total = n * c;
        scratch_.reset(new_float_array(1, &total));
        if (!scratch_) return false;
        planar_ = float_data(scratch_.get());
    }
    gains_.reset(new_float_array(1, &n));
    return static_cast<bool>(gains_);
}

float* Results::gains() const noexcept { return float_data(gains_.get()); }

PyObject* Results::to_tuple()
{
    if (layout_.frames_first()) {
        float* out = float_data(audio_.get());
        const std::uint64_t channels = layout_.channels;
        for (std::uint64_t c = 0; c < channels; ++c) {
            const float* in = planar_ + c * frames_;
            for (std::uint64_t f = 0; f < frames_; ++f) out[f * channels + c] = in[f];
        }
        scratch_.reset();
    }
    return PyTuple_Pack(2, audio_.get(), gains_.get());
}

}  // namespace nalo::python::stream
