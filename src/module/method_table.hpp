#pragma once
// One table per class describes its Python surface: each method's name, body,
// parameter names with their defaults, and docstring. The method table, the
// stored text signatures, the binder's descriptions and the stub's types all
// come from it; a parameter's type and the result's type are those of the body,
// e.g. `Returns<Mat3> fk(const ArmObject&, double theta_a, double theta_b)`.
//
// What a body's first parameter is decides how Python calls it: `const
// Instance&` an instance method, `PyTypeObject*` the constructor (Py_tp_new),
// anything else a static method. A method with no parameters takes METH_NOARGS.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binder.hpp"
#include "module/object_layouts.hpp"
#include "module/python.hpp"

namespace velmora::module {

// A body's result: a new reference to a T as Python spells it, or nullptr with
// an exception set. T names the result's type for the stub only.
template <class T>
struct Returns {
    PyObject* object;
    // Implicit: a body returns what to_python() or raise() gives.
    Returns(PyObject* made) noexcept : object(made) {}  // NOLINT(google-explicit-constructor)
};

// A parameter's default: none (required), None, or a number or truth value.
struct Default {
    enum class Kind { required, none, number, truth };
    Kind kind = Kind::required;
    double number = 0.0;
    bool truth = false;
};

inline constexpr Default defaults_to_none{Default::Kind::none};
[[nodiscard]] constexpr Default defaults_to(double value) noexcept { return {Default::Kind::number, value}; }
[[nodiscard]] constexpr Default defaults_to(bool value) noexcept { return {Default::Kind::truth, 0.0, value}; }

struct Parameter {
    constexpr Parameter() noexcept = default;
    // Implicit, so that a table lists a required parameter by its name alone.
    constexpr Parameter(const char* parameter_name) noexcept : name(parameter_name) {}  // NOLINT
    constexpr Parameter(const char* parameter_name, Default parameter_default) noexcept
        : name(parameter_name), default_value(parameter_default) {}

    const char* name = nullptr;
    Default default_value{};
};

enum class CallKind { instance, static_method, constructor };

namespace table_detail {

template <class F>
struct body_signature;

template <class Result, class... Parameters>
struct body_signature<Returns<Result> (*)(Parameters...)> {
    using result = Result;
    using all = std::tuple<std::remove_cvref_t<Parameters>...>;
};

template <class T>
concept instance_layout = requires { PythonClass<T>::name; };

template <class Tuple>
struct drop_first;
template <>
struct drop_first<std::tuple<>> {
    using type = std::tuple<>;
};
template <class First, class... Rest>
struct drop_first<std::tuple<First, Rest...>> {
    using type = std::tuple<Rest...>;
};

template <class Tuple>
constexpr CallKind kind_of() noexcept {
    if constexpr (std::tuple_size_v<Tuple> == 0) {
        return CallKind::static_method;
    } else if constexpr (std::is_same_v<std::tuple_element_t<0, Tuple>, PyTypeObject*>) {
        return CallKind::constructor;
    } else if constexpr (instance_layout<std::tuple_element_t<0, Tuple>>) {
        return CallKind::instance;
    } else {
        return CallKind::static_method;
    }
}

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

}  // namespace table_detail

// What the table needs to know of a body: how it is called, the types of its
// Python parameters (those past the receiver or the type) and of its result.
template <auto Body>
struct BodyTraits {
    using signature = table_detail::body_signature<decltype(Body)>;
    using result = typename signature::result;
    static constexpr CallKind kind = table_detail::kind_of<typename signature::all>();
    using parameters = std::conditional_t<kind == CallKind::static_method, typename signature::all,
                                          typename table_detail::drop_first<typename signature::all>::type>;
    static constexpr std::size_t arity = std::tuple_size_v<parameters>;
    template <std::size_t I>
    using parameter = std::tuple_element_t<I, parameters>;
};

// One method: its body, its Python name, its parameters (one per parameter of
// the body past the receiver) and its docstring.
template <auto Body>
struct Method {
    using traits = BodyTraits<Body>;
    static constexpr auto body = Body;

    const char* name;
    std::array<Parameter, traits::arity> parameters;
    const char* docstring;
};

// A method, with the parameter count held to the body's.
template <auto Body, std::size_t N>
    requires(N == BodyTraits<Body>::arity)
consteval Method<Body> method(const char* name, const Parameter (&parameters)[N], const char* docstring) {
    Method<Body> made{name, {}, docstring};
    for (std::size_t i = 0; i < N; ++i) made.parameters[i] = parameters[i];
    return made;
}

template <auto Body>
    requires(BodyTraits<Body>::arity == 0)
consteval Method<Body> method(const char* name, const char* docstring) {
    return {name, {}, docstring};
}

// A class: its instance layout (which names it), its constructor (named
// __new__; its docstring is the stub's, while the class's own docstring stays
// empty) and its methods in method-table order.
template <class Instance, class Constructor, class... Methods>
struct ClassTable {
    using instance = Instance;
    static constexpr const char* name = PythonClass<Instance>::name;

    Constructor constructor;
    std::tuple<Methods...> methods;
};

template <class Instance, class Constructor, class... Methods>
consteval ClassTable<Instance, Constructor, Methods...> class_table(Constructor constructor, Methods... methods) {
    return {constructor, {methods...}};
}

// The compile-time checks of one parameter list: every name given and unique;
// the parameters without a default first; a default exactly where the body
// takes a std::optional, which stays empty when the argument is absent.
template <class M>
constexpr bool parameters_are_well_formed(const M& m) {
    using traits = typename M::traits;
    constexpr std::size_t n = traits::arity;
    bool defaulted_seen = false;
    bool well_formed = true;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        constexpr bool optional[] = {table_detail::is_optional<typename traits::template parameter<I>>..., false};
        for (std::size_t i = 0; i < n; ++i) {
            const Parameter& p = m.parameters[i];
            const bool defaulted = p.default_value.kind != Default::Kind::required;
            if (p.name == nullptr || *p.name == '\0' || defaulted != optional[i]) well_formed = false;
            if (defaulted_seen && !defaulted) well_formed = false;
            defaulted_seen = defaulted_seen || defaulted;
            for (std::size_t j = 0; j < i; ++j) {
                if (p.name != nullptr && m.parameters[j].name != nullptr &&
                    std::string_view(p.name) == m.parameters[j].name) {
                    well_formed = false;
                }
            }
        }
    }(std::make_index_sequence<n>{});
    return well_formed && m.name != nullptr && m.docstring != nullptr;
}

// Whether a method of the class `Instance` is called as `M` says: an instance
// method on that class's instances, a static method, or the constructor.
template <class Instance, class M>
constexpr bool called_as(CallKind kind) {
    using traits = typename M::traits;
    if (traits::kind != kind) return false;
    if constexpr (traits::kind == CallKind::instance) {
        return std::is_same_v<std::tuple_element_t<0, typename traits::signature::all>, Instance>;
    }
    return true;
}

// A whole table: the constructor is one (named __new__), every other method is an instance
// method of this class or a static method, the methods' names are distinct,
// and every parameter list is well formed.
template <class Table>
constexpr bool table_is_well_formed(const Table& table) {
    using Instance = typename Table::instance;
    bool well_formed = called_as<Instance, decltype(table.constructor)>(CallKind::constructor) &&
                       parameters_are_well_formed(table.constructor) &&
                       std::string_view(table.constructor.name) == "__new__";
    std::apply(
        [&](const auto&... m) {
            ((well_formed = well_formed && parameters_are_well_formed(m) &&
                            (called_as<Instance, std::remove_cvref_t<decltype(m)>>(CallKind::instance) ||
                             called_as<Instance, std::remove_cvref_t<decltype(m)>>(CallKind::static_method))),
             ...);
            const char* names[] = {m.name..., nullptr};
            for (std::size_t i = 0; i < sizeof...(m); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (std::string_view(names[i]) == names[j]) well_formed = false;
                }
            }
        },
        table.methods);
    return well_formed;
}

// Per table entry: the parameter names and the binder's description, kept
// for the program's life. Entry 0 is the constructor, entry I + 1 method I.
template <auto& Table, std::size_t Entry>
constexpr const auto& table_entry() noexcept {
    if constexpr (Entry == 0) {
        return Table.constructor;
    } else {
        return std::get<Entry - 1>(Table.methods);
    }
}

template <auto& Table, std::size_t Entry>
inline constexpr auto parameter_names = [] {
    constexpr const auto& m = table_entry<Table, Entry>();
    std::array<const char*, m.parameters.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = m.parameters[i].name;
    return names;
}();

template <auto& Table, std::size_t Entry>
inline constexpr FunctionDescription function_description{
    Table.name, table_entry<Table, Entry>().name, parameter_names<Table, Entry>, [] {
        std::size_t required = 0;
        for (const Parameter& p : table_entry<Table, Entry>().parameters) {
            if (p.default_value.kind == Default::Kind::required) ++required;
        }
        return required;
    }()};

template <auto& Table>
inline constexpr std::size_t method_count = std::tuple_size_v<decltype(Table.methods)>;

}  // namespace velmora::module
