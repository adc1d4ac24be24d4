#pragma once
// The arm's immutable geometry record and its two presets.
//
// All arm vectors live in one right-handed body frame. With m = -1 for a
// mirrored (right) arm and +1 otherwise, the input axes are v_1 = (0, 0, 1)
// (joint A) and v_5 = (m, 0, 0) (joint B); the elbows v_2 and v_4 sit at
// `arm_arc` from them, and the end-effector axis v_3 at `coupler_arc` from both
// elbows, on the side that `branch` chooses.

#include <cstdint>

namespace velmora::arm {

// Which of the loop's two closures is taken: the sign of v_3 . (v_2 x v_4).
enum class Branch : std::uint8_t {
    positive = 0,
    negative = 1,
};

// Stored as given: no range or finiteness invariant; odd values show only in
// the kinematics' results.
struct SphericalLinkGeometry {
    double arm_arc;      // radians, v_1..v_2 and v_5..v_4
    double coupler_arc;  // radians, v_2..v_3 and v_4..v_3
    Branch branch;
    bool mirror;         // true: the right arm, mirrored across the YZ plane
};

inline constexpr double default_arm_arc = 0.7;
inline constexpr double default_coupler_arc = 0.5;

[[nodiscard]] constexpr SphericalLinkGeometry default_left() noexcept {
    return {default_arm_arc, default_coupler_arc, Branch::positive, false};
}

[[nodiscard]] constexpr SphericalLinkGeometry default_right() noexcept {
    return {default_arm_arc, default_coupler_arc, Branch::positive, true};
}

// -1 for a mirrored arm, +1 otherwise.
[[nodiscard]] constexpr double mirror_sign(const SphericalLinkGeometry& g) noexcept {
    return g.mirror ? -1.0 : 1.0;
}

// +1 for the positive closure, -1 for the negative one.
[[nodiscard]] constexpr double branch_sign(const SphericalLinkGeometry& g) noexcept {
    return g.branch == Branch::positive ? 1.0 : -1.0;
}

}  // namespace velmora::arm
