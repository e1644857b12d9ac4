#include "python/nalo_limiter/limiter_type.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "lib.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/held_state.hpp"
#include "python/nalo_limiter/marshalling.hpp"
#include "python/nalo_limiter/settings.hpp"

namespace nalo::python {

namespace {

// What a NaloLimiter object holds.
struct LimiterState {
    LimiterState(NaloLimiter&& record, const Settings& given) noexcept
        : limiter(std::move(record)), sample_rate(limiter.sample_rate), settings(given)
    {
    }

    NaloLimiter limiter;
    // 0: free; n > 0: n readers (properties, text form); -1: a process call
    // holds the record exclusively.
    std::atomic<std::int64_t> use_state{0};
    // The constructor's arguments as converted, for pickling (the record
    // keeps only what is derived from the settings).
    std::uint32_t sample_rate;
    Settings settings;
};

LimiterState& as_limiter(PyObject* self) noexcept { return state_of<LimiterState>(self); }

// A shared borrow for reading the configuration.
class ReadBorrow {
public:
    explicit ReadBorrow(LimiterState& self) noexcept : self_(self)
    {
        std::int64_t state = self_.use_state.load();
        while (state >= 0) {
            if (self_.use_state.compare_exchange_weak(state, state + 1)) {
                held_ = true;
                return;
            }
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    ~ReadBorrow()
    {
        if (held_) self_.use_state.fetch_sub(1);
    }
    explicit operator bool() const noexcept { return held_; }

private:
    LimiterState& self_;
    bool held_ = false;
};

// The exclusive borrow of a process call.
class WriteBorrow {
public:
    explicit WriteBorrow(LimiterState& self) noexcept : self_(self)
    {
        std::int64_t expected = 0;
        held_ = self_.use_state.compare_exchange_strong(expected, -1);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    WriteBorrow(const WriteBorrow&) = delete;
    WriteBorrow& operator=(const WriteBorrow&) = delete;
    ~WriteBorrow()
    {
        if (held_) self_.use_state.store(0);
    }
    explicit operator bool() const noexcept { return held_; }

private:
    LimiterState& self_;
    bool held_ = false;
};

constexpr const char* kConstructorNames[] = {"sample_rate", kSettingNames[0], kSettingNames[1], kSettingNames[2],
                                             kSettingNames[3]};
constexpr Parameters kConstructor{"NaloLimiter.__new__()", kConstructorNames, 5, 1};

constexpr const char* kProcessNames[] = {"audio", "axis"};
constexpr Parameters kProcess{"NaloLimiter.process()", kProcessNames, 2, 1};

PyObject* limiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_tuple(kConstructor, args, kwargs, bound)) return nullptr;
        Settings settings;
        if (!convert_settings(bound, 1, settings)) return nullptr;
        std::optional<NaloLimiter> made = make_limiter(bound[0], settings);
        if (!made) return nullptr;  // on failure below, the record is released with `made`
        return new_object<LimiterState>(type, std::move(*made), settings);
    });
}

PyObject* limiter_process(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kProcess, args, nargs, kwnames, bound)) return nullptr;

        LimiterState& self = as_limiter(self_object);
        WriteBorrow borrow(self);  // freed again on every path out, after the tuple is built
        if (!borrow) return nullptr;

        AudioInput input;
        if (!convert_audio(bound[0], input)) return nullptr;
        std::int64_t axis = -1;
        if (bound[1] != nullptr && !convert_int64(bound[1], "axis", axis)) return nullptr;

        return process_to_tuple(self.limiter, std::move(input), axis);
    });
}

PyObject* limiter_repr(PyObject* self_object)
{
    LimiterState& self = as_limiter(self_object);
    ReadBorrow borrow(self);
    if (!borrow) return nullptr;
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        const NaloLimiter& l = self.limiter;
        const std::string text = "NaloLimiter(\n    sample_rate=" + std::to_string(l.sample_rate) +
                                 ", threshold_dBFS=" + format_number(l.threshold_dBFS) +
                                 ", threshold=" + format_number(l.threshold) +
                                 ",\n    lookahead_samples=" + std::to_string(l.lookahead_samples) +
                                 ", hold_samples=" + std::to_string(l.hold_samples) +
                                 ", release_samples=" + format_number(l.release_samples) + "\n)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// The seven properties; the closure selects the field.
enum class Field : std::uintptr_t {
    SampleRate,
    Threshold,
    ThresholdDBFS,
    LookaheadSamples,
    HoldSamples,
    ReleaseSamples,
};

PyObject* limiter_get(PyObject* self_object, void* closure)
{
    LimiterState& self = as_limiter(self_object);
    ReadBorrow borrow(self);
    if (!borrow) return nullptr;
    const NaloLimiter& l = self.limiter;
    switch (static_cast<Field>(reinterpret_cast<std::uintptr_t>(closure))) {
    case Field::SampleRate:
        return PyLong_FromUnsignedLong(l.sample_rate);
    case Field::Threshold:
        return PyFloat_FromDouble(l.threshold);
    case Field::ThresholdDBFS:
        return PyFloat_FromDouble(l.threshold_dBFS);
    case Field::LookaheadSamples:
        return PyLong_FromUnsignedLongLong(l.lookahead_samples);
    case Field::HoldSamples:
        return PyLong_FromUnsignedLongLong(l.hold_samples);
    case Field::ReleaseSamples:
        return PyFloat_FromDouble(l.release_samples);
    }
    PyErr_SetString(PyExc_SystemError, "unknown NaloLimiter property");
    return nullptr;
}

void* field(Field f) noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(f)); }

PyGetSetDef limiter_getset[] = {
    {"sample_rate", limiter_get, nullptr, "int: Configured sample rate in hertz.", field(Field::SampleRate)},
    {"threshold", limiter_get, nullptr, "float: Configured output ceiling as a linear amplitude.",
     field(Field::Threshold)},
    {"threshold_dBFS", limiter_get, nullptr, "float: Configured output ceiling in dBFS.",
     field(Field::ThresholdDBFS)},
    {"lookahead_samples", limiter_get, nullptr, "int: Look-ahead latency in samples.",
     field(Field::LookaheadSamples)},
    {"attack_samples", limiter_get, nullptr,
     "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)", field(Field::LookaheadSamples)},
    {"hold_samples", limiter_get, nullptr, "int: Configured hold duration in samples.", field(Field::HoldSamples)},
    {"release_samples", limiter_get, nullptr, "float: Configured release duration in samples.",
     field(Field::ReleaseSamples)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kProcessDoc[] =
    "process($self, audio, axis=...)\n--\n\nProcess mono or multichannel audio.\n\nArgs:\n    audio: A "
    "one-dimensional mono array or a two-dimensional\n        multichannel array. Values are converted to "
    "``numpy.float32``;\n        the input is not modified.\n    axis: Frame axis. The default of ``-1`` "
    "expects\n        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.\n        For mono input, "
    "``0`` and ``-1`` are\n        equivalent.\n\nReturns:\n    A tuple ``(audio, frame_gains)``. ``audio`` is a "
    "new ``numpy.float32``\n    array with the same shape as the input. ``frame_gains`` is a\n    "
    "one-dimensional ``numpy.float32`` array containing one linked gain\n    value per frame.\n\nRaises:\n    "
    "ValueError: If the input is not one- or two-dimensional, the\n        frame axis is invalid, the channel "
    "dimension is empty, or an\n        input sample is not finite.";

PyMethodDef limiter_methods[] = {
    {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&limiter_process)),
     METH_FASTCALL | METH_KEYWORDS, kProcessDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTypeDoc[] =
    "NaloLimiter(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0)\n--\n\nA "
    "configurable look-ahead brick-wall limiter.\n\nThe limiter applies one linked gain value to all channels in "
    "each frame,\npreserving their relative balance. Processing is offline and every call\nstarts with a neutral "
    "gain envelope.\n\nArgs:\n    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n    "
    "threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n        ``0.0`` is full scale "
    "and approximately ``-6.02`` is half scale.\n    attack_ms: Look-ahead attack time in milliseconds. It must "
    "round to at\n        least one sample at ``sample_rate``.\n    hold_ms: Hold time in milliseconds. May be "
    "zero.\n    release_ms: Release time in milliseconds. May be zero.\n\nRaises:\n    ValueError: If any "
    "configuration value is invalid.";

PyType_Slot limiter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&limiter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_object<LimiterState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&limiter_repr)},
    {Py_tp_methods, limiter_methods},
    {Py_tp_getset, limiter_getset},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable); no __dict__ or __weakref__
// offsets (no attributes, no weak references); immutable like a built-in.
PyType_Spec limiter_spec = {
    .name = "nalo_limiter.NaloLimiter",
    .basicsize = kObjectSize<LimiterState>,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = limiter_slots,
};

// copyreg's reducer for NaloLimiter, bound to the type: a limiter pickles as
// a call of the class on the constructor's arguments.
PyObject* reduce_limiter(PyObject* type, PyObject* object)
{
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_SetString(PyExc_TypeError, "expected a NaloLimiter");
        return nullptr;
    }
    const LimiterState& self = as_limiter(object);
    const Settings& s = self.settings;
    return Py_BuildValue("O(kdddd)", type, static_cast<unsigned long>(self.sample_rate), s.threshold_dBFS,
                         s.attack_ms, s.hold_ms, s.release_ms);
}

PyMethodDef reduce_def = {"reduce_limiter", &reduce_limiter, METH_O, nullptr};

}  // namespace

PyObject* create_limiter_type(PyObject* module)
{
    return PyType_FromModuleAndSpec(module, &limiter_spec, nullptr);
}

int register_pickling(PyObject* type)
{
    Ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return -1;
    Ref reducer(PyCFunction_NewEx(&reduce_def, type, nullptr));
    if (!reducer) return -1;
    Ref done(PyObject_CallMethod(copyreg.get(), "pickle", "OO", type, reducer.get()));
    return done ? 0 : -1;
}

}  // namespace nalo::python
