// The typed descriptions of both classes and all their methods, and the four
// load-time constructors that link them into the registries.

#include "module/type_descriptions.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "module/descriptions.hpp"
#include "module/docstrings.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

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

namespace {

// The registries. Constant-initialised, so they are usable from load-time
// constructors, which run before any dynamic initialisation.
constinit ClassRegistry classes;
constinit MethodSetRegistry method_sets;

constinit DefaultText arm_arc_default{arm::default_arm_arc};
constinit DefaultText coupler_arc_default{arm::default_coupler_arc};
constinit DefaultText mirror_default{false};
// `near` is absent unless given, which Python spells None.
constinit DefaultText near_default{"None"};

// Parameter names are the binder's, so signatures and binding agree.
namespace names = descriptions;

constexpr ParameterDescription arm_new_parameters[] = {
    {names::arm_new_parameters[0], parameter_type<double>, &arm_arc_default},
    {names::arm_new_parameters[1], parameter_type<double>, &coupler_arc_default},
    {names::arm_new_parameters[2], parameter_type<bool>, &mirror_default},
};
constexpr ParameterDescription json_parameters[] = {
    {names::json_parameters[0], parameter_type<std::string_view>, nullptr},
};
constexpr ParameterDescription joint_parameters[] = {
    {names::joint_parameters[0], parameter_type<double>, nullptr},
    {names::joint_parameters[1], parameter_type<double>, nullptr},
};
constexpr ParameterDescription rotation_parameters[] = {
    {names::rotation_parameters[0], parameter_type<Mat3>, nullptr},
};
constexpr ParameterDescription direction_near_parameters[] = {
    {names::direction_near_parameters[0], parameter_type<Vec3>, nullptr},
    {names::direction_near_parameters[1], parameter_type<std::optional<JointPair>>, &near_default},
};
constexpr ParameterDescription direction_parameters[] = {
    {names::direction_parameters[0], parameter_type<Vec3>, nullptr},
};
constexpr ParameterDescription neck_joint_parameters[] = {
    {names::neck_joint_parameters[0], parameter_type<Vec3>, nullptr},
};
constexpr ParameterDescription neck_rotation_parameters[] = {
    {names::neck_rotation_parameters[0], parameter_type<Mat3>, nullptr},
};

static_assert(std::size(arm_new_parameters) == names::arm_new.parameters.size());
static_assert(std::size(direction_near_parameters) == names::ik_from_direction.parameters.size());
static_assert(std::size(joint_parameters) == names::arm_fk.parameters.size());

using enum MethodKind;

constexpr MethodDescription arm_methods[] = {
    {"__new__", constructor, arm_new_parameters, result_type<ArmObject>, docs::arm_new},
    {"default_left", static_method, {}, result_type<ArmObject>, docs::default_left},
    {"default_right", static_method, {}, result_type<ArmObject>, docs::default_right},
    {"from_json", static_method, json_parameters, result_type<ArmObject>, docs::from_json},
    {"fk", instance, joint_parameters, result_type<Mat3>, docs::arm_fk},
    {"ik", instance, rotation_parameters, result_type<JointPair>, docs::arm_ik},
    {"ik_from_direction", instance, direction_near_parameters, result_type<JointPair>,
     docs::ik_from_direction},
    {"direction", instance, joint_parameters, result_type<Vec3>, docs::direction},
    {"is_reachable_joints", instance, joint_parameters, result_type<bool>, docs::is_reachable_joints},
    {"is_reachable_orientation", instance, rotation_parameters, result_type<bool>,
     docs::is_reachable_orientation},
    {"is_reachable_direction", instance, direction_parameters, result_type<bool>,
     docs::is_reachable_direction},
    {"arm_arc", instance, {}, result_type<double>, docs::none},
    {"coupler_arc", instance, {}, result_type<double>, docs::none},
    {"mirror", instance, {}, result_type<bool>, docs::none},
};

constexpr MethodDescription neck_methods[] = {
    {"__new__", constructor, {}, result_type<NeckObject>, docs::none},
    {"fk", instance, neck_joint_parameters, result_type<Mat3>, docs::neck_fk},
    {"ik", instance, neck_rotation_parameters, result_type<neck::NeckAngles>, docs::neck_ik},
};

constexpr ClassKey arm_key{PythonClass<ArmObject>::name};
constexpr ClassKey neck_key{PythonClass<NeckObject>::name};

constexpr ClassDescription arm_class{&arm_key, PythonClass<ArmObject>::name, module_name, docs::none, {}, {}};
constexpr ClassDescription neck_class{&neck_key, PythonClass<NeckObject>::name, module_name, docs::none,
                                      {}, {}};
constexpr MethodSetDescription arm_method_set{&arm_key, {}, arm_methods};
constexpr MethodSetDescription neck_method_set{&neck_key, {}, neck_methods};

constinit ClassRegistry::Node arm_class_node{arm_class};
constinit MethodSetRegistry::Node arm_method_set_node{arm_method_set};
constinit ClassRegistry::Node neck_class_node{neck_class};
constinit MethodSetRegistry::Node neck_method_set_node{neck_method_set};

// Run by the loader in rising priority (101 is the first one not reserved to
// the implementation), before the library's ordinary static initialisers.
[[gnu::constructor(101)]] void register_arm_class() noexcept { classes.push(arm_class_node); }
[[gnu::constructor(102)]] void register_arm_methods() noexcept { method_sets.push(arm_method_set_node); }
[[gnu::constructor(103)]] void register_neck_class() noexcept { classes.push(neck_class_node); }
[[gnu::constructor(104)]] void register_neck_methods() noexcept { method_sets.push(neck_method_set_node); }

}  // namespace

const ClassRegistry& class_registry() noexcept { return classes; }
const MethodSetRegistry& method_set_registry() noexcept { return method_sets; }

}  // namespace velmora::module::types
