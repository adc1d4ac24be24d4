#include "velmora_torso_kinematics/arm_kinematics.hpp"

#include <cmath>

#include "five_bar.hpp"
#include "input_axes.hpp"

namespace velmora::arm {
namespace {

[[nodiscard]] Vec3 perpendicular_part(const Vec3& v, const Vec3& k) noexcept {
    return v - dot(v, k) * k;
}

}  // namespace

SphericalFiveBar::SphericalFiveBar(const SphericalLinkGeometry& geometry) noexcept
    : geometry_(geometry), constants_() {
    Constants& k = constants_;
    const double m = mirror_sign(geometry);
    const double sin_arm = std::sin(geometry.arm_arc);
    k.cos_arm = std::cos(geometry.arm_arc);
    k.cos_coupler = std::cos(geometry.coupler_arc);
    k.branch_sign = branch_sign(geometry);
    k.arm_circle = 1.0 - k.cos_arm * k.cos_arm;
    k.coupler_circle = 1.0 - k.cos_coupler * k.cos_coupler;
    k.minus_m_sin_arm = -m * sin_arm;
    k.joint_a_axis = joint_a_axis();
    k.joint_b_axis = joint_b_axis(geometry);
    k.rest_elbow_a = {m * sin_arm, 0.0, k.cos_arm};
    k.rest_elbow_b = {m * k.cos_arm, 0.0, sin_arm};
    k.rest_perp_a = perpendicular_part(k.rest_elbow_a, k.joint_a_axis);
    k.rest_perp_b = perpendicular_part(k.rest_elbow_b, k.joint_b_axis);
    // NaN fails the comparisons; an infinite arc has NaN sine and cosine.
    k.elbows_written_out = std::fabs(sin_arm) >= five_bar::smallest_written_out_component &&
                           std::fabs(k.cos_arm) >= five_bar::smallest_written_out_component;
}

std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b, double rho_b,
                                            double sigma) noexcept {
    double d = dot(a, b);
    // Rounding can push the cosine of nearly (anti)parallel unit vectors past +-1.
    if (d < -1.0) d = -1.0;
    if (d > 1.0) d = 1.0;
    const double t = std::sqrt(1.0 - d * d);
    if (t < five_bar::parallel_centres_sine) return std::nullopt;

    const double ca = std::cos(rho_a);
    const double cb = std::cos(rho_b);
    // Components of x along a and toward b (in the plane of a and b).
    const double l = (cb - d * ca) / t;
    const double u = 1.0 - ca * ca - l * l;
    if (u < 0.0) return std::nullopt;  // u == 0: the circles touch, one point

    const Vec3 n = cross(a, b) / t;
    const double h = sigma * std::sqrt(u);
    return (ca * a + l * cross(n, a)) + h * n;
}

std::optional<FkSolution> forward_kinematics(const SphericalFiveBar& arm, double theta_a,
                                             double theta_b) noexcept {
    const FiveBarConstants& k = FiveBarAccess::constants(arm);
    const Vec3 v_2 = five_bar::elbow_a(k, theta_a);
    const Vec3 v_4 = five_bar::elbow_b(k, theta_b);
    Vec3 v_3;
    if (!five_bar::close_loop(k, v_2, v_4, v_3)) return std::nullopt;
    return FkSolution{five_bar::end_effector_frame(v_2, v_3, v_4), v_2, v_3, v_4};
}

}  // namespace velmora::arm
