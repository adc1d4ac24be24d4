#pragma once
// The typed description of the Python interface (classes, methods, parameter
// and result types, defaults, docstrings), made from the two class tables at
// compile time for the stub generator. The module reads only the defaults'
// texts (for its stored signatures); its live behaviour comes from the tables.

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "module/method_table.hpp"
#include "module/object_layouts.hpp"
#include "module/python.hpp"
#include "velmora_torso_kinematics/neck_kinematics.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::module::types {

// An annotation and the modules that a stub must import for it to resolve.
struct TypeExpression {
    std::string text;
    std::set<std::string> modules;
};

using TypeFunction = TypeExpression (*)();

// How a Python type is written, per internal type, as a parameter and as a
// result. Parameters accept any sequence; results are always built as lists.
template <class T>
struct PythonType;

namespace detail {

[[nodiscard]] TypeExpression builtin(const char* name);
[[nodiscard]] TypeExpression wrap(const char* open, TypeExpression inner, const char* module);
[[nodiscard]] TypeExpression tuple_of(std::span<const TypeExpression> elements);

}  // namespace detail

template <>
struct PythonType<double> {
    static TypeExpression parameter() { return detail::builtin("float"); }
    static TypeExpression result() { return detail::builtin("float"); }
};

template <>
struct PythonType<bool> {
    static TypeExpression parameter() { return detail::builtin("bool"); }
    static TypeExpression result() { return detail::builtin("bool"); }
};

template <>
struct PythonType<std::string_view> {
    static TypeExpression parameter() { return detail::builtin("str"); }
    static TypeExpression result() { return detail::builtin("str"); }
};

template <class T>
struct PythonType<std::array<T, 3>> {
    static TypeExpression parameter() {
        return detail::wrap("typing.Sequence[", PythonType<T>::parameter(), "typing");
    }
    static TypeExpression result() {
        return detail::wrap("builtins.list[", PythonType<T>::result(), "builtins");
    }
};

template <class... T>
struct PythonType<std::tuple<T...>> {
    static_assert(sizeof...(T) == 2 || sizeof...(T) == 3, "only pairs and triples cross the surface");
    static TypeExpression parameter() {
        const std::array<TypeExpression, sizeof...(T)> elements{PythonType<T>::parameter()...};
        return detail::tuple_of(elements);
    }
    static TypeExpression result() {
        const std::array<TypeExpression, sizeof...(T)> elements{PythonType<T>::result()...};
        return detail::tuple_of(elements);
    }
};

// Only parameters are optional (`near`); no result is.
template <class T>
struct PythonType<std::optional<T>> {
    static TypeExpression parameter() {
        return detail::wrap("typing.Optional[", PythonType<T>::parameter(), "typing");
    }
};

// The core's named values, by the shape they take in Python.
template <>
struct PythonType<Vec3> : PythonType<std::array<double, 3>> {};
template <>
struct PythonType<JointPair> : PythonType<std::tuple<double, double>> {};
template <>
struct PythonType<neck::NeckAngles> : PythonType<std::tuple<double, double, double>> {};

// The module whose interface is described here.
using module::module_name;

// The module's own classes, named bare: a stub of the module defines them.
template <class Instance>
struct ClassType {
    static TypeExpression parameter() { return result(); }
    static TypeExpression result() { return {PythonClass<Instance>::name, {module_name}}; }
};
template <>
struct PythonType<ArmObject> : ClassType<ArmObject> {};
template <>
struct PythonType<NeckObject> : ClassType<NeckObject> {};

template <class T>
inline constexpr TypeFunction parameter_type = &PythonType<T>::parameter;
template <class T>
inline constexpr TypeFunction result_type = &PythonType<T>::result;

// A parameter's default as it appears in a signature, computed on first use
// and kept: a fixed text, or a number or truth value spelt as the interpreter's
// repr spells it. Spelt here rather than asked of an interpreter, so that the
// stub generator needs no libpython (build images for portable wheels have
// none). A value with no literal form (an infinity, a NaN) becomes "...".
class DefaultText {
public:
    constexpr explicit DefaultText(const char* literal) noexcept : literal_(literal) {}
    constexpr explicit DefaultText(double value) noexcept : kind_(Kind::number), number_(value) {}
    constexpr explicit DefaultText(bool value) noexcept : kind_(Kind::truth), truth_(value) {}
    // A table's default; a required parameter's text is never read.
    constexpr explicit DefaultText(Default given) noexcept
        : kind_(given.kind == Default::Kind::number  ? Kind::number
                : given.kind == Default::Kind::truth ? Kind::truth
                                                     : Kind::literal),
          literal_(given.kind == Default::Kind::none ? "None" : ""),
          number_(given.number),
          truth_(given.truth) {}

    // Not const: the first call fills the cell.
    [[nodiscard]] std::string_view text();

private:
    enum class Kind { literal, number, truth };
    Kind kind_ = Kind::literal;
    const char* literal_ = nullptr;
    double number_ = 0.0;
    bool truth_ = false;
    std::once_flag once_;
    std::string text_;
};

// repr(value) of a Python float: the shortest digits that read back as
// `value`, positional from 1e-4 up to below 1e16 (with ".0" when integral) and
// with a signed two-digit-minimum exponent outside that range. Non-finite
// values have no literal: elided_default.
[[nodiscard]] std::string float_literal(double value);

// Written when a default has no faithful literal form.
inline constexpr std::string_view elided_default = "...";

enum class MethodKind { instance, static_method, constructor };

struct ParameterDescription {
    const char* name;
    TypeFunction type;
    DefaultText* default_text;  // nullptr: no default
};

struct MethodDescription {
    const char* name;
    MethodKind kind;
    std::span<const ParameterDescription> parameters;
    TypeFunction result;
    const char* docstring;  // bare, without the stored signature line
};

// The descriptions of a class table, by entry (0 the constructor, I + 1 method I).

// A parameter's annotation: the body's type, except that a std::optional with a
// value default is annotated as its value (absence there means the default,
// not None).
template <class T, Default::Kind kind>
struct ParameterAnnotation : PythonType<T> {};
template <class T>
struct ParameterAnnotation<std::optional<T>, Default::Kind::number> : PythonType<T> {};
template <class T>
struct ParameterAnnotation<std::optional<T>, Default::Kind::truth> : PythonType<T> {};

template <auto& Table, std::size_t Entry>
constexpr const auto& table_entry() noexcept {
    return module::table_entry<Table, Entry>();
}

// The defaults' texts, each spelt on first use and kept: the stub and the
// stored text signatures read the same ones.
template <auto& Table, std::size_t Entry>
inline constinit auto default_texts = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<DefaultText, sizeof...(I)>{DefaultText(table_entry<Table, Entry>().parameters[I].default_value)...};
}(std::make_index_sequence<table_entry<Table, Entry>().parameters.size()>{});

template <auto& Table, std::size_t Entry>
inline constexpr auto parameter_descriptions = []<std::size_t... I>(std::index_sequence<I...>) {
    constexpr const auto& m = table_entry<Table, Entry>();
    using Traits = typename std::remove_cvref_t<decltype(m)>::traits;
    return std::array<ParameterDescription, sizeof...(I)>{ParameterDescription{
        m.parameters[I].name,
        &ParameterAnnotation<typename Traits::template parameter<I>, m.parameters[I].default_value.kind>::parameter,
        m.parameters[I].default_value.kind == Default::Kind::required ? nullptr
                                                                       : &default_texts<Table, Entry>[I]}...};
}(std::make_index_sequence<table_entry<Table, Entry>().parameters.size()>{});

template <auto& Table, std::size_t Entry>
constexpr MethodDescription method_description() noexcept {
    constexpr const auto& m = table_entry<Table, Entry>();
    using Traits = typename std::remove_cvref_t<decltype(m)>::traits;
    constexpr MethodKind kind = Traits::kind == CallKind::constructor ? MethodKind::constructor
                                : Traits::kind == CallKind::instance  ? MethodKind::instance
                                                                      : MethodKind::static_method;
    return {m.name, kind, parameter_descriptions<Table, Entry>, result_type<typename Traits::result>, m.docstring};
}

// A class's description: its name and its methods, the constructor first,
// then the others in method-table order.
template <auto& Table>
struct TableDescriptions {
    static constexpr const char* name = Table.name;
    static constexpr auto methods = []<std::size_t... E>(std::index_sequence<E...>) {
        return std::array<MethodDescription, sizeof...(E)>{method_description<Table, E>()...};
    }(std::make_index_sequence<method_count<Table> + 1>{});
};

}  // namespace velmora::module::types
