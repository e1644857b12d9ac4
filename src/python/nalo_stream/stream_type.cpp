#include "python/nalo_stream/stream_type.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "lib.hpp"
#include "python/nalo_stream/borrow.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/held_state.hpp"
#include "python/shared/planar_copy.hpp"
#include "python/nalo_stream/blocks.hpp"
#include "python/nalo_stream/limiter_copy.hpp"
#include "true_peak/stream.hpp"

namespace nalo::python::stream {

namespace {

// Everything a stream object owns. Only the thread that holds `busy` touches
// the limiter, the core stream and the layout; the counters are copies,
// updated with the interpreter lock held, so reading them never waits.
struct State {
    State(NaloLimiter&& configuration, Ceiling kind) noexcept
        : limiter(std::move(configuration)), ceiling(kind), latency(Stream::latency_of(limiter, kind))
    {
    }

    NaloLimiter limiter;                // the settings copied from the NaloLimiter
    Ceiling ceiling;                    // what the ceiling holds for
    std::optional<Stream> core;             // opened by the first non-empty block
    AudioLayout layout;                    // fixed with `core`
    std::optional<AudioLayout> last_seen;  // the shape of flush()'s results before that
    // Planar copies of a block and of the results of frames-first layouts,
    // reused: no fresh pages on every call.
    std::vector<float> block;
    std::vector<float> results;
    bool flushed = false;
    std::atomic<bool> busy{false};
    std::atomic<std::uint64_t> latency{0};
    std::atomic<std::uint64_t> frames_in{0};
    std::atomic<std::uint64_t> frames_out{0};
};

// Scratch buffers larger than this (in samples) are released after the call
// rather than kept for the next one.
constexpr std::size_t kKeptScratch = std::size_t{1} << 22;

void trim(std::vector<float>& scratch) noexcept
{
    if (scratch.capacity() > kKeptScratch) std::vector<float>().swap(scratch);
}

State& state_of(PyObject* self) noexcept { return python::state_of<State>(self); }

bool refuse_if_flushed(const State& state, const char* call)
{
    if (!state.flushed) return false;
    PyErr_Format(PyExc_RuntimeError, "%s called after flush(): the stream is finished", call);
    return true;
}

// Opens the core stream for `layout` on the first non-empty block, or checks
// that a later block matches it. False with ValueError or MemoryError set.
bool accept_layout(State& state, const AudioLayout& layout)
{
    if (state.core) {
        if (layout.channels != state.layout.channels) {
            PyErr_Format(PyExc_ValueError, "block has %llu channels, the stream has %llu",
                         static_cast<unsigned long long>(layout.channels),
                         static_cast<unsigned long long>(state.layout.channels));
            return false;
        }
        if (!same_layout(layout, state.layout)) {
            PyErr_Format(PyExc_ValueError, "block layout %s differs from the stream's %s", layout_name(layout),
                         layout_name(state.layout));
            return false;
        }
        return true;
    }
    state.last_seen = layout;
    if (layout.frames == 0) return true;
    auto made = Stream::create(state.limiter, layout.channels, state.ceiling);
    if (!made) {
        value_error(made.error());
        return false;
    }
    state.core.emplace(std::move(made).value());
    state.layout = layout;
    state.latency.store(state.core->latency());
    return true;
}

void count(State& state)
{
    state.frames_in.store(state.core->frames_in());
    state.frames_out.store(state.core->frames_out());
}

// process() of a block that passed every check.
PyObject* push_block(State& state, PyObject* array, const AudioLayout& layout)
{
    BlockResults results(state.results);
    if (!state.core) {  // empty blocks before the first samples: nothing to do
        if (!results.allocate(layout, 0)) return nullptr;
        return results.to_tuple();
    }
    std::vector<float>& planar = state.block;
    planar.resize(layout.samples);
    if (!results.allocate(layout, state.core->frames_ready_after(layout.frames))) return nullptr;

    // The copies in and out run with the lock released too: `array` keeps
    // the block alive, and the results are nobody else's yet.
    const AudioView view = audio_view(array, layout);
    std::optional<LimiterError> failure;
    {
        ReleasedLock released;
        read_planar(view, 0, layout.frames, planar.data());
        failure = state.core->push(std::span<const float>(planar.data(), layout.samples),
                                   std::span<float>(results.planar(), results.samples()),
                                   std::span<float>(results.gains(), results.frames()));
        if (!failure) results.move_into_place();
    }
    trim(planar);
    if (failure) {
        raise_core_error(*failure, layout, state.frames_in.load());
        return nullptr;
    }
    count(state);
    PyObject* tuple = results.to_tuple();
    trim(state.results);
    return tuple;
}

constexpr const char* kProcessNames[] = {"block", "axis"};
constexpr Parameters kProcess{"LimiterStream.process()", kProcessNames, 2, 1};

PyObject* stream_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kProcess, args, nargs, kwnames, bound)) return nullptr;
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow || refuse_if_flushed(state, "process()")) return nullptr;

        Ref array(extract_audio(bound[0]));
        if (!array) return nullptr;
        std::int64_t axis = -1;
        if (bound[1] != nullptr && !convert_int64(bound[1], "axis", axis)) return nullptr;
        AudioLayout layout;
        if (!audio_layout(array.get(), axis, layout) || !accept_layout(state, layout)) return nullptr;
        return push_block(state, array.get(), layout);
    });
}

PyObject* stream_flush(PyObject* self, PyObject* /*unused*/)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow || refuse_if_flushed(state, "flush()")) return nullptr;

        BlockResults results(state.results);
        if (!state.core) {
            if (!results.allocate(state.last_seen.value_or(AudioLayout{}), 0)) return nullptr;
            state.flushed = true;
            return results.to_tuple();
        }
        if (!results.allocate(state.layout, state.core->frames_pending())) return nullptr;
        std::optional<LimiterError> failure;
        {
            ReleasedLock released;
            failure = state.core->finish(std::span<float>(results.planar(), results.samples()),
                                         std::span<float>(results.gains(), results.frames()));
            if (!failure) results.move_into_place();
        }
        if (failure) {
            raise_core_error(*failure, state.layout);
            return nullptr;
        }
        count(state);
        state.flushed = true;
        return results.to_tuple();
    });
}

constexpr const char* kNewNames[] = {"limiter", "true_peak"};
constexpr Parameters kNew{"LimiterStream()", kNewNames, 2, 1};

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_tuple(kNew, args, kwargs, bound)) return nullptr;
        std::optional<NaloLimiter> limiter = copy_limiter(bound[0]);
        if (!limiter) return nullptr;
        int true_peak = 0;
        if (bound[1] != nullptr && (true_peak = PyObject_IsTrue(bound[1])) < 0) {
            add_processing_note("true_peak");
            return nullptr;
        }
        const Ceiling ceiling = true_peak != 0 ? Ceiling::TruePeak : Ceiling::SamplePeak;
        return new_object<State>(type, std::move(*limiter), ceiling);
    });
}

enum class Counter : std::uintptr_t { Latency, FramesIn, FramesOut };

PyObject* stream_get(PyObject* self, void* closure)
{
    const State& state = state_of(self);
    switch (static_cast<Counter>(reinterpret_cast<std::uintptr_t>(closure))) {
    case Counter::Latency:
        return PyLong_FromUnsignedLongLong(state.latency.load());
    case Counter::FramesIn:
        return PyLong_FromUnsignedLongLong(state.frames_in.load());
    case Counter::FramesOut:
        return PyLong_FromUnsignedLongLong(state.frames_out.load());
    }
    PyErr_SetString(PyExc_SystemError, "unknown LimiterStream property");
    return nullptr;
}

void* counter(Counter c) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(c)); }

PyGetSetDef stream_getset[] = {
    {"latency", stream_get, nullptr,
     "int: Frames held back: the output lags the input by this many frames until flush().",
     counter(Counter::Latency)},
    {"frames_in", stream_get, nullptr, "int: Frames passed to process() so far.", counter(Counter::FramesIn)},
    {"frames_out", stream_get, nullptr, "int: Frames handed out by process() and flush() so far.",
     counter(Counter::FramesOut)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kProcessDoc[] =
    "process($self, /, block, axis=-1)\n--\n\n"
    "Limit the next block of the signal.\n\n"
    "Args:\n"
    "    block: The next frames, as ``NaloLimiter.process`` accepts audio: a\n"
    "        one-dimensional mono array or a two-dimensional multichannel\n"
    "        array, converted to ``numpy.float32``; it is not modified.\n"
    "    axis: Frame axis. The default of ``-1`` expects ``(channels, frames)``.\n"
    "        Use ``0`` for ``(frames, channels)``.\n\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)`` of new ``numpy.float32`` arrays in the\n"
    "    block's layout, holding the frames that are final so far: fewer than\n"
    "    the block's while the look-ahead fills, possibly none.\n\n"
    "Raises:\n"
    "    ValueError: If the block is not one- or two-dimensional, the frame\n"
    "        axis is invalid, its channel count or layout differs from the\n"
    "        first non-empty block's, or a sample is not finite (the message\n"
    "        gives its flat index in the block and its frame in the stream).\n"
    "        The stream is then unchanged: the block may be repaired and sent\n"
    "        again.\n"
    "    RuntimeError: After flush(), or while another thread uses the stream.";

constexpr const char kFlushDoc[] =
    "flush($self, /)\n--\n\n"
    "End the signal and return the frames held back.\n\n"
    "Past the last frame the look-ahead sees silence, as in a whole-signal\n"
    "call. The stream is then finished.\n\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)`` with the last ``latency`` frames (or\n"
    "    all frames, if fewer were given), in the layout of the blocks.\n\n"
    "Raises:\n"
    "    RuntimeError: If called twice, or while another thread uses the stream.";

PyMethodDef stream_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&stream_process)),
     METH_FASTCALL | METH_KEYWORDS, kProcessDoc},
    {"flush", &stream_flush, METH_NOARGS, kFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTypeDoc[] =
    "LimiterStream(limiter, true_peak=False)\n--\n\n"
    "One signal limited block by block.\n\n"
    "The stream copies the settings of ``limiter`` (a\n"
    "``nalo_limiter.NaloLimiter``, which stays free for other use) and keeps\n"
    "the envelope between blocks. For every split of a signal into blocks, the\n"
    "concatenated results of ``process`` and ``flush`` equal\n"
    "``limiter.process(signal, axis=...)`` bit for bit, audio and gains. The\n"
    "output lags the input by ``latency`` frames until ``flush``. Memory does\n"
    "not grow with the signal's length.\n\n"
    "The first non-empty block fixes the channel count and the layout. The\n"
    "processing runs without the interpreter lock; one stream serves one\n"
    "thread at a time.\n\n"
    "With ``true_peak`` the ceiling holds for the true peak instead: the\n"
    "waveform reconstructed between the samples (as ``true_peak()``\n"
    "measures it) stays at or below it. Each frame's level then includes the\n"
    "values interpolated around it, and the gains are lowered smoothly\n"
    "wherever the output would still rise above the ceiling between samples.\n"
    "The results then equal no ``limit()`` call, but still do not depend on\n"
    "the split; ``latency`` grows by the interpolation and the correction.\n\n"
    "Ctrl-C is handled only when ``process`` returns: a ``KeyboardInterrupt``\n"
    "arriving during the call is raised after the stream has taken the block,\n"
    "and that call's output is lost (``frames_out`` counts it, so the frames\n"
    "lost are ``frames_out`` minus those received). To stop without a gap,\n"
    "stop between calls: feed short blocks and let a ``signal.SIGINT`` handler\n"
    "set a flag that the loop checks before each block, then ``flush``.\n"
    "Otherwise treat an interrupted stream as lost and start again.\n\n"
    "Args:\n"
    "    limiter: The ``nalo_limiter.NaloLimiter`` whose settings to use.\n"
    "    true_peak: Read the ceiling as dBTP rather than dBFS.\n\n"
    "Raises:\n"
    "    TypeError: If ``limiter`` is not a ``nalo_limiter.NaloLimiter``.";

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_object<State>)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    .name = "nalo_stream.LimiterStream",
    .basicsize = kObjectSize<State>,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = stream_slots,
};

}  // namespace

PyObject* create_stream_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &stream_spec, nullptr); }

}  // namespace nalo::python::stream
