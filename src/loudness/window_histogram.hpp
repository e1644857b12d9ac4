// The gated windows of a loudness measurement, in bounded memory: a
// histogram of their loudness in 0.01 LU bins from -70 to +30 LUFS (louder
// windows share the top bin), holding per bin the count of windows and the
// exact sum of their mean squares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nalo::loudness {

// Loudness of a weighted mean square (-inf for 0).
double loudness_of(double mean_square) noexcept;

class WindowHistogram {
public:
    static constexpr double kAbsoluteGate = -70.0;  // LUFS; windows at or below it are left out
    static constexpr int kBinsPerLU = 100;
    static constexpr std::size_t kBins = 100 * kBinsPerLU;

    // Allocates the bins (std::bad_alloc when it cannot).
    WindowHistogram();

    // Counts a window of this weighted mean square if it is above the
    // absolute gate.
    void add(double mean_square) noexcept;
    void merge(const WindowHistogram& other) noexcept;

    // Loudness of the mean of the windows above the relative gate, `gate_LU`
    // below the loudness of the mean of all: -inf without windows.
    double gated_loudness(double gate_LU) const noexcept;

    // The spread in LU between the percentiles `low` and `high` (in [0, 1])
    // of the loudness of the windows above the relative gate; 0 without
    // windows.
    double percentile_spread(double gate_LU, double low, double high) const noexcept;

private:
    // The first bin whose centre is above `gate_LU` below the mean's loudness.
    std::size_t first_bin_kept(double gate_LU) const noexcept;
    static double centre(std::size_t bin) noexcept;

    std::vector<std::uint64_t> counts_;
    std::vector<double> sums_;
};

}  // namespace nalo::loudness
