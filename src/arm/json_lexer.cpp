// The JSON lexer: tokens, strings, numbers and skipped values, checked in
// full, each failure recorded with the byte it points at.

#include "json_lexer.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

namespace velmora::arm::json {
namespace {

// Saturation bound for an exponent read only to tell overflow from underflow:
// far beyond any double's decimal exponent, far below int64 overflow when added
// to a digit count.
constexpr std::int64_t exponent_saturation = 1'000'000'000'000'000;

}  // namespace

bool Lexer::fail_at(std::size_t index, std::string reason) {
    reason_ = std::move(reason);
    error_prefix_ = index + 1;
    return false;
}

bool Lexer::fail_at_end(std::string reason) {
    reason_ = std::move(reason);
    error_prefix_ = text_.size();
    return false;
}

bool Lexer::fail_before(std::size_t index, std::string reason) {
    reason_ = std::move(reason);
    error_prefix_ = index;
    return false;
}

bool Lexer::fail_here(std::string reason) {
    return pos_ < text_.size() ? fail_at(pos_, std::move(reason))
                               : fail_at_end(std::move(reason));
}

bool Lexer::fail_schema(std::string reason, char closing) {
    skip_whitespace();
    if (peek() == closing) ++pos_;
    reason_ = std::move(reason);
    error_prefix_ = pos_;
    return false;
}

JsonError Lexer::located_error() const {
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

int Lexer::peek() const noexcept {
    return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : end_of_text;
}

void Lexer::skip_whitespace() noexcept {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
}

int Lexer::peek_token() noexcept {
    skip_whitespace();
    return peek();
}

bool Lexer::read_literal(std::string_view word) {
    ++pos_;
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (pos_ == text_.size()) return fail_at_end("EOF while parsing a value");
        if (text_[pos_] != word[i]) return fail_at(pos_, "expected ident");
        ++pos_;
    }
    return true;
}

bool Lexer::read_string(std::string* decoded) {
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

bool Lexer::read_escape(std::string* decoded) {
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

bool Lexer::read_hex_unit(std::uint32_t& unit) {
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

bool Lexer::read_unicode_escape(std::string* decoded) {
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

bool Lexer::expect_digit() {
    if (pos_ == text_.size()) return fail_at_end("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_at(pos_, "invalid number");
    return true;
}

void Lexer::skip_digits() noexcept {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
}

bool Lexer::scan_number(NumberText& number) {
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

std::int64_t Lexer::leading_digit_exponent(const NumberText& number) const noexcept {
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

bool Lexer::convert_number(const NumberText& number, JsonNumber& out) {
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

bool Lexer::read_number(JsonNumber& number) {
    NumberText text;
    return scan_number(text) && convert_number(text, number);
}

bool Lexer::skip_key_and_colon() {
    if (peek() != '"') return fail_here("key must be a string");
    if (!read_string(nullptr)) return false;
    const int c = peek_token();
    if (c == end_of_text) return fail_at_end("EOF while parsing an object");
    if (c != ':') return fail_at(pos_, "expected `:`");
    ++pos_;
    return true;
}

bool Lexer::skip_value() {
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

bool Lexer::fail_invalid_type(std::string_view expected) {
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

}  // namespace velmora::arm::json
