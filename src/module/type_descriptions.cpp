// The typed descriptions' helpers, and the four load-time constructors that
// link both classes' descriptions, made from their tables, into the registries.

#include "module/type_descriptions.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "common/float_repr.hpp"
#include "module/arm_class.hpp"
#include "module/neck_class.hpp"

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
    return python_float_repr(value);
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

using Arm = TableDescriptions<arm_class::table>;
using Neck = TableDescriptions<neck_class::table>;

// Run by the loader in rising priority (101 is the first one not reserved to
// the implementation), before the library's ordinary static initialisers.
[[gnu::constructor(101)]] void register_arm_class() noexcept { classes.push(Arm::class_node); }
[[gnu::constructor(102)]] void register_arm_methods() noexcept { method_sets.push(Arm::method_set_node); }
[[gnu::constructor(103)]] void register_neck_class() noexcept { classes.push(Neck::class_node); }
[[gnu::constructor(104)]] void register_neck_methods() noexcept { method_sets.push(Neck::method_set_node); }

}  // namespace

const ClassRegistry& class_registry() noexcept { return classes; }
const MethodSetRegistry& method_set_registry() noexcept { return method_sets; }

}  // namespace velmora::module::types
