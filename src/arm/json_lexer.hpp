#pragma once
// The arm geometry reader's JSON layer: character classes, UTF-8 checks and the
// escaper of quoted strings (json_text.cpp), and the lexer (json_lexer.cpp),
// which checks and reads tokens and whole values and records the first
// failure with the position it points at. The mapping of a document's fields
// onto a geometry is geometry_json.cpp's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/float_repr.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace velmora::arm::json {

// peek() at the end of the text.
inline constexpr int end_of_text = -1;

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

// code_point as UTF-8.
void append_utf8(std::string& out, std::uint32_t code_point);

// A string as the "string ..." description shows it, in double quotes, with
// controls and malformed UTF-8 escaped.
[[nodiscard]] std::string quoted_for_message(std::string_view s);

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
        return "floating point `" + python_float_repr(floating_value) + "`";
    }
};

// One pass over the text. Every read_/skip_ member returns false after
// recording the first failure; the failure's position is kept as the length of
// the text prefix it covers, turned into line and column only at the end.
class Lexer {
public:
    explicit Lexer(std::string_view text) noexcept : text_(text) {}

protected:
    std::string_view text_;
    std::size_t pos_ = 0;  // next unread byte
    std::string reason_;
    std::size_t error_prefix_ = 0;

    // --- failures -------------------------------------------------------

    // The error points at the byte at `index`.
    [[nodiscard]] bool fail_at(std::size_t index, std::string reason);

    // The text ended early: the error points at its last byte.
    [[nodiscard]] bool fail_at_end(std::string reason);

    // The error points at the byte before `index`.
    [[nodiscard]] bool fail_before(std::size_t index, std::string reason);

    // At the byte about to be read, or at the end of the text.
    [[nodiscard]] bool fail_here(std::string reason);

    // Schema errors found inside the object or array: the closing brace or
    // bracket is still taken when it comes next, and the error points at the
    // last byte taken.
    [[nodiscard]] bool fail_schema(std::string reason, char closing);

    [[nodiscard]] JsonError located_error() const;

    // --- tokens ---------------------------------------------------------

    [[nodiscard]] int peek() const noexcept;

    void skip_whitespace() noexcept;

    [[nodiscard]] int peek_token() noexcept;

    // `word` is true, false or null; its first letter is at pos_.
    [[nodiscard]] bool read_literal(std::string_view word);

    // A string starting at its opening quote; `decoded` (when given) receives
    // the unescaped bytes. Kept and skipped strings are checked alike.
    [[nodiscard]] bool read_string(std::string* decoded);

    // The escape after a backslash.
    [[nodiscard]] bool read_escape(std::string* decoded);

    // The four hex digits after "\u".
    [[nodiscard]] bool read_hex_unit(std::uint32_t& unit);

    // A "\u" escape, after the 'u'. A high surrogate must be followed at once
    // by a "\u" low surrogate; a low surrogate alone is no code point.
    [[nodiscard]] bool read_unicode_escape(std::string* decoded);

    // Requires a digit at pos_ without taking it.
    [[nodiscard]] bool expect_digit();

    void skip_digits() noexcept;

    // Checks the number grammar from its first character (minus or digit) and
    // leaves pos_ after the number.
    [[nodiscard]] bool scan_number(NumberText& number);

    // Decimal exponent of the number's leading non-zero digit (saturating);
    // only its sign is used, to tell a too-large number from one that
    // underflows to zero. Not called for zero.
    [[nodiscard]] std::int64_t leading_digit_exponent(const NumberText& number) const noexcept;

    [[nodiscard]] bool convert_number(const NumberText& number, JsonNumber& out);

    [[nodiscard]] bool read_number(JsonNumber& number);

    // A member key and its colon, with the key's opening quote (or whatever
    // stands there instead) at pos_.
    [[nodiscard]] bool skip_key_and_colon();

    [[nodiscard]] static constexpr char closing_of(bool object) noexcept { return object ? '}' : ']'; }
    [[nodiscard]] static constexpr const char* eof_inside(bool object) noexcept {
        return object ? "EOF while parsing an object" : "EOF while parsing a list";
    }

    // Skips one value of any shape after checking it. Nesting is tracked on an
    // explicit stack (one bit per open container), so depth costs heap bits,
    // never call frames.
    [[nodiscard]] bool skip_value();

    // Reads the value at pos_ (a token has been peeked there) only to describe
    // it in an "invalid type" error that points at its last byte.
    [[nodiscard]] bool fail_invalid_type(std::string_view expected);
};

}  // namespace velmora::arm::json
