// A limiter stream whose ceiling holds for the true peak: the waveform that
// a converter reconstructs between the samples, as the true-peak meter
// measures it (true_peak.hpp), stays at or below the ceiling.
//
// The level of each frame is the largest magnitude of its samples and of the
// values interpolated between it and both neighbours, over every channel, read
// by the meter's filter and by a flatter one (true_peak/detection.hpp);
// those levels drive the limiter's own envelope, unchanged. Because the gain
// itself moves between frames, the output is then measured the same way and
// the gains are lowered, smoothly, around any interval still above the
// ceiling (true_peak/overshoot_correction.hpp). The sample clamp stays.
//
// It is used exactly like LimiterStream (the same members, the same
// contract: planar blocks of any size, output equal for every split, a
// failing push changes nothing); only latency() is larger: the look-ahead,
// plus the interpolation filter's half length, plus the correction's hold.
//
// Stream, at the end, is the one a caller chooses by the ceiling's kind.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "lib.hpp"

namespace nalo {

class TruePeakStream {
public:
    // Fails with ZeroChannels, or AllocationFailed.
    static Result<TruePeakStream> create(const NaloLimiter& limiter, std::uint64_t channels);

    TruePeakStream(TruePeakStream&&) noexcept;
    TruePeakStream& operator=(TruePeakStream&&) noexcept;
    ~TruePeakStream();

    // The latency of a stream made from `limiter`.
    static std::uint64_t latency_of(const NaloLimiter& limiter) noexcept;

    std::uint64_t channels() const noexcept;
    std::uint64_t latency() const noexcept;
    std::uint64_t frames_in() const noexcept;
    std::uint64_t frames_out() const noexcept;
    bool finished() const noexcept;
    std::uint64_t frames_ready_after(std::uint64_t frames) const noexcept;
    std::uint64_t frames_pending() const noexcept;

    std::optional<LimiterError> push(std::span<const float> block, std::span<float> out, std::span<float> gains);
    std::optional<LimiterError> finish(std::span<float> out, std::span<float> gains);

private:
    struct State;
    explicit TruePeakStream(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// What a stream's ceiling holds for: every sample, or also the waveform
// reconstructed between the samples (the true peak, true_peak.hpp).
enum class Ceiling : std::uint8_t { SamplePeak, TruePeak };

// A stream of the kind chosen at its creation: a LimiterStream (lib.hpp)
// for a sample-peak ceiling, a TruePeakStream for a true-peak one, with
// their common members and contract.
class Stream {
public:
    // Fails with ZeroChannels, or AllocationFailed.
    static Result<Stream> create(const NaloLimiter& limiter, std::uint64_t channels, Ceiling ceiling);
    // The latency of a stream of that kind made from `limiter`.
    static std::uint64_t latency_of(const NaloLimiter& limiter, Ceiling ceiling) noexcept;

    Stream(Stream&&) noexcept;
    Stream& operator=(Stream&&) noexcept;
    ~Stream();

    std::uint64_t latency() const noexcept;
    std::uint64_t frames_in() const noexcept;
    std::uint64_t frames_out() const noexcept;
    std::uint64_t frames_ready_after(std::uint64_t frames) const noexcept;
    std::uint64_t frames_pending() const noexcept;

    std::optional<LimiterError> push(std::span<const float> block, std::span<float> out, std::span<float> gains);
    std::optional<LimiterError> finish(std::span<float> out, std::span<float> gains);

private:
    struct State;
    explicit Stream(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace nalo
