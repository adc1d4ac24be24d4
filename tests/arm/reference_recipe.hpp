#pragma once
// The arm's kinematics as a plain recipe (test support, not installed): the
// same functions as the core's geometry-taking API, computed step by step with
// nothing shared or prepared. The core must give exactly these results.

#include <optional>

#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::arm::reference {

[[nodiscard]] std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b,
                                                          double rho_b, double sigma) noexcept;

[[nodiscard]] std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry,
                                                           double theta_a, double theta_b) noexcept;

[[nodiscard]] CandidateList enumerate_candidates(const SphericalLinkGeometry& geometry,
                                                 const Vec3& target) noexcept;

[[nodiscard]] std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                                          const Mat3& r_target) noexcept;

[[nodiscard]] DirectionSolutions direction_solutions(const SphericalLinkGeometry& geometry,
                                                     const Vec3& direction) noexcept;

[[nodiscard]] std::optional<JointPair> inverse_kinematics_from_direction(
    const SphericalLinkGeometry& geometry, const Vec3& direction,
    const std::optional<JointPair>& near) noexcept;

}  // namespace velmora::arm::reference
