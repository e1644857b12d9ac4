// Loudness measurement: integrated loudness (LUFS), loudness range (LU) and
// the largest momentary and short-term loudness of a signal, per ITU-R
// BS.1770-4 and EBU R 128.
//
// Every channel is K-weighted (a high-frequency shelf, then a high-pass), its
// mean square taken over 100 ms quarters of the signal, and the quarters
// weighted per channel and summed. Sliding windows of 4 quarters (400 ms,
// momentary) and 30 quarters (3 s, short-term) advance by one quarter.
// Window loudness is -0.691 + 10 log10 of its weighted mean square.
//
// - Integrated loudness: the 400 ms windows above -70 LUFS, then those above
//   the loudness of their mean minus 10 LU; the loudness of the mean of what
//   remains.
// - Loudness range: the 3 s windows above -70 LUFS, then those above the
//   loudness of their mean minus 20 LU; the spread from the 10th to the 95th
//   percentile of their loudness.
// - Only complete windows count: a signal shorter than 400 ms has no
//   integrated loudness (-inf), one shorter than 3 s no short-term maximum.
//
// Memory does not grow with the signal: gated windows are kept as a
// histogram of 0.01 LU bins holding the count and the exact sum of the mean
// squares of the windows in each bin. Integrated loudness is that exact sum
// over the bins kept; only the gate decision for the one bin that a relative
// gate falls in is made at 0.01 LU resolution (a bin is kept when its centre
// is above the gate). Percentiles read bin centres.
//
// Results are the same bits whatever the block sizes a signal is pushed in:
// every sample goes through the same operations in the same order, and the
// quarters fall at fixed frames of the signal (quarter q starts at frame
// floor(q * sample_rate / 10)).
//
// Several signals measured together (album loudness): merge() the meters of
// each, or push them one after another into one meter with start_signal()
// between them. Either way the windows of all signals are gated together.
//
//     auto meter = nalo::LoudnessMeter::create(48000, 2).value();
//     meter.push(block);                     // planar blocks, any sizes
//     meter.push({data, SampleFormat::Float32, frames, 8, 4});  // or interleaved stereo in place
//     double lufs = meter.integrated();      // -inf while nothing passes the gates
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lib.hpp"

namespace nalo {

// Loudness of a weighted mean square m: kLoudnessOffset + 10 log10(m).
inline constexpr double kLoudnessOffset = -0.691;

// y = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2]
struct Biquad {
    double b0, b1, b2, a1, a2;
};

// The two sections of the K-weighting filter, applied in this order.
struct KWeighting {
    Biquad shelf;      // +4 dB above about 1.7 kHz (the head's effect)
    Biquad high_pass;  // second-order high-pass near 38 Hz; its numerator is always 1, -2, 1
};

// The K-weighting filter for `sample_rate`, designed from its analogue
// prototypes by the bilinear transform with the centre frequencies
// pre-warped. At 48 kHz it gives the standard's published coefficients to
// within a few units of the last place. Where a centre frequency does not
// lie below 0.49 of the sample rate (sample rates below about 3.4 kHz), it
// is designed at 0.49 of the sample rate instead.
KWeighting k_weighting(std::uint32_t sample_rate) noexcept;

// 1.0 for every channel, except for six channels, taken as L R C LFE Ls Rs:
// 1.0 front and centre, 0 for the LFE (left out), 1.41 for the surrounds.
std::vector<double> default_loudness_weights(std::uint64_t channels);

// How the samples of a block are stored: float, or double taken as the float
// nearest to it (so that a block measures the same in either format).
enum class SampleFormat { Float32, Float64 };

// A block of any layout, read where it lies: the sample of channel c at frame
// f is at data + c * channel_stride + f * frame_stride (bytes; any stride,
// negative, zero or unaligned).
struct SampleBlock {
    const void* data;
    SampleFormat format;
    std::size_t frames;
    std::ptrdiff_t frame_stride;
    std::ptrdiff_t channel_stride;
};

class LoudnessMeter {
public:
    // A meter for signals of weights.size() channels, channel c weighted by
    // weights[c]. Fails with ZeroSampleRate, ZeroChannels (no weights),
    // InvalidWeight (NaN, infinite or negative; the first such), or
    // AllocationFailed.
    static Result<LoudnessMeter> create(std::uint32_t sample_rate, std::span<const double> weights);
    // The same with default_loudness_weights(channels).
    static Result<LoudnessMeter> create(std::uint32_t sample_rate, std::uint64_t channels);

    LoudnessMeter(LoudnessMeter&&) noexcept;
    LoudnessMeter& operator=(LoudnessMeter&&) noexcept;
    ~LoudnessMeter();

    // Appends a planar block (channels() runs of equal length). Fails,
    // changing nothing, with IndivisibleSamples, with NonFiniteSample
    // carrying the planar index in `block` of the first NaN or infinity, or
    // with AllocationFailed.
    std::optional<LimiterError> push(std::span<const float> block);

    // Appends a block of channels() channels laid out anyhow. Fails,
    // changing nothing, with NonFiniteSample carrying the planar index
    // (c * frames + f) of the first NaN or infinity in channel order, or with
    // AllocationFailed.
    std::optional<LimiterError> push(const SampleBlock& block);

    // Ends the current signal: the next block starts a new one, from rest
    // and on a fresh quarter grid; the frames of an incomplete quarter are
    // dropped. What was measured so far stays, so the windows of every
    // signal are gated together.
    void start_signal() noexcept;

    // Adds the complete windows `other` measured (any sample rate or channel
    // count) to this meter's, as if they had been measured here: integrated
    // loudness and loudness range become those of both together, the maxima
    // the larger ones. Up to rounding, merging meters equals pushing their
    // signals one after another with start_signal() between them.
    void merge(const LoudnessMeter& other);

    // LUFS; -inf while no 400 ms window passes the gates.
    double integrated() const noexcept;
    // LU; 0 while no 3 s window passes the gates.
    double loudness_range() const noexcept;
    // Largest loudness of any 400 ms and any 3 s window (LUFS), -inf before
    // the first complete window or when all of them are silent.
    double momentary_max() const noexcept;
    double short_term_max() const noexcept;

    std::uint64_t channels() const noexcept;
    std::uint32_t sample_rate() const noexcept;

private:
    struct State;
    explicit LoudnessMeter(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace nalo
