#include "envelope/gain_engine.hpp"

#include "envelope/cursors.hpp"
#include "simd/cpu_dispatch.hpp"
#include "simd/double_lanes.hpp"
#include "lib.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace nalo {

namespace {

using Access = EnvelopeEngineAccess;

// Steps are processed in blocks: the target gains of a block are computed in
// one vectorisable pass, the strictly sequential part (window minimum,
// release, smoothing) in a tight loop over local state, and the guard and the
// narrowing of the block's outputs in another vectorisable pass. The
// sequential loop is bound by the latency of its chain of steps; short blocks
// measured fastest (128 steps; 512 some 7% slower), presumably because the
// processor overlaps one block's passes with the next block's loop.
constexpr std::size_t kBlock = kEnvelopeBlock;

struct Cursors {
    MinimumCursor minimum;
    std::array<AverageCursor, 3> stages;
    double release_gain;
    // Targets of 1.0 not yet pushed into the window minimum: while the
    // envelope is at rest they are counted and pushed in one go.
    std::uint64_t pending_ones = 0;

    void push_pending_ones() noexcept
    {
        minimum.push_ones(pending_ones);
        pending_ones = 0;
    }
};

// The bounds of a gain, read through volatiles so that the compiler sees
// registers rather than constants: against a constant it turns the selects
// of capped_gain into branches, against registers into min and max
// instructions (a branch per step is mispredicted on real audio).
volatile double kGainCeiling = 1.0;
volatile double kGainFloor = 0.0;

struct GainBounds {
    double ceiling = kGainCeiling;
    double floor = kGainFloor;
};

// The smoothed gain capped at 1.0 (NaN gives 1.0). Rounding residue in the
// running sums can leave a vanishingly small gain below zero, which would
// invert the sample: a gain is never negative.
[[gnu::always_inline]] inline double capped_gain(double smoothed, const GainBounds& bounds) noexcept
{
    const double g = smoothed < bounds.ceiling ? smoothed : bounds.ceiling;
    return g > bounds.floor ? g : bounds.floor;
}

// Whether no level of the block's steps is above the ceiling; `inside` of
// them have levels, the rest see silence. Levels are finite and
// non-negative, so their bit patterns order like their values.
inline bool block_is_quiet(const float* levels, std::size_t inside, double T) noexcept
{
    std::uint32_t loudest = 0;
    for (std::size_t j = 0; j < inside; ++j) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(levels[j]);
        loudest = bits > loudest ? bits : loudest;
    }
    return !(static_cast<double>(std::bit_cast<float>(loudest)) > T);
}

// Target gain of every step of the block: T / (level + eps) above the
// ceiling, else 1.0; the steps past the `inside` ones see silence.
// Lanes compute the division whether or not they need it: a branch per frame
// would be mispredicted on real audio.
template <int N>
[[gnu::always_inline]] inline void block_targets(const float* level, std::size_t inside, std::size_t count, double T,
                                                 double* targets) noexcept
{
    using namespace lanes;
    const Double<N> threshold = splat<N>(T), epsilon = splat<N>(kEpsilon), one = splat<N>(1.0);
    std::size_t j = 0;
    for (; j + N <= inside; j += N) {
        const Double<N> p = load_widened<N>(level + j);
        store<N>(targets + j, select<N>(p > threshold, threshold / (p + epsilon), one));
    }
    for (; j < inside; ++j) {
        const double p = static_cast<double>(level[j]);
        targets[j] = p > T ? T / (p + kEpsilon) : 1.0;
    }
    for (; j < count; ++j) targets[j] = 1.0;
}

// The sequential part: smoothed, capped gain of every step of the block.
// Returns the window minimum of the block's last step. The steps run in
// stretches in which no ring wraps and no minimum segment ends, so the inner
// loop is free of position bookkeeping.
template <int N>
[[gnu::always_inline]] inline double block_smoothed(Cursors& s, double c, const double* targets, std::size_t count,
                                                    double* gains) noexcept
{
    MinimumCursor& minimum = s.minimum;
    AverageCursor& s1 = s.stages[0];
    AverageCursor& s2 = s.stages[1];
    AverageCursor& s3 = s.stages[2];
    double release = s.release_gain;
    double prefix = minimum.prefix;
    double sum1 = s1.sum, sum2 = s2.sum, sum3 = s3.sum;
    const double rc1 = s1.reciprocal_length, rc2 = s2.reciprocal_length, rc3 = s3.reciprocal_length;
    const GainBounds bounds;
    double w = 1.0;
    for (std::size_t done = 0; done < count;) {
        std::uint64_t n = count - done;
        n = std::min(n, minimum.window - minimum.position);
        n = std::min(n, s1.length - s1.position);
        n = std::min(n, s2.length - s2.position);
        n = std::min(n, s3.length - s3.position);
        minimum.prepare(n);
        s1.prepare(n);
        s2.prepare(n);
        s3.prepare(n);

        const double* t = targets + done;
        double* g = gains + done;
        double* segment = minimum.current + minimum.position;
        const double* tail = minimum.previous + minimum.position + 1;
        double* b1 = s1.buffer + s1.position;
        double* b2 = s2.buffer + s2.position;
        double* b3 = s3.buffer + s3.position;
        for (std::size_t k = 0; k < n; ++k) {
            // Window minimum: the segment's prefix and the previous segment's suffix.
            segment[k] = t[k];
            prefix = t[k] < prefix ? t[k] : prefix;
            w = tail[k] < prefix ? tail[k] : prefix;
            // One-pole release: drop to w at once, rise the fraction c
            // towards it. The levels are finite and the ceiling lies in
            // [0, 1], so r is never NaN, and where r equals w both are the
            // same value: taking w only where w < r gives the same bits as
            // the minimum. The branch is taken only where the gain drops,
            // rarely, and keeps the choice off the chain of steps.
            const double r = std::fma(w - release, c, release);
            release = r;
            if (__builtin_expect(w < r, 0)) {
                release = w;
                asm volatile("");  // keep the branch: a select would lengthen the chain
            }
            // Three moving averages: difference first, then the running sum,
            // then the multiplication by the stored reciprocal.
            sum1 = sum1 + (release - b1[k]);
            b1[k] = release;
            const double a1 = sum1 * rc1;
            sum2 = sum2 + (a1 - b2[k]);
            b2[k] = a1;
            const double a2 = sum2 * rc2;
            sum3 = sum3 + (a2 - b3[k]);
            b3[k] = a2;
            g[k] = capped_gain(sum3 * rc3, bounds);
        }

        done += n;
        minimum.next_index += n;
        minimum.position += n;
        minimum.prefix = prefix;
        if (minimum.position == minimum.window) {
            minimum.close_segment<N>();
            prefix = minimum.prefix;
        }
        for (AverageCursor* stage : {&s1, &s2, &s3}) {
            stage->position += n;
            if (stage->position == stage->length) stage->position = 0;
        }
    }
    s1.sum = sum1;
    s2.sum = sum2;
    s3.sum = sum3;
    s.release_gain = release;
    return w;
}

// Whether the envelope is at rest: the window minimum and the release gain
// are 1.0 and every smoothing ring holds copies of its next input, so that
// while the targets stay 1.0 no sum changes and the gain stays constant.
// A check that read many ring slots to find one that differs is not repeated
// until as many steps have passed (the slot it found is then at best
// overwritten): checking costs a bounded amount per step even for absurdly
// long rings.
bool envelope_at_rest(const Cursors& s, double last_minimum, std::uint64_t step, RestState& rest) noexcept
{
    if (last_minimum != 1.0 || s.release_gain != 1.0 || step < rest.next_check) return false;
    const auto& [s1, s2, s3] = s.stages;
    std::uint64_t read = 0;
    const bool at_rest = s1.holds_only(1.0, read) && s2.holds_only(s1.sum * s1.reciprocal_length, read) &&
                         s3.holds_only(s2.sum * s2.reciprocal_length, read);
    rest.next_check = step + read;
    return at_rest;
}

// A block of targets 1.0 with the envelope at rest: the pushes would leave
// every sum as it is, so only the positions move and the gain is constant.
[[gnu::always_inline]] inline double block_at_rest(Cursors& s, std::size_t count) noexcept
{
    s.pending_ones += count;
    for (AverageCursor& stage : s.stages) stage.position = (stage.position + count) % stage.length;
    return capped_gain(s.stages[2].sum * s.stages[2].reciprocal_length, GainBounds{});
}

// Gains of `count` frames: the guard keeps level times gain at or below the
// ceiling, then the one narrowing to 32 bits.
template <int N>
[[gnu::always_inline]] inline void block_outputs(const float* level, float* out, std::size_t count, double T,
                                                 const double* gains) noexcept
{
    using namespace lanes;
    const Double<N> threshold = splat<N>(T), epsilon = splat<N>(kEpsilon);
    std::size_t j = 0;
    for (; j + N <= count; j += N) {
        const Double<N> q = load_widened<N>(level + j);
        const Double<N> g = load<N>(gains + j);
        const Mask<N> over = g * q > threshold;
        // The guard seldom acts: divide only where a lane needs it, off the
        // straight path.
        const bool guard = __builtin_expect(any<N>(over), 0);
        store_narrowed<N>(out + j, guard ? select<N>(over, threshold / (q + epsilon), g) : g);
    }
    for (; j < count; ++j) {
        const double q = static_cast<double>(level[j]);
        const double g = gains[j];
        out[j] = static_cast<float>(g * q > T ? T / (q + kEpsilon) : g);
    }
}

template <int N>
[[gnu::always_inline]] inline void run_envelope(Envelope& state, const FrameSpan& frames, std::uint64_t first_step,
                                                std::uint64_t end_step) noexcept
{
    const double T = state.settings.threshold;
    const double c = state.settings.release_coefficient;
    const std::uint64_t La = state.settings.lookahead;
    RestState& rest = state.rest;

    Cursors s{Access::cursor(state.minimum),
              {Access::cursor(state.stages[0]), Access::cursor(state.stages[1]), Access::cursor(state.stages[2])},
              state.release_gain};
    alignas(64) double targets[kBlock];
    alignas(64) double gains[kBlock];
    for (std::uint64_t first = first_step; first < end_step;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end_step - first));
        const std::size_t inside =
            first >= frames.known ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, frames.known - first));
        // Only computed when there are levels: past the known frames the
        // pointer would lie outside the buffer.
        const float* level = inside > 0 ? frames.levels + (first - frames.origin) : nullptr;
        // Step i writes frame i - La; the first La steps only fill the look-ahead.
        const std::size_t skip = first >= La ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, La - first));
        const std::uint64_t out_frame = first + skip - La;  // meaningful when count > skip
        const bool quiet = block_is_quiet(level, inside, T);
        if (quiet && rest.at_rest) {
            // Every level the block's outputs look at is at or below the
            // ceiling (the window behind held only targets of 1.0), so the
            // guard cannot act and every output is the constant gain.
            const double g = block_at_rest(s, count);
            if (count > skip) {
                float* out = frames.gains + (out_frame - frames.origin);
                std::fill(out, out + (count - skip), static_cast<float>(g));
            }
        } else {
            s.push_pending_ones();
            if (quiet)
                std::fill(targets, targets + count, 1.0);
            else
                block_targets<N>(level, inside, count, T, targets);
            const double last_minimum = block_smoothed<N>(s, c, targets, count, gains);
            rest.at_rest = quiet && envelope_at_rest(s, last_minimum, first + count, rest);
            if (count > skip) {
                const std::uint64_t offset = out_frame - frames.origin;
                block_outputs<N>(frames.levels + offset, frames.gains + offset, count - skip, T, gains + skip);
            }
        }
        first += count;
    }
    s.push_pending_ones();
    Access::store(state.minimum, s.minimum);
    for (std::size_t k = 0; k < 3; ++k) Access::store(state.stages[k], s.stages[k]);
    state.release_gain = s.release_gain;
}

#if NALO_X86_DISPATCH
// The release step's fused multiply-add is one instruction where the CPU has
// FMA, and a library call otherwise; both round once, so results agree.
[[gnu::target("avx2,fma")]] void run_envelope_fma(Envelope& state, const FrameSpan& frames, std::uint64_t first_step,
                                                  std::uint64_t end_step) noexcept
{
    run_envelope<4>(state, frames, first_step, end_step);
}
#endif

void run_envelope_portable(Envelope& state, const FrameSpan& frames, std::uint64_t first_step,
                           std::uint64_t end_step) noexcept
{
    run_envelope<2>(state, frames, first_step, end_step);
}

}  // namespace

void advance_envelope(Envelope& envelope, const FrameSpan& frames, std::uint64_t first_step,
                      std::uint64_t end_step) noexcept
{
    if (first_step >= end_step) return;
#if NALO_X86_DISPATCH
    if (cpu_has_avx2_fma()) {
        run_envelope_fma(envelope, frames, first_step, end_step);
        return;
    }
#endif
    run_envelope_portable(envelope, frames, first_step, end_step);
}

// ---------------------------------------------------------------- the limiter's own envelope

void NaloLimiter::reset_envelope() noexcept { envelope.reset(); }

void NaloLimiter::compute_gains(std::span<float> levels) noexcept
{
    if (levels.empty()) return;
    const FrameSpan frames{levels.data(), levels.data(), 0, levels.size()};
    envelope.rest = RestState{};  // the steps start at 0, whatever was learnt before
    advance_envelope(envelope, frames, 0, levels.size() + lookahead_samples);
}

}  // namespace nalo
