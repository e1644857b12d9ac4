#include "marshalling.hpp"

// The only translation unit that includes NumPy's headers: its API table is a
// static of this file, so no PY_ARRAY_UNIQUE_SYMBOL is needed.
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"

namespace nalo::python {

namespace {

constexpr npy_intp kItemSize = sizeof(float);

// A step-2 sequence may report any length; never reserve more than this many
// items ahead of reading them (the vector still grows as items arrive).
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 20;

// Tile of the blocked transpositions for frame axis 0: 16 channels by 256
// frames of floats (16 KiB) stay in the L1 cache on both sides of the copy.
constexpr std::size_t kTileChannels = 16;
constexpr std::size_t kTileFrames = 256;

PyArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<PyArrayObject*>(object); }

float* float_data(PyObject* object) noexcept { return static_cast<float*>(PyArray_DATA(as_array(object))); }

// A new, C-contiguous, writeable float32 numpy.ndarray (never a subclass),
// allocated by NumPy (which advises huge pages for large buffers, so the
// first touch of its pages is cheap). Sets MemoryError on failure.
PyObject* new_float_array(int ndim, const npy_intp* dims)
{
    return PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), NPY_FLOAT);
}

// One float read from possibly unaligned memory: element bytes are copied,
// never read through a misaligned float*.
inline float load(const char* p) noexcept
{
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// dst[i] = element at src + i * stride, for i < count; any stride (negative,
// zero, unaligned).
void gather(float* dst, const char* src, npy_intp stride, std::size_t count) noexcept
{
    if (count == 0) return;
    if (stride == kItemSize) {
        std::memcpy(dst, src, count * sizeof(float));
    } else if (stride == 0) {
        std::fill(dst, dst + count, load(src));
    } else {
        for (std::size_t i = 0; i < count; ++i) dst[i] = load(src + static_cast<npy_intp>(i) * stride);
    }
}

// NumPy's own rule for C contiguity.
bool is_row_major(int ndim, const npy_intp* dims, const npy_intp* strides) noexcept
{
    for (int d = 0; d < ndim; ++d)
        if (dims[d] == 0) return true;
    npy_intp expected = kItemSize;
    for (int d = ndim - 1; d >= 0; --d) {
        if (dims[d] == 1) continue;
        if (strides[d] != expected) return false;
        expected *= dims[d];
    }
    return true;
}

// planar[c * frames + f] = element [f, c] of a (frames, channels) array, for
// a channel count known at compile time: one pass over the frames in memory
// order, writing one sequential stream per channel.
template <std::size_t Channels>
void transpose_in_fixed(float* planar, const char* base, npy_intp frame_stride, npy_intp channel_stride,
                        std::size_t frames) noexcept
{
    float* dst[Channels];
    for (std::size_t c = 0; c < Channels; ++c) dst[c] = planar + c * frames;
    for (std::size_t f = 0; f < frames; ++f) {
        const char* row = base + static_cast<npy_intp>(f) * frame_stride;
        for (std::size_t c = 0; c < Channels; ++c) dst[c][f] = load(row + static_cast<npy_intp>(c) * channel_stride);
    }
}

// The same for any channel count, tile by tile, so that both the rows read
// and the channel blocks written stay in the cache while a tile is copied.
void transpose_in(float* planar, const char* base, npy_intp frame_stride, npy_intp channel_stride,
                  std::size_t frames, std::size_t channels) noexcept
{
    switch (channels) {
    case 1: return transpose_in_fixed<1>(planar, base, frame_stride, channel_stride, frames);
    case 2: return transpose_in_fixed<2>(planar, base, frame_stride, channel_stride, frames);
    case 3: return transpose_in_fixed<3>(planar, base, frame_stride, channel_stride, frames);
    case 4: return transpose_in_fixed<4>(planar, base, frame_stride, channel_stride, frames);
    case 5: return transpose_in_fixed<5>(planar, base, frame_stride, channel_stride, frames);
    case 6: return transpose_in_fixed<6>(planar, base, frame_stride, channel_stride, frames);
    case 7: return transpose_in_fixed<7>(planar, base, frame_stride, channel_stride, frames);
    case 8: return transpose_in_fixed<8>(planar, base, frame_stride, channel_stride, frames);
    default: break;
    }
    for (std::size_t f0 = 0; f0 < frames; f0 += kTileFrames) {
        const std::size_t f1 = std::min(frames, f0 + kTileFrames);
        for (std::size_t c0 = 0; c0 < channels; c0 += kTileChannels) {
            const std::size_t c1 = std::min(channels, c0 + kTileChannels);
            for (std::size_t c = c0; c < c1; ++c) {
                float* dst = planar + c * frames;
                const char* src = base + static_cast<npy_intp>(c) * channel_stride;
                for (std::size_t f = f0; f < f1; ++f) dst[f] = load(src + static_cast<npy_intp>(f) * frame_stride);
            }
        }
    }
}

// out[f * channels + c] = planar[c * frames + f], tile by tile: each channel
// block is read sequentially while the tile's rows of `out` stay in the cache.
void transpose_out(float* out, const float* planar, std::size_t frames, std::size_t channels) noexcept
{
    for (std::size_t f0 = 0; f0 < frames; f0 += kTileFrames) {
        const std::size_t f1 = std::min(frames, f0 + kTileFrames);
        for (std::size_t c0 = 0; c0 < channels; c0 += kTileChannels) {
            const std::size_t c1 = std::min(channels, c0 + kTileChannels);
            for (std::size_t c = c0; c < c1; ++c) {
                const float* src = planar + c * frames;
                for (std::size_t f = f0; f < f1; ++f) out[f * channels + c] = src[f];
            }
        }
    }
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

// Holds the interpreter lock released for its lifetime and re-acquires it on
// every path out of the scope.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace

int import_numpy()
{
    // _import_array keeps the original cause of a failed import (the
    // import_array macros would print it and replace it).
    return _import_array() < 0 ? -1 : 0;
}

PyObject* extract_audio(PyObject* object)
{
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
            return array;
        }
    }
    // Step 3: NumPy's own conversion, any cast allowed (steals `float32`).
    PyObject* array = PyArray_FromAny(object, float32, 0, 0, NPY_ARRAY_FORCECAST, nullptr);
    if (array == nullptr) add_processing_note("audio");
    return array;
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

void value_error(const LimiterError& error)
{
    try {
        const std::string message = error_message(error);
        PyObject* type = error.kind == LimiterErrorKind::AllocationFailed ? PyExc_MemoryError : PyExc_ValueError;
        PyErr_SetString(type, message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

bool process_numpy(NaloLimiter& limiter, PyObject* input, std::int64_t axis, Processed& out)
{
    PyArrayObject* array = as_array(input);

    // 1. Dimensionality.
    const int ndim = PyArray_NDIM(array);
    if (ndim != 1 && ndim != 2) {
        PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions", ndim);
        return false;
    }
    // 2. Frame axis.
    std::uint64_t frame_axis = 0;
    if (!normalize_axis(axis, static_cast<std::uint64_t>(ndim), frame_axis)) return false;

    // 3. Channels and frames.
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    std::size_t channels = 1;
    std::size_t frames = static_cast<std::size_t>(dims[0]);
    if (ndim == 2) {
        channels = static_cast<std::size_t>(dims[1 - frame_axis]);
        if (channels == 0) {
            PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
            return false;
        }
        frames = static_cast<std::size_t>(dims[frame_axis]);
    }
    std::size_t total = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(channels, frames, &total) || __builtin_mul_overflow(total, sizeof(float), &bytes) ||
        bytes > static_cast<std::size_t>(NPY_MAX_INTP)) {
        PyErr_SetString(PyExc_MemoryError, "audio is too large to process");
        return false;
    }
    const bool transposed = ndim == 2 && frame_axis == 0;

    // 4. Buffers, all allocated by NumPy with the lock held: `audio` in the
    // input's shape (for frames last and one dimension it is the planar
    // buffer itself), a planar scratch buffer for frame axis 0, and the
    // per-frame buffer that becomes `frame_gains`.
    Ref audio(new_float_array(ndim, dims));
    if (!audio) return false;
    Ref scratch;
    float* planar = float_data(audio.get());
    if (transposed) {
        const npy_intp count = static_cast<npy_intp>(total);
        scratch.reset(new_float_array(1, &count));
        if (!scratch) return false;
        planar = float_data(scratch.get());
    }
    const npy_intp frame_count = static_cast<npy_intp>(frames);
    Ref frame_gains(new_float_array(1, &frame_count));
    if (!frame_gains) return false;

    // Planar copy by logical index, whatever the strides.
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    if (total > 0) {
        if (transposed) {
            transpose_in(planar, base, strides[0], strides[1], frames, channels);
        } else if (is_row_major(ndim, dims, strides)) {
            std::memcpy(planar, base, bytes);
        } else if (ndim == 1) {
            gather(planar, base, strides[0], frames);
        } else {
            for (std::size_t c = 0; c < channels; ++c)
                gather(planar + c * frames, base + static_cast<npy_intp>(c) * strides[0], strides[1], frames);
        }
    }

    // 5. Core, with the interpreter lock released.
    std::optional<LimiterError> failure;
    bool threw = false;
    {
        ReleasedLock released;
        try {
            failure = process_planar_into(limiter, std::span<float>(planar, total), channels,
                                          std::span<float>(float_data(frame_gains.get()), frames));
        } catch (...) {
            threw = true;
        }
    }
    if (threw) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in the limiter core");
        return false;
    }

    // 6. Core error: report the row-major flat index of the caller's array.
    if (failure) {
        LimiterError error = *failure;
        if (error.kind == LimiterErrorKind::NonFiniteSample && transposed && frames != 0) {
            const std::uint64_t i = error.count;
            error.count = (i % frames) * channels + i / frames;
        }
        value_error(error);
        return false;
    }

    // 7. Output.
    if (transposed) {
        transpose_out(float_data(audio.get()), planar, frames, channels);
        scratch.reset();
    }
    out.audio = std::move(audio);
    out.frame_gains = std::move(frame_gains);
    return true;
}

PyObject* process_to_tuple(NaloLimiter& limiter, Ref input, std::int64_t axis)
{
    Processed processed;
    const bool ok = process_numpy(limiter, input.get(), axis, processed);
    input.reset();
    if (!ok) return nullptr;
    return PyTuple_Pack(2, processed.audio.get(), processed.frame_gains.get());
}

}  // namespace nalo::python
