// Packed integer PCM (16 and 24 bits, either byte order) to and from the
// limiter's float32 scale, for files whose bytes are read and written as
// they are stored.
//
//   decode_pcm  packed samples to floats on [-1, 1): the integer times
//               2^-(bits-1), which is exact;
//   encode_pcm  floats to the nearest step (ties to even), kept within
//               [-top, min(top, 2^(bits-1) - 1)], packed; the values the
//               file will hold replace the floats.
//
// Both are the arithmetic of scaling left-justified 32-bit integers by a
// power of two, done in one pass without the intermediate integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nalo {

struct PcmFormat {
    unsigned bytes;   // bytes per sample: 2 or 3
    bool big_endian;  // byte order of the stored samples

    unsigned bits() const noexcept { return 8 * bytes; }
    bool valid() const noexcept { return bytes == 2 || bytes == 3; }
};

// `count` samples from `packed` (count * format.bytes bytes) into `out`.
// Returns the largest magnitude among them (0 for none).
float decode_pcm(const std::uint8_t* packed, std::size_t count, PcmFormat format, float* out) noexcept;

// `count` samples of `samples` quantised into `packed` (count * format.bytes
// bytes); each sample is replaced by the value its step stands for. `top` is
// the largest step allowed at or below the ceiling. Returns the largest
// magnitude among the steps (0 for none).
std::int32_t encode_pcm(float* samples, std::size_t count, PcmFormat format, std::int32_t top,
                        std::uint8_t* packed) noexcept;

}  // namespace nalo
