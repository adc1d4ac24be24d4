#pragma once
// A double as Python's repr() writes it, for the texts that must read as
// Python would show the number (JSON numbers, error messages, stub defaults).

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace velmora {

// The shortest digits that read back as the same double, in positional form
// with at least one fractional digit ("1.0", "0.5", "-0.0",
// "1000000000000000.0") for magnitudes in [1e-4, 1e16) and zero, otherwise in
// scientific form with a signed two-digit minimum exponent ("1e+300",
// "1.5e-07"); "inf", "-inf" and "nan" (whatever the NaN's sign).
[[nodiscard]] inline std::string python_float_repr(double value) {
    if (std::isnan(value)) return "nan";
    // Widest outputs: "-0.0001234567890123456" and "-1.2345678901234567e-308".
    char buffer[64];
    const double magnitude = std::fabs(value);
    const bool positional = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                         positional ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buffer, ec == std::errc{} ? end : buffer);
    if (positional && text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace velmora
