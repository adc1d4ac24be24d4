#pragma once
// The neck's velocity kinematics over many elements at once; element i is bit
// for bit the core's answer for element i.

#include <cstdint>

#include "batch/strided.hpp"

namespace velmora::batch {

// angles, angles_dot: 3 doubles per element. omega: 3 doubles per element, the
// head's angular velocity in the body frame.
void neck_rates(const Shape& shape, const Input& angles, const Input& angles_dot, double* omega,
                std::int64_t workers) noexcept;

// angles, omega: 3 doubles per element. angles_dot: 3 doubles per element; NaN
// and ok false in the gimbal-lock band that neck inverse kinematics refuses.
void neck_angle_rates(const Shape& shape, const Input& angles, const Input& omega, double* angles_dot, bool* ok,
                      std::int64_t workers) noexcept;

}  // namespace velmora::batch
