#pragma once
// Conversions between Python objects and the kinematics' plain values.
//
// Argument converters return true with `out` set, or false with a Python
// exception set. Result builders return a new reference; failing to allocate a
// result is an internal fault (they throw InternalFault).

#include <array>
#include <optional>
#include <string_view>

#include "module/python.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::module {

[[nodiscard]] bool convert(PyObject* object, double& out);
[[nodiscard]] bool convert(PyObject* object, bool& out);
[[nodiscard]] bool convert(PyObject* object, std::string_view& out);  // borrowed for the call
// Vec3 and Mat3 (and each Mat3 row) read an exact numpy.ndarray of native
// float64 or float32 and shape (3,) or (3, 3) straight from its buffer, with
// the doubles that indexing it would give; anything else is indexed item by item.
[[nodiscard]] bool convert(PyObject* object, Vec3& out);
[[nodiscard]] bool convert(PyObject* object, Mat3& out);
// `near`: None means absent, otherwise a 2-tuple of numbers.
[[nodiscard]] bool convert(PyObject* object, std::optional<JointPair>& out);

// A parameter with a default: present values convert as T (None included).
template <class T>
[[nodiscard]] bool convert(PyObject* object, std::optional<T>& out) {
    T value{};
    if (!convert(object, value)) return false;
    out = value;
    return true;
}

// Replaces an exact TypeError raised while converting `parameter` by
// "argument '<parameter>': <message>", keeping the original's __cause__.
// Any other exception is left as it is.
void name_argument_in_type_error(const char* parameter);

// Converts one bound argument; an absent one (nullptr) keeps its default.
template <class T>
[[nodiscard]] bool convert_argument(const char* parameter, PyObject* bound, T& out) {
    if (bound == nullptr) return true;
    if (convert(bound, out)) return true;
    name_argument_in_type_error(parameter);
    return false;
}

// TypeError "'{type}' object cannot be converted to '{target}'"; returns false.
bool fail_cannot_convert(PyObject* object, const char* target);

[[nodiscard]] PyObject* to_python(double value);
[[nodiscard]] PyObject* to_python(bool value) noexcept;
[[nodiscard]] PyObject* to_python(const Vec3& value);   // list of 3 floats
[[nodiscard]] PyObject* to_python(const Mat3& value);   // list of 3 row lists
[[nodiscard]] PyObject* to_python(const JointPair& value);  // (theta_a, theta_b)
[[nodiscard]] PyObject* float_tuple(const std::array<double, 3>& values);

}  // namespace velmora::module
