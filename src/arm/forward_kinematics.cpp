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
    : geometry_(geometry) {
    const double m = mirror_sign(geometry);
    const double sin_arm = std::sin(geometry.arm_arc);
    cos_arm_ = std::cos(geometry.arm_arc);
    cos_coupler_ = std::cos(geometry.coupler_arc);
    branch_sign_ = branch_sign(geometry);
    arm_circle_ = 1.0 - cos_arm_ * cos_arm_;
    coupler_circle_ = 1.0 - cos_coupler_ * cos_coupler_;
    minus_m_sin_arm_ = -m * sin_arm;
    joint_a_axis_ = joint_a_axis();
    joint_b_axis_ = joint_b_axis(geometry);
    rest_elbow_a_ = {m * sin_arm, 0.0, cos_arm_};
    rest_elbow_b_ = {m * cos_arm_, 0.0, sin_arm};
    rest_perp_a_ = perpendicular_part(rest_elbow_a_, joint_a_axis_);
    rest_perp_b_ = perpendicular_part(rest_elbow_b_, joint_b_axis_);
    // NaN fails the comparisons; an infinite arc has NaN sine and cosine.
    elbows_written_out_ = std::fabs(sin_arm) >= five_bar::smallest_written_out_component &&
                          std::fabs(cos_arm_) >= five_bar::smallest_written_out_component;
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
    const FiveBarConstants k{arm};
    const Vec3 v_2 = five_bar::elbow_a(k, theta_a);
    const Vec3 v_4 = five_bar::elbow_b(k, theta_b);
    Vec3 v_3;
    if (!five_bar::close_loop(k, v_2, v_4, v_3)) return std::nullopt;
    return FkSolution{five_bar::end_effector_frame(v_2, v_3, v_4), v_2, v_3, v_4};
}

std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry, double theta_a,
                                             double theta_b) noexcept {
    return forward_kinematics(SphericalFiveBar(geometry), theta_a, theta_b);
}

}  // namespace velmora::arm
