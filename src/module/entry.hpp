#pragma once
// Entry points generated from one description per method: the interpreter
// calls these, and each runs bind -> check receiver -> convert -> body under
// the fault guard. A body is a plain function whose parameter types choose the
// converters, e.g. `PyObject* fk(const ArmObject&, double theta_a, double theta_b)`.

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/converters.hpp"
#include "module/fault.hpp"

namespace velmora::module {
namespace detail {

template <class F>
struct body_traits;

template <class First, class... Rest>
struct body_traits<PyObject* (*)(First, Rest...)> {
    using first = std::remove_cvref_t<First>;
    using rest = std::tuple<std::remove_cvref_t<Rest>...>;
    using all = std::tuple<std::remove_cvref_t<First>, std::remove_cvref_t<Rest>...>;
};

template <>
struct body_traits<PyObject* (*)()> {
    using all = std::tuple<>;
};

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
    using Traits = detail::body_traits<decltype(Body)>;
    using Instance = typename Traits::first;
    return guarded<PyObject*>([&]() -> PyObject* {
        typename Traits::rest values{};
        const Instance* instance = nullptr;
        const bool loaded = detail::Arguments<Description, typename Traits::rest>::load(
            [&](Slots slots) { return bind_vectorcall(Description, args, nargsf, kwnames, slots); },
            [&] { return (instance = detail::receiver<Instance>(self)) != nullptr; }, values);
        if (!loaded) return nullptr;
        return std::apply([&](const auto&... value) { return Body(*instance, value...); }, values);
    });
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC method: no receiver.
template <const FunctionDescription& Description, auto Body>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) noexcept {
    using Values = typename detail::body_traits<decltype(Body)>::all;
    return guarded<PyObject*>([&]() -> PyObject* {
        Values values{};
        const bool loaded = detail::Arguments<Description, Values>::load(
            [&](Slots slots) { return bind_vectorcall(Description, args, nargsf, kwnames, slots); },
            [] { return true; }, values);
        if (!loaded) return nullptr;
        return std::apply(Body, values);
    });
}

// The Py_tp_new slot: tuple-and-dict binding; the body receives the type called.
template <const FunctionDescription& Description, auto Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    using Values = typename detail::body_traits<decltype(Body)>::rest;
    return guarded<PyObject*>([&]() -> PyObject* {
        Values values{};
        const bool loaded = detail::Arguments<Description, Values>::load(
            [&](Slots slots) { return bind_tuple_and_dict(Description, args, kwargs, slots); },
            [] { return true; }, values);
        if (!loaded) return nullptr;
        return std::apply([&](const auto&... value) { return Body(type, value...); }, values);
    });
}

// METH_NOARGS instance method (the interpreter rejects any argument itself).
template <auto Body>
PyObject* instance_accessor(PyObject* self, PyObject*) noexcept {
    using Instance = typename detail::body_traits<decltype(Body)>::first;
    return guarded<PyObject*>([&]() -> PyObject* {
        const Instance* instance = detail::receiver<Instance>(self);
        return instance != nullptr ? Body(*instance) : nullptr;
    });
}

// METH_NOARGS | METH_STATIC method.
template <auto Body>
PyObject* static_accessor(PyObject*, PyObject*) noexcept {
    return guarded<PyObject*>([] { return Body(); });
}

// The method-table form of any entry above.
template <class Entry>
PyCFunction as_method(Entry entry) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace velmora::module
