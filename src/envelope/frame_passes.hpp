// The element-wise passes over planar samples around the envelope: the
// frame levels (peaks) with the finiteness check, and the application of
// the gains with the clamp to the ceiling.
//
// A planar block of `frames` frames is read with a channel stride: the sample
// of channel c at frame f is at samples[c * stride + f].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nalo {

// Magnitude bits above this are NaN or infinite.
inline constexpr std::uint32_t kLargestFiniteBits = 0x7F7FFFFFu;

// Largest absolute sample of every frame across all channels, into peaks.
// Returns the largest magnitude bits seen: above kLargestFiniteBits when a
// sample is NaN or infinite (the peaks are then meaningless).
std::uint32_t compute_peaks(const float* samples, std::size_t channels, std::size_t stride, std::size_t frames,
                            float* peaks) noexcept;

// Index of the first NaN or infinite sample of a planar block read with a
// channel stride, as the index c * frames + f of a packed block, or
// channels * frames if none (first_non_finite of a packed span: lib.hpp).
std::size_t first_non_finite(const float* samples, std::size_t channels, std::size_t stride,
                             std::size_t frames) noexcept;

// out = clamp(in * gain of its frame, -ceiling, ceiling) for every sample of
// `frames` frames; `in` and `out` may be the same buffer with equal strides.
void apply_gains(const float* in, std::size_t in_stride, float* out, std::size_t out_stride, std::size_t channels,
                 std::size_t frames, const float* gains, float ceiling) noexcept;

}  // namespace nalo
