// The type descriptions as the stub generator reads them from the class
// tables: every method's rendered signature and imports, in table order, and
// the defaults' texts (floats held to the embedded interpreter's repr).

#include <bit>
#include <cmath>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "module/arm_class.hpp"
#include "module/neck_class.hpp"
#include "module/type_descriptions.hpp"
#include "support/check.hpp"

namespace {

using namespace velmora::module::types;
using velmora::module::OwnedRef;

// "name kind (parameters) -> result [imports]", the method as a stub would spell it, on one line
// so that a mismatch shows everything together. A default's text is computed once and kept.
std::string line(std::string_view name, MethodKind kind, std::string_view parameters, std::string_view result,
                 std::string_view imports) {
    return std::string(name) + " " + std::to_string(static_cast<int>(kind)) + " (" + std::string(parameters) +
           ") -> " + std::string(result) + " [" + std::string(imports) + "]";
}

std::string signature(const MethodDescription& method) {
    std::string parameters;
    std::set<std::string> modules;
    for (const ParameterDescription& parameter : method.parameters) {
        const TypeExpression type = parameter.type();
        modules.insert(type.modules.begin(), type.modules.end());
        parameters += (parameters.empty() ? "" : "; ") + std::string(parameter.name) + ": " + type.text;
        if (parameter.default_text == nullptr) continue;
        const std::string_view text = parameter.default_text->text();
        VT_CHECK_MSG(parameter.default_text->text().data() == text.data(), "kept, not recomputed");
        parameters += " = " + std::string(text);
    }
    const TypeExpression result = method.result();
    modules.insert(result.modules.begin(), result.modules.end());
    std::string imports;
    for (const std::string& module : modules) imports += (imports.empty() ? "" : " ") + module;
    return line(method.name, method.kind, parameters, result.text, imports);
}

// docstring_start: "" for an empty docstring.
struct MethodCase { const char *name; MethodKind kind; const char *parameters, *result, *imports, *docstring_start; };

using enum MethodKind;
constexpr const char *arm = "VelmoraArmKinematics", *own = "velmora_torso_kinematics";
constexpr const char *typed = "builtins typing", *both = "builtins velmora_torso_kinematics";
constexpr const char* mat3_out = "builtins.list[builtins.list[builtins.float]]";
constexpr const char* pair = "tuple[builtins.float, builtins.float]";
constexpr const char* joints = "theta_a: builtins.float; theta_b: builtins.float";
constexpr const char* r_target = "r_target: typing.Sequence[typing.Sequence[builtins.float]]";

const MethodCase neck_cases[] = {
    {"__new__", constructor, "", "VelmoraNeckKinematics", own, ""},
    {"fk", instance, "joints: typing.Sequence[builtins.float]", mat3_out, typed, "Forward kinematics. `joints"},
    {"ik", instance, "r: typing.Sequence[typing.Sequence[builtins.float]]",
     "tuple[builtins.float, builtins.float, builtins.float]", typed, "Inverse kinematics. `r`"},
};

const MethodCase arm_cases[] = {
    {"__new__", constructor,
     "arm_arc: builtins.float = 0.7; coupler_arc: builtins.float = 0.5; mirror: builtins.bool = False", arm, both,
     "Create an arm with explicit geometry parameters.\n\n- `arm_arc`: arc length"},
    {"default_left", static_method, "", arm, own, "Build the default left-arm"},
    {"default_right", static_method, "", arm, own, "Build the default right-arm"},
    {"from_json", static_method, "json: builtins.str", arm, both, "Build the arm from a JSON string"},
    {"fk", instance, joints, mat3_out, "builtins", "Forward kinematics: "},
    {"ik", instance, r_target, pair, typed, "Inverse kinematics: 3"},
    {"ik_from_direction", instance,
     "v3: typing.Sequence[builtins.float]; near: typing.Optional[tuple[builtins.float, builtins.float]] = None",
     pair, typed, "Inverse kinematics from just"},
    {"direction", instance, joints, "builtins.list[builtins.float]", "builtins", "Forward kinematics that returns"},
    {"is_reachable_joints", instance, joints, "builtins.bool", "builtins", "Whether `("},
    {"is_reachable_orientation", instance, r_target, "builtins.bool", typed, "Whether `r_target`"},
    {"is_reachable_direction", instance, "v3: typing.Sequence[builtins.float]", "builtins.bool", typed,
     "Whether the pointing direction"},
    {"arm_arc", instance, "", "builtins.float", "builtins", ""},
    {"coupler_arc", instance, "", "builtins.float", "builtins", ""},
    {"mirror", instance, "", "builtins.bool", "builtins", ""},
};

// Each class's methods as its table lists them, the constructor first.
void tables_describe_each_method() {
    namespace tables = velmora::module;
    struct Expected { const char* name; std::span<const MethodDescription> methods; std::span<const MethodCase> want; };
    const Expected expected[] = {
        {TableDescriptions<tables::neck_class::table>::name, TableDescriptions<tables::neck_class::table>::methods,
         neck_cases},
        {TableDescriptions<tables::arm_class::table>::name, TableDescriptions<tables::arm_class::table>::methods,
         arm_cases},
    };
    VT_CHECK(std::string_view(expected[0].name) == "VelmoraNeckKinematics" &&
             std::string_view(expected[1].name) == arm);
    for (const Expected& e : expected) {
        const std::span<const MethodDescription> methods = e.methods;
        if (!VT_CHECK_MSG(methods.size() == e.want.size(), std::string(e.name) + ": method count")) continue;
        for (std::size_t i = 0; i < methods.size(); ++i) {
            const MethodCase& w = e.want[i];
            const std::string got = signature(methods[i]);
            const std::string want = line(w.name, w.kind, w.parameters, w.result, w.imports);
            VT_CHECK_MSG(got == want, std::string(e.name) + ": " + got + "\n    expected: " + want);
            const std::string_view docstring = methods[i].docstring, start = w.docstring_start;
            VT_CHECK_MSG(start.empty() ? docstring.empty() : docstring.starts_with(start), want + ": docstring");
        }
    }
}

// Defaults as a stub spells them: fixed texts kept as given, truth values, and floats in the
// interpreter's repr (the range edges of its positional form included); no literal, "...".
void defaults_are_spelt_as_the_interpreter_does() {
    struct Case { const char* what; DefaultText text; const char* expected; };
    Case cases[] = {
        {"fixed text", DefaultText("None"), "None"},
        {"true", DefaultText(true), "True"},
        {"false", DefaultText(false), "False"},
        {"0.7", DefaultText(0.7), "0.7"},
        {"-0.0", DefaultText(-0.0), "-0.0"},
        {"integral", DefaultText(2.0), "2.0"},
        {"largest positional", DefaultText(1e15), "1000000000000000.0"},
        {"first exponential", DefaultText(1e16), "1e+16"},
        {"smallest positional", DefaultText(1e-4), "0.0001"},
        {"below it", DefaultText(-1.5e-5), "-1.5e-05"},
        {"digits past the point", DefaultText(123.456), "123.456"},
        {"shortest round trip", DefaultText(0.1 + 0.2), "0.30000000000000004"},
        {"1e300", DefaultText(1e300), "1e+300"},
        {"subnormal", DefaultText(5e-324), "5e-324"},
        {"largest", DefaultText(1.7976931348623157e308), "1.7976931348623157e+308"},
        {"nan", DefaultText(velmora::testing::nan), "..."},
        {"infinity", DefaultText(velmora::testing::inf), "..."},
        {"-infinity", DefaultText(-velmora::testing::inf), "..."},
    };
    for (Case& c : cases) {
        const std::string_view text = c.text.text();
        VT_CHECK_MSG(text == c.expected, std::string(c.what) + " -> " + std::string(text));
        VT_CHECK_MSG(c.text.text().data() == text.data(), std::string(c.what) + ": kept, not recomputed");
    }
}

// float_literal against the embedded interpreter's own repr, over values at every scale and
// random bit patterns (the finite ones): the generator writes what Python would.
void float_literals_match_the_interpreter() {
    Py_InitializeEx(0);
    if (!VT_CHECK(Py_IsInitialized())) return;
    std::vector<double> values;
    for (int exponent = -330; exponent <= 310; ++exponent) {
        for (const double mantissa : {1.0, 1.5, 2.2250738585072014, 9.999999999999998}) {
            const double value = mantissa * std::pow(10.0, exponent);
            if (std::isfinite(value)) values.insert(values.end(), {value, -value});
        }
    }
    std::mt19937_64 bits(20261207);
    while (values.size() < 20000) {
        const double value = std::bit_cast<double>(bits());
        if (std::isfinite(value)) values.push_back(value);
    }
    std::size_t mismatches = 0;
    for (const double value : values) {
        const OwnedRef number(PyFloat_FromDouble(value));
        const OwnedRef repr(number ? PyObject_Repr(number.get()) : nullptr);
        const char* expected = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (!VT_CHECK_MSG(expected != nullptr, "repr failed")) break;
        const std::string got = float_literal(value);
        if (got != expected && ++mismatches <= 5) VT_CHECK_MSG(false, got + " != repr " + expected);
    }
    VT_CHECK_MSG(mismatches == 0, std::to_string(mismatches) + " of " + std::to_string(values.size()));
}

void concurrent_first_use_computes_one_text() {
    DefaultText shared(1e300);
    std::vector<std::string_view> seen(4);
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = shared.text(); });
    threads.clear();  // joins them
    for (const std::string_view text : seen) VT_CHECK(text == "1e+300" && text.data() == seen[0].data());
}

}  // namespace

int main() {
    tables_describe_each_method();
    defaults_are_spelt_as_the_interpreter_does();
    float_literals_match_the_interpreter();
    concurrent_first_use_computes_one_text();
    return velmora::testing::finish("type descriptions");
}
