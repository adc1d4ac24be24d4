#pragma once
// The neck's kinematics over many elements at once; element i is bit for bit
// the scalar call's answer for element i.

#include <cstdint>
#include <optional>

#include "batch/strided.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace velmora::batch {

// angles: (yaw, pitch, roll) per element. rotations: 9 doubles per element, row-major.
void neck_fk(const Shape& shape, const Input& angles, double* rotations, std::int64_t workers) noexcept;

// rotations: a 3x3 block per element. angles: 3 doubles per element; NaN and
// ok false at gimbal lock. near: 3 doubles per element, or nullptr: with it, the
// representation nearest it (neck::inverse_kinematics(r, near)), failing only
// for a non-finite near.
void neck_ik(const Shape& shape, const Input& rotations, const Input* near, double* angles, bool* ok,
             std::int64_t workers) noexcept;

// One neck::NeckFollower per element from its `start` angles (3 doubles),
// stepped through its path of T rotations (rotations.extent[0]; inner = step,
// row, column strides). angles: T x 3 doubles per element, status: T
// FollowStatus codes. Every start must pass first_unusable_neck_start.
void neck_follow(const Shape& shape, const Input& rotations, const Input& start, double max_step,
                 std::optional<double> max_step_change, const std::optional<neck::NeckLimits>& limits, double* angles,
                 std::int8_t* status, std::int64_t workers) noexcept;

// The first element whose start a neck follower with `settings` refuses, or nothing.
[[nodiscard]] std::optional<std::int64_t> first_unusable_neck_start(const Shape& shape, const Input& start,
                                                                    const neck::NeckFollowSettings& settings) noexcept;

}  // namespace velmora::batch
