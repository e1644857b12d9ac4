#include "python/nalo_stream/meter_type.hpp"

#include <atomic>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "python/nalo_stream/borrow.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/held_state.hpp"
#include "python/shared/planar_copy.hpp"
#include "true_peak.hpp"

namespace nalo::python::stream {

namespace {

struct State {
    explicit State(std::uint32_t rate) noexcept : sample_rate(rate) {}

    std::uint32_t sample_rate;
    std::optional<TruePeakMeter> meter;  // opened by the first non-empty block
    std::vector<float> scratch;           // planar copies of blocks, reused
    bool finished = false;
    std::atomic<bool> busy{false};
};

State& state_of(PyObject* self) noexcept { return python::state_of<State>(self); }

// Scratch larger than this (in samples) is released after the call rather
// than kept for the next one.
constexpr std::size_t kKeptScratch = std::size_t{1} << 22;

constexpr const char* kNewNames[] = {"sample_rate"};
constexpr Parameters kNew{"TruePeakMeter()", kNewNames, 1, 1};

PyObject* meter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_tuple(kNew, args, kwargs, bound)) return nullptr;
        std::uint32_t sample_rate = 0;
        if (!parse_sample_rate(bound[0], sample_rate)) return nullptr;
        return new_object<State>(type, sample_rate);
    });
}

constexpr const char* kAddNames[] = {"block", "axis"};
constexpr Parameters kAdd{"TruePeakMeter.add()", kAddNames, 2, 1};

PyObject* meter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kAdd, args, nargs, kwnames, bound)) return nullptr;
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow) return nullptr;
        if (state.finished) {
            PyErr_SetString(PyExc_RuntimeError, "add() called after peak_dBTP()");
            return nullptr;
        }
        Ref array(extract_audio(bound[0]));
        if (!array) return nullptr;
        std::int64_t axis = -1;
        if (bound[1] != nullptr && !convert_int64(bound[1], "axis", axis)) return nullptr;
        AudioLayout layout;
        if (!audio_layout(array.get(), axis, layout)) return nullptr;
        if (layout.frames == 0) Py_RETURN_NONE;
        if (!state.meter) {
            auto made = TruePeakMeter::create(state.sample_rate, layout.channels);
            if (!made) {
                value_error(made.error());
                return nullptr;
            }
            state.meter.emplace(std::move(made).value());
        } else if (state.meter->channels() != layout.channels) {
            PyErr_Format(PyExc_ValueError, "block has %llu channels, the meter has %llu",
                         static_cast<unsigned long long>(layout.channels),
                         static_cast<unsigned long long>(state.meter->channels()));
            return nullptr;
        }
        const AudioView view = audio_view(array.get(), layout);
        const float* planar = planar_in_place(view);
        if (planar == nullptr && state.scratch.size() < layout.samples) state.scratch.resize(layout.samples);
        std::optional<LimiterError> failure;
        {
            ReleasedLock released;  // `array` keeps the samples alive
            if (planar == nullptr) {
                read_planar(view, 0, layout.frames, state.scratch.data());
                planar = state.scratch.data();
            }
            failure = state.meter->push(std::span<const float>(planar, layout.samples));
        }
        if (state.scratch.capacity() > kKeptScratch) std::vector<float>().swap(state.scratch);
        if (failure) {
            raise_core_error(*failure, layout);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* meter_peak(PyObject* self, PyObject* /*unused*/)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow) return nullptr;
        if (!state.finished && state.meter) state.meter->finish();
        state.finished = true;
        const float peak = state.meter ? state.meter->peak() : 0.0f;
        return PyFloat_FromDouble(peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY);
    });
}

constexpr const char kAddDoc[] =
    "add($self, /, block, axis=-1)\n--\n\n"
    "Measure the next block (laid out as for limit(); the first non-empty\n"
    "block fixes the channel count).";

constexpr const char kPeakDoc[] =
    "peak_dBTP($self, /)\n--\n\n"
    "End the signal and return its true peak in dBTP (-inf for silence).";

PyMethodDef meter_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&meter_add)),
     METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"peak_dBTP", &meter_peak, METH_NOARGS, kPeakDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTypeDoc[] =
    "TruePeakMeter(sample_rate)\n--\n\n"
    "The true peak of a signal measured block by block, as true_peak()\n"
    "measures it whole.";

PyType_Slot meter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&meter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_object<State>)},
    {Py_tp_methods, meter_methods},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {0, nullptr},
};

PyType_Spec meter_spec = {
    .name = "nalo_stream.TruePeakMeter",
    .basicsize = kObjectSize<State>,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = meter_slots,
};

}  // namespace

PyObject* create_meter_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &meter_spec, nullptr); }

}  // namespace nalo::python::stream
