// The JSON layer's text helpers: UTF-8 encoding and checks, and the escaper
// that error messages quote strings with.

#include <string>
#include <string_view>

#include "json_lexer.hpp"

namespace velmora::arm::json {


void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence starting at `s[i]`, or 0 when the
// bytes there are not one (stray continuation, overlong form, surrogate,
// beyond U+10FFFF, truncated).
namespace {

[[nodiscard]] std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;
        if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;
        if (lead == 0xF4) second_max = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < length) return 0;
    if (byte(i + 1) < second_min || byte(i + 1) > second_max) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

void append_braced_hex(std::string& out, const char* prefix, std::uint32_t value) {
    char digits[8];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);
    out += prefix;
    out.append(digits, ec == std::errc{} ? end : digits);
    out.push_back('}');
}

}  // namespace

// A string as the "string ..." description shows it, in double quotes.
// Escaping: `"` -> \", `\` -> \\, tab -> \t, carriage return -> \r, line feed
// -> \n, NUL -> \0; every other C0 control, DEL and the C1 controls
// (U+0080-U+009F) -> \u{hex} (lowercase, no leading zeros, e.g. \u{1b});
// a byte that is not part of well-formed UTF-8 -> \x{hex}; everything else,
// non-ASCII characters included, is copied as it is.
std::string quoted_for_message(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = utf8_sequence_length(s, i);
        if (length == 0) {
            append_braced_hex(out, "\\x{", c);
            ++i;
            continue;
        }
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            append_braced_hex(out, "\\u{", static_cast<unsigned char>(s[i + 1]));
        } else if (length > 1) {
            out.append(s.substr(i, length));
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
            append_braced_hex(out, "\\u{", c);
        } else {
            out.push_back(static_cast<char>(c));
        }
        i += length;
    }
    out.push_back('"');
    return out;
}

}  // namespace velmora::arm::json
