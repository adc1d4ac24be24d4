#pragma once
// Arm forward kinematics: joint pair -> elbows -> loop closure -> end-effector frame.

#include <optional>

#include "arm/geometry.hpp"
#include "common/vector_types.hpp"

namespace velmora::arm {

struct FkSolution {
    Mat3 rotation;  // columns: X, Y, v_3 (the end-effector frame in the body frame)
    Vec3 v_2;       // elbow carried by joint A
    Vec3 v_3;       // pointing direction; bit-equal to column 2 of `rotation`
    Vec3 v_4;       // elbow carried by joint B
};

// The point x of the unit sphere with x.a = cos(rho_a) and x.b = cos(rho_b) on
// the side of the great circle through a and b given by `sigma` (+1: the side
// a x b points to). Nothing when a and b are (anti)parallel or the circles miss.
// a and b must be unit vectors; they are not normalised here.
[[nodiscard]] std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b,
                                                          double rho_b, double sigma) noexcept;

// Nothing when the five-bar loop does not close. Any double is accepted; NaN propagates.
[[nodiscard]] std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry,
                                                           double theta_a, double theta_b) noexcept;

}  // namespace velmora::arm
