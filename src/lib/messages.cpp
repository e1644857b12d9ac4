// Error messages and the number formatting they use.
#include "lib.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace nalo {

std::string format_number(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; fixed
    // notation would print large values exactly (1e23 as 99999999999999991611392)
    // rather than as those digits followed by zeros.
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string result;
    std::string digits;
    for (const char ch : text.substr(0, e)) {
        if (ch == '-') result += '-';
        else if (ch != '.') digits += ch;
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    // Digits before the decimal point.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        result += "0.";
        result.append(static_cast<std::size_t>(-point), '0');
        result += digits;
    } else if (point >= count) {
        result += digits;
        result.append(static_cast<std::size_t>(point - count), '0');
    } else {
        result.append(digits, 0, static_cast<std::size_t>(point));
        result += '.';
        result.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return result;
}

std::string error_message(const LimiterError& error)
{
    switch (error.kind) {
    case LimiterErrorKind::ZeroSampleRate:
        return "sample_rate must be greater than zero";
    case LimiterErrorKind::InvalidThreshold:
        return "threshold_dBFS must be a finite dBFS value less than or equal to 0, got " +
               format_number(error.value);
    case LimiterErrorKind::InvalidDuration:
        return std::string(error.name) + " must be finite and non-negative, got " + format_number(error.value);
    case LimiterErrorKind::AttackRoundsToZero:
        return "attack_ms=" + format_number(error.value) + " rounds to zero samples at " +
               std::to_string(error.count) + " Hz";
    case LimiterErrorKind::ZeroChannels:
        return "channels must be greater than zero";
    case LimiterErrorKind::IndivisibleSamples:
        return std::to_string(error.count) + " samples cannot be divided into frames with " +
               std::to_string(error.channels) + " channels";
    case LimiterErrorKind::NonFiniteSample:
        return "input sample at flat index " + std::to_string(error.count) + " is not finite";
    case LimiterErrorKind::AllocationFailed:
        return "not enough memory for the limiter's buffers";
    case LimiterErrorKind::StreamFinished:
        return "the stream has already finished";
    case LimiterErrorKind::WrongOutputSize:
        return "the output buffers do not hold the frames handed out";
    case LimiterErrorKind::InvalidWeight:
        return "weights[" + std::to_string(error.count) + "] must be finite and non-negative, got " +
               format_number(error.value);
    }
    return "unknown limiter error";
}

}  // namespace nalo
