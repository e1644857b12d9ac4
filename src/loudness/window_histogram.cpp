#include "loudness/window_histogram.hpp"

#include <algorithm>
#include <cmath>

#include "loudness.hpp"

namespace nalo::loudness {

double loudness_of(double mean_square) noexcept
{
    return mean_square > 0.0 ? kLoudnessOffset + 10.0 * std::log10(mean_square) : -INFINITY;
}

WindowHistogram::WindowHistogram() : counts_(kBins, 0), sums_(kBins, 0.0) {}

void WindowHistogram::add(double mean_square) noexcept
{
    const double loudness = loudness_of(mean_square);
    if (!(loudness > kAbsoluteGate)) return;
    const double position = (loudness - kAbsoluteGate) * kBinsPerLU;
    const std::size_t bin = position < static_cast<double>(kBins) ? static_cast<std::size_t>(position) : kBins - 1;
    counts_[bin] += 1;
    sums_[bin] += mean_square;
}

void WindowHistogram::merge(const WindowHistogram& other) noexcept
{
    for (std::size_t i = 0; i < kBins; ++i) {
        counts_[i] += other.counts_[i];
        sums_[i] += other.sums_[i];
    }
}

double WindowHistogram::centre(std::size_t bin) noexcept
{
    return kAbsoluteGate + (static_cast<double>(bin) + 0.5) / kBinsPerLU;
}

std::size_t WindowHistogram::first_bin_kept(double gate_LU) const noexcept
{
    std::uint64_t count = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < kBins; ++i) {
        count += counts_[i];
        sum += sums_[i];
    }
    if (count == 0) return kBins;
    const double gate = loudness_of(sum / static_cast<double>(count)) - gate_LU;
    std::size_t bin = 0;
    while (bin < kBins && !(centre(bin) > gate)) ++bin;
    return bin;
}

double WindowHistogram::gated_loudness(double gate_LU) const noexcept
{
    std::uint64_t count = 0;
    double sum = 0.0;
    for (std::size_t i = first_bin_kept(gate_LU); i < kBins; ++i) {
        count += counts_[i];
        sum += sums_[i];
    }
    return count == 0 ? -INFINITY : loudness_of(sum / static_cast<double>(count));
}

double WindowHistogram::percentile_spread(double gate_LU, double low, double high) const noexcept
{
    const std::size_t first = first_bin_kept(gate_LU);
    std::uint64_t count = 0;
    for (std::size_t i = first; i < kBins; ++i) count += counts_[i];
    if (count == 0) return 0.0;
    // The value at rank round((count - 1) * p) of the sorted windows.
    const auto bin_of_rank = [&](double p) {
        const auto rank = static_cast<std::uint64_t>(static_cast<double>(count - 1) * p + 0.5);
        std::uint64_t below = 0;
        std::size_t i = first;
        for (; i < kBins; ++i) {
            below += counts_[i];
            if (below > rank) break;
        }
        return std::min(i, kBins - 1);
    };
    return centre(bin_of_rank(high)) - centre(bin_of_rank(low));
}

}  // namespace nalo::loudness
