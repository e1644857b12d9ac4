// Whole-signal processing: the buffer checks, the frame peaks, the limiter's
// own envelope over the whole signal, and the application of the gains.
#include "lib.hpp"

#include "envelope/frame_passes.hpp"

#include <new>

namespace nalo {

namespace {

std::optional<LimiterError> check_layout(std::size_t samples, std::uint64_t channels) noexcept
{
    if (channels == 0) return LimiterError::zero_channels();
    if (samples % channels != 0) return LimiterError::indivisible_samples(samples, channels);
    return std::nullopt;
}

// Everything after the layout checks. The envelope is touched only once the
// samples are known to be finite, so a failing call changes nothing but the
// gains buffer.
std::optional<LimiterError> limit_planar(NaloLimiter& limiter, std::span<float> samples, std::size_t channels,
                                         std::span<float> gains) noexcept
{
    const std::size_t frames = gains.size();
    if (compute_peaks(samples.data(), channels, frames, frames, gains.data()) > kLargestFiniteBits)
        return LimiterError::non_finite_sample(first_non_finite(samples));
    limiter.reset_envelope();
    if (frames == 0) return std::nullopt;
    limiter.compute_gains(gains);
    apply_gains(samples.data(), frames, samples.data(), frames, channels, frames, gains.data(),
                static_cast<float>(limiter.threshold));
    return std::nullopt;
}

}  // namespace

std::optional<LimiterError> process_planar_into(NaloLimiter& limiter, std::span<float> samples,
                                                std::uint64_t channels, std::span<float> gains)
{
    if (auto error = check_layout(samples.size(), channels)) return error;
    if (gains.size() != samples.size() / channels) return LimiterError::wrong_output_size();
    return limit_planar(limiter, samples, static_cast<std::size_t>(channels), gains);
}

Result<std::vector<float>> process_planar(NaloLimiter& limiter, std::span<float> samples, std::uint64_t channels)
{
    if (auto error = check_layout(samples.size(), channels)) return *error;
    std::vector<float> gains;
    try {
        gains.resize(samples.size() / channels);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    if (auto error = limit_planar(limiter, samples, static_cast<std::size_t>(channels), gains)) return *error;
    return gains;
}

}  // namespace nalo
