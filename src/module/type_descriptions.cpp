// The typed descriptions' helpers: annotations' texts and defaults' spellings.

#include "module/type_descriptions.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

namespace velmora::module::types {

namespace detail {

TypeExpression builtin(const char* name) { return {std::string("builtins.") + name, {"builtins"}}; }

TypeExpression wrap(const char* open, TypeExpression inner, const char* module) {
    inner.text.insert(0, open);
    inner.text += ']';
    inner.modules.insert(module);
    return inner;
}

TypeExpression tuple_of(std::span<const TypeExpression> elements) {
    TypeExpression tuple{"tuple[", {}};
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0) tuple.text += ", ";
        tuple.text += elements[i].text;
        tuple.modules.insert(elements[i].modules.begin(), elements[i].modules.end());
    }
    tuple.text += ']';
    return tuple;
}

}  // namespace detail

std::string float_literal(double value) {
    if (!std::isfinite(value)) return std::string(elided_default);
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)xx.
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::scientific);
    if (error != std::errc{}) return std::string(elided_default);
    const std::string_view scientific(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    const std::size_t e = scientific.find('e');
    const bool negative = scientific.front() == '-';
    std::string digits;
    for (const char c : scientific.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const std::string_view exponent_text = scientific.substr(e + 1);
    std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                    exponent_text.data() + exponent_text.size(), exponent);

    std::string out = negative ? "-" : "";
    // The interpreter's repr switches to an exponent below 1e-4 and from 1e16 on.
    constexpr int lowest_positional = -4, first_exponential = 16;
    if (exponent < lowest_positional || exponent >= first_exponential) {
        out += digits.front();
        if (digits.size() > 1) out += "." + digits.substr(1);
        const int magnitude = exponent < 0 ? -exponent : exponent;
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
        return out;
    }
    const std::size_t point = static_cast<std::size_t>(exponent + 1 > 0 ? exponent + 1 : 0);
    if (exponent < 0) {
        out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (point < digits.size()) {
        out += digits.substr(0, point) + "." + digits.substr(point);
    } else {
        out += digits + std::string(point - digits.size(), '0') + ".0";
    }
    return out;
}

std::string_view DefaultText::text() {
    std::call_once(once_, [this] {
        switch (kind_) {
            case Kind::literal: text_ = literal_; break;
            case Kind::number: text_ = float_literal(number_); break;
            case Kind::truth: text_ = truth_ ? "True" : "False"; break;
        }
    });
    return text_;
}

}  // namespace velmora::module::types
