#include "velmora_torso_kinematics/arm_kinematics.hpp"

#include <cmath>

#include "base_frame.hpp"

namespace velmora::arm {
namespace {

// Below this sine the two centres are (anti)parallel: their circles have no
// isolated intersection and the great circle through them is undefined.
constexpr double parallel_centres_sine = 1e-12;

// Below this length the elbows' bisector lies along v_3 and gives no usable
// direction for the frame's X axis.
constexpr double degenerate_bisector_length = 1e-12;

// Auxiliary X reference for a degenerate bisector: the body x axis unless v_3
// is close to it (then y), so the projection below stays well conditioned.
constexpr double auxiliary_axis_limit = 0.9;

[[nodiscard]] Vec3 rotate(const Mat3& m, const Vec3& v) noexcept {
    return {dot({m[0][0], m[0][1], m[0][2]}, v), dot({m[1][0], m[1][1], m[1][2]}, v),
            dot({m[2][0], m[2][1], m[2][2]}, v)};
}

// Rodrigues: cos(angle) I + sin(angle) [axis]x + (1 - cos(angle)) axis axis^T.
// A zero angle gives the exact identity, so rest poses carry no rounding.
[[nodiscard]] Mat3 rotation_about(const Vec3& axis, double angle) noexcept {
    if (angle == 0.0) {
        return {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    }
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const double versine = 1.0 - c;
    const std::array<double, 3> u{axis.x, axis.y, axis.z};
    const Mat3 skew{{{0.0, -axis.z, axis.y}, {axis.z, 0.0, -axis.x}, {-axis.y, axis.x, 0.0}}};
    Mat3 r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double identity = i == j ? 1.0 : 0.0;
            // c * 0 rather than a skipped term, so a NaN angle reaches every element.
            r[i][j] = (c * identity + s * skew[i][j]) + versine * (u[i] * u[j]);
        }
    }
    return r;
}

// X points from v_3 toward the elbows' bisector; Y = v_3 x X completes the frame.
[[nodiscard]] Mat3 end_effector_frame(const Vec3& v_2, const Vec3& v_3, const Vec3& v_4) noexcept {
    const Vec3 bisector = v_2 + v_4;
    const Vec3 unit_bisector = bisector / norm(bisector);
    Vec3 x = unit_bisector - dot(unit_bisector, v_3) * v_3;
    const double x_length = norm(x);
    Vec3 x_axis{};
    if (x_length > degenerate_bisector_length) {
        x_axis = x / x_length;
    } else {
        // Also reached by a NaN length; a NaN v_3.x picks y, which keeps the NaN.
        const Vec3 reference =
            std::fabs(v_3.x) < auxiliary_axis_limit ? Vec3{1.0, 0.0, 0.0} : Vec3{0.0, 1.0, 0.0};
        x = reference - dot(reference, v_3) * v_3;
        x_axis = x / norm(x);
    }
    const Vec3 y_axis = cross(v_3, x_axis);
    return {{{x_axis.x, y_axis.x, v_3.x}, {x_axis.y, y_axis.y, v_3.y}, {x_axis.z, y_axis.z, v_3.z}}};
}

}  // namespace

std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b, double rho_b,
                                            double sigma) noexcept {
    double d = dot(a, b);
    // Rounding can push the cosine of nearly (anti)parallel unit vectors past +-1.
    if (d < -1.0) d = -1.0;
    if (d > 1.0) d = 1.0;
    const double t = std::sqrt(1.0 - d * d);
    if (t < parallel_centres_sine) return std::nullopt;

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

std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry, double theta_a,
                                             double theta_b) noexcept {
    const BaseFrame base = base_frame(geometry);
    const Vec3 v_2 = rotate(rotation_about(base.joint_a_axis, theta_a), base.rest_elbow_a);
    const Vec3 v_4 = rotate(rotation_about(base.joint_b_axis, theta_b), base.rest_elbow_b);

    const std::optional<Vec3> v_3 = intersect_small_circles(
        v_2, geometry.coupler_arc, v_4, geometry.coupler_arc, branch_sign(geometry));
    if (!v_3) return std::nullopt;

    return FkSolution{end_effector_frame(v_2, *v_3, v_4), v_2, *v_3, v_4};
}

SphericalFiveBar::SphericalFiveBar(const SphericalLinkGeometry& geometry) noexcept
    : geometry_(geometry) {}

std::optional<FkSolution> forward_kinematics(const SphericalFiveBar& arm, double theta_a,
                                             double theta_b) noexcept {
    return forward_kinematics(arm.geometry(), theta_a, theta_b);
}

}  // namespace velmora::arm
