#pragma once
// velmora_torso_kinematics: the yaw-pitch-roll neck.
// R = Rz(yaw) . Ry(pitch) . Rx(roll), the head frame in the body frame.

#include <optional>

#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::neck {

struct NeckAngles {
    double yaw;
    double pitch;
    double roll;
};

// Exact identity factors for zero angles (either sign); nine NaNs if any angle
// is not finite.
[[nodiscard]] Mat3 forward_kinematics(const NeckAngles& angles) noexcept;

// Nothing at gimbal lock (1 - |r20| < 1e-6); a NaN r20 passes and yields NaNs.
[[nodiscard]] std::optional<NeckAngles> inverse_kinematics(const Mat3& r) noexcept;

}  // namespace velmora::neck
