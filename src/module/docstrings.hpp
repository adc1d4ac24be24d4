#pragma once
// Every docstring of the Python surface, written once. The method tables store
// each behind its signature line; the type descriptions carry them bare.

#include <algorithm>
#include <array>
#include <cstddef>

namespace velmora::module::docs {

// Compile-time concatenation of string literals into one NUL-terminated array.
template <std::size_t... N>
constexpr auto join(const char (&... parts)[N]) {
    std::array<char, (N + ... + 0) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + at), at += N - 1), ...);
    out[at] = '\0';
    return out;
}

// Between a stored signature line and the docstring; the interpreter splits there.
inline constexpr char separator[] = "\n--\n\n";

inline constexpr char arm_new[] =
    "Create an arm with explicit geometry parameters.\n\n"
    "- `arm_arc`: arc length (radians) of each input arm.\n"
    "- `coupler_arc`: arc length (radians) of each coupler segment.\n"
    "- `mirror`: when true, mirror the arm across the YZ plane (right arm).";
inline constexpr char default_left[] = "Build the default left-arm geometry.";
inline constexpr char default_right[] = "Build the default right-arm geometry (mirror of left).";
inline constexpr char from_json[] = "Build the arm from a JSON string matching `SphericalLinkGeometry`.";
inline constexpr char arm_fk[] =
    "Forward kinematics: `(\u03b8_A, \u03b8_B)` \u2192 3\u00d73 rotation of the end-effector.\n"
    "Raises `RuntimeError` when the loop fails to close (target joint\n"
    "pair is outside the workspace).";
inline constexpr char arm_ik[] =
    "Inverse kinematics: 3\u00d73 rotation \u2192 `(\u03b8_A, \u03b8_B)`.\n"
    "Raises `RuntimeError` when the target orientation isn't reachable.";
inline constexpr char ik_from_direction[] =
    "Inverse kinematics from just the end-effector pointing direction\n"
    "(3-vector, automatically normalized). When multiple `(\u03b8_A, \u03b8_B)`\n"
    "branches reach the same direction, `near` (an optional current\n"
    "joint pair) picks the closest one; otherwise the smallest-norm\n"
    "solution wins.";
inline constexpr char direction[] =
    "Forward kinematics that returns just the end-effector pointing\n"
    "direction (the third column of the FK rotation, equal to `v_3`).";
inline constexpr char is_reachable_joints[] =
    "Whether `(\u03b8_A, \u03b8_B)` lands inside the workspace (loop closes).";
inline constexpr char is_reachable_orientation[] =
    "Whether `r_target` is on the reachable manifold (IK succeeds).";
inline constexpr char is_reachable_direction[] =
    "Whether the pointing direction `v3` (3-vector, auto-normalized)\n"
    "is on the reachable manifold.";
inline constexpr char neck_fk[] =
    "Forward kinematics. `joints = [yaw, pitch, roll]` in radians.\n"
    "Returns the 3\u00d73 rotation matrix of the head frame in the body frame.";
inline constexpr char neck_ik[] =
    "Inverse kinematics. `r` is a 3\u00d73 rotation matrix (row-major).\n"
    "Returns `(yaw, pitch, roll)` in radians.\n\n"
    "Raises `ValueError` near gimbal lock (|pitch| \u2248 \u03c0/2). The neck's\n"
    "pitch range is well under that limit in practice.";
inline constexpr char none[] = "";

// Class text signatures; the class docstrings themselves are empty.
inline constexpr char arm_class_signature[] = "(arm_arc=0.7, coupler_arc=0.5, mirror=False)";
inline constexpr char neck_class_signature[] = "()";

}  // namespace velmora::module::docs
