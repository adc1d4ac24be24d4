// The typed descriptions' helpers: annotations' texts and defaults' spellings.

#include "module/type_descriptions.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "common/float_repr.hpp"

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

}  // namespace velmora::module::types
