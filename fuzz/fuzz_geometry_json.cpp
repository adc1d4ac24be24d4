// libFuzzer target for the arm geometry JSON reader: feeds arbitrary bytes and
// traps on any broken invariant (besides the sanitizers' own findings).
//
// Invariants checked for every input:
// - the same text gives the same result twice;
// - success: both arcs finite (JSON has no NaN or infinity), branch one of the
//   two values, and the geometry printed back as JSON reads back bit for bit;
//   trailing whitespace changes nothing; the text is well-formed JSON, so it
//   can also stand as the value of an unknown member; every strict prefix that
//   drops a byte of the document fails with an end-of-text reason pointing at
//   the prefix's last byte;
// - failure: a known reason, line >= 1 and within the text, column within that
//   line, message() assembled from the parts, and a message that is UTF-8
//   whenever the text is;
// - the general arm's reader: it reads every document the reader above reads
//   (unless it holds the general arm's own keys), as the same arm, and whatever it reads is written back and read again bit
//   for bit.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace {

using velmora::arm::Branch;
using velmora::arm::GeometryFromJson;
using velmora::arm::JsonError;
using velmora::arm::read_geometry_json;
using velmora::arm::SphericalLinkGeometry;

// Prefixes are re-read one by one only for short documents; longer ones get a
// handful of evenly spaced cuts, so that one input stays fast.
constexpr std::size_t every_prefix_limit = 512;
constexpr std::size_t sampled_prefixes = 16;

[[noreturn]] void broken(const char* what, std::string_view text) {
    std::fprintf(stderr, "invariant broken: %s\ninput (%zu bytes): %.*s\n", what, text.size(),
                 static_cast<int>(text.size() < 400 ? text.size() : 400), text.data());
    std::abort();
}

#define EXPECT(cond, text)                    \
    do {                                      \
        if (!(cond)) broken(#cond, (text));   \
    } while (false)

bool same_bits(double a, double b) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

bool same_geometry(const SphericalLinkGeometry& a, const SphericalLinkGeometry& b) {
    return same_bits(a.arm_arc, b.arm_arc) && same_bits(a.coupler_arc, b.coupler_arc) &&
           a.branch == b.branch && a.mirror == b.mirror;
}

bool same_result(const GeometryFromJson& a, const GeometryFromJson& b) {
    if (a.geometry.has_value() != b.geometry.has_value()) return false;
    if (a.geometry) return same_geometry(*a.geometry, *b.geometry);
    return a.error.reason == b.error.reason && a.error.line == b.error.line &&
           a.error.column == b.error.column;
}

// Independent of the reader's own UTF-8 handling on purpose.
bool is_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length = 1;
        std::uint32_t code_point = lead;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2;
                code_point = lead & 0x1F;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3;
                code_point = lead & 0x0F;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4;
                code_point = lead & 0x07;
            } else {
                return false;
            }
            if (s.size() - i < length) return false;
            for (std::size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(s[i + k]);
                if ((next & 0xC0) != 0x80) return false;
                code_point = (code_point << 6) | (next & 0x3F);
            }
            constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            if (code_point < smallest[length] || code_point > 0x10FFFF) return false;
            if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;
        }
        i += length;
    }
    return true;
}

bool known_reason(std::string_view reason) {
    static constexpr std::string_view exact[] = {
        "EOF while parsing a value", "EOF while parsing an object", "EOF while parsing a list",
        "EOF while parsing a string", "expected `:`", "expected `,` or `}`", "expected `,` or `]`",
        "key must be a string", "trailing comma", "trailing characters", "expected ident",
        "invalid number", "number out of range", "invalid escape", "invalid unicode code point",
        "lone leading surrogate in hex escape", "unexpected end of hex escape",
        "control character (\\u0000-\\u001F) found while parsing a string", "expected value",
        "missing field `arm_arc`", "missing field `coupler_arc`",
        "invalid length 0, expected struct SphericalLinkGeometry with 4 elements",
        "invalid length 1, expected struct SphericalLinkGeometry with 4 elements"};
    for (const std::string_view r : exact) {
        if (reason == r) return true;
    }
    static constexpr std::string_view duplicates[] = {
        "duplicate field `arm_arc`", "duplicate field `coupler_arc`", "duplicate field `branch`",
        "duplicate field `mirror`"};
    for (const std::string_view r : duplicates) {
        if (reason == r) return true;
    }
    const auto has_prefix = [&](std::string_view p) { return reason.substr(0, p.size()) == p; };
    const auto has_suffix = [&](std::string_view s) {
        return reason.size() >= s.size() && reason.substr(reason.size() - s.size()) == s;
    };
    if (has_prefix("unknown variant `") && has_suffix("`, expected `positive` or `negative`")) {
        return true;
    }
    if (has_prefix("invalid type: ")) {
        for (const std::string_view e :
             {", expected struct SphericalLinkGeometry", ", expected f64", ", expected a boolean",
              ", expected variant identifier", ", expected unit"}) {
            if (has_suffix(e)) return true;
        }
    }
    return false;
}

void check_error_position(const JsonError& error, std::string_view text) {
    EXPECT(error.line >= 1, text);
    std::size_t line_start = 0;
    for (std::size_t line = 1; line < error.line; ++line) {
        const std::size_t newline = text.find('\n', line_start);
        EXPECT(newline != std::string_view::npos, text);  // line within the text
        line_start = newline + 1;
    }
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    EXPECT(error.column <= line_end - line_start, text);
}

std::string geometry_as_json(const SphericalLinkGeometry& g) {
    char buffer[64];
    std::string out = "{\"arm_arc\": ";
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, g.arm_arc).ptr);
    out += ", \"coupler_arc\": ";
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, g.coupler_arc).ptr);
    out += g.branch == Branch::negative ? ", \"branch\": \"negative\"" : ", \"branch\": \"positive\"";
    out += g.mirror ? ", \"mirror\": true}" : ", \"mirror\": false}";
    return out;
}

void check_prefix_fails_at_end(std::string_view text, std::size_t length) {
    const std::string_view prefix = text.substr(0, length);
    const GeometryFromJson result = read_geometry_json(prefix);
    EXPECT(!result.geometry, prefix);
    EXPECT(result.error.reason.rfind("EOF while parsing ", 0) == 0, prefix);
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (prefix[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    EXPECT(result.error.line == line, prefix);
    EXPECT(result.error.column == prefix.size() - line_start, prefix);
}

void check_success(const SphericalLinkGeometry& g, std::string_view text) {
    EXPECT(std::isfinite(g.arm_arc) && std::isfinite(g.coupler_arc), text);
    EXPECT(g.branch == Branch::positive || g.branch == Branch::negative, text);

    const std::string printed = geometry_as_json(g);
    const GeometryFromJson reread = read_geometry_json(printed);
    EXPECT(reread.geometry && same_geometry(*reread.geometry, g), text);

    const std::string padded = std::string(text) + " \n\t\r ";
    const GeometryFromJson padded_result = read_geometry_json(padded);
    EXPECT(padded_result.geometry && same_geometry(*padded_result.geometry, g), text);

    const std::string embedded =
        "{\"unknown\":\n" + std::string(text) + "\n,\"arm_arc\": 1, \"coupler_arc\": 2}";
    const GeometryFromJson embedded_result = read_geometry_json(embedded);
    EXPECT(embedded_result.geometry && embedded_result.geometry->arm_arc == 1.0 &&
               embedded_result.geometry->coupler_arc == 2.0,
           text);

    // The document ends at its closing brace or bracket: every prefix that
    // stops before it is unfinished.
    const std::size_t last = text.find_last_not_of(" \t\n\r");
    EXPECT(last != std::string_view::npos, text);
    if (last < every_prefix_limit) {
        for (std::size_t length = 0; length <= last; ++length) check_prefix_fails_at_end(text, length);
    } else {
        for (std::size_t k = 0; k < sampled_prefixes; ++k) {
            check_prefix_fails_at_end(text, last * k / sampled_prefixes);
        }
        check_prefix_fails_at_end(text, last);
    }
}

void check_failure(const JsonError& error, std::string_view text) {
    EXPECT(known_reason(error.reason), text);
    check_error_position(error, text);
    const std::string message = error.message();
    EXPECT(message == error.reason + " at line " + std::to_string(error.line) + " column " +
                          std::to_string(error.column),
           text);
    if (is_utf8(text)) EXPECT(is_utf8(message), text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const GeometryFromJson first = read_geometry_json(text);
    const GeometryFromJson second = read_geometry_json(text);
    EXPECT(same_result(first, second), text);
    if (first.geometry) {
        check_success(*first.geometry, text);
    } else {
        check_failure(first.error, text);
    }
    const velmora::arm::FiveBarFromJson general = velmora::arm::read_five_bar_json(text);
    // Unless the text may hold one of the general arm's own keys (spelt out or escaped).
    const bool plain = text.find("arm_arcs") == std::string_view::npos &&
                       text.find("coupler_arcs") == std::string_view::npos &&
                       text.find("base_angle") == std::string_view::npos && text.find('\\') == std::string_view::npos;
    if (first.geometry && plain) {
        EXPECT(general.geometry && velmora::arm::same_geometry(*general.geometry,
                                                               velmora::arm::five_bar_geometry(*first.geometry)),
               text);
    }
    if (general.geometry) {
        const auto written = velmora::arm::write_five_bar_json(*general.geometry);
        EXPECT(written.has_value(), text);
        const velmora::arm::FiveBarFromJson again = velmora::arm::read_five_bar_json(*written);
        EXPECT(again.geometry && velmora::arm::same_geometry(*again.geometry, *general.geometry), text);
    } else {
        EXPECT(general.error.line >= 1, text);
    }
    return 0;
}
