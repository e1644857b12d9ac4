#include "python/nalo_stream/loudness_meter_type.hpp"

#include <atomic>
#include <optional>
#include <vector>

#include "loudness.hpp"
#include "python/nalo_stream/borrow.hpp"
#include "python/nalo_stream/loudness_input.hpp"
#include "python/nalo_stream/true_peak_function.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/held_state.hpp"
#include "python/shared/planar_copy.hpp"

namespace nalo::python::stream {

namespace {

struct State {
    explicit State(LoudnessMeter&& made) noexcept : meter(std::move(made)) {}

    std::optional<LoudnessMeter> meter;
    std::atomic<bool> busy{false};
};

State& state_of(PyObject* self) noexcept { return python::state_of<State>(self); }

// The channel weights: nullopt for None, or one number per item of an
// iterable, as many as channels (the core refuses NaN, infinite and negative
// ones). False with the exception set.
bool parse_weights(PyObject* object, std::uint64_t channels, std::optional<std::vector<double>>& out)
{
    if (object == nullptr || object == Py_None) return true;
    Ref list(PySequence_List(object));
    if (!list) {
        add_processing_note("weights");
        return false;
    }
    const Py_ssize_t length = PyList_Size(list.get());
    if (static_cast<std::uint64_t>(length) != channels) {
        PyErr_Format(PyExc_ValueError, "weights has %zd values, the meter has %llu channels", length,
                     static_cast<unsigned long long>(channels));
        return false;
    }
    std::vector<double> weights(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i)
        if (!convert_double(PyList_GetItem(list.get(), i), "weights", weights[static_cast<std::size_t>(i)]))
            return false;
    out = std::move(weights);
    return true;
}

constexpr const char* kNewNames[] = {"sample_rate", "channels", "weights"};
constexpr Parameters kNew{"LoudnessMeter()", kNewNames, 3, 2};

PyObject* meter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_tuple(kNew, args, kwargs, bound)) return nullptr;
        std::uint32_t sample_rate = 0;
        if (!parse_sample_rate(bound[0], sample_rate)) return nullptr;
        std::int64_t channels = 0;
        if (!convert_int64(bound[1], "channels", channels)) return nullptr;
        if (channels <= 0) {
            value_error(LimiterError::zero_channels());
            return nullptr;
        }
        std::optional<std::vector<double>> weights;
        if (!parse_weights(bound[2], static_cast<std::uint64_t>(channels), weights)) return nullptr;
        auto made = weights ? LoudnessMeter::create(sample_rate, *weights)
                            : LoudnessMeter::create(sample_rate, static_cast<std::uint64_t>(channels));
        if (!made) {
            value_error(made.error());
            return nullptr;
        }
        return new_object<State>(type, std::move(made).value());
    });
}

constexpr const char* kAddNames[] = {"block", "axis"};
constexpr Parameters kAdd{"LoudnessMeter.add()", kAddNames, 2, 1};

PyObject* meter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kAdd, args, nargs, kwnames, bound)) return nullptr;
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow) return nullptr;
        SampleFormat format = SampleFormat::Float32;
        Ref array(extract_loudness_audio(bound[0], format));
        if (!array) return nullptr;
        std::int64_t axis = -1;
        if (bound[1] != nullptr && !convert_int64(bound[1], "axis", axis)) return nullptr;
        AudioLayout layout;
        if (!audio_layout(array.get(), axis, layout)) return nullptr;
        if (state.meter->channels() != layout.channels) {
            PyErr_Format(PyExc_ValueError, "block has %llu channels, the meter has %llu",
                         static_cast<unsigned long long>(layout.channels),
                         static_cast<unsigned long long>(state.meter->channels()));
            return nullptr;
        }
        if (layout.frames == 0) Py_RETURN_NONE;
        // The whole block at once, read in place (the array is kept alive by
        // `array` and only read): a non-finite sample anywhere in it leaves
        // the meter as it was.
        const SampleBlock block = loudness_block(audio_view(array.get(), layout), format, 0, layout.frames);
        std::optional<LimiterError> failure;
        {
            ReleasedLock released;
            failure = state.meter->push(block);
        }
        if (failure) {
            raise_core_error(*failure, layout);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

constexpr const char* kMergeNames[] = {"other"};
constexpr Parameters kMerge{"LoudnessMeter.merge()", kMergeNames, 1, 1};

PyObject* meter_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kMerge, args, nargs, kwnames, bound)) return nullptr;
        PyObject* other = bound[0];
        if (Py_TYPE(other) != Py_TYPE(self)) {
            Ref name(PyType_GetName(Py_TYPE(other)));
            if (name)
                PyErr_Format(PyExc_TypeError, "LoudnessMeter.merge() argument 'other' must be LoudnessMeter, not %U",
                             name.get());
            return nullptr;
        }
        if (other == self) {
            PyErr_SetString(PyExc_ValueError, "a meter cannot be merged into itself");
            return nullptr;
        }
        Borrow borrow(state_of(self).busy);
        if (!borrow) return nullptr;
        Borrow borrow_other(state_of(other).busy);
        if (!borrow_other) return nullptr;
        state_of(self).meter->merge(*state_of(other).meter);
        Py_RETURN_NONE;
    });
}

enum class Reading { Integrated, Range, MomentaryMax, ShortTermMax };

void* reading(Reading r) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(r)); }

PyObject* meter_get(PyObject* self, void* closure)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        State& state = state_of(self);
        Borrow borrow(state.busy);
        if (!borrow) return nullptr;
        const LoudnessMeter& meter = *state.meter;
        switch (static_cast<Reading>(reinterpret_cast<std::intptr_t>(closure))) {
        case Reading::Integrated:
            return PyFloat_FromDouble(meter.integrated());
        case Reading::Range:
            return PyFloat_FromDouble(meter.loudness_range());
        case Reading::MomentaryMax:
            return PyFloat_FromDouble(meter.momentary_max());
        case Reading::ShortTermMax:
            return PyFloat_FromDouble(meter.short_term_max());
        }
        Py_RETURN_NONE;
    });
}

PyGetSetDef meter_getset[] = {
    {"integrated", meter_get, nullptr,
     "float: Integrated loudness of everything added so far, in LUFS (-inf while no 400 ms window passes the "
     "gates).",
     reading(Reading::Integrated)},
    {"loudness_range", meter_get, nullptr,
     "float: Loudness range in LU: the 10th to 95th percentile spread of the 3 s windows above -70 LUFS and 20 LU "
     "below their mean (0 while there is none).",
     reading(Reading::Range)},
    {"momentary_max", meter_get, nullptr,
     "float: Largest loudness of any 400 ms window, in LUFS (-inf before the first).", reading(Reading::MomentaryMax)},
    {"short_term_max", meter_get, nullptr,
     "float: Largest loudness of any 3 s window, in LUFS (-inf before the first).", reading(Reading::ShortTermMax)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kAddDoc[] =
    "add($self, /, block, axis=-1)\n--\n\n"
    "Measure the next block of the signal (laid out as for limit(), with the\n"
    "meter's channel count). The readings are the same whatever the block\n"
    "sizes.";

constexpr const char kMergeDoc[] =
    "merge($self, /, other)\n--\n\n"
    "Add the windows another meter measured (any sample rate or channel count)\n"
    "to this one's: the readings become those of both signals together, as\n"
    "for the joint loudness of an album. other is left as it is.";

PyMethodDef meter_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&meter_add)),
     METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&meter_merge)),
     METH_FASTCALL | METH_KEYWORDS, kMergeDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTypeDoc[] =
    "LoudnessMeter(sample_rate, channels, weights=None)\n--\n\n"
    "The loudness of a signal measured block by block (ITU-R BS.1770-4,\n"
    "EBU R 128, EBU Tech 3342): integrated loudness, loudness range and the\n"
    "largest momentary and short-term loudness. weights gives one weight per\n"
    "channel; by default every channel weighs 1.0, except for six channels,\n"
    "taken as L R C LFE Ls Rs (LFE left out, surrounds 1.41). Memory does not\n"
    "grow with the signal.";

PyType_Slot meter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&meter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_object<State>)},
    {Py_tp_methods, meter_methods},
    {Py_tp_getset, meter_getset},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {0, nullptr},
};

PyType_Spec meter_spec = {
    .name = "nalo_stream.LoudnessMeter",
    .basicsize = kObjectSize<State>,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = meter_slots,
};

}  // namespace

PyObject* create_loudness_meter_type(PyObject* module)
{
    return PyType_FromModuleAndSpec(module, &meter_spec, nullptr);
}

}  // namespace nalo::python::stream
