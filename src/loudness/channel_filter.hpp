// K-weighting of two channels at once (one per lane) and the sums of their
// squared outputs: the only per-sample work of the loudness meter.
#pragma once

#include <cstddef>

#include "loudness.hpp"
#include "simd/double_lanes.hpp"

namespace nalo::loudness {

using Pair = lanes::Double<2>;

// The filter memory of two channels, lane 0 and lane 1, and the sums of
// their squared K-weighted samples since the last reset. A channel left
// alone in a pair is filtered in both lanes; lane 1 is then ignored.
struct ChannelPair {
    std::size_t channels[2] = {0, 0};
    Pair x1{}, x2{};  // last two inputs
    Pair s1{}, s2{};  // last two outputs of the shelf
    Pair z1{}, z2{};  // last two outputs of the high-pass
    Pair squares{};
};

// The samples of a pair's two channels in memory: lane l's sample of frame
// n is at lane[l] + n * stride (bytes), a float, or a double taken as the
// float nearest to it.
struct LaneSamples {
    const char* lane[2];
    std::ptrdiff_t stride;
    SampleFormat format;
};

// Filters `frames` samples of each lane's channel and adds their squares to
// pair.squares, one sample after the other: the same operations in the same
// order however a signal is cut into calls, so the sums are the same bits for
// any cut (and on every code path the CPU allows). Subnormal values are taken
// as zero (decaying filter memory would otherwise slow the loop a hundredfold
// in silence). A NaN or infinite sample leaves pair.squares non-finite: the
// filter's gain is small, so finite float input never overflows it.
void add_squares(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples,
                 std::size_t frames) noexcept;

// The first of `frames` samples at `first`, `stride` bytes apart, that is NaN
// or infinite (as a float, for doubles), or `frames` if none is.
std::size_t first_non_finite(const char* first, std::ptrdiff_t stride, SampleFormat format,
                             std::size_t frames) noexcept;

}  // namespace nalo::loudness
