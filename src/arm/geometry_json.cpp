// The arm's geometry documents: which fields a document has and what each
// becomes in the geometry record (the JSON itself is json_lexer's), and the
// documents written back.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "json_lexer.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace velmora::arm {
namespace {

using json::end_of_text;
using json::is_digit;
using json::JsonNumber;

// Expected descriptions of "invalid type", one per place a value is read.
constexpr std::string_view expect_document = "struct SphericalLinkGeometry";
constexpr std::string_view expect_arc = "f64";
constexpr std::string_view expect_arc_pair = "a pair of f64";
constexpr std::string_view expect_mirror = "a boolean";
constexpr std::string_view expect_variant = "variant identifier";
constexpr std::string_view expect_unit = "unit";

// The object form's fields. The general arm's (arm_arcs, coupler_arcs,
// base_angle) are read only for its document; SphericalLinkGeometry's skips
// them like any other key.
enum class Field : std::uint8_t { arm_arc, coupler_arc, branch, mirror, arm_arcs, coupler_arcs, base_angle, unknown };
inline constexpr std::size_t field_count = 7;

[[nodiscard]] Field field_named(std::string_view key, bool general) noexcept {
    if (key == "arm_arc") return Field::arm_arc;
    if (key == "coupler_arc") return Field::coupler_arc;
    if (key == "branch") return Field::branch;
    if (key == "mirror") return Field::mirror;
    if (!general) return Field::unknown;
    if (key == "arm_arcs") return Field::arm_arcs;
    if (key == "coupler_arcs") return Field::coupler_arcs;
    if (key == "base_angle") return Field::base_angle;
    return Field::unknown;
}

class GeometryReader : json::Lexer {
public:
    GeometryReader(std::string_view text, bool general) noexcept : Lexer(text), general_(general) {}

    [[nodiscard]] FiveBarFromJson read() {
        FiveBarGeometry geometry{};
        if (read_document(geometry)) return {geometry, {}};
        return {std::nullopt, located_error()};
    }

private:
    bool general_;  // the general arm's document: its own fields are read

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

    // [a, b]: one arc per side.
    [[nodiscard]] bool read_arc_pair(double (&arcs)[2]) {
        int c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a value");
        if (c != '[') return fail_invalid_type(expect_arc_pair);
        ++pos_;
        for (int k = 0; k < 2; ++k) {
            c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing a list");
            if (c == ']') return fail_schema("invalid length " + std::to_string(k) + ", expected a pair of f64", ']');
            if (k == 1) {
                if (c != ',') return fail_at(pos_, "expected `,` or `]`");
                ++pos_;
            }
            if (!read_arc(arcs[k])) return false;
        }
        c = peek_token();
        if (c == end_of_text) return fail_at_end("EOF while parsing a list");
        if (c != ']') return fail_at(pos_, "trailing characters");
        ++pos_;
        return true;
    }

    // --- document -------------------------------------------------------

    [[nodiscard]] bool read_object_form(FiveBarGeometry& geometry) {
        ++pos_;
        std::optional<double> arm_arc;
        std::optional<double> coupler_arc;
        std::optional<Branch> branch;
        std::optional<bool> mirror;
        double arm_arcs[2];
        double coupler_arcs[2];
        std::optional<double> base_angle;
        bool seen[field_count] = {};
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

            const Field field = field_named(key, general_);
            if (field != Field::unknown) {
                const auto index = static_cast<std::size_t>(field);
                if (seen[index]) return fail_schema("duplicate field `" + key + "`", '}');
                seen[index] = true;
            }

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
                case Field::arm_arcs: value_ok = read_arc_pair(arm_arcs); break;
                case Field::coupler_arcs: value_ok = read_arc_pair(coupler_arcs); break;
                case Field::base_angle: value_ok = read_arc(base_angle.emplace()); break;
                case Field::unknown: value_ok = skip_value(); break;
            }
            if (!value_ok) return false;

            c = peek_token();
            if (c == end_of_text) return fail_at_end("EOF while parsing an object");
        }
        // A side's arcs come as one arc for both or as a pair, never both ways.
        const auto arcs = [&](const char* single, Field pair_field, const std::optional<double>& one,
                              const double (&pair)[2], double& a, double& b) {
            const bool paired = seen[static_cast<std::size_t>(pair_field)];
            if (one && paired)
                return fail_schema(std::string("fields `") + single + "` and `" + single + "s` both given", '}');
            if (!one && !paired)
                return fail_schema(std::string("missing field `") + single + (general_ ? "` (or `" : "") +
                                       (general_ ? single : "") + (general_ ? "s`)" : "`"),
                                   '}');
            a = one ? *one : pair[0];
            b = one ? *one : pair[1];
            return true;
        };
        if (!arcs("arm_arc", Field::arm_arcs, arm_arc, arm_arcs, geometry.arm_arc_a, geometry.arm_arc_b)) return false;
        if (!arcs("coupler_arc", Field::coupler_arcs, coupler_arc, coupler_arcs, geometry.coupler_arc_a,
                  geometry.coupler_arc_b))
            return false;
        ++pos_;
        geometry.base_angle = base_angle.value_or(right_angle);
        geometry.branch = branch.value_or(Branch::positive);
        geometry.mirror = mirror.value_or(false);
        return true;
    }

    // SphericalLinkGeometry's array form, in both documents.
    [[nodiscard]] bool read_array_form(FiveBarGeometry& five_bar) {
        static constexpr std::size_t element_count = 4;  // arm_arc, coupler_arc, branch, mirror
        static constexpr std::size_t required_count = 2;
        ++pos_;
        SphericalLinkGeometry geometry{0.0, 0.0, Branch::positive, false};
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
        five_bar = five_bar_geometry(geometry);
        return true;
    }

    [[nodiscard]] bool read_document(FiveBarGeometry& geometry) {
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

// The arcs' text, or nothing for a number JSON lacks. python_float_repr's
// forms ("0.7", "-0.0", "1e+300", "1.5e-07") are all JSON numbers.
[[nodiscard]] std::optional<std::string> number_text(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    return python_float_repr(value);
}

[[nodiscard]] const char* branch_name(Branch branch) noexcept {
    return branch == Branch::positive ? "positive" : "negative";
}

}  // namespace

std::string JsonError::message() const {
    return reason + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

GeometryFromJson read_geometry_json(std::string_view text) {
    const FiveBarFromJson read = GeometryReader(text, false).read();
    if (!read.geometry) return {std::nullopt, read.error};
    const FiveBarGeometry& g = *read.geometry;
    return {SphericalLinkGeometry{g.arm_arc_a, g.coupler_arc_a, g.branch, g.mirror}, {}};
}

FiveBarFromJson read_five_bar_json(std::string_view text) { return GeometryReader(text, true).read(); }

std::optional<std::string> write_geometry_json(const SphericalLinkGeometry& geometry) {
    const auto arm = number_text(geometry.arm_arc);
    const auto coupler = number_text(geometry.coupler_arc);
    if (!arm || !coupler) return std::nullopt;
    return "{\"arm_arc\": " + *arm + ", \"coupler_arc\": " + *coupler + ", \"branch\": \"" +
           branch_name(geometry.branch) + "\", \"mirror\": " + (geometry.mirror ? "true" : "false") + "}";
}

std::optional<std::string> write_five_bar_json(const FiveBarGeometry& g) {
    const double numbers[] = {g.arm_arc_a, g.arm_arc_b, g.coupler_arc_a, g.coupler_arc_b, g.base_angle};
    std::string text[5];
    for (int k = 0; k < 5; ++k) {
        const auto written = number_text(numbers[k]);
        if (!written) return std::nullopt;
        text[k] = *written;
    }
    return "{\"arm_arcs\": [" + text[0] + ", " + text[1] + "], \"coupler_arcs\": [" + text[2] + ", " + text[3] +
           "], \"base_angle\": " + text[4] + ", \"branch\": \"" + branch_name(g.branch) +
           "\", \"mirror\": " + (g.mirror ? "true" : "false") + "}";
}

}  // namespace velmora::arm
