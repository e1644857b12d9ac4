#include "python/nalo_stream/true_peak_function.hpp"

#include <cmath>
#include <optional>
#include <vector>

#include "python/shared/arguments.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/numpy_api.hpp"
#include "python/shared/planar_copy.hpp"
#include "true_peak.hpp"

namespace nalo::python::stream {

const char kTruePeakDoc[] =
    "true_peak(audio, sample_rate, axis=-1, per_channel=False)\n--\n\n"
    "The true peak of audio in dBTP: the largest magnitude of the waveform\n"
    "reconstructed between the samples (ITU-R BS.1770-4 oversampling: 4x below\n"
    "96 kHz, 2x up to 192 kHz, none above), never less than the sample peak.\n"
    "audio is laid out as for limit(); -inf for silence. With per_channel, a\n"
    "float64 array with one value per channel.";

namespace {

constexpr const char* kNames[] = {"audio", "sample_rate", "axis", "per_channel"};
constexpr Parameters kParameters{"true_peak()", kNames, 4, 2};

// Frames copied to a planar buffer and measured at a time.
constexpr std::size_t kChunkFrames = 16384;

double decibels(float linear) { return linear > 0.0f ? 20.0 * std::log10(static_cast<double>(linear)) : -INFINITY; }

// Measures the whole array chunk by chunk; the error of the first non-finite
// sample carries its planar index in the whole array.
std::optional<LimiterError> measure(TruePeakMeter& meter, const AudioView& view, std::vector<float>& planar)
{
    const std::size_t channels = view.channels, frames = view.frames;
    for (std::size_t first = 0; first < frames; first += kChunkFrames) {
        const std::size_t count = std::min(kChunkFrames, frames - first);
        read_planar(view, first, count, planar.data());
        if (auto error = meter.push(std::span<const float>(planar.data(), channels * count))) {
            if (error->kind == LimiterErrorKind::NonFiniteSample)
                error->count = (error->count / count) * frames + first + error->count % count;
            return error;
        }
    }
    meter.finish();
    return std::nullopt;
}

PyObject* result(const TruePeakMeter& meter, bool per_channel)
{
    if (!per_channel) return PyFloat_FromDouble(decibels(meter.peak()));
    npy_intp length = static_cast<npy_intp>(meter.channels());
    PyObject* array = PyArray_SimpleNew(1, &length, NPY_FLOAT64);
    if (array == nullptr) return nullptr;
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (npy_intp c = 0; c < length; ++c) data[c] = decibels(meter.channel_peaks()[static_cast<std::size_t>(c)]);
    return array;
}

}  // namespace

PyObject* true_peak(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kParameters, args, nargs, kwnames, bound)) return nullptr;
        Ref array(extract_audio(bound[0]));
        if (!array) return nullptr;
        std::uint32_t sample_rate = 0;
        if (!parse_sample_rate(bound[1], sample_rate)) return nullptr;
        std::int64_t axis = -1;
        if (bound[2] != nullptr && !convert_int64(bound[2], "axis", axis)) return nullptr;
        int per_channel = 0;
        if (bound[3] != nullptr && (per_channel = PyObject_IsTrue(bound[3])) < 0) {
            add_processing_note("per_channel");
            return nullptr;
        }
        AudioLayout layout;
        if (!audio_layout(array.get(), axis, layout)) return nullptr;

        auto made = TruePeakMeter::create(sample_rate, layout.channels);
        if (!made) {
            value_error(made.error());
            return nullptr;
        }
        TruePeakMeter meter = std::move(made).value();
        const AudioView view = audio_view(array.get(), layout);
        std::vector<float> planar(layout.channels * std::min(kChunkFrames, layout.frames));
        std::optional<LimiterError> failure;
        {
            ReleasedLock released;  // the array is kept alive by `array` and only read
            failure = measure(meter, view, planar);
        }
        if (failure) {
            raise_core_error(*failure, layout);
            return nullptr;
        }
        return result(meter, per_channel != 0);
    });
}

}  // namespace nalo::python::stream
