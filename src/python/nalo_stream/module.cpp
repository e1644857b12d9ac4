// The extension nalo_stream._native: the class LimiterStream, re-exported by
// the Python package nalo_stream.
#include "python/shared/common.hpp"
#include "python/shared/numpy_api.hpp"
#include "python/nalo_stream/loudness_function.hpp"
#include "python/nalo_stream/loudness_meter_type.hpp"
#include "python/nalo_stream/meter_type.hpp"
#include "python/nalo_stream/pcm_functions.hpp"
#include "python/nalo_stream/stream_type.hpp"
#include "python/nalo_stream/true_peak_function.hpp"

namespace nalo::python::stream {

namespace {

int exec_module(PyObject* module)
{
    return guard_exceptions<int>(-1, [&]() -> int {
        if (import_numpy() < 0) return -1;
        Ref type(create_stream_type(module));
        if (!type || PyModule_AddObjectRef(module, "LimiterStream", type.get()) < 0) return -1;
        Ref meter(create_meter_type(module));
        if (!meter || PyModule_AddObjectRef(module, "TruePeakMeter", meter.get()) < 0) return -1;
        Ref loudness_meter(create_loudness_meter_type(module));
        if (!loudness_meter) return -1;
        return PyModule_AddObjectRef(module, "LoudnessMeter", loudness_meter.get());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyMethodDef module_functions[] = {
    {"true_peak", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&true_peak)),
     METH_FASTCALL | METH_KEYWORDS, kTruePeakDoc},
    {"loudness", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&loudness)),
     METH_FASTCALL | METH_KEYWORDS, kLoudnessDoc},
    {"_decode_pcm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&decode_pcm)), METH_FASTCALL,
     kDecodePcmDoc},
    {"_encode_pcm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&encode_pcm)), METH_FASTCALL,
     kEncodePcmDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "nalo_stream._native",
    "Compiled part of nalo_stream: the LimiterStream class.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace nalo::python::stream

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&nalo::python::stream::module_def); }
