// The core stream behind a nalo_stream.LimiterStream: the limiter's own
// sample-peak stream, or the true-peak one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "lib.hpp"
#include "true_peak/stream.hpp"

namespace nalo::python::stream {

class CoreStream {
public:
    // Opens the stream of either kind for `channels` channels.
    static Result<CoreStream> open(const NaloLimiter& limiter, std::uint64_t channels, bool true_peak)
    {
        if (true_peak) return wrap(TruePeakStream::create(limiter, channels));
        return wrap(LimiterStream::create(limiter, channels));
    }

    // Frames a stream of that kind holds back.
    static std::uint64_t latency_of(const NaloLimiter& limiter, bool true_peak) noexcept
    {
        return true_peak ? TruePeakStream::latency_of(limiter) : limiter.lookahead_samples;
    }

    std::uint64_t latency() const noexcept { return visit([](const auto& s) { return s.latency(); }); }
    std::uint64_t frames_in() const noexcept { return visit([](const auto& s) { return s.frames_in(); }); }
    std::uint64_t frames_out() const noexcept { return visit([](const auto& s) { return s.frames_out(); }); }
    std::uint64_t frames_pending() const noexcept { return visit([](const auto& s) { return s.frames_pending(); }); }
    std::uint64_t frames_ready_after(std::uint64_t frames) const noexcept
    {
        return visit([frames](const auto& s) { return s.frames_ready_after(frames); });
    }
    std::optional<LimiterError> push(std::span<const float> block, std::span<float> out, std::span<float> gains)
    {
        return std::visit([&](auto& s) { return s.push(block, out, gains); }, stream_);
    }
    std::optional<LimiterError> finish(std::span<float> out, std::span<float> gains)
    {
        return std::visit([&](auto& s) { return s.finish(out, gains); }, stream_);
    }

private:
    using Any = std::variant<LimiterStream, TruePeakStream>;
    explicit CoreStream(Any stream) : stream_(std::move(stream)) {}

    template <typename S>
    static Result<CoreStream> wrap(Result<S> made)
    {
        if (!made) return made.error();
        return CoreStream(Any(std::move(made).value()));
    }

    template <typename F>
    std::uint64_t visit(F f) const noexcept
    {
        return std::visit(f, stream_);
    }

    Any stream_;
};

}  // namespace nalo::python::stream
