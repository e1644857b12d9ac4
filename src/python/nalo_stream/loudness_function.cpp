#include "python/nalo_stream/loudness_function.hpp"

#include <algorithm>
#include <optional>

#include "loudness.hpp"
#include "python/nalo_stream/loudness_input.hpp"
#include "python/nalo_stream/true_peak_function.hpp"
#include "python/shared/arguments.hpp"
#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"

namespace nalo::python::stream {

const char kLoudnessDoc[] =
    "loudness(audio, sample_rate, axis=-1)\n--\n\n"
    "The integrated loudness of audio in LUFS (ITU-R BS.1770-4, EBU R 128):\n"
    "K-weighted, 400 ms windows gated at -70 LUFS and 10 LU below their mean.\n"
    "audio is laid out as for limit(); every channel weighs 1.0, except for six\n"
    "channels, taken as L R C LFE Ls Rs (LFE left out, surrounds 1.41). -inf\n"
    "for silence or audio shorter than 400 ms.";

namespace {

constexpr const char* kNames[] = {"audio", "sample_rate", "axis"};
constexpr Parameters kParameters{"loudness()", kNames, 3, 2};

// Frames measured at a time, between checks for Ctrl-C. A non-finite sample
// is named as the first in channel order within its chunk.
constexpr std::size_t kChunkFrames = 16384;

}  // namespace

PyObject* loudness(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return guard_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound bound;
        if (!bind_fastcall(kParameters, args, nargs, kwnames, bound)) return nullptr;
        SampleFormat format = SampleFormat::Float32;
        Ref array(extract_loudness_audio(bound[0], format));
        if (!array) return nullptr;
        std::uint32_t sample_rate = 0;
        if (!parse_sample_rate(bound[1], sample_rate)) return nullptr;
        std::int64_t axis = -1;
        if (bound[2] != nullptr && !convert_int64(bound[2], "axis", axis)) return nullptr;
        AudioLayout layout;
        if (!audio_layout(array.get(), axis, layout)) return nullptr;

        auto made = LoudnessMeter::create(sample_rate, layout.channels);
        if (!made) {
            value_error(made.error());
            return nullptr;
        }
        LoudnessMeter meter = std::move(made).value();
        const AudioView view = audio_view(array.get(), layout);
        std::optional<LimiterError> failure;
        {
            // The array is kept alive by `array` and only read.
            InterruptibleSection section;
            for (std::size_t first = 0; first < layout.frames && !failure; first += kChunkFrames) {
                const std::size_t count = std::min(kChunkFrames, layout.frames - first);
                failure = meter.push(loudness_block(view, format, first, count));
                // A chunk's planar index, as an index in the whole array.
                if (failure && failure->kind == LimiterErrorKind::NonFiniteSample)
                    failure->count = (failure->count / count) * layout.frames + first + failure->count % count;
                if (!section.keep_going()) return nullptr;
            }
        }
        if (failure) {
            raise_core_error(*failure, layout);
            return nullptr;
        }
        return PyFloat_FromDouble(meter.integrated());
    });
}

}  // namespace nalo::python::stream
