// nalo-limiter core: a look-ahead brick-wall limiter on planar float32 audio.
//
// A limiter is configured once from a sample rate, an output ceiling in dBFS
// and attack (look-ahead), hold and release times in milliseconds:
//
//     auto made = nalo::NaloLimiter::create(48000, -1.0, 5.0, 15.0, 40.0);
//     if (!made) report(nalo::error_message(made.error()));
//     nalo::NaloLimiter limiter = std::move(made).value();
//
// and then limits any number of signals, each processed on its own from a
// neutral envelope:
//
//     auto gains = nalo::process_planar(limiter, samples, channels);
//
// `samples` is planar (channel-major): all frames of channel 0, then all frames
// of channel 1, ...; the sample of channel c at frame f is samples[c*frames+f].
// It is limited in place, and one gain per frame is returned. Every channel of
// a frame gets the same gain, chosen so that no output sample exceeds the
// ceiling; the output is not delayed (gain k belongs to frame k).
//
// The core never throws and never aborts: every failure is a LimiterError
// value. It knows nothing of Python; it uses only the C math library and the
// heap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "envelope.hpp"

namespace nalo {

// ---------------------------------------------------------------- errors

enum class LimiterErrorKind : std::uint8_t {
    ZeroSampleRate,      // "sample_rate must be greater than zero"
    InvalidThreshold,    // value: the threshold_dBFS given
    InvalidDuration,     // name: "attack_ms"/"hold_ms"/"release_ms"; value: the time given
    AttackRoundsToZero,  // value: attack_ms; count: sample_rate
    ZeroChannels,        // "channels must be greater than zero"
    IndivisibleSamples,  // count: number of samples; channels: channel count
    NonFiniteSample,     // count: planar index of the first NaN or infinite sample
    // The buffers a configuration or a call needs cannot be allocated (a
    // finite but absurd attack or hold time, or the heap is exhausted).
    // Bindings report it as an out-of-memory condition.
    AllocationFailed,
    // push or finish on a LimiterStream that has already finished.
    StreamFinished,
    // Output buffers that do not hold exactly the frames a call hands out: a
    // fault of the caller, never of the signal or the settings.
    WrongOutputSize,
    InvalidWeight,  // count: channel index; value: the loudness weight given
};

struct LimiterError {
    LimiterErrorKind kind;
    double value = 0.0;
    const char* name = "";
    std::uint64_t count = 0;
    std::uint64_t channels = 0;

    static LimiterError zero_sample_rate() { return {LimiterErrorKind::ZeroSampleRate}; }
    static LimiterError invalid_threshold(double dBFS) { return {LimiterErrorKind::InvalidThreshold, dBFS}; }
    static LimiterError invalid_duration(const char* name, double ms)
    {
        return {LimiterErrorKind::InvalidDuration, ms, name};
    }
    static LimiterError attack_rounds_to_zero(double attack_ms, std::uint32_t sample_rate)
    {
        return {LimiterErrorKind::AttackRoundsToZero, attack_ms, "", sample_rate};
    }
    static LimiterError zero_channels() { return {LimiterErrorKind::ZeroChannels}; }
    static LimiterError indivisible_samples(std::uint64_t samples, std::uint64_t channels)
    {
        return {LimiterErrorKind::IndivisibleSamples, 0.0, "", samples, channels};
    }
    static LimiterError non_finite_sample(std::uint64_t index)
    {
        return {LimiterErrorKind::NonFiniteSample, 0.0, "", index};
    }
    static LimiterError allocation_failed() { return {LimiterErrorKind::AllocationFailed}; }
    static LimiterError stream_finished() { return {LimiterErrorKind::StreamFinished}; }
    static LimiterError wrong_output_size() { return {LimiterErrorKind::WrongOutputSize}; }
    static LimiterError invalid_weight(std::uint64_t channel, double weight)
    {
        return {LimiterErrorKind::InvalidWeight, weight, "", channel};
    }
};

// The error's message, e.g. "hold_ms must be finite and non-negative, got -1".
std::string error_message(const LimiterError& error);

// A double as the shortest decimal that reads back as the same double, in
// positional notation, never with an exponent: 5.0 -> "5", -0.0 -> "-0",
// 1e-7 -> "0.0000001", 1e21 -> "1000000000000000000000"; NaN -> "NaN",
// infinities -> "inf" and "-inf".
std::string format_number(double value);

// Index of the first NaN or infinite sample, or samples.size() if none.
std::size_t first_non_finite(std::span<const float> samples) noexcept;

// Either a value or the LimiterError that prevented it.
template <typename T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(LimiterError error) : state_(error) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const LimiterError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, LimiterError> state_;
};

// ---------------------------------------------------------------- limiter

// How the look-ahead is shared between the three smoothing stages.
inline constexpr std::array<double, 3> kStageShares = {0.404078562416, 0.334851475794, 0.261069961789};

// Added to the level in every gain division, so that a level equal to the
// ceiling never divides to more than the ceiling.
inline constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

// Round-half-away-from-zero of (t_ms * sample_rate) / 1000, saturated to the
// unsigned 64-bit range (negatives, -0 and NaN give 0).
std::uint64_t count_samples(double t_ms, std::uint32_t sample_rate) noexcept;

// Lengths of the three smoothing stages for a look-ahead of `lookahead`
// (>= 1) samples; they add up to lookahead + 2.
std::array<std::uint64_t, 3> stage_lengths(std::uint64_t lookahead) noexcept;

class NaloLimiter {
public:
    // Validates the settings in a fixed order (sample rate, threshold, attack,
    // hold, release, then the attack's sample count) and allocates the
    // envelope at its final size (the memory is touched only as far as the
    // signals processed reach). A record that exists is valid.
    static Result<NaloLimiter> create(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                                      double hold_ms, double release_ms);

    NaloLimiter(NaloLimiter&&) noexcept = default;
    NaloLimiter& operator=(NaloLimiter&&) noexcept = default;

    // Configuration, fixed at construction.
    std::uint32_t sample_rate;
    double threshold_dBFS;          // as given; -0.0 stays -0.0
    double threshold;               // linear ceiling, exp10(threshold_dBFS / 20), in [0, 1]
    std::uint64_t lookahead_samples;  // >= 1
    std::uint64_t hold_samples;       // window_length - lookahead_samples
    double release_samples;           // release_ms * sample_rate / 1000, not rounded
    double release_coefficient;       // 1 / (release_samples + 1)

    // Envelope state: the window minimum `minimum`, the smoothing `stages`
    // and the `release_gain`, with the settings above that they run with.
    // Reset at the start of every processing call.
    Envelope envelope;

    // Brings the envelope back to its neutral state (gain 1.0, empty window).
    void reset_envelope() noexcept;

    // Turns per-frame peak levels into per-frame gains, in place. Each gain
    // is at most 1.0 and never negative; gain k belongs to frame k, computed
    // from the levels of frames 0 .. k + lookahead_samples.
    void compute_gains(std::span<float> levels) noexcept;

private:
    NaloLimiter(std::uint32_t sample_rate, double threshold_dBFS, double threshold, std::uint64_t lookahead,
                std::uint64_t window_length, double release_samples, const std::array<std::uint64_t, 3>& stages);
};

// Limits `samples` (planar, `channels` blocks of equal length) in place and
// returns one gain per frame. Fails, changing nothing, on zero channels, a
// length that is not a multiple of `channels`, or a NaN or infinite sample
// (the first one in buffer order is reported).
Result<std::vector<float>> process_planar(NaloLimiter& limiter, std::span<float> samples, std::uint64_t channels);

// The same, writing the gains into a caller-supplied buffer of exactly
// samples.size() / channels floats (bindings use it to let their own
// allocator provide the memory; a buffer of another size is refused as
// WrongOutputSize). Returns the error, or nothing on success. A failing call
// changes neither the samples nor the limiter, but may have used `gains`.
std::optional<LimiterError> process_planar_into(NaloLimiter& limiter, std::span<float> samples,
                                                std::uint64_t channels, std::span<float> gains);

// ---------------------------------------------------------------- whole signals tile by tile

// The buffers of a whole-signal call that reads its input from one buffer
// and writes the output to another: planar views with their own channel
// strides (the sample of channel c at frame f is at data[c * stride + f]).
// `in` may be `out` itself (then with the same stride); `gains` receives
// one gain per frame.
struct PlanarBuffers {
    const float* in;
    std::size_t in_stride;
    float* out;
    std::size_t out_stride;
    std::size_t channels;
    std::size_t frames;
    float* gains;
};

// A whole signal limited tile by tile: the peaks of a tile of input frames,
// the envelope steps they allow, then the output of the frames whose gains
// are now final, read from the input while it is still in the cache. Every
// pass over the signal thus touches memory once; the samples and gains equal
// process_planar's bit for bit.
//
// The call can run in pieces (advance with a step budget), so that a caller
// may look at other things between them. Creating it resets the limiter's
// envelope, which the call then owns until it is done.
//
// A NaN or infinite sample fails the call with NonFiniteSample carrying the
// planar index of the first one in channel-major order, as process_planar
// reports it. By then `out` (and `in`, when it is the same buffer) holds
// frames already limited: a failing call leaves the output meaningless, and
// an input of its own partly limited.
class TiledLimit {
public:
    // Fails with ZeroChannels.
    static Result<TiledLimit> start(NaloLimiter& limiter, const PlanarBuffers& buffers);

    // Runs tiles until at least `max_steps` envelope steps have been taken
    // in this piece or the call is done.
    std::optional<LimiterError> advance(std::uint64_t max_steps = UINT64_MAX) noexcept;

    bool done() const noexcept { return stepped_ == total_steps_; }

private:
    TiledLimit(NaloLimiter& limiter, const PlanarBuffers& buffers, std::size_t tile_frames) noexcept;

    std::optional<LimiterError> peak_next_tile() noexcept;
    void step_and_apply(std::uint64_t end_step) noexcept;

    NaloLimiter* limiter_;
    PlanarBuffers buffers_;
    std::size_t tile_frames_;     // a multiple of the envelope's step block
    std::uint64_t total_steps_;   // frames plus look-ahead, or none for no frames
    std::size_t peaked_ = 0;      // frames whose peaks are in gains
    std::uint64_t stepped_ = 0;   // envelope steps taken
    std::size_t applied_ = 0;     // frames written to out
};

// A TiledLimit run to its end in one piece.
std::optional<LimiterError> process_planar_tiled(NaloLimiter& limiter, const PlanarBuffers& buffers);

// ---------------------------------------------------------------- streams

// A signal limited in pieces, in memory bounded by the look-ahead and the
// window (times the channel count), never by the signal's length:
//
//     auto made = nalo::LimiterStream::create(limiter, channels);
//     nalo::LimiterStream stream = std::move(made).value();
//     for (each planar block of m frames) {
//         const auto n = stream.frames_ready_after(m);   // size out and gains
//         stream.push(block, out /* channels * n */, gains /* n */);
//     }
//     const auto n = stream.frames_pending();
//     stream.finish(out /* channels * n */, gains /* n */);
//
// The output lags the input by latency() = lookahead_samples frames: once n
// frames have been pushed, frames 0 .. n - latency() - 1 have been handed
// out. finish() ends the signal as a whole-signal call does (the look-ahead
// past the last frame sees silence) and hands out the rest. For every split
// of a signal into blocks, the concatenated output equals process_planar of
// the whole signal, bit for bit, samples and gains.
//
// Blocks of any size work; the output goes straight into the caller's
// buffers, and the stream holds back only the frames not yet final (at most
// latency() frames of samples and levels), in buffers that grow with them
// and keep room for the largest block pushed. A push costs time proportional
// to its block, never to the window or the look-ahead. A moved-from stream
// may only be assigned to or destroyed.
//
// A stream copies the limiter's configuration and owns its envelope state:
// the limiter stays free for other use, and one limiter may feed several
// streams. Blocks and outputs are planar with their own frame counts: the
// sample of channel c at frame f of a block of m frames is block[c*m+f].
class LimiterStream {
public:
    // Fails with ZeroChannels, or AllocationFailed.
    static Result<LimiterStream> create(const NaloLimiter& limiter, std::uint64_t channels);

    LimiterStream(LimiterStream&&) noexcept;
    LimiterStream& operator=(LimiterStream&&) noexcept;
    ~LimiterStream();

    std::uint64_t channels() const noexcept;
    std::uint64_t latency() const noexcept;     // frames held back
    std::uint64_t frames_in() const noexcept;   // frames pushed so far
    std::uint64_t frames_out() const noexcept;  // frames handed out so far
    bool finished() const noexcept;

    // Frames that a push of `frames` more frames hands out.
    std::uint64_t frames_ready_after(std::uint64_t frames) const noexcept;
    // Frames that finish() hands out: frames_in() - frames_out().
    std::uint64_t frames_pending() const noexcept;

    // Appends `block` (planar, a multiple of channels() samples) and writes
    // every frame that is now final into `out` (planar, channels() runs of
    // n = frames_ready_after(block frames) samples) and `gains` (n floats).
    // Fails, leaving the stream exactly as it was, with IndivisibleSamples;
    // NonFiniteSample carrying the planar index in `block` of the first NaN
    // or infinite sample; StreamFinished after finish(); AllocationFailed;
    // WrongOutputSize for outputs of the wrong size.
    std::optional<LimiterError> push(std::span<const float> block, std::span<float> out, std::span<float> gains);

    // Ends the signal and writes the frames_pending() frames held back.
    // Fails with StreamFinished when called twice, WrongOutputSize for
    // outputs of the wrong size.
    //
    // Ending costs latency() envelope steps (none for a stream that never
    // got a frame). For an absurd look-ahead that is a long time: with
    // `max_steps` the end runs in bounded pieces, each writing the
    // frames_ready_after_end_steps(max_steps) frames that it makes final
    // (often none until the last pieces), until end_steps_left() is 0 and
    // finished() is true. Once the end has begun, push fails with
    // StreamFinished.
    std::optional<LimiterError> finish(std::span<float> out, std::span<float> gains,
                                       std::uint64_t max_steps = UINT64_MAX);

    // End-of-signal steps still to run, and the frames that finish() with
    // `max_steps` hands out.
    std::uint64_t end_steps_left() const noexcept;
    std::uint64_t frames_ready_after_end_steps(std::uint64_t max_steps) const noexcept;

    // The same on planar views with their own channel strides (the sample of
    // channel c at frame f is at data[c * stride + f]), so that blocks can be
    // read from and output written straight into whole-signal buffers. `out`
    // and `gains` must have room for the frames handed out; a NaN's index is
    // c * frames + f, as in a packed block.
    std::optional<LimiterError> push(const float* block, std::size_t block_stride, std::size_t frames, float* out,
                                     std::size_t out_stride, float* gains);
    std::optional<LimiterError> finish(float* out, std::size_t out_stride, float* gains,
                                       std::uint64_t max_steps = UINT64_MAX);

private:
    struct State;
    explicit LimiterStream(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace nalo
