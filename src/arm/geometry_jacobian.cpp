// The pose's derivatives with respect to the arm's geometry.
//
// The loop keeps v_3.v_2 = cos(coupler_arc_a), v_3.v_4 = cos(coupler_arc_b) and
// v_3.v_3 = 1. A parameter p moves the elbows (v_2' and v_4') and the right-hand
// sides, so [v_2; v_4; v_3] v_3' = (-sin(coupler_arc_a) [p = coupler_arc_a] - v_3.v_2',
// -sin(coupler_arc_b) [p = coupler_arc_b] - v_3.v_4', 0), solved as the joint
// Jacobians solve theirs. Each elbow moves with a parameter as a turn about an
// axis:
// - arm_arc_a turns the rest elbow A about (0, m, 0) (from v_1 toward it), and
//   joint A carries that axis: v_2' = Rot(v_1, theta_A)(0, m, 0) x v_2;
// - arm_arc_b turns the rest elbow B about (0, -m, 0) (from v_5 toward v_1):
//   v_4' = Rot(v_5, theta_B)(0, -m, 0) x v_4;
// - the base angle turns v_5 with all of joint B's side about (0, m, 0):
//   v_4' = (0, m, 0) x v_4.

#include <cmath>

#include "five_bar.hpp"
#include "input_axes.hpp"
#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace velmora::arm {
namespace {

void set_column(Mat35& m, int j, const Vec3& v) noexcept {
    m[0][j] = v.x;
    m[1][j] = v.y;
    m[2][j] = v.z;
}

[[nodiscard]] Vec3 column(const Mat3& m, int j) noexcept { return {m[0][j], m[1][j], m[2][j]}; }

}  // namespace

std::optional<GeometryJacobians> geometry_jacobians(const SphericalFiveBar& arm, double theta_a,
                                                    double theta_b) noexcept {
    const std::optional<FkSolution> fk = forward_kinematics(arm, theta_a, theta_b);
    if (!fk) return std::nullopt;
    const Vec3& v_2 = fk->v_2;
    const Vec3& v_3 = fk->v_3;
    const Vec3& v_4 = fk->v_4;
    const Vec3 c_0 = cross(v_4, v_3);
    const Vec3 c_1 = cross(v_3, v_2);
    const double closure = dot(v_2, c_0);
    if (!(std::fabs(closure) >= closure_singular_limit)) return std::nullopt;

    const FiveBarGeometry& g = arm.geometry();
    const FiveBarConstants& k = FiveBarAccess::constants(arm);
    const double m = mirror_sign(g);
    const Vec3 lift{0.0, m, 0.0};
    const Vec3 normal_a = five_bar::rotate(five_bar::rotation_about(joint_a_axis(), theta_a), lift);
    const Vec3 normal_b = five_bar::rotate(five_bar::rotation_about(k.joint_b_axis, theta_b), -1.0 * lift);
    const Vec3 zero{0.0, 0.0, 0.0};
    // Per parameter: v_2', v_4', and the closure's right-hand sides' own terms.
    struct Motion {
        Vec3 v_2;
        Vec3 v_4;
        double arc_a;
        double arc_b;
    };
    const Motion motions[geometry_parameter_count] = {
        {cross(normal_a, v_2), zero, 0.0, 0.0},
        {zero, cross(normal_b, v_4), 0.0, 0.0},
        {zero, zero, -std::sin(g.coupler_arc_a), 0.0},
        {zero, zero, 0.0, -std::sin(g.coupler_arc_b)},
        {zero, cross(lift, v_4), 0.0, 0.0},
    };

    // The frame's rate as in `jacobians`: X follows the elbows' bisector w projected off v_3.
    const Vec3 x_axis = column(fk->rotation, 0);
    const Vec3 y_axis = column(fk->rotation, 1);
    const Vec3 bisector = v_2 + v_4;
    const double bisector_along_v_3 = dot(bisector, v_3);
    const double bisector_along_x = dot(bisector, x_axis);

    GeometryJacobians result{*fk, {}, {}, closure};
    for (int p = 0; p < geometry_parameter_count; ++p) {
        const Motion& motion = motions[p];
        const double r_0 = motion.arc_a - dot(v_3, motion.v_2);
        const double r_1 = motion.arc_b - dot(v_3, motion.v_4);
        const Vec3 v_3_rate = (r_0 * c_0 + r_1 * c_1) / closure;
        const double v_3_along_x = dot(v_3_rate, x_axis);
        const double v_3_along_y = dot(v_3_rate, y_axis);
        const double x_turn =
            (dot(motion.v_2 + motion.v_4, y_axis) - bisector_along_v_3 * v_3_along_y) / bisector_along_x;
        set_column(result.v_3, p, v_3_rate);
        set_column(result.omega, p, (-v_3_along_y * x_axis + v_3_along_x * y_axis) + x_turn * v_3);
    }
    return result;
}

}  // namespace velmora::arm
