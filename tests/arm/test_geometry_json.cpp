// The arm geometry JSON reader: accepted documents with the geometry they give,
// rejected documents with their exact message, grouped by rule.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace {

using velmora::arm::Branch;
using velmora::arm::GeometryFromJson;
using velmora::arm::read_geometry_json;
using velmora::arm::SphericalLinkGeometry;
using velmora::testing::show;

constexpr Branch pos = Branch::positive;
constexpr Branch neg = Branch::negative;

struct Accepted {
    std::string document;
    SphericalLinkGeometry expected;
};

struct Rejected {
    std::string document;
    std::string message;  // the reader's message, without the module's prefix
};

std::uint64_t bits(double v) {
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::string show(const SphericalLinkGeometry& g) {
    return show({g.arm_arc, g.coupler_arc}) + (g.branch == neg ? " negative" : " positive") +
           (g.mirror ? " mirror" : "");
}

void check_accepted(const std::vector<Accepted>& rows) {
    for (const Accepted& row : rows) {
        const GeometryFromJson result = read_geometry_json(row.document);
        const std::string where = row.document.substr(0, 200);
        if (!VT_CHECK_MSG(result.geometry.has_value(), where + " -> failed: " + result.error.message())) continue;
        const SphericalLinkGeometry& got = *result.geometry;
        // Bit equality: -0.0 and the exact rounding of each number matter.
        const bool same = bits(got.arm_arc) == bits(row.expected.arm_arc) &&
                          bits(got.coupler_arc) == bits(row.expected.coupler_arc) &&
                          got.branch == row.expected.branch && got.mirror == row.expected.mirror;
        VT_CHECK_MSG(same, where + " -> " + show(got) + ", expected " + show(row.expected));
    }
}

void check_rejected(const std::vector<Rejected>& rows) {
    for (const Rejected& row : rows) {
        const GeometryFromJson result = read_geometry_json(row.document);
        const std::string where = row.document.substr(0, 200);
        if (!VT_CHECK_MSG(!result.geometry.has_value(), where + " -> accepted")) continue;
        const std::string got = result.error.message();
        VT_CHECK_MSG(got == row.message, where + "\n    got:      " + got + "\n    expected: " + row.message);
    }
}

void accepted_documents() {
    const double max = std::numeric_limits<double>::max();
    const double denorm_min = std::numeric_limits<double>::denorm_min();
    check_accepted({
        // Object form: members in any order, defaults for the optional ones, blanks anywhere.
        {R"({"arm_arc": 0.7, "coupler_arc": 0.5})", {0.7, 0.5, pos, false}},
        {R"({"mirror": false, "coupler_arc": 0.5, "branch": "positive", "arm_arc": 0.7})", {0.7, 0.5, pos, false}},
        {R"({"arm_arc": 1, "coupler_arc": 0.5, "branch": "negative"})", {1.0, 0.5, neg, false}},
        {R"({"arm_arc": 1, "coupler_arc": 0.5, "branch": { "negative" : null }})", {1.0, 0.5, neg, false}},
        {"\t\r\n{\n  \"arm_arc\": 0.25,\r\n  \"coupler_arc\": 0.75,\n\t\"branch\": \"negative\",\n"
         "  \"mirror\": true\n}\n \r\n",
         {0.25, 0.75, neg, true}},
        // Array form: two to four elements.
        {R"([0.7, 0.5, "positive", false])", {0.7, 0.5, pos, false}},
        {R"([0.7, 0.5, "negative"])", {0.7, 0.5, neg, false}},
        {R"([1,2,{"positive":null},true])", {1.0, 2.0, pos, true}},
        {" [ -1 , 4 ] ", {-1.0, 4.0, pos, false}},
        // Escapes in keys and names; escapes that merely resemble a known key stay unknown members.
        {R"({"arm\u005Farc": 0.25, "\u0063oupler_arc": 0.5})", {0.25, 0.5, pos, false}},
        {R"({"arm_arc": 1, "coupler_arc": 2, "mir\u0072or": true, "branch": "neg\u0061tive"})", {1.0, 2.0, neg, true}},
        {R"({"arm_arc": 1, "coupler_arc": 2, "arm_arc\u0000": 5, "Mirror": 7})", {1.0, 2.0, pos, false}},
        // Numbers, each to the nearest double; 64-bit integers and the first ones beyond them.
        {R"({"arm_arc": -0, "coupler_arc": -0.0})", {-0.0, -0.0, pos, false}},
        {R"({"arm_arc": 1E2, "coupler_arc": 1e+2})", {100.0, 100.0, pos, false}},
        {R"({"arm_arc": 25e-2, "coupler_arc": -0.125E1})", {0.25, -1.25, pos, false}},
        {R"({"arm_arc": 18446744073709551615, "coupler_arc": -9223372036854775808})",
         {18446744073709551616.0, -9223372036854775808.0, pos, false}},
        {R"({"arm_arc": 18446744073709551616, "coupler_arc": -9223372036854775809})",
         {18446744073709551616.0, -9223372036854775808.0, pos, false}},
        {R"({"arm_arc": 9007199254740993, "coupler_arc": 9007199254740995})",
         {9007199254740992.0, 9007199254740996.0, pos, false}},
        {R"({"arm_arc": 0.1, "coupler_arc": 3.141592653589793})", {0.1, 3.141592653589793, pos, false}},
        {R"({"arm_arc": 1.7976931348623157e308, "coupler_arc": 4.9406564584124654e-324})",
         {max, denorm_min, pos, false}},
        // Too small for a double is not an error: it reads as a zero of its sign.
        {R"({"arm_arc": 1e-400, "coupler_arc": -1e-400})", {0.0, -0.0, pos, false}},
        {R"({"arm_arc": 0.00000000000000000000001e-310, "coupler_arc": 2e-324})", {0.0, 0.0, pos, false}},
        {R"({"arm_arc": 1e-99999999999999999999999, "coupler_arc": 0e99999999999999999})", {0.0, 0.0, pos, false}},
        // Unknown members, repeated or not, are skipped after a full check; numbers only for their form.
        {R"({"x": 1, "x": "two", "arm_arc": 1, "x": [true, false, null], "coupler_arc": 2})", {1.0, 2.0, pos, false}},
        {R"({"x": {}, "y": [], "z": {"a": {"b": [{}, [], "", -0.5e-3]}}, "arm_arc": 1, "coupler_arc": 2})",
         {1.0, 2.0, pos, false}},
        {R"({"x": 1e400, "y": -123456789012345678901234567890, "arm_arc": 1, "coupler_arc": 2})",
         {1.0, 2.0, pos, false}},
        {R"({"s": "\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00", "arm_arc": 1, "coupler_arc": 2})", {1.0, 2.0, pos, false}},
        {"{\"arm_arc\": 1, \"coupler_arc\": 2, \"raw\": \"\xc3\xa9 \x7f\"}", {1.0, 2.0, pos, false}},
    });
}

void rejected_documents() {
    const std::string invalid_length = "expected struct SphericalLinkGeometry with 4 elements at line ";
    const std::string unknown_variant = "expected `positive` or `negative` at line 1 column ";
    const std::string control = "control character (\\u0000-\\u001F) found while parsing a string at line ";
    check_rejected({
        // The stated examples.
        {"[0.7]", "invalid length 1, " + invalid_length + "1 column 5"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{}", "missing field `arm_arc` at line 1 column 2"},
        {R"({"arm_arc": 0.7, "arm_arc": 0.8, "coupler_arc": 0.5})", "duplicate field `arm_arc` at line 1 column 26"},
        {R"({"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "Positive"})",
         "unknown variant `Positive`, " + unknown_variant + "57"},
        {R"({"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": 1})",
         "invalid type: integer `1`, expected a boolean at line 1 column 48"},
        {R"({"arm_arc": null, "coupler_arc": 0.5})", "invalid type: null, expected f64 at line 1 column 16"},
        {"{\"arm_arc\": 0.7, \"coupler_arc\": 0.5}\n  x", "trailing characters at line 2 column 3"},
        {"{\"arm_arc\": 0.7,\n \"coupler_arc\": null}", "invalid type: null, expected f64 at line 2 column 20"},
        // Missing and duplicate fields: reported at the object's closing brace when it comes next,
        // duplicates at once after the key (its closing quote, the blanks after it, or the brace).
        {R"({"arm_arc": 1 })", "missing field `coupler_arc` at line 1 column 15"},
        {R"({"coupler_arc": 1, "mirror": true})", "missing field `arm_arc` at line 1 column 34"},
        {"{ \n }", "missing field `arm_arc` at line 2 column 2"},
        {R"({"Arm_arc": 1, "coupler_arc": 2})", "missing field `arm_arc` at line 1 column 32"},
        {R"({"arm_arc": 1, "arm_arc" : 1})", "duplicate field `arm_arc` at line 1 column 25"},
        {R"({"arm_arc": 1, "arm_arc"})", "duplicate field `arm_arc` at line 1 column 25"},
        {"{\"mirror\": true, \"mirror\"\n   :", "duplicate field `mirror` at line 2 column 3"},
        {R"({"branch": "positive", "b\u0072anch": x})", "duplicate field `branch` at line 1 column 36"},
        {R"({"coupler_arc": 1, "coupler_arc": "not even a number")",
         "duplicate field `coupler_arc` at line 1 column 32"},
        // Array length.
        {"[]", "invalid length 0, " + invalid_length + "1 column 2"},
        {"[ 1 \n ]", "invalid length 1, " + invalid_length + "2 column 2"},
        {R"([0.7, 0.5, "positive", false, 1])", "trailing characters at line 1 column 31"},
        {R"([0.7, 0.5, "positive", false x])", "trailing characters at line 1 column 30"},
        {R"([0.7, 0.5, "positive", false,])", "trailing comma at line 1 column 30"},
        {R"([0.7, 0.5, "positive", false, )", "EOF while parsing a list at line 1 column 30"},
        // What was found: its description, pointed at its last byte.
        {R"({"mirror": null})", "invalid type: null, expected a boolean at line 1 column 15"},
        {R"({"arm_arc": true})", "invalid type: boolean `true`, expected f64 at line 1 column 16"},
        {R"({"arm_arc": false})", "invalid type: boolean `false`, expected f64 at line 1 column 17"},
        {R"({"mirror": 18446744073709551615})",
         "invalid type: integer `18446744073709551615`, expected a boolean at line 1 column 31"},
        {R"({"mirror": -9223372036854775808})",
         "invalid type: integer `-9223372036854775808`, expected a boolean at line 1 column 31"},
        {R"({"mirror": -0})", "invalid type: floating point `-0.0`, expected a boolean at line 1 column 13"},
        {R"({"mirror": 1.0})", "invalid type: floating point `1.0`, expected a boolean at line 1 column 14"},
        {R"({"mirror": 1e15})",
         "invalid type: floating point `1000000000000000.0`, expected a boolean at line 1 column 15"},
        {R"({"mirror": 1e16})", "invalid type: floating point `1e+16`, expected a boolean at line 1 column 15"},
        {R"({"mirror": 1e300})", "invalid type: floating point `1e+300`, expected a boolean at line 1 column 16"},
        {R"({"mirror": 0.0001})", "invalid type: floating point `0.0001`, expected a boolean at line 1 column 17"},
        {R"({"mirror": -1.5e-7})", "invalid type: floating point `-1.5e-07`, expected a boolean at line 1 column 18"},
        {R"({"mirror": 18446744073709551616})",
         "invalid type: floating point `1.8446744073709552e+19`, expected a boolean at line 1 column 31"},
        {R"({"mirror": "yes"})", "invalid type: string \"yes\", expected a boolean at line 1 column 16"},
        {R"({"mirror": "q\"b\\s\/\t\r\n\b\f\u0000\u001b\u007f\u0085\u00e9\ud83d\ude00"})",
         "invalid type: string \"q\\\"b\\\\s/\\t\\r\\n\\u{8}\\u{c}\\0\\u{1b}\\u{7f}\\u{85}\xc3\xa9\xf0\x9f\x98\x80\", "
         "expected a boolean at line 1 column 74"},
        {"{\"mirror\": \"\xc0\xaf\xff\"}",
         "invalid type: string \"\\x{c0}\\x{af}\\x{ff}\", expected a boolean at line 1 column 16"},
        {R"({"mirror": [1, [2], {"a": 3}]})", "invalid type: sequence, expected a boolean at line 1 column 29"},
        {"{\"arm_arc\": {\n\"a\": 1\n}}", "invalid type: map, expected f64 at line 3 column 1"},
        {R"({"mirror": [1, 2})", "expected `,` or `]` at line 1 column 17"},
        // What was expected, for each place a value is read.
        {R"("abc")", "invalid type: string \"abc\", expected struct SphericalLinkGeometry at line 1 column 5"},
        {" 12 ", "invalid type: integer `12`, expected struct SphericalLinkGeometry at line 1 column 3"},
        {"-2.5", "invalid type: floating point `-2.5`, expected struct SphericalLinkGeometry at line 1 column 4"},
        {R"(["0.7", 0.5])", "invalid type: string \"0.7\", expected f64 at line 1 column 6"},
        {R"([1, 2, "positive", "true"])", "invalid type: string \"true\", expected a boolean at line 1 column 25"},
        {R"({"branch": {7: null}})", "invalid type: integer `7`, expected variant identifier at line 1 column 13"},
        {R"({"branch": {"negative": {}}})", "invalid type: map, expected unit at line 1 column 26"},
        {R"({"branch": {"negative": true}})", "invalid type: boolean `true`, expected unit at line 1 column 28"},
        // Branch: neither a string nor an object is pointed at where the value starts; a second
        // member just before the first byte after the null.
        {R"({"branch": "neg\u0041tive"})", "unknown variant `negAtive`, " + unknown_variant + "26"},
        {R"({"branch": {"up": null}})", "unknown variant `up`, " + unknown_variant + "16"},
        {R"({"branch": 1})", "expected value at line 1 column 12"},
        {R"({"branch": ["negative"]})", "expected value at line 1 column 12"},
        {R"({"branch": {}})", "expected value at line 1 column 13"},
        {R"({"branch": {"negative": null, "x": 1}})", "expected value at line 1 column 28"},
        {R"({"branch": {"negative": null  , "x": 1}})", "expected value at line 1 column 30"},
        {"{\"branch\": {\"negative\": null\n\n\"x\"", "expected value at line 3 column 0"},
        {R"({"branch": {"negative" null}})", "expected `:` at line 1 column 24"},
        {R"({"branch": {"negative": nul}})", "expected ident at line 1 column 28"},
        {R"({"branch": {"negative": null)", "EOF while parsing an object at line 1 column 28"},
        {R"({"branch": {"negative")", "EOF while parsing an object at line 1 column 22"},
        {R"({"branch": {)", "EOF while parsing a value at line 1 column 12"},
        {R"({"branch": )", "EOF while parsing a value at line 1 column 11"},
        // The text ends early: pointed at its last byte.
        {"\n", "EOF while parsing a value at line 2 column 0"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"arm_arc")", "EOF while parsing an object at line 1 column 10"},
        {R"({"arm_arc":)", "EOF while parsing a value at line 1 column 11"},
        {R"({"arm_arc": 1)", "EOF while parsing an object at line 1 column 13"},
        {R"({"arm_arc": 1,)", "EOF while parsing a value at line 1 column 14"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {R"({"arm)", "EOF while parsing a string at line 1 column 5"},
        {R"({"a\)", "EOF while parsing a string at line 1 column 4"},
        {R"({"a\u00)", "EOF while parsing a string at line 1 column 7"},
        {R"({"a\ud800)", "EOF while parsing a string at line 1 column 9"},
        {R"({"x": [{"y": [)", "EOF while parsing a list at line 1 column 14"},
        {R"({"x": {"y": 1,)", "EOF while parsing a value at line 1 column 14"},
        {R"({"arm_arc": tr)", "EOF while parsing a value at line 1 column 14"},
        {R"({"arm_arc": 1e+)", "EOF while parsing a value at line 1 column 15"},
        // Structure, in the document's own object and array and in skipped values.
        {R"({"arm_arc" 1})", "expected `:` at line 1 column 12"},
        {R"({"x": {"y" 1}})", "expected `:` at line 1 column 12"},
        {R"({"arm_arc": 1 "coupler_arc": 2})", "expected `,` or `}` at line 1 column 15"},
        {R"({"x": {"y": 1 2}})", "expected `,` or `}` at line 1 column 15"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {R"({"x": [1 2]})", "expected `,` or `]` at line 1 column 10"},
        {"{1: 2}", "key must be a string at line 1 column 2"},
        {R"({"x": {null: 1}})", "key must be a string at line 1 column 8"},
        {R"({"arm_arc": 1, "coupler_arc": 2,})", "trailing comma at line 1 column 33"},
        {"[1, 2,]", "trailing comma at line 1 column 7"},
        {R"({"x": [1, ], "arm_arc": 1, "coupler_arc": 2})", "trailing comma at line 1 column 11"},
        {R"({"x": {"a": 1 ,}, "arm_arc": 1, "coupler_arc": 2})", "trailing comma at line 1 column 16"},
        {R"({"arm_arc": 1, "coupler_arc": 2}})", "trailing characters at line 1 column 33"},
        {R"({"x": [1, ,]})", "expected value at line 1 column 11"},
        {R"({"x": NaN})", "expected value at line 1 column 7"},
        {R"({"arm_arc": +1})", "expected value at line 1 column 13"},
        {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
        {R"({"mirror": True})", "expected value at line 1 column 12"},
        {R"({"mirror": tru})", "expected ident at line 1 column 15"},
        {R"({"x": nulL})", "expected ident at line 1 column 10"},
        {R"({"x": fals e})", "expected ident at line 1 column 11"},
        // Numbers: the grammar, and magnitudes beyond a double.
        {R"({"arm_arc": 01})", "invalid number at line 1 column 14"},
        {R"({"arm_arc": -a})", "invalid number at line 1 column 14"},
        {R"({"arm_arc": 1.e3})", "invalid number at line 1 column 15"},
        {R"({"arm_arc": 1e})", "invalid number at line 1 column 15"},
        {R"({"x": [1E-x]})", "invalid number at line 1 column 11"},
        {R"({"arm_arc": 0x10})", "expected `,` or `}` at line 1 column 14"},
        {R"({"arm_arc": 1e400})", "number out of range at line 1 column 17"},
        {R"({"coupler_arc": -1.8e308})", "number out of range at line 1 column 24"},
        {R"({"mirror": 1e99999999999999999999999})", "number out of range at line 1 column 36"},
        {"[1" + std::string(400, '0') + "]", "number out of range at line 1 column 402"},
        {"[0." + std::string(400, '0') + "1e720]", "number out of range at line 1 column 408"},
        {"1e309", "number out of range at line 1 column 5"},
        // Strings: escapes, surrogates, and raw control characters from NUL to U+001F.
        {R"({"a\x": 1})", "invalid escape at line 1 column 5"},
        {R"({"x": "\'"})", "invalid escape at line 1 column 9"},
        {R"({"branch": "\q"})", "invalid escape at line 1 column 14"},
        {R"({"x": "\udc00"})", "invalid unicode code point at line 1 column 13"},
        {R"({"x": "\ud800x"})", "lone leading surrogate in hex escape at line 1 column 14"},
        {R"({"x": "\ud800\n"})", "lone leading surrogate in hex escape at line 1 column 15"},
        {R"({"x": "\ud800\ud800"})", "lone leading surrogate in hex escape at line 1 column 19"},
        {R"({"x": "\u12x4"})", "unexpected end of hex escape at line 1 column 12"},
        {R"({"x": "\ud800\u12"})", "unexpected end of hex escape at line 1 column 18"},
        {std::string("{\"x\": \"\0\"}", 10), control + "1 column 8"},
        {"{\"x\": \"a\x1f" "b\"}", control + "1 column 9"},
        {"{\"x\": \"a\nb\"}", control + "2 column 0"},
        // Columns count bytes ("é" is two); a carriage return is an ordinary byte of its line; a
        // line feed as the offending byte starts the next line.
        {"{\"\xc3\xa9\": 1, \"arm_arc\": x}", "expected value at line 1 column 22"},
        {"{\n\t\"arm_arc\": x}", "expected value at line 2 column 13"},
        {"{\r\n\"arm_arc\": 1,\r\n\"coupler_arc\": x}", "expected value at line 3 column 16"},
        {"{\r\"arm_arc\": x}", "expected value at line 1 column 14"},
        {"{\"arm_arc\": 1,\n\"arm_arc\"\n", "duplicate field `arm_arc` at line 3 column 0"},
        {"[1\n\n", "EOF while parsing a list at line 3 column 0"},
    });
}

// Nesting is followed without recursion: a million levels is only memory.
void deep_nesting() {
    constexpr std::size_t depth = 1'000'000;
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    objects += "0" + std::string(depth, '}');
    check_accepted({
        {"{\"x\": " + arrays + ", \"arm_arc\": 1, \"coupler_arc\": 2}", {1.0, 2.0, pos, false}},
        {"{\"x\": " + objects + ", \"arm_arc\": 1, \"coupler_arc\": 2}", {1.0, 2.0, pos, false}},
    });
    const std::string at = "at line 1 column ";
    check_rejected({
        {"{\"x\": " + std::string(depth, '['), "EOF while parsing a list " + at + std::to_string(6 + depth)},
        {"{\"mirror\": " + arrays + "}",
         "invalid type: sequence, expected a boolean " + at + std::to_string(11 + 2 * depth)},
        {std::string(depth, '['), "EOF while parsing a list " + at + std::to_string(depth)},
    });
}

// For doubles across the whole range, the "floating point" description reads back as the
// same double and always shows that it is not an integer.
void float_description_round_trips() {
    velmora::testing::Sampler sample(20240607);
    std::vector<double> values = {0.0, -0.0, 1.0, 0.5, 1e-4, 9.999999999999999e-5, 1e16,
                                  9999999999999998.0, 1e308, 5e-324, 2.2250738585072014e-308};
    for (int i = 0; i < 2000; ++i) {
        double v = 0.0;
        const std::uint64_t b = sample.bits();
        std::memcpy(&v, &b, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
    }
    int failures = 0;
    for (const double v : values) {
        char written[64];
        const auto end = std::to_chars(written, written + sizeof written, v, std::chars_format::scientific).ptr;
        const std::string document = "{\"mirror\": " + std::string(written, end) + "}";
        const std::string reason = read_geometry_json(document).error.reason;
        const std::string head = "invalid type: floating point `";
        const std::size_t close = reason.find('`', head.size());
        bool ok = reason.starts_with(head) && close != std::string::npos;
        if (ok) {
            const std::string shown = reason.substr(head.size(), close - head.size());
            double back = 1.0;
            const auto parsed = std::from_chars(shown.data(), shown.data() + shown.size(), back);
            ok = parsed.ec == std::errc{} && parsed.ptr == shown.data() + shown.size() && bits(back) == bits(v) &&
                 shown.find_first_of(".e") != std::string::npos;
        }
        if (!ok && ++failures <= 5) VT_CHECK_MSG(false, document + " -> " + reason);
    }
    VT_CHECK_MSG(failures == 0, std::to_string(failures) + " descriptions did not round-trip");
}

// The writer's document reads back to the same record, bit for bit, over the whole
// range of doubles and every branch and mirror; non-finite arcs give no document.
void written_documents_read_back() {
    using velmora::arm::write_geometry_json;
    VT_CHECK(write_geometry_json(velmora::arm::default_left()) ==
             std::string(R"({"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "positive", "mirror": false})"));
    velmora::testing::Sampler sample(20261208);
    std::vector<double> values = {0.0, -0.0, 1e-4, 9.999999999999999e-5, 1e16, 1e308, 5e-324, -1.0};
    for (int i = 0; i < 2000; ++i) {
        double v = 0.0;
        const std::uint64_t b = sample.bits();
        std::memcpy(&v, &b, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
    }
    int failures = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const SphericalLinkGeometry g{values[i], values[values.size() - 1 - i], i % 2 ? neg : pos, i % 3 == 0};
        const auto document = write_geometry_json(g);
        const auto back = document ? read_geometry_json(*document).geometry : std::nullopt;
        const bool ok = back && bits(back->arm_arc) == bits(g.arm_arc) &&
                        bits(back->coupler_arc) == bits(g.coupler_arc) && back->branch == g.branch &&
                        back->mirror == g.mirror;
        if (!ok && ++failures <= 5) VT_CHECK_MSG(false, document.value_or("(none)") + " does not read back");
    }
    VT_CHECK_MSG(failures == 0, std::to_string(failures) + " documents did not read back");
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& [arm_arc, coupler_arc] : {std::pair{nan, 0.5}, {0.7, nan}, {inf, 0.5}, {0.7, -inf}})
        VT_CHECK(!write_geometry_json({arm_arc, coupler_arc, pos, false}));
}

}  // namespace

int main() {
    accepted_documents();
    rejected_documents();
    deep_nesting();
    float_description_round_trips();
    written_documents_read_back();
    return velmora::testing::finish("test_geometry_json");
}
