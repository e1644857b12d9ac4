// The extension module nalo_limiter: multi-phase
// initialisation, __all__, the class NaloLimiter and the function limit.
#include <cstdint>
#include <optional>

#include "lib.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/common.hpp"
#include "python/nalo_limiter/limiter_type.hpp"
#include "python/nalo_limiter/marshalling.hpp"
#include "python/shared/numpy_api.hpp"
#include "python/nalo_limiter/settings.hpp"

namespace nalo::python {

namespace {

constexpr const char* kLimitNames[] = {"audio",          "sample_rate",    kSettingNames[0], kSettingNames[1],
                                       kSettingNames[2], kSettingNames[3], "axis"};
constexpr Parameters kLimit{"limit()", kLimitNames, 7, 2};

PyObject* limit(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kLimit, args, nargs, kwnames, bound)) return nullptr;

        // audio first, then the optional parameters, the sample rate last.
        AudioInput input;
        if (!convert_audio(bound[0], input)) return nullptr;
        Settings settings;
        if (!convert_settings(bound, 2, settings)) return nullptr;
        std::int64_t axis = -1;
        if (bound[6] != nullptr && !convert_int64(bound[6], "axis", axis)) return nullptr;
        std::optional<NaloLimiter> made = make_limiter(bound[1], settings);
        if (!made) return nullptr;
        return process_to_tuple(*made, std::move(input), axis);
    });
}

constexpr const char kLimitDoc[] =
    "limit(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0, axis=...)\n--\n\n"
    "Limit mono or multichannel audio in one call.\n\nArgs:\n    audio: A one-dimensional mono array or a "
    "two-dimensional multichannel\n        array. Values are converted to ``numpy.float32``; the input is not\n"
    "        modified.\n    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n    "
    "threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n        ``0.0`` is full scale "
    "and approximately ``-6.02`` is half scale.\n    attack_ms: Look-ahead attack time in milliseconds. It must "
    "round to at\n        least one sample at ``sample_rate``.\n    hold_ms: Hold time in milliseconds. May be "
    "zero.\n    release_ms: Release time in milliseconds. May be zero.\n    axis: Frame axis. The default of "
    "``-1`` expects\n        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For\n        mono "
    "input, ``0`` and ``-1`` are\n        equivalent.\n\nReturns:\n    A tuple ``(audio, frame_gains)``. "
    "``audio`` is a new ``numpy.float32`` array\n    with the same shape as the input. ``frame_gains`` is a "
    "one-dimensional\n    ``numpy.float32`` array containing one linked gain value per frame.\n\nRaises:\n    "
    "ValueError: If a configuration value or input is invalid, or an input\n        sample is not finite.";

PyMethodDef limit_def = {
    "limit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&limit)),
    METH_FASTCALL | METH_KEYWORDS,
    kLimitDoc,
};

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute.
int add_public(PyObject* module, const char* name, PyObject* value)
{
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module)
{
    return guard_exceptions<int>(-1, [&]() -> int {
        if (import_numpy() < 0) return -1;

        Ref type(create_limiter_type(module));
        if (!type || add_public(module, "NaloLimiter", type.get()) < 0) return -1;
        if (register_pickling(type.get()) < 0) return -1;

        Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        Ref function(PyCFunction_NewEx(&limit_def, module, module_name.get()));
        if (!function) return -1;
        Ref function_name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!function_name) return -1;
        if (!PyUnicode_Check(function_name.get())) {
            PyErr_SetString(PyExc_TypeError, "limit.__name__ must be a str");
            return -1;
        }
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(function_name.get(), &size);
        if (name == nullptr) return -1;
        return add_public(module, name, function.get());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nalo_limiter",
    "Python bindings for the nalo-limiter look-ahead brick-wall audio limiter.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace nalo::python

PyMODINIT_FUNC PyInit_nalo_limiter(void) { return PyModuleDef_Init(&nalo::python::module_def); }
