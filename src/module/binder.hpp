#pragma once
// Binding a call's positional and keyword arguments to a method's parameters,
// described once per method as data. Every parameter of this module is
// positional-or-keyword; there is no *args and no **kwargs.

#include <cstddef>
#include <span>

#include "module/python.hpp"

namespace velmora::module {

struct FunctionDescription {
    const char* class_name;                 // "VelmoraArmKinematics"
    const char* method_name;                // "fk", "__new__"
    std::span<const char* const> parameters;
    std::size_t required;                   // the first `required` parameters have no default
};

// Bound arguments: borrowed references, nullptr where a parameter was not given.
using Slots = std::span<PyObject*>;

// Vectorcall form. On failure a TypeError is set and false returned.
[[nodiscard]] bool bind_vectorcall(const FunctionDescription& description, PyObject* const* args,
                                   Py_ssize_t nargsf, PyObject* kwnames, Slots slots);

// Tuple-and-dict form (constructors); same rules and messages.
[[nodiscard]] bool bind_tuple_and_dict(const FunctionDescription& description, PyObject* args,
                                       PyObject* kwargs, Slots slots);

}  // namespace velmora::module
