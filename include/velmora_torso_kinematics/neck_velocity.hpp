#pragma once
// velmora_torso_kinematics: the neck's velocity kinematics.
//
// With R = Rz(yaw) . Ry(pitch) . Rx(roll) (as neck::forward_kinematics builds it),
// the head turns by Rdot = [omega]x R, omega in the body frame:
//   omega = yaw' z + pitch' Rz(yaw) y + roll' Rz(yaw) Ry(pitch) x = E(yaw, pitch) . (yaw', pitch', roll').
// E does not depend on roll. Its determinant is cos(pitch): at |pitch| = pi/2 yaw
// and roll turn about the same axis and the angle rates are not determined.

#include <optional>

#include "velmora_torso_kinematics/neck_kinematics.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::neck {

// (yaw', pitch', roll'), radians per unit time.
using NeckAngleRates = NeckAngles;

// E(yaw, pitch): columns z, Rz(yaw) y, Rz(yaw) Ry(pitch) x. A non-finite angle (roll
// included) gives nine NaNs, as in forward kinematics.
[[nodiscard]] Mat3 rate_matrix(const NeckAngles& angles) noexcept;

// omega = E . rates, in the body frame.
[[nodiscard]] Vec3 angular_velocity(const NeckAngles& angles, const NeckAngleRates& rates) noexcept;

// The angle rates that turn the head at `omega` (body frame). Nothing in the band
// that neck::inverse_kinematics refuses: 1 - |sin(pitch)| < 1e-6, with sin(pitch)
// the very double that forward kinematics puts at r20 (negated), so the rates fail
// exactly where the pose's angles cannot be recovered. A NaN pitch passes and
// gives NaN rates, as does any non-finite angle.
[[nodiscard]] std::optional<NeckAngleRates> angle_rates(const NeckAngles& angles, const Vec3& omega) noexcept;

}  // namespace velmora::neck
