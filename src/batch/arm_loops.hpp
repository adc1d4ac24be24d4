#pragma once
// The arm's kinematics over many elements at once, on one prepared arm.
//
// Every function writes element i of its outputs exactly as the scalar call on
// element i of its inputs would answer it: the same core function with the
// same doubles, so the same bits. A failed element holds NaN in every output
// value and false in `ok`. Outputs are C-contiguous blocks of `count` elements.

#include <cstdint>
#include <optional>

#include "batch/strided.hpp"
#include "velmora_torso_kinematics/arm_follow.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::batch {

// Joint limits of the inverses, or none.
using Limits = std::optional<arm::JointLimits>;
// margin: the inverses' closure-margin filter (arm_reach.hpp); 0 keeps every closing pair.

// theta_a, theta_b: one double each. rotations: 9 doubles per element, row-major.
void arm_fk(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
            const Input& theta_b, double* rotations, bool* ok, std::int64_t workers) noexcept;

// As arm_fk; v3: 3 doubles per element, the third column of the rotation.
void arm_direction(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                   const Input& theta_b, double* v3, bool* ok, std::int64_t workers) noexcept;

// rotations: a 3x3 block per element (inner = row, column strides). pairs: 2 doubles.
void arm_ik(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& rotations, const Limits& limits,
            double margin, double* pairs, bool* ok, std::int64_t workers) noexcept;

// directions: 3 doubles per element. near: 2 doubles per element, or nullptr
// for no preference (the smallest joint norm wins).
void arm_ik_from_direction(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                           const Input* near, const Limits& limits, double margin, double* pairs, bool* ok,
                           std::int64_t workers) noexcept;

// directions: 3 doubles per element. pairs: 4 x 2 doubles per element, the
// pairs that reach the direction in candidate order, NaN after the last.
// count: how many there are (0 to 4). Never fails: 0 is the answer "unreachable".
void arm_direction_solutions(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                             const Limits& limits, double margin, double* pairs, std::int64_t* count,
                             std::int64_t workers) noexcept;

// One path of T directions per element (T = directions.extent[0]; inner =
// step, component strides), solved in order the way a controller streaming targets would:
// step t is arm::path_step from the last good pair (`start` before the first,
// or no preference when `start` is nullptr). A failed step leaves the last good
// pair in place and writes it: rows are NaN only while there is none yet.
// pairs: T x 2 doubles per element, ok: T flags.
void arm_ik_path(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions, const Input* start,
                 std::optional<double> max_step, const Limits& limits, double margin, double* pairs, bool* ok,
                 std::int64_t workers) noexcept;

// One arm::ArmFollower per element from its `start` pair (2 doubles), stepped
// through its path of T directions. pairs: T x 2 doubles per element, status:
// T FollowStatus codes. Every start must pass first_unusable_start.
void arm_follow(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions, const Input& start,
                const arm::FollowSettings& settings, double* pairs, std::int8_t* status,
                std::int64_t workers) noexcept;

// closure_margin: one double per element, NaN where the loop does not close.
void arm_closure_margin(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                        const Input& theta_b, double* margin, std::int64_t workers) noexcept;

// nearest_reachable per direction (3 doubles): pairs 2, v3 3 and angle 1 double
// per element, NaN where there is none.
void arm_nearest_reachable(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                           const Limits& limits, double margin, double* pairs, double* v3, double* angle,
                           std::int64_t workers) noexcept;

// Whether every pair (2 doubles per element) is finite.
[[nodiscard]] bool all_finite_pairs(const Shape& shape, const Input& pairs) noexcept;

// The first element whose start a follower with `settings` refuses, or nothing.
[[nodiscard]] std::optional<std::int64_t> first_unusable_start(const Shape& shape, const arm::SphericalFiveBar& arm,
                                                               const Input& start,
                                                               const arm::FollowSettings& settings) noexcept;

}  // namespace velmora::batch
