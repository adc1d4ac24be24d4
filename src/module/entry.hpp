#pragma once
// Entry points generated from one table entry per method: the interpreter
// calls these, and each runs bind -> check receiver -> convert -> body under
// the fault guard. A body is a plain function whose parameter types choose the
// converters, e.g. `Returns<Mat3> fk(const ArmObject&, double theta_a, double theta_b)`.

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binder.hpp"
#include "module/converters.hpp"
#include "module/fault.hpp"
#include "module/method_table.hpp"
#include "module/object_layouts.hpp"

namespace velmora::module {
namespace detail {

template <class Tuple, std::size_t... I>
bool convert_all(const FunctionDescription& description, PyObject* const* slots, Tuple& values,
                 std::index_sequence<I...>) {
    return (convert_argument(description.parameters[I], slots[I], std::get<I>(values)) && ...);
}

// Binds and converts the arguments for `Description` into a tuple of values.
template <const FunctionDescription& Description, class Values>
struct Arguments {
    static constexpr std::size_t count = std::tuple_size_v<Values>;
    static_assert(count == Description.parameters.size(), "body and description disagree");

    template <class Bind>
    static bool load(Bind bind, const auto& receiver_check, Values& values) {
        std::array<PyObject*, count> slots{};
        if (!bind(Slots(slots)) || !receiver_check()) return false;
        return convert_all(Description, slots.data(), values, std::make_index_sequence<count>{});
    }
};

// The receiver of an instance method: an instance of the class or a subtype.
template <class Instance>
const Instance* receiver(PyObject* self) {
    PyTypeObject* type = PythonClass<Instance>::type();
    if (!PyObject_TypeCheck(self, type)) {
        fail_cannot_convert(self, PythonClass<Instance>::name);
        return nullptr;
    }
    return reinterpret_cast<const Instance*>(self);
}

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS instance method.
template <const FunctionDescription& Description, auto Body>
PyObject* instance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    using Traits = BodyTraits<Body>;
    using Instance = std::tuple_element_t<0, typename Traits::signature::all>;
    return guarded<PyObject*>([&]() -> PyObject* {
        typename Traits::parameters values{};
        const Instance* instance = nullptr;
        const bool loaded = detail::Arguments<Description, typename Traits::parameters>::load(
            [&](Slots slots) { return bind_vectorcall(Description, args, nargsf, kwnames, slots); },
            [&] { return (instance = detail::receiver<Instance>(self)) != nullptr; }, values);
        if (!loaded) return nullptr;
        return std::apply([&](const auto&... value) { return Body(*instance, value...).object; }, values);
    });
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC method: no receiver.
template <const FunctionDescription& Description, auto Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) noexcept {
    using Values = typename BodyTraits<Body>::parameters;
    return guarded<PyObject*>([&]() -> PyObject* {
        Values values{};
        const bool loaded = detail::Arguments<Description, Values>::load(
            [&](Slots slots) { return bind_vectorcall(Description, args, nargsf, kwnames, slots); },
            [] { return true; }, values);
        if (!loaded) return nullptr;
        return std::apply([](const auto&... value) { return Body(value...).object; }, values);
    });
}

// The Py_tp_new slot: tuple-and-dict binding; the body receives the type called.
template <const FunctionDescription& Description, auto Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    using Values = typename BodyTraits<Body>::parameters;
    return guarded<PyObject*>([&]() -> PyObject* {
        Values values{};
        const bool loaded = detail::Arguments<Description, Values>::load(
            [&](Slots slots) { return bind_tuple_and_dict(Description, args, kwargs, slots); },
            [] { return true; }, values);
        if (!loaded) return nullptr;
        return std::apply([&](const auto&... value) { return Body(type, value...).object; }, values);
    });
}

// METH_NOARGS instance method (the interpreter rejects any argument itself).
template <auto Body>
PyObject* instance_accessor(PyObject* self, PyObject*) noexcept {
    using Instance = std::tuple_element_t<0, typename BodyTraits<Body>::signature::all>;
    return guarded<PyObject*>([&]() -> PyObject* {
        const Instance* instance = detail::receiver<Instance>(self);
        return instance != nullptr ? Body(*instance).object : nullptr;
    });
}

// METH_NOARGS | METH_STATIC method.
template <auto Body>
PyObject* static_accessor(PyObject*, PyObject*) noexcept {
    return guarded<PyObject*>([] { return Body().object; });
}

// The method-table form of any entry above.
template <class Entry>
PyCFunction as_method(Entry entry) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The method-table row of method I of a class table, documented by `doc`:
// METH_NOARGS when the body takes no Python parameter, METH_STATIC when it
// takes no receiver.
template <auto& Table, std::size_t I>
PyMethodDef method_row(const char* doc) noexcept {
    constexpr std::size_t entry = I + 1;
    using M = std::remove_cvref_t<decltype(table_entry<Table, entry>())>;
    using Traits = typename M::traits;
    constexpr const FunctionDescription& description = function_description<Table, entry>;
    constexpr const char* name = table_entry<Table, entry>().name;
    constexpr int keywords = METH_FASTCALL | METH_KEYWORDS;
    if constexpr (Traits::kind == CallKind::static_method) {
        if constexpr (Traits::arity == 0) {
            return {name, as_method(&static_accessor<M::body>), METH_NOARGS | METH_STATIC, doc};
        } else {
            return {name, as_method(&static_method<description, M::body>), keywords | METH_STATIC, doc};
        }
    } else if constexpr (Traits::arity == 0) {
        return {name, as_method(&instance_accessor<M::body>), METH_NOARGS, doc};
    } else {
        return {name, as_method(&instance_method<description, M::body>), keywords, doc};
    }
}

// The Py_tp_new slot of a class table.
template <auto& Table>
inline constexpr newfunc constructor_slot = &constructor<function_description<Table, 0>, decltype(Table.constructor)::body>;

}  // namespace velmora::module
