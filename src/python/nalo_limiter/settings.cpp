#include "python/nalo_limiter/settings.hpp"

#include <utility>

#include "python/shared/errors.hpp"

namespace nalo::python {

bool convert_settings(const Bound& bound, std::size_t first, Settings& out)
{
    double* values[] = {&out.threshold_dBFS, &out.attack_ms, &out.hold_ms, &out.release_ms};
    for (std::size_t i = 0; i < 4; ++i) {
        PyObject* given = bound[first + i];
        if (given != nullptr && !convert_double(given, kSettingNames[i], *values[i])) return false;
    }
    return true;
}

std::optional<NaloLimiter> make_limiter(PyObject* sample_rate, const Settings& settings)
{
    std::uint32_t rate = 0;
    if (!parse_sample_rate(sample_rate, rate)) return std::nullopt;
    auto made = NaloLimiter::create(rate, settings.threshold_dBFS, settings.attack_ms, settings.hold_ms,
                                    settings.release_ms);
    if (!made) {
        value_error(made.error());
        return std::nullopt;
    }
    return std::move(made).value();
}

}  // namespace nalo::python
