#pragma once
// The one mapping from a kinematics failure to the Python exception it raises.

#include <string_view>

#include "module/python.hpp"

namespace velmora::module {

enum class Failure {
    loop_does_not_close,  // arm fk, direction
    outside_workspace,    // arm ik, ik_from_direction
    gimbal_lock,          // neck ik
};

// Sets the failure's exception and returns nullptr, for `return raise(...)`.
PyObject* raise(Failure failure);

// ValueError "Invalid arms.json: <reason>"; the reason may quote the document,
// NUL characters included.
PyObject* raise_invalid_json(std::string_view reason);

}  // namespace velmora::module
