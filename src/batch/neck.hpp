#pragma once
// The neck's kinematics over many elements at once; element i is bit for bit
// the scalar call's answer for element i.

#include <cstdint>

#include "batch/strided.hpp"

namespace velmora::batch {

// angles: (yaw, pitch, roll) per element. rotations: 9 doubles per element, row-major.
void neck_fk(const Shape& shape, const Input& angles, double* rotations, std::int64_t workers) noexcept;

// rotations: a 3x3 block per element. angles: 3 doubles per element; NaN and
// ok false at gimbal lock. near: 3 doubles per element, or nullptr: with it, the
// representation nearest it (neck::inverse_kinematics(r, near)), failing only
// for a non-finite near.
void neck_ik(const Shape& shape, const Input& rotations, const Input* near, double* angles, bool* ok,
             std::int64_t workers) noexcept;

}  // namespace velmora::batch
