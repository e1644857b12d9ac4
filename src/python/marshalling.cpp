#include "marshalling.hpp"

#include <optional>
#include <span>
#include <utility>

#include "audio_arrays.hpp"
#include "errors.hpp"
#include "planar_copy.hpp"

namespace nalo::python {

namespace {

// The arrays of one call: `audio` in the input's shape, the planar buffer the
// core works on (the data of `audio` itself, except for frames first, where
// it is `scratch`), and the per-frame buffer that becomes `frame_gains`.
struct CallBuffers {
    Ref audio;
    Ref scratch;
    Ref frame_gains;
    float* planar = nullptr;
};

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

// Allocates the buffers of a call. An input of the call's own in planar
// order (one dimension, or frames last) becomes `audio` itself and is limited
// in place; otherwise `audio` is new.
bool allocate_buffers(const AudioLayout& layout, AudioInput& input, CallBuffers& out)
{
    const bool in_place = input.owned && !layout.frames_first;
    if (in_place)
        out.audio = std::move(input.array);
    else
        out.audio.reset(new_audio_array(layout, layout.frames));
    if (!out.audio) return false;
    out.planar = float_data(out.audio.get());
    if (layout.frames_first) {
        out.scratch.reset(new_gains_array(layout.samples));
        if (!out.scratch) return false;
        out.planar = float_data(out.scratch.get());
    }
    out.frame_gains.reset(new_gains_array(layout.frames));
    return static_cast<bool>(out.frame_gains);
}

// The core on the planar buffer, with the interpreter lock released.
bool run_core(NaloLimiter& limiter, const AudioLayout& layout, CallBuffers& buffers,
              std::optional<LimiterError>& failure)
{
    bool threw = false;
    {
        ReleasedLock released;
        try {
            failure = process_planar_into(limiter, std::span<float>(buffers.planar, layout.samples), layout.channels,
                                          std::span<float>(float_data(buffers.frame_gains.get()), layout.frames));
        } catch (...) {
            threw = true;
        }
    }
    if (threw) PyErr_SetString(PyExc_RuntimeError, "internal error in the limiter core");
    return !threw;
}

// A core error as a Python exception; a non-finite sample is reported at its
// row-major flat index in the caller's array.
void raise_core_error(LimiterError error, const AudioLayout& layout)
{
    if (error.kind == LimiterErrorKind::NonFiniteSample) error.count = flat_index(layout, error.count);
    value_error(error);
}

// Limits the input into the result arrays; false with the exception set.
bool process_numpy(NaloLimiter& limiter, AudioInput input, std::int64_t axis, CallBuffers& buffers)
{
    AudioLayout layout;
    if (!audio_layout(input.array.get(), axis, layout)) return false;
    if (!allocate_buffers(layout, input, buffers)) return false;
    if (input.array) {
        read_planar(audio_view(input.array.get(), layout), 0, layout.frames, buffers.planar);
        // A converted plain array can go now; anything else (the caller's
        // object, a subclass) is released only after the call.
        if (is_plain_array(input.array.get())) input.array.reset();
    }

    std::optional<LimiterError> failure;
    if (!run_core(limiter, layout, buffers, failure)) return false;
    if (failure) {
        raise_core_error(*failure, layout);
        return false;
    }
    if (layout.frames_first) {
        write_planar(buffers.planar, layout.frames, audio_view(buffers.audio.get(), layout), 0);
        buffers.scratch.reset();
    }
    return true;
}

}  // namespace

bool convert_audio(PyObject* object, AudioInput& out)
{
    out.array.reset(extract_audio(object, out.owned));
    return static_cast<bool>(out.array);
}

PyObject* process_to_tuple(NaloLimiter& limiter, AudioInput input, std::int64_t axis)
{
    CallBuffers buffers;
    if (!process_numpy(limiter, std::move(input), axis, buffers)) return nullptr;
    return PyTuple_Pack(2, buffers.audio.get(), buffers.frame_gains.get());
}

}  // namespace nalo::python
