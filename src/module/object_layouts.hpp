#pragma once
// The floor of the module: the two classes' instance layouts and names, and
// the accessors of their class objects (made by classes_from_tables.cpp once
// per process, on first need). Includes nothing of the module but python.hpp.

#include "module/python.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace velmora::module {

inline constexpr char module_name[] = "velmora_torso_kinematics";

// Compile-time concatenation of string literals into one NUL-terminated array.
template <std::size_t... N>
constexpr auto join(const char (&... parts)[N]) {
    std::array<char, (N + ... + 0) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + at), at += N - 1), ...);
    out[at] = '\0';
    return out;
}

struct ArmObject {
    PyObject_HEAD
    arm::SphericalLinkGeometry geometry;
};

struct NeckObject {
    PyObject_HEAD
};

// A class object as both classes are made: a heap type deriving from object,
// with the default flags only (so not subclassable, no GC, no __dict__, no weak
// references), a constructor slot, a method table and the shared deallocator.
// nullptr with the interpreter's error set if it refuses.
PyTypeObject* create_class(const char* qualified_name, std::size_t basic_size, const char* doc,
                           newfunc constructor, PyMethodDef* methods);

// The class object, created on first need; nullptr with the interpreter's error set.
PyTypeObject* arm_type_or_null();
PyTypeObject* neck_type_or_null();

// For methods: the class must exist; if it cannot be created that is an
// internal fault (the interpreter's error is printed first).
PyTypeObject* require_type(PyTypeObject* (*get_or_null)(), const char* class_name);

template <class Instance>
struct PythonClass;

template <>
struct PythonClass<ArmObject> {
    static constexpr char name[] = "VelmoraArmKinematics";
    static constexpr auto qualified_name = join(module_name, ".", name);
    static PyTypeObject* type() { return require_type(arm_type_or_null, name); }
};

template <>
struct PythonClass<NeckObject> {
    static constexpr char name[] = "VelmoraNeckKinematics";
    static constexpr auto qualified_name = join(module_name, ".", name);
    static PyTypeObject* type() { return require_type(neck_type_or_null, name); }
};

}  // namespace velmora::module
