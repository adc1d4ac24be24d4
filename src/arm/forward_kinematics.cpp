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

SphericalFiveBar::SphericalFiveBar(const FiveBarGeometry& geometry) noexcept : geometry_(geometry), constants_() {
    Constants& k = constants_;
    const double m = mirror_sign(geometry);
    // v_5 turned by `tilt` from (m, 0, 0) toward -z; zero for a right base angle,
    // which keeps that arm's axes and elbow B's written-out rotation exact.
    const double tilt = geometry.base_angle - right_angle;
    const bool axis_b_along_x = tilt == 0.0;
    const double sin_arm_a = std::sin(geometry.arm_arc_a);
    k.cos_arm_a = std::cos(geometry.arm_arc_a);
    // Elbow B rests in the XZ plane at arm_arc_b from v_5 toward v_1.
    const double rest_angle_b = geometry.arm_arc_b - tilt;
    const double sin_rest_b = std::sin(rest_angle_b);
    const double cos_rest_b = std::cos(rest_angle_b);
    k.cos_arm_b = std::cos(geometry.arm_arc_b);
    k.cos_coupler_a = std::cos(geometry.coupler_arc_a);
    k.cos_coupler_b = std::cos(geometry.coupler_arc_b);
    k.branch_sign = branch_sign(geometry);
    k.arm_circle_a = 1.0 - k.cos_arm_a * k.cos_arm_a;
    k.arm_circle_b = 1.0 - k.cos_arm_b * k.cos_arm_b;
    k.coupler_circle = 1.0 - k.cos_coupler_a * k.cos_coupler_a;
    k.minus_m_sin_arm_b = -m * sin_rest_b;
    k.joint_a_axis = joint_a_axis();
    k.joint_b_axis = axis_b_along_x ? Vec3{m, 0.0, 0.0} : Vec3{m * std::cos(tilt), 0.0, -std::sin(tilt)};
    k.rest_elbow_a = {m * sin_arm_a, 0.0, k.cos_arm_a};
    k.rest_elbow_b = {m * cos_rest_b, 0.0, sin_rest_b};
    k.rest_perp_a = perpendicular_part(k.rest_elbow_a, k.joint_a_axis);
    k.rest_perp_b = perpendicular_part(k.rest_elbow_b, k.joint_b_axis);
    k.turn_b = cross(k.joint_b_axis, k.rest_elbow_b);
    k.along_b = dot(k.joint_b_axis, k.rest_elbow_b) * k.joint_b_axis;
    // NaN fails the comparisons; an infinite arc has NaN sine and cosine.
    const auto written_out = [](double sine, double cosine) {
        return std::fabs(sine) >= five_bar::smallest_written_out_component &&
               std::fabs(cosine) >= five_bar::smallest_written_out_component;
    };
    k.elbow_a_written_out = written_out(sin_arm_a, k.cos_arm_a);
    k.elbow_b_written_out = axis_b_along_x && written_out(sin_rest_b, cos_rest_b);
    // About a tilted v_5 the vector form needs no such care, only finite terms.
    k.elbow_b_tilted = !axis_b_along_x && std::isfinite(sin_rest_b) && std::isfinite(cos_rest_b) &&
                       std::isfinite(tilt);
}

std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b, double rho_b,
                                            double sigma) noexcept {
    const double ca = std::cos(rho_a);
    Vec3 x;
    if (!five_bar::meet_circles(a, b, ca, std::cos(rho_b), 1.0 - ca * ca, sigma, x)) return std::nullopt;
    return x;
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
