#pragma once
// The input joints' axes in the body frame.

#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

// v_1, joint A's axis: the body's z on either arm.
[[nodiscard]] constexpr Vec3 joint_a_axis() noexcept { return {0.0, 0.0, 1.0}; }

// v_5, joint B's axis: the body's x, turned to -x on the right arm.
[[nodiscard]] constexpr Vec3 joint_b_axis(const SphericalLinkGeometry& geometry) noexcept {
    return {mirror_sign(geometry), 0.0, 0.0};
}

}  // namespace velmora::arm
