#include "python/shared/audio_arrays.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "python/shared/arguments.hpp"
#include "python/shared/numpy_api.hpp"

namespace nalo::python {

namespace {

// A sequence may report any length; never reserve more than this many items
// ahead of reading them (the vector still grows as items arrive).
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 20;

PyArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<PyArrayObject*>(object); }

PyObject* new_float_array(int ndim, const npy_intp* dims)
{
    // Allocated by NumPy, which advises huge pages for large buffers, so the
    // first touch of their pages is cheap.
    return PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), NPY_FLOAT);
}

// Step 2 of extract_audio: a flat sequence read item by item. Returns the new
// one-dimensional array; nullptr with no exception set when the object is not
// such a sequence (step 3 then runs); nullptr with an exception set only when
// memory runs out.
PyObject* read_flat_sequence(PyObject* object)
{
    Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
        length = 0;
    }
    std::vector<float> items;
    try {
        items.reserve(static_cast<std::size_t>(std::min(length, kMaxReservedItems)));
    } catch (const std::bad_alloc&) {
        // Only a reservation: reading still works without it.
    }

    Ref iterator(PyObject_GetIter(object));
    if (!iterator) {
        PyErr_Clear();
        return nullptr;
    }
    while (PyObject* item = PyIter_Next(iterator.get())) {
        const double value = PyFloat_AsDouble(item);
        Py_DECREF(item);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        try {
            items.push_back(static_cast<float>(value));  // nearest; too large becomes infinite
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {  // the iteration itself raised
        PyErr_Clear();
        return nullptr;
    }
    const npy_intp count = static_cast<npy_intp>(items.size());
    PyObject* array = new_float_array(1, &count);
    if (array == nullptr) return nullptr;
    if (count > 0) std::memcpy(float_data(array), items.data(), items.size() * sizeof(float));
    return array;
}

// Whether nobody but the caller can reach `array` or its memory: a plain
// C-contiguous ndarray that owns its data, is no view of anything and has
// only the caller's reference.
bool exclusively_held(PyObject* array) noexcept
{
    PyArrayObject* a = as_array(array);
    return Py_IS_TYPE(array, &PyArray_Type) && Py_REFCNT(array) == 1 && PyArray_BASE(a) == nullptr &&
           PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE);
}

}  // namespace

bool is_plain_array(PyObject* object) noexcept { return Py_IS_TYPE(object, &PyArray_Type); }

float* float_data(PyObject* array) noexcept { return static_cast<float*>(PyArray_DATA(as_array(array))); }

PyObject* extract_audio(PyObject* object, bool& owned)
{
    owned = false;
    PyArray_Descr* float32 = PyArray_DescrFromType(NPY_FLOAT);  // new reference
    if (float32 == nullptr) {
        add_processing_note("audio");
        return nullptr;
    }
    if (PyArray_Check(object)) {
        // Step 1: a native float32 array is used as it is.
        PyArray_Descr* descr = PyArray_DESCR(as_array(object));
        if (descr == float32 || PyArray_EquivTypes(descr, float32)) {
            Py_DECREF(float32);
            Py_INCREF(object);
            return object;
        }
        // Any other NumPy array goes straight to NumPy's conversion (step 3),
        // which keeps its shape: step 2 would flatten a (frames, 1) array.
    } else if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0 && PySequence_Check(object)) {
        // Step 2: a flat sequence of numbers.
        PyObject* array = read_flat_sequence(object);
        if (array != nullptr || PyErr_Occurred()) {
            Py_DECREF(float32);
            if (array == nullptr) add_processing_note("audio");
            owned = array != nullptr;
            return array;
        }
    }
    // Step 3: NumPy's own conversion, any cast allowed (steals `float32`).
    PyObject* array = PyArray_FromAny(object, float32, 0, 0, NPY_ARRAY_FORCECAST, nullptr);
    if (array == nullptr) {
        add_processing_note("audio");
        return nullptr;
    }
    owned = array != object && exclusively_held(array);
    return array;
}

PyObject* extract_audio(PyObject* object)
{
    bool owned = false;
    return extract_audio(object, owned);
}

bool normalize_axis(std::int64_t axis, std::uint64_t ndim, std::uint64_t& frame_axis)
{
    const std::int64_t normalized = axis < 0 ? axis + static_cast<std::int64_t>(ndim) : axis;
    if (normalized >= 0 && static_cast<std::uint64_t>(normalized) < ndim) {
        frame_axis = static_cast<std::uint64_t>(normalized);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "axis=%lld is invalid for a %lluD array", static_cast<long long>(axis),
                 static_cast<unsigned long long>(ndim));
    return false;
}

bool audio_layout(PyObject* array, std::int64_t axis, AudioLayout& out)
{
    PyArrayObject* a = as_array(array);
    const int ndim = PyArray_NDIM(a);
    if (ndim != 1 && ndim != 2) {
        PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions", ndim);
        return false;
    }
    std::uint64_t frame_axis = 0;
    if (!normalize_axis(axis, static_cast<std::uint64_t>(ndim), frame_axis)) return false;

    const npy_intp* dims = PyArray_DIMS(a);
    AudioLayout layout;
    layout.ndim = ndim;
    layout.frames = static_cast<std::size_t>(dims[0]);
    if (ndim == 2) {
        layout.channels = static_cast<std::size_t>(dims[1 - frame_axis]);
        if (layout.channels == 0) {
            PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
            return false;
        }
        layout.frames = static_cast<std::size_t>(dims[frame_axis]);
        layout.frames_first = frame_axis == 0;
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(layout.channels, layout.frames, &layout.samples) ||
        __builtin_mul_overflow(layout.samples, sizeof(float), &bytes) ||
        bytes > static_cast<std::size_t>(NPY_MAX_INTP)) {
        PyErr_SetString(PyExc_MemoryError, "audio is too large to process");
        return false;
    }
    out = layout;
    return true;
}

std::uint64_t flat_index(const AudioLayout& layout, std::uint64_t planar_index) noexcept
{
    if (!layout.frames_first || layout.frames == 0) return planar_index;
    return (planar_index % layout.frames) * layout.channels + planar_index / layout.frames;
}

PyObject* new_audio_array(const AudioLayout& layout, std::size_t frames)
{
    npy_intp dims[2] = {static_cast<npy_intp>(frames), 0};
    if (layout.ndim == 2) {
        const npy_intp channels = static_cast<npy_intp>(layout.channels);
        if (layout.frames_first)
            dims[1] = channels;
        else
            dims[0] = channels, dims[1] = static_cast<npy_intp>(frames);
    }
    return new_float_array(layout.ndim, dims);
}

PyObject* new_gains_array(std::size_t length)
{
    const npy_intp count = static_cast<npy_intp>(length);
    return new_float_array(1, &count);
}

}  // namespace nalo::python
