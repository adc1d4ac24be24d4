#include "velmora_torso_kinematics/arm_geometry.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace velmora::arm {

namespace {

// peek() at the end of the text.
constexpr int end_of_text = -1;

// Expected descriptions of "invalid type", one per place a value is read.
constexpr std::string_view expect_document = "struct SphericalLinkGeometry";
constexpr std::string_view expect_arc = "f64";
constexpr std::string_view expect_mirror = "a boolean";
constexpr std::string_view expect_variant = "variant identifier";
constexpr std::string_view expect_unit = "unit";

// Saturation bound for an exponent read only to tell overflow from underflow:
// far beyond any double's decimal exponent, far below int64 overflow when added
// to a digit count.
constexpr std::int64_t exponent_saturation = 1'000'000'000'000'000;

[[nodiscard]] constexpr bool is_whitespace(int c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

[[nodiscard]] constexpr bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

[[nodiscard]] constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[nodiscard]] constexpr bool is_high_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

[[nodiscard]] constexpr bool is_low_surrogate(std::uint32_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

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

// A string as the "string ..." description shows it, in double quotes.
// Escaping: `"` -> \", `\` -> \\, tab -> \t, carriage return -> \r, line feed
// -> \n, NUL -> \0; every other C0 control, DEL and the C1 controls
// (U+0080-U+009F) -> \u{hex} (lowercase, no leading zeros, e.g. \u{1b});
// a byte that is not part of well-formed UTF-8 -> \x{hex}; everything else,
// non-ASCII characters included, is copied as it is.
[[nodiscard]] std::string quoted_for_message(std::string_view s) {
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

// The "floating point" description's number: the shortest digits that read
// back as the same double, in positional form with at least one fractional
// digit ("1.0", "0.5", "-0.0", "1000000000000000.0") for magnitudes in
// [1e-4, 1e16) and zero, otherwise in scientific form with a signed two-digit
// minimum exponent ("1e+300", "1.5e-07"): the form Python's repr() gives.
[[nodiscard]] std::string shortest_float_text(double value) {
    // Widest outputs: "-0.0001234567890123456" and "-1.2345678901234567e-308".
    char buffer[64];
    const double magnitude = std::fabs(value);
    const bool positional = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value,
                      positional ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buffer, ec == std::errc{} ? end : buffer);
    if (positional && text.find('.') == std::string::npos) text += ".0";
    return text;
}

// Where one number's parts lie in the text; the grammar is already checked.
struct NumberText {
    std::size_t begin = 0;          // the minus sign or first digit
    std::size_t end = 0;            // one past the last character
    std::size_t integer_end = 0;    // one past the integer part's digits
    std::size_t fraction_begin = 0; // first fraction digit (== fraction_end when none)
    std::size_t fraction_end = 0;
    std::size_t exponent_begin = 0; // first exponent digit (== end when none)
    bool negative = false;
    bool exponent_negative = false;
    bool integral = true;           // neither fraction nor exponent
};

// A number as read: integers within 64 bits keep their integer kind (for the
// "integer" description); everything else is a double.
struct JsonNumber {
    enum class Kind : std::uint8_t { unsigned_integer, signed_integer, floating };
    Kind kind = Kind::floating;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;
    double floating_value = 0.0;

    // The nearest double (conversions from 64-bit integers round to nearest).
    [[nodiscard]] double to_double() const noexcept {
        switch (kind) {
            case Kind::unsigned_integer: return static_cast<double>(unsigned_value);
            case Kind::signed_integer: return static_cast<double>(signed_value);
            case Kind::floating: break;
        }
        return floating_value;
    }

    [[nodiscard]] std::string description() const {
        switch (kind) {
            case Kind::unsigned_integer:
                return "integer `" + std::to_string(unsigned_value) + "`";
            case Kind::signed_integer:
                return "integer `" + std::to_string(signed_value) + "`";
            case Kind::floating: break;
        }
        return "floating point `" + shortest_float_text(floating_value) + "`";
    }
};

enum class Field : std::uint8_t { arm_arc, coupler_arc, branch, mirror, unknown };

[[nodiscard]] Field field_named(std::string_view key) noexcept {
    if (key == "arm_arc") return Field::arm_arc;
    if (key == "coupler_arc") return Field::coupler_arc;
    if (key == "branch") return Field::branch;
    if (key == "mirror") return Field::mirror;
    return Field::unknown;
}

// One pass over the text. Every read_/skip_ member returns false after
// recording the first failure; the failure's position is kept as the length of
// the text prefix it covers, turned into line and column only at the end.
class GeometryReader {
public:
    explicit GeometryReader(std::string_view text) noexcept : text_(text) {}

    [[nodiscard]] GeometryFromJson read() {
        SphericalLinkGeometry geometry{};
        if (read_document(geometry)) return {geometry, {}};
        return {std::nullopt, located_error()};
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;  // next unread byte
    std::string reason_;
    std::size_t error_prefix_ = 0;

    // --- failures -------------------------------------------------------

    // The error points at the byte at `index`.
    [[nodiscard]] bool fail_at(std::size_t index, std::string reason) {
        reason_ = std::move(reason);
        error_prefix_ = index + 1;
        return false;
    }

    // The text ended early: the error points at its last byte.
    [[nodiscard]] bool fail_at_end(std::string reason) {
        reason_ = std::move(reason);
        error_prefix_ = text_.size();
        return false;
    }

    // The error points at the byte before `index`.
    [[nodiscard]] bool fail_before(std::size_t index, std::string reason) {
        reason_ = std::move(reason);
        error_prefix_ = index;
        return false;
    }

    // At the byte about to be read, or at the end of the text.
    [[nodiscard]] bool fail_here(std::string reason) {
        return pos_ < text_.size() ? fail_at(pos_, std::move(reason))
                                   : fail_at_end(std::move(reason));
    }

    // Schema errors found inside the object or array: the closing brace or
    // bracket is still taken when it comes next, and the error points at the
    // last byte taken.
    [[nodiscard]] bool fail_schema(std::string reason, char closing) {
        skip_whitespace();
        if (peek() == closing) ++pos_;
        reason_ = std::move(reason);
        error_prefix_ = pos_;
        return false;
    }

    [[nodiscard]] JsonError located_error() const {
        std::size_t line = 1;
        std::size_t line_start = 0;
        for (std::size_t i = 0; i < error_prefix_; ++i) {
            if (text_[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        }
        return {reason_, line, error_prefix_ - line_start};
    }

    // --- tokens ---------------------------------------------------------

    [[nodiscard]] int peek() const noexcept {
        return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : end_of_text;
    }

    void skip_whitespace() noexcept {
        while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
    }

    [[nodiscard]] int peek_token() noexcept {
        skip_whitespace();
        return peek();
    }

    // `word` is true, false or null; its first letter is at pos_.
    [[nodiscard]] bool read_literal(std::string_view word) {
        ++pos_;
        for (std::size_t i = 1; i < word.size(); ++i) {
            if (pos_ == text_.size()) return fail_at_end("EOF while parsing a value");
            if (text_[pos_] != word[i]) return fail_at(pos_, "expected ident");
            ++pos_;
        }
        return true;
    }

    // A string starting at its opening quote; `decoded` (when given) receives
    // the unescaped bytes. Kept and skipped strings are checked alike.
    [[nodiscard]] bool read_string(std::string* decoded) {
        ++pos_;
        for (;;) {
            const std::size_t run_begin = pos_;
            while (pos_ < text_.size()) {
                const auto c = static_cast<unsigned char>(text_[pos_]);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            if (decoded != nullptr) decoded->append(text_.substr(run_begin, pos_ - run_begin));
            if (pos_ == text_.size()) return fail_at_end("EOF while parsing a string");
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c != '\\') {
                return fail_at(pos_,
                               "control character (\\u0000-\\u001F) found while parsing a string");
            }
            ++pos_;
            if (!read_escape(decoded)) return false;
        }
    }

    // The escape after a backslash.
    [[nodiscard]] bool read_escape(std::string* decoded) {
        if (pos_ == text_.size()) return fail_at_end("EOF while parsing a string");
        char unescaped = 0;
        switch (text_[pos_]) {
            case '"': unescaped = '"'; break;
            case '\\': unescaped = '\\'; break;
            case '/': unescaped = '/'; break;
            case 'b': unescaped = '\b'; break;
            case 'f': unescaped = '\f'; break;
            case 'n': unescaped = '\n'; break;
            case 'r': unescaped = '\r'; break;
            case 't': unescaped = '\t'; break;
            case 'u': ++pos_; return read_unicode_escape(decoded);
            default: return fail_at(pos_, "invalid escape");
        }
        ++pos_;
        if (decoded != nullptr) decoded->push_back(unescaped);
        return true;
    }

    // The four hex digits after "\u".
    [[nodiscard]] bool read_hex_unit(std::uint32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos_ == text_.size()) return fail_at_end("EOF while parsing a string");
            const int digit = hex_value(text_[pos_]);
            if (digit < 0) return fail_at(pos_, "unexpected end of hex escape");
            unit = unit * 16 + static_cast<std::uint32_t>(digit);
            ++pos_;
        }
        return true;
    }

    // A "\u" escape, after the 'u'. A high surrogate must be followed at once
    // by a "\u" low surrogate; a low surrogate alone is no code point.
    [[nodiscard]] bool read_unicode_escape(std::string* decoded) {
        static constexpr const char* lone_leading = "lone leading surrogate in hex escape";
        std::uint32_t unit = 0;
        if (!read_hex_unit(unit)) return false;
        if (is_low_surrogate(unit)) return fail_at(pos_ - 1, "invalid unicode code point");
        std::uint32_t code_point = unit;
        if (is_high_surrogate(unit)) {
            for (const char expected : {'\\', 'u'}) {
                if (pos_ == text_.size()) return fail_at_end("EOF while parsing a string");
                if (text_[pos_] != expected) return fail_at(pos_, lone_leading);
                ++pos_;
            }
            std::uint32_t low = 0;
            if (!read_hex_unit(low)) return false;
            if (!is_low_surrogate(low)) return fail_at(pos_ - 1, lone_leading);
            code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        if (decoded != nullptr) append_utf8(*decoded, code_point);
        return true;
    }

    // Requires a digit at pos_ without taking it.
    [[nodiscard]] bool expect_digit() {
        if (pos_ == text_.size()) return fail_at_end("EOF while parsing a value");
        if (!is_digit(text_[pos_])) return fail_at(pos_, "invalid number");
        return true;
    }

    void skip_digits() noexcept {
        while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    }

    // Checks the number grammar from its first character (minus or digit) and
    // leaves pos_ after the number.
    [[nodiscard]] bool scan_number(NumberText& number) {
        number = NumberText{};
        number.begin = pos_;
        if (text_[pos_] == '-') {
            number.negative = true;
            ++pos_;
        }
        if (!expect_digit()) return false;
        if (text_[pos_] == '0') {
            ++pos_;
            if (pos_ < text_.size() && is_digit(text_[pos_])) {
                return fail_at(pos_, "invalid number");
            }
        } else {
            skip_digits();
        }
        number.integer_end = pos_;
        number.fraction_begin = number.fraction_end = pos_;
        if (peek() == '.') {
            number.integral = false;
            ++pos_;
            if (!expect_digit()) return false;
            number.fraction_begin = pos_;
            skip_digits();
            number.fraction_end = pos_;
        }
        const bool has_exponent = peek() == 'e' || peek() == 'E';
        if (has_exponent) {
            number.integral = false;
            ++pos_;
            if (peek() == '+' || peek() == '-') {
                number.exponent_negative = text_[pos_] == '-';
                ++pos_;
            }
            if (!expect_digit()) return false;
            number.exponent_begin = pos_;
            skip_digits();
        }
        number.end = pos_;
        if (!has_exponent) number.exponent_begin = number.end;
        return true;
    }

    // Decimal exponent of the number's leading non-zero digit (saturating);
    // only its sign is used, to tell a too-large number from one that
    // underflows to zero. Not called for zero.
    [[nodiscard]] std::int64_t leading_digit_exponent(const NumberText& number) const noexcept {
        std::int64_t exponent = 0;
        for (std::size_t i = number.exponent_begin; i < number.end; ++i) {
            if (exponent < exponent_saturation) exponent = exponent * 10 + (text_[i] - '0');
        }
        if (number.exponent_negative) exponent = -exponent;
        const std::size_t integer_begin = number.begin + (number.negative ? 1 : 0);
        if (text_[integer_begin] != '0') {
            return exponent + static_cast<std::int64_t>(number.integer_end - integer_begin) - 1;
        }
        std::size_t first_nonzero = number.fraction_begin;
        while (first_nonzero < number.fraction_end && text_[first_nonzero] == '0') ++first_nonzero;
        return exponent - static_cast<std::int64_t>(first_nonzero - number.fraction_begin) - 1;
    }

    [[nodiscard]] bool convert_number(const NumberText& number, JsonNumber& out) {
        const char* first = text_.data() + number.begin;
        const char* last = text_.data() + number.end;
        out = JsonNumber{};
        if (number.integral) {
            if (!number.negative) {
                const auto [end, ec] = std::from_chars(first, last, out.unsigned_value);
                if (ec == std::errc{} && end == last) {
                    out.kind = JsonNumber::Kind::unsigned_integer;
                    return true;
                }
            } else {
                const auto [end, ec] = std::from_chars(first, last, out.signed_value);
                if (ec == std::errc{} && end == last) {
                    if (out.signed_value == 0) {
                        // "-0" keeps its sign, so it can only be a double.
                        out.floating_value = -0.0;
                    } else {
                        out.kind = JsonNumber::Kind::signed_integer;
                    }
                    return true;
                }
            }
            // Beyond 64 bits: read as a double below.
        }
        double value = 0.0;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (ec == std::errc::result_out_of_range) {
            if (leading_digit_exponent(number) > 0) {
                return fail_at(number.end - 1, "number out of range");
            }
            value = number.negative ? -0.0 : 0.0;
        } else if (ec != std::errc{} || end != last || std::isinf(value)) {
            // The grammar was checked, so only an infinite result can land here.
            return fail_at(number.end - 1, "number out of range");
        }
        out.floating_value = value;
        return true;
    }

    [[nodiscard]] bool read_number(JsonNumber& number) {
        NumberText text;
        return scan_number(text) && convert_number(text, number);
    }

    // A member key and its colon, with the key's opening quote (or whatever
    // stands there instead) at pos_.
    [[nodiscard]] bool skip_key_and_colon() {
        if (peek() != '"') return fail_here("key must be a string");
        if (!read_string(nullptr)) return false;
        const int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        if (c != ':') return fail_at(pos_, "expected `:`");
        ++pos_;
        return true;
    }

    [[nodiscard]] static constexpr char closing_of(bool object) noexcept { return object ? '}' : ']'; }
    [[nodiscard]] static constexpr const char* eof_inside(bool object) noexcept {
        return object ? "EOF while parsing an object" : "EOF while parsing a list";
    }

    // Skips one value of any shape after checking it. Nesting is tracked on an
    // explicit stack (one bit per open container), so depth costs heap bits,
    // never call frames.
    [[nodiscard]] bool skip_value() {
        std::vector<bool> open_is_object;
        for (;;) {
            // A value starts here.
            int c = peek_token();
            switch (c) {
                case end_of_text: return fail_at_end("EOF while parsing a value");
                case '{':
                case '[': {
                    const bool is_object = c == '{';
                    ++pos_;
                    c = peek_token();
                    if (c == end_of_text) return fail_at_end(eof_inside(is_object));
                    if (c == closing_of(is_object)) {
                        ++pos_;
                        break;
                    }
                    open_is_object.push_back(is_object);
                    if (is_object && !skip_key_and_colon()) return false;
                    continue;
                }
                case '"':
                    if (!read_string(nullptr)) return false;
                    break;
                case 't':
                    if (!read_literal("true")) return false;
                    break;
                case 'f':
                    if (!read_literal("false")) return false;
                    break;
                case 'n':
                    if (!read_literal("null")) return false;
                    break;
                default: {
                    if (c != '-' && !is_digit(c)) return fail_at(pos_, "expected value");
                    // Only the grammar: a skipped number is never converted.
                    NumberText number;
                    if (!scan_number(number)) return false;
                    break;
                }
            }
            // A value ended: close finished containers, or go on to the next
            // element or member.
            for (;;) {
                if (open_is_object.empty()) return true;
                const bool in_object = open_is_object.back();
                const char closing = closing_of(in_object);
                c = peek_token();
                if (c == end_of_text) return fail_at_end(eof_inside(in_object));
                if (c == closing) {
                    ++pos_;
                    open_is_object.pop_back();
                    continue;
                }
                if (c != ',') {
                    return fail_at(pos_, in_object ? "expected `,` or `}`" : "expected `,` or `]`");
                }
                ++pos_;
                c = peek_token();
                if (c == end_of_text) return fail_at_end("EOF while parsing a value");
                if (c == closing) return fail_at(pos_, "trailing comma");
                if (in_object && !skip_key_and_colon()) return false;
                break;
            }
        }
    }

    // Reads the value at pos_ (a token has been peeked there) only to describe
    // it in an "invalid type" error that points at its last byte.
    [[nodiscard]] bool fail_invalid_type(std::string_view expected) {
        std::string found;
        switch (peek()) {
            case '"': {
                std::string decoded;
                if (!read_string(&decoded)) return false;
                found = "string " + quoted_for_message(decoded);
                break;
            }
            case '[':
                if (!skip_value()) return false;
                found = "sequence";
                break;
            case '{':
                if (!skip_value()) return false;
                found = "map";
                break;
            case 't':
                if (!read_literal("true")) return false;
                found = "boolean `true`";
                break;
            case 'f':
                if (!read_literal("false")) return false;
                found = "boolean `false`";
                break;
            case 'n':
                if (!read_literal("null")) return false;
                found = "null";
                break;
            default: {
                if (peek() != '-' && !is_digit(peek())) return fail_here("expected value");
                JsonNumber number;
                if (!read_number(number)) return false;
                found = number.description();
                break;
            }
        }
        std::string reason = "invalid type: ";
        reason += found;
        reason += ", expected ";
        reason += expected;
        return fail_at(pos_ - 1, std::move(reason));
    }

    // --- schema values --------------------------------------------------

    [[nodiscard]] bool read_arc(double& arc) {
        const int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c != '-' && !is_digit(c)) return fail_invalid_type(expect_arc);
        JsonNumber number;
        if (!read_number(number)) return false;
        arc = number.to_double();
        return true;
    }

    [[nodiscard]] bool read_mirror(bool& mirror) {
        const int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c == 't' || c == 'f') {
            mirror = c == 't';
            return read_literal(mirror ? "true" : "false");
        }
        return fail_invalid_type(expect_mirror);
    }

    // A variant name in quotes at pos_.
    [[nodiscard]] bool read_variant_name(Branch& branch) {
        std::string name;
        if (!read_string(&name)) return false;
        if (name == "positive") {
            branch = Branch::positive;
        } else if (name == "negative") {
            branch = Branch::negative;
        } else {
            return fail_at(pos_ - 1,
                           "unknown variant `" + name + "`, expected `positive` or `negative`");
        }
        return true;
    }

    // "positive" / "negative", or {"positive": null} / {"negative": null}.
    [[nodiscard]] bool read_branch(Branch& branch) {
        int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c == '"') return read_variant_name(branch);
        if (c != '{') return fail_at(pos_, "expected value");
        ++pos_;

        c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c != '"') return fail_invalid_type(expect_variant);
        if (!read_variant_name(branch)) return false;

        c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        if (c != ':') return fail_at(pos_, "expected `:`");
        ++pos_;

        c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c != 'n') return fail_invalid_type(expect_unit);
        if (!read_literal("null")) return false;

        c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        // A second member (or any other stray byte) is reported just before it.
        if (c != '}') return fail_before(pos_, "expected value");
        ++pos_;
        return true;
    }

    // --- document -------------------------------------------------------

    [[nodiscard]] bool read_object_form(SphericalLinkGeometry& geometry) {
        ++pos_;
        std::optional<double> arm_arc;
        std::optional<double> coupler_arc;
        std::optional<Branch> branch;
        std::optional<bool> mirror;
        std::string key;

        int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        bool first_member = true;
        while (c != '}') {
            if (!first_member) {
                if (c != ',') return fail_at(pos_, "expected `,` or `}`");
                ++pos_;
                c = peek_token();
                if (c == end_of_text) return fail_at_end("EOF while parsing a value");
                if (c == '}') return fail_at(pos_, "trailing comma");
            }
            first_member = false;
            if (c != '"') return fail_at(pos_, "key must be a string");
            key.clear();
            if (!read_string(&key)) return false;

            const Field field = field_named(key);
            const bool seen = (field == Field::arm_arc && arm_arc) ||
                              (field == Field::coupler_arc && coupler_arc) ||
                              (field == Field::branch && branch) ||
                              (field == Field::mirror && mirror);
            if (seen) return fail_schema("duplicate field `" + key + "`", '}');

            c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing an object");
            if (c != ':') return fail_at(pos_, "expected `:`");
            ++pos_;

            bool value_ok = false;
            switch (field) {
                case Field::arm_arc: value_ok = read_arc(arm_arc.emplace()); break;
                case Field::coupler_arc: value_ok = read_arc(coupler_arc.emplace()); break;
                case Field::branch: value_ok = read_branch(branch.emplace()); break;
                case Field::mirror: value_ok = read_mirror(mirror.emplace()); break;
                case Field::unknown: value_ok = skip_value(); break;
            }
            if (!value_ok) return false;

            c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        }
        if (!arm_arc) return fail_schema("missing field `arm_arc`", '}');
        if (!coupler_arc) return fail_schema("missing field `coupler_arc`", '}');
        ++pos_;
        geometry = {*arm_arc, *coupler_arc, branch.value_or(Branch::positive),
                    mirror.value_or(false)};
        return true;
    }

    [[nodiscard]] bool read_array_form(SphericalLinkGeometry& geometry) {
        static constexpr std::size_t element_count = 4;  // arm_arc, coupler_arc, branch, mirror
        static constexpr std::size_t required_count = 2;
        ++pos_;
        geometry = {0.0, 0.0, Branch::positive, false};

        std::size_t read_count = 0;
        for (; read_count < element_count; ++read_count) {
            int c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing a list");
            if (c == ']') break;
            if (read_count > 0) {
                if (c != ',') return fail_at(pos_, "expected `,` or `]`");
                ++pos_;
                c = peek_token();
                if (c == end_of_text) return fail_at_end("EOF while parsing a value");
                if (c == ']') return fail_at(pos_, "trailing comma");
            }
            bool value_ok = false;
            switch (read_count) {
                case 0: value_ok = read_arc(geometry.arm_arc); break;
                case 1: value_ok = read_arc(geometry.coupler_arc); break;
                case 2: value_ok = read_branch(geometry.branch); break;
                default: value_ok = read_mirror(geometry.mirror); break;
            }
            if (!value_ok) return false;
        }

        if (read_count < required_count) {
            return fail_schema("invalid length " + std::to_string(read_count) +
                                   ", expected struct SphericalLinkGeometry with 4 elements",
                               ']');
        }
        if (read_count == element_count) {
            int c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing a list");
            if (c == ',') {
                ++pos_;
                c = peek_token();
                if (c == end_of_text) return fail_at_end("EOF while parsing a list");
                if (c == ']') return fail_at(pos_, "trailing comma");
                return fail_at(pos_, "trailing characters");
            }
            if (c != ']') return fail_at(pos_, "trailing characters");
        }
        ++pos_;
        return true;
    }

    [[nodiscard]] bool read_document(SphericalLinkGeometry& geometry) {
        const int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c == '{') {
            if (!read_object_form(geometry)) return false;
        } else if (c == '[') {
            if (!read_array_form(geometry)) return false;
        } else {
            return fail_invalid_type(expect_document);
        }
        if (peek_token() != end_of_text) return fail_at(pos_, "trailing characters");
        return true;
    }
};

}  // namespace

std::string JsonError::message() const {
    return reason + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

GeometryFromJson read_geometry_json(std::string_view text) {
    return GeometryReader(text).read();
}

std::optional<std::string> write_geometry_json(const SphericalLinkGeometry& geometry) {
    if (!std::isfinite(geometry.arm_arc) || !std::isfinite(geometry.coupler_arc)) return std::nullopt;
    // shortest_float_text's forms ("0.7", "-0.0", "1e+300", "1.5e-07") are all JSON numbers.
    return "{\"arm_arc\": " + shortest_float_text(geometry.arm_arc) + ", \"coupler_arc\": " +
           shortest_float_text(geometry.coupler_arc) + ", \"branch\": \"" +
           (geometry.branch == Branch::positive ? "positive" : "negative") + "\", \"mirror\": " +
           (geometry.mirror ? "true" : "false") + "}";
}

}  // namespace velmora::arm
