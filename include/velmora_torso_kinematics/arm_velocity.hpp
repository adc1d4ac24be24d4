#pragma once
// velmora_torso_kinematics: the arm's velocity kinematics.
//
// How the end-effector moves when the input joints turn: J_v = dv_3/d(theta_A,
// theta_B), the pointing direction's velocity, and J_omega, the end-effector
// frame's angular velocity, so that R = fk(theta) moves by
// Rdot = [J_omega . thetadot]x R (both in the body frame). From them, how close
// a pose is to losing a pointing direction, and the joint rates that produce a
// wanted pointing velocity.
//
// Two kinds of singularity meet here:
// - the closure singularity, where v_2, v_3 and v_4 are coplanar (the edge of the
//   workspace, where both branches meet): the loop locks and J_v grows without
//   bound. `jacobians` reports it by `closure`, and gives nothing once |closure|
//   falls below `closure_singular_limit`;
// - the pointing singularity, where an input arm and its coupler segment are in
//   one plane (v_1, v_2, v_3 or v_5, v_4, v_3 coplanar): J_v loses rank, and some
//   pointing motions need unbounded joint rates. `singularity_measure` is the
//   distance to it: the smallest singular value of J_v, zero at the singularity.
//   It grows toward the closure singularity with J_v, so it says nothing of that
//   one: `closure` does.
//
// Like forward kinematics, every function is pure, never allocates and never
// throws. Non-finite inputs that forward kinematics passes through come back as
// NaN results rather than as failures (a NaN is never below a threshold).

#include <array>
#include <optional>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

// A 3x2 matrix, row-major: m[i][j] is row i (body x, y, z), column j (0: d/dtheta_A,
// 1: d/dtheta_B).
using Mat32 = std::array<std::array<double, 2>, 3>;

// Below this |v_3 . (v_2 x v_4)| the loop counts as locked. J_v scales as its
// inverse, and the closure is v_3's height above the elbows' plane (times the
// sine of the elbows' angle), the square root of a difference that carries a
// rounding of about 1e-16: at 1e-6 that rounding is already a 1e-4 relative
// error in the closure, and so in J_v.
inline constexpr double closure_singular_limit = 1e-6;

// Below this singularity measure `joint_rates` refuses: the rates scale as
// 1 / measure, so they would exceed 1e9 rad/s per unit of pointing speed, and
// their relative rounding error (about 1e-16 times J_v's condition number)
// would no longer be small.
inline constexpr double pointing_singular_limit = 1e-9;

struct ArmJacobians {
    FkSolution pose;  // forward kinematics at the same joint pair
    Mat32 j_omega;    // angular velocity of `pose.rotation` per joint rate
    Mat32 j_v;        // dv_3 / d(theta_A, theta_B); its columns are orthogonal to v_3
    double closure;   // v_3 . (v_2 x v_4): the determinant of the loop's velocity
                      // constraints; its sign is the branch's, zero at the workspace edge
};

// Nothing where forward kinematics fails or |closure| < closure_singular_limit.
[[nodiscard]] std::optional<ArmJacobians> jacobians(const SphericalFiveBar& arm, double theta_a,
                                                    double theta_b) noexcept;

// The smallest singular value of a 3x2 matrix, from the 2x2 Gram matrix without
// cancellation: its determinant as |column_0 x column_1|^2, divided by its larger
// eigenvalue.
[[nodiscard]] double smallest_singular_value(const Mat32& m) noexcept;

// The smallest singular value of J_v; nothing where `jacobians` gives nothing.
[[nodiscard]] std::optional<double> singularity_measure(const SphericalFiveBar& arm, double theta_a,
                                                        double theta_b) noexcept;

// The joint rates whose pointing velocity J_v . thetadot is nearest `v_3_dot`
// (least squares), after v_3_dot's component along v_3 is removed: that
// component is no motion of a unit vector. Nothing where the measure is below
// pointing_singular_limit.
[[nodiscard]] std::optional<JointPair> joint_rates(const ArmJacobians& jacobians, const Vec3& v_3_dot) noexcept;
[[nodiscard]] std::optional<JointPair> joint_rates(const SphericalFiveBar& arm, double theta_a, double theta_b,
                                                   const Vec3& v_3_dot) noexcept;

// With damping lambda > 0, damped least squares instead: J_v^T (J_v J_v^T +
// lambda^2 I)^-1 applied to v_3_dot's part tangent to v_3. It refuses only where
// the loop does not close, and |thetadot| <= |v_3_dot| / (2 lambda) everywhere,
// the locked loop included. lambda trades accuracy for bounded rates: it is the
// singular value of J_v below which a pointing motion is given up rather than
// driven (0.05: at most 10 rad/s per rad/s of pointing speed, and under 1 % of
// rate error wherever the measure exceeds 0.5). damping = 0 is the overload above.
[[nodiscard]] std::optional<JointPair> joint_rates(const SphericalFiveBar& arm, double theta_a, double theta_b,
                                                   const Vec3& v_3_dot, double damping) noexcept;

// How the pose moves with the geometry, at fixed joint angles: the derivatives
// with respect to the five geometry parameters, in this column order.
enum class GeometryParameter : int { arm_arc_a, arm_arc_b, coupler_arc_a, coupler_arc_b, base_angle };
inline constexpr int geometry_parameter_count = 5;

// A 3x5 matrix, row-major: m[i][j] is row i (body x, y, z), column j (a GeometryParameter).
using Mat35 = std::array<std::array<double, geometry_parameter_count>, 3>;

struct GeometryJacobians {
    FkSolution pose;  // forward kinematics at the same joint pair
    Mat35 v_3;        // dv_3 / d(parameter); its columns are orthogonal to v_3
    Mat35 omega;      // the frame's rate per parameter: dR/dp = [omega_p]x R (body frame)
    double closure;   // as in ArmJacobians
};

// From the loop closure as `jacobians` (the elbows move with their arcs and,
// for elbow B, with the base angle; the couplers' arcs enter the closure's
// constraints). Nothing where `jacobians` gives nothing.
[[nodiscard]] std::optional<GeometryJacobians> geometry_jacobians(const SphericalFiveBar& arm, double theta_a,
                                                                  double theta_b) noexcept;

}  // namespace velmora::arm
