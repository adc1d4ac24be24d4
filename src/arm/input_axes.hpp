#pragma once
// Joint A's axis in the body frame (joint B's depends on the base angle: the
// prepared arm keeps it).

#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

// v_1, joint A's axis: the body's z on either arm.
[[nodiscard]] constexpr Vec3 joint_a_axis() noexcept { return {0.0, 0.0, 1.0}; }

}  // namespace velmora::arm
