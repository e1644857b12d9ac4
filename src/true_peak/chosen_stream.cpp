// Stream: the choice between the sample-peak and the true-peak stream, made
// once at creation.
#include "true_peak/stream.hpp"

#include <new>
#include <variant>

namespace nalo {

struct Stream::State {
    std::variant<LimiterStream, TruePeakStream> stream;

    template <typename F>
    auto visit(F&& f) const noexcept
    {
        return std::visit(f, stream);
    }
};

Result<Stream> Stream::create(const NaloLimiter& limiter, std::uint64_t channels, Ceiling ceiling)
{
    const auto adopt = [](auto made) -> Result<Stream> {
        if (!made) return made.error();
        try {
            return Stream(std::make_unique<State>(State{std::move(made).value()}));
        } catch (const std::bad_alloc&) {
            return LimiterError::allocation_failed();
        }
    };
    if (ceiling == Ceiling::TruePeak) return adopt(TruePeakStream::create(limiter, channels));
    return adopt(LimiterStream::create(limiter, channels));
}

std::uint64_t Stream::latency_of(const NaloLimiter& limiter, Ceiling ceiling) noexcept
{
    return ceiling == Ceiling::TruePeak ? TruePeakStream::latency_of(limiter) : limiter.lookahead_samples;
}

Stream::Stream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&&) noexcept = default;
Stream::~Stream() = default;

std::uint64_t Stream::latency() const noexcept
{
    return state_->visit([](const auto& s) { return s.latency(); });
}
std::uint64_t Stream::frames_in() const noexcept
{
    return state_->visit([](const auto& s) { return s.frames_in(); });
}
std::uint64_t Stream::frames_out() const noexcept
{
    return state_->visit([](const auto& s) { return s.frames_out(); });
}
std::uint64_t Stream::frames_pending() const noexcept
{
    return state_->visit([](const auto& s) { return s.frames_pending(); });
}
std::uint64_t Stream::frames_ready_after(std::uint64_t frames) const noexcept
{
    return state_->visit([frames](const auto& s) { return s.frames_ready_after(frames); });
}

std::optional<LimiterError> Stream::push(std::span<const float> block, std::span<float> out, std::span<float> gains)
{
    return std::visit([&](auto& s) { return s.push(block, out, gains); }, state_->stream);
}

std::optional<LimiterError> Stream::finish(std::span<float> out, std::span<float> gains)
{
    return std::visit([&](auto& s) { return s.finish(out, gains); }, state_->stream);
}

}  // namespace nalo
