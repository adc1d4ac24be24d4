#pragma once
// The fixed part of an arm's frame: its two input axes and where the elbows
// rest at zero joint angles. Shared by forward and inverse kinematics so both
// build exactly the same vectors.

#include <cmath>

#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

struct BaseFrame {
    Vec3 joint_a_axis;  // v_1 = (0, 0, 1), for both arms
    Vec3 joint_b_axis;  // v_5 = (m, 0, 0)
    Vec3 rest_elbow_a;  // v_2 at theta_A = 0: (m sin(arm_arc), 0, cos(arm_arc))
    Vec3 rest_elbow_b;  // v_4 at theta_B = 0: (m cos(arm_arc), 0, sin(arm_arc))
};

[[nodiscard]] inline BaseFrame base_frame(const SphericalLinkGeometry& geometry) noexcept {
    const double m = mirror_sign(geometry);
    const double sin_arm = std::sin(geometry.arm_arc);
    const double cos_arm = std::cos(geometry.arm_arc);
    return {{0.0, 0.0, 1.0}, {m, 0.0, 0.0}, {m * sin_arm, 0.0, cos_arm}, {m * cos_arm, 0.0, sin_arm}};
}

}  // namespace velmora::arm
