#include "python/shared/planar_copy.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "python/shared/numpy_api.hpp"

namespace nalo::python {

namespace {

constexpr std::ptrdiff_t kItemSize = sizeof(float);

// Tile of the blocked transpositions: 16 channels by 256 frames of floats
// (16 KiB) stay in the L1 cache on both sides of the copy.
constexpr std::size_t kTileChannels = 16;
constexpr std::size_t kTileFrames = 256;

// Element bytes are copied, never read or written through a misaligned float*.
inline float load(const char* p) noexcept
{
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline void store(char* p, float value) noexcept { std::memcpy(p, &value, sizeof value); }

// dst[i] = element at src + i * stride, for i < count.
void gather(float* dst, const char* src, std::ptrdiff_t stride, std::size_t count) noexcept
{
    if (count == 0) return;
    if (stride == kItemSize) {
        std::memcpy(dst, src, count * sizeof(float));
    } else if (stride == 0) {
        std::fill(dst, dst + count, load(src));
    } else {
        for (std::size_t i = 0; i < count; ++i) dst[i] = load(src + static_cast<std::ptrdiff_t>(i) * stride);
    }
}

// Element at dst + i * stride = src[i], for i < count.
void scatter(char* dst, std::ptrdiff_t stride, const float* src, std::size_t count) noexcept
{
    if (count == 0) return;
    if (stride == kItemSize) {
        std::memcpy(dst, src, count * sizeof(float));
    } else {
        for (std::size_t i = 0; i < count; ++i) store(dst + static_cast<std::ptrdiff_t>(i) * stride, src[i]);
    }
}

// planar[c * count + k] = sample (c, k) for a channel count known at compile
// time: one pass over the frames in memory order, writing one sequential
// stream per channel.
template <std::size_t Channels>
void transpose_in_fixed(float* planar, const char* base, std::ptrdiff_t frame_stride, std::ptrdiff_t channel_stride,
                        std::size_t count) noexcept
{
    float* dst[Channels];
    for (std::size_t c = 0; c < Channels; ++c) dst[c] = planar + c * count;
    for (std::size_t f = 0; f < count; ++f) {
        const char* row = base + static_cast<std::ptrdiff_t>(f) * frame_stride;
        for (std::size_t c = 0; c < Channels; ++c) dst[c][f] = load(row + static_cast<std::ptrdiff_t>(c) * channel_stride);
    }
}

// The same for any channel count, tile by tile, so that both the rows read
// and the channel blocks written stay in the cache while a tile is copied.
void transpose_in(float* planar, const char* base, std::ptrdiff_t frame_stride, std::ptrdiff_t channel_stride,
                  std::size_t count, std::size_t channels) noexcept
{
    switch (channels) {
    case 1: return transpose_in_fixed<1>(planar, base, frame_stride, channel_stride, count);
    case 2: return transpose_in_fixed<2>(planar, base, frame_stride, channel_stride, count);
    case 3: return transpose_in_fixed<3>(planar, base, frame_stride, channel_stride, count);
    case 4: return transpose_in_fixed<4>(planar, base, frame_stride, channel_stride, count);
    case 5: return transpose_in_fixed<5>(planar, base, frame_stride, channel_stride, count);
    case 6: return transpose_in_fixed<6>(planar, base, frame_stride, channel_stride, count);
    case 7: return transpose_in_fixed<7>(planar, base, frame_stride, channel_stride, count);
    case 8: return transpose_in_fixed<8>(planar, base, frame_stride, channel_stride, count);
    default: break;
    }
    for (std::size_t f0 = 0; f0 < count; f0 += kTileFrames) {
        const std::size_t f1 = std::min(count, f0 + kTileFrames);
        for (std::size_t c0 = 0; c0 < channels; c0 += kTileChannels) {
            const std::size_t c1 = std::min(channels, c0 + kTileChannels);
            for (std::size_t c = c0; c < c1; ++c) {
                float* dst = planar + c * count;
                const char* src = base + static_cast<std::ptrdiff_t>(c) * channel_stride;
                for (std::size_t f = f0; f < f1; ++f) dst[f] = load(src + static_cast<std::ptrdiff_t>(f) * frame_stride);
            }
        }
    }
}

// Sample (c, k) = planar[c * count + k], tile by tile: each channel block is
// read sequentially while the tile's rows of the destination stay in the cache.
void transpose_out(char* base, std::ptrdiff_t frame_stride, std::ptrdiff_t channel_stride, const float* planar,
                   std::size_t count, std::size_t channels) noexcept
{
    for (std::size_t f0 = 0; f0 < count; f0 += kTileFrames) {
        const std::size_t f1 = std::min(count, f0 + kTileFrames);
        for (std::size_t c0 = 0; c0 < channels; c0 += kTileChannels) {
            const std::size_t c1 = std::min(channels, c0 + kTileChannels);
            for (std::size_t c = c0; c < c1; ++c) {
                const float* src = planar + c * count;
                char* dst = base + static_cast<std::ptrdiff_t>(c) * channel_stride;
                for (std::size_t f = f0; f < f1; ++f) store(dst + static_cast<std::ptrdiff_t>(f) * frame_stride, src[f]);
            }
        }
    }
}

// Stereo frames stored side by side (a C-contiguous (frames, 2) array of
// aligned floats): the commonest layout of audio files, copied with fixed
// strides that the compiler turns into vector shuffles.
bool packed_stereo(const AudioView& view, const void* base) noexcept
{
    return view.channels == 2 && view.channel_stride == kItemSize && view.frame_stride == 2 * kItemSize &&
           reinterpret_cast<std::uintptr_t>(base) % alignof(float) == 0;
}

void split_stereo(float* planar, const float* frames, std::size_t count) noexcept
{
    float* left = planar;
    float* right = planar + count;
    for (std::size_t f = 0; f < count; ++f) {
        left[f] = frames[2 * f];
        right[f] = frames[2 * f + 1];
    }
}

void join_stereo(float* frames, const float* planar, std::size_t count) noexcept
{
    const float* left = planar;
    const float* right = planar + count;
    for (std::size_t f = 0; f < count; ++f) {
        frames[2 * f] = left[f];
        frames[2 * f + 1] = right[f];
    }
}

// Whether the channels of a frame are closer in memory than the frames of a
// channel, as in a (frames, channels) row-major array: then the copy walks
// the frames in memory order and transposes; otherwise it copies channel by
// channel.
bool channels_are_inner(const AudioView& view) noexcept
{
    return view.channels > 1 && std::abs(view.channel_stride) < std::abs(view.frame_stride);
}

}  // namespace

AudioView audio_view(PyObject* array, const AudioLayout& layout) noexcept
{
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
    const npy_intp* strides = PyArray_STRIDES(a);
    AudioView view;
    view.data = static_cast<char*>(PyArray_DATA(a));
    view.channels = layout.channels;
    view.frames = layout.frames;
    if (layout.ndim == 1) {
        view.frame_stride = strides[0];
    } else if (layout.frames_first) {
        view.frame_stride = strides[0];
        view.channel_stride = strides[1];
    } else {
        view.channel_stride = strides[0];
        view.frame_stride = strides[1];
    }
    return view;
}

const float* planar_in_place(const AudioView& view) noexcept
{
    const std::ptrdiff_t run = static_cast<std::ptrdiff_t>(view.frames) * kItemSize;
    const bool frames_contiguous = view.frame_stride == kItemSize || view.frames <= 1;
    const bool channels_adjacent = view.channels == 1 || view.channel_stride == run;
    const bool aligned = reinterpret_cast<std::uintptr_t>(view.data) % alignof(float) == 0;
    return frames_contiguous && channels_adjacent && aligned ? reinterpret_cast<const float*>(view.data) : nullptr;
}

void read_planar(const AudioView& view, std::size_t first, std::size_t count, float* planar) noexcept
{
    if (count == 0) return;
    const char* base = view.data + static_cast<std::ptrdiff_t>(first) * view.frame_stride;
    if (packed_stereo(view, base)) return split_stereo(planar, reinterpret_cast<const float*>(base), count);
    if (channels_are_inner(view))
        return transpose_in(planar, base, view.frame_stride, view.channel_stride, count, view.channels);
    for (std::size_t c = 0; c < view.channels; ++c)
        gather(planar + c * count, base + static_cast<std::ptrdiff_t>(c) * view.channel_stride, view.frame_stride,
               count);
}

void write_planar(const float* planar, std::size_t count, const AudioView& view, std::size_t first) noexcept
{
    if (count == 0) return;
    char* base = view.data + static_cast<std::ptrdiff_t>(first) * view.frame_stride;
    if (packed_stereo(view, base)) return join_stereo(reinterpret_cast<float*>(base), planar, count);
    if (channels_are_inner(view))
        return transpose_out(base, view.frame_stride, view.channel_stride, planar, count, view.channels);
    for (std::size_t c = 0; c < view.channels; ++c)
        scatter(base + static_cast<std::ptrdiff_t>(c) * view.channel_stride, view.frame_stride, planar + c * count,
                count);
}

}  // namespace nalo::python
