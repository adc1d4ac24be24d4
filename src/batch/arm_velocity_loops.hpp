#pragma once
// The arm's velocity kinematics over many elements at once, on one prepared arm.
//
// As in batch/arm_loops.hpp: element i is the core's answer for element i, bit for
// bit; a failed element is NaN in every output value and false in `ok`. An
// element fails where the loop does not close or is locked (arm::jacobians
// gives nothing), and for the joint rates also where the pointing is singular
// (below arm::pointing_singular_limit).

#include <cstdint>

#include "batch/strided.hpp"
#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace velmora::batch {

// theta_a, theta_b: one double each. j_omega, j_v: 3 x 2 doubles per element, row-major.
void arm_jacobian(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                  const Input& theta_b, double* j_omega, double* j_v, bool* ok, std::int64_t workers) noexcept;

// measure: one double per element, the smallest singular value of J_v.
void arm_singularity_measure(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                             const Input& theta_b, double* measure, bool* ok, std::int64_t workers) noexcept;

// v3_dot: 3 doubles per element. rates: 2 doubles per element (theta_a', theta_b').
// damping: 0 for least squares, > 0 for damped least squares (arm::joint_rates).
void arm_joint_rates(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                     const Input& theta_b, const Input& v3_dot, double damping, double* rates, bool* ok,
                     std::int64_t workers) noexcept;

// v3_rate, omega: 3 x 5 doubles per element, row-major: arm::geometry_jacobians
// v_3 and omega, columns arm_arc_a, arm_arc_b, coupler_arc_a, coupler_arc_b, base_angle.
void arm_geometry_jacobian(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                           const Input& theta_b, double* v3_rate, double* omega, bool* ok,
                           std::int64_t workers) noexcept;

}  // namespace velmora::batch
