#include "velmora_torso_kinematics/arm_velocity.hpp"

#include <cmath>

#include "five_bar.hpp"
#include "input_axes.hpp"

namespace velmora::arm {
namespace {

[[nodiscard]] Vec3 column(const Mat3& m, int j) noexcept { return {m[0][j], m[1][j], m[2][j]}; }
[[nodiscard]] Vec3 column(const Mat32& m, int j) noexcept { return {m[0][j], m[1][j], m[2][j]}; }

void set_column(Mat32& m, int j, const Vec3& v) noexcept {
    m[0][j] = v.x;
    m[1][j] = v.y;
    m[2][j] = v.z;
}

// The pose with J_v, the closure, and the elbows' rates that J_omega also
// needs: everything but the frame's rate, which the measure and the joint rates
// never read.
struct PointingRates {
    FkSolution pose;
    Mat32 j_v;
    double closure;
    Vec3 v_2_rate;  // dv_2/dtheta_A
    Vec3 v_4_rate;  // dv_4/dtheta_B
};

// The loop's velocity constraints before anything is divided by their
// determinant: J_v = [c_0 c_1] / closure, finite even where the loop locks.
struct LoopRates {
    FkSolution pose;
    double closure;
    Vec3 c_0;
    Vec3 c_1;
    Vec3 v_2_rate;
    Vec3 v_4_rate;
};

std::optional<LoopRates> loop_rates(const SphericalFiveBar& arm, double theta_a, double theta_b) noexcept {
    const std::optional<FkSolution> fk = forward_kinematics(arm, theta_a, theta_b);
    if (!fk) return std::nullopt;
    const Vec3& v_2 = fk->v_2;
    const Vec3& v_3 = fk->v_3;
    const Vec3& v_4 = fk->v_4;

    // The loop keeps v_3.v_2 = cos(coupler_arc_a), v_3.v_4 = cos(coupler_arc_b) and v_3.v_3 = 1; their
    // rates give [v_2; v_4; v_3] v_3dot = (-v_3.v_2dot, -v_3.v_4dot, 0). The
    // inverse of a matrix with rows a, b, c has columns b x c, c x a, a x b over
    // det = a.(b x c) = v_3.(v_2 x v_4).
    const Vec3 v_4_cross_v_3 = cross(v_4, v_3);
    // The elbows turn about the input axes: dv_2/dtheta_A = v_1 x v_2, dv_4/dtheta_B = v_5 x v_4.
    const Vec3 v_2_rate = cross(joint_a_axis(), v_2);
    const Vec3 v_4_rate = cross(FiveBarAccess::constants(arm).joint_b_axis, v_4);
    return LoopRates{*fk, dot(v_2, v_4_cross_v_3), v_4_cross_v_3, cross(v_3, v_2), v_2_rate, v_4_rate};
}

std::optional<PointingRates> pointing_rates(const SphericalFiveBar& arm, double theta_a, double theta_b) noexcept {
    const std::optional<LoopRates> loop = loop_rates(arm, theta_a, theta_b);
    if (!loop) return std::nullopt;
    const double closure = loop->closure;
    // Written so that a NaN determinant passes on to NaN matrices.
    if (std::fabs(closure) < closure_singular_limit) return std::nullopt;
    const Vec3& v_3 = loop->pose.v_3;
    PointingRates rates{loop->pose, {}, closure, loop->v_2_rate, loop->v_4_rate};
    set_column(rates.j_v, 0, (-dot(v_3, rates.v_2_rate) / closure) * loop->c_0);
    set_column(rates.j_v, 1, (-dot(v_3, rates.v_4_rate) / closure) * loop->c_1);
    return rates;
}

// Damped least squares, (J^T J + damping^2 I) thetadot = J^T t, multiplied through
// by closure^2 so that it holds at the locked loop too, where J_v is unbounded and
// the rates go to zero along the locking direction.
JointPair damped_rates(const LoopRates& loop, const Vec3& v_3_dot, double damping) noexcept {
    const Vec3& v_3 = loop.pose.v_3;
    const Vec3 tangential = v_3_dot - dot(v_3_dot, v_3) * v_3;
    const Vec3 k_0 = -dot(v_3, loop.v_2_rate) * loop.c_0;
    const Vec3 k_1 = -dot(v_3, loop.v_4_rate) * loop.c_1;
    const double lift = (damping * loop.closure) * (damping * loop.closure);
    const double g_00 = dot(k_0, k_0) + lift;
    const double g_11 = dot(k_1, k_1) + lift;
    const double g_01 = dot(k_0, k_1);
    const double r_0 = loop.closure * dot(k_0, tangential);
    const double r_1 = loop.closure * dot(k_1, tangential);
    const double determinant = g_00 * g_11 - g_01 * g_01;
    if (!(determinant >= 1e-6 * (g_00 * g_11))) {
        // Near the locked loop k_0 and k_1 are nearly parallel and the products
        // above cancel to rounding: the determinant is |k_0 x k_1|^2 + lift (|k_0|^2 +
        // |k_1|^2) + lift^2 and the numerators are triple products, all without
        // cancellation, so the bound |thetadot| <= |t| / (2 damping) holds there too.
        const Vec3 n = cross(k_0, k_1);
        const double exact = dot(n, n) + lift * ((g_00 - lift) + (g_11 - lift)) + lift * lift;
        if (exact == 0.0) return {0.0, 0.0};
        return {(loop.closure * dot(tangential, cross(k_1, n)) + lift * r_0) / exact,
                (loop.closure * dot(tangential, cross(n, k_0)) + lift * r_1) / exact};
    }
    return {(g_11 * r_0 - g_01 * r_1) / determinant, (g_00 * r_1 - g_01 * r_0) / determinant};
}

// Least squares by Cramer's rule in the plane of J_v's columns: with
// n = c_0 x c_1, the part of the target along n drops out of both triple products.
std::optional<JointPair> least_squares_rates(const Mat32& j_v, const Vec3& v_3, const Vec3& v_3_dot) noexcept {
    if (smallest_singular_value(j_v) < pointing_singular_limit) return std::nullopt;
    const Vec3 tangential = v_3_dot - dot(v_3_dot, v_3) * v_3;
    const Vec3 c_0 = column(j_v, 0);
    const Vec3 c_1 = column(j_v, 1);
    const Vec3 n = cross(c_0, c_1);
    const double n_squared = dot(n, n);
    return JointPair{dot(cross(tangential, c_1), n) / n_squared, dot(cross(c_0, tangential), n) / n_squared};
}

}  // namespace

std::optional<ArmJacobians> jacobians(const SphericalFiveBar& arm, double theta_a, double theta_b) noexcept {
    const std::optional<PointingRates> rates = pointing_rates(arm, theta_a, theta_b);
    if (!rates) return std::nullopt;
    const FkSolution& fk = rates->pose;
    const Vec3& v_3 = fk.v_3;

    // With Xdot = omega x X and so on, omega = (Ydot.v_3) X + (v_3dot.X) Y + (Xdot.Y) v_3,
    // and Ydot.v_3 = -v_3dot.Y. Forward kinematics builds X as the normalised
    // projection of the elbows' bisector w = v_2 + v_4 off v_3; differentiating that
    // recipe, with w.Y = 0 and the length of the projection w.X / |w|, gives
    // Xdot.Y = (wdot.Y - (w.v_3)(v_3dot.Y)) / (w.X), in which |w| cancels.
    // Its fallback to a fixed auxiliary axis never applies here: the unit bisector's
    // projection is at least |closure| long (v_3 lies at least that far from the
    // elbows' plane, which holds the bisector), and that passed the limit above.
    const Vec3 x_axis = column(fk.rotation, 0);
    const Vec3 y_axis = column(fk.rotation, 1);
    const Vec3 bisector = fk.v_2 + fk.v_4;
    const double bisector_along_v_3 = dot(bisector, v_3);
    const double bisector_along_x = dot(bisector, x_axis);
    const auto angular_rate = [&](const Vec3& elbow_rate, const Vec3& v_3_rate) noexcept {
        const double v_3_along_x = dot(v_3_rate, x_axis);
        const double v_3_along_y = dot(v_3_rate, y_axis);
        const double x_turn =
            (dot(elbow_rate, y_axis) - bisector_along_v_3 * v_3_along_y) / bisector_along_x;
        return (-v_3_along_y * x_axis + v_3_along_x * y_axis) + x_turn * v_3;
    };

    ArmJacobians result{fk, {}, rates->j_v, rates->closure};
    set_column(result.j_omega, 0, angular_rate(rates->v_2_rate, column(rates->j_v, 0)));
    set_column(result.j_omega, 1, angular_rate(rates->v_4_rate, column(rates->j_v, 1)));
    return result;
}

double smallest_singular_value(const Mat32& m) noexcept {
    const Vec3 c_0 = column(m, 0);
    const Vec3 c_1 = column(m, 1);
    // Eigenvalues of [[a, b], [b, c]]: the larger one has no cancellation, and
    // their product is the determinant ac - b^2 = |c_0 x c_1|^2.
    const double a = dot(c_0, c_0);
    const double c = dot(c_1, c_1);
    const double b = dot(c_0, c_1);
    const double half_gap = 0.5 * (a - c);
    const double larger = 0.5 * (a + c) + std::sqrt(half_gap * half_gap + b * b);
    if (larger == 0.0) return 0.0;
    return norm(cross(c_0, c_1)) / std::sqrt(larger);
}

std::optional<double> singularity_measure(const SphericalFiveBar& arm, double theta_a, double theta_b) noexcept {
    const std::optional<PointingRates> rates = pointing_rates(arm, theta_a, theta_b);
    if (!rates) return std::nullopt;
    return smallest_singular_value(rates->j_v);
}

std::optional<JointPair> joint_rates(const ArmJacobians& jacobians, const Vec3& v_3_dot) noexcept {
    return least_squares_rates(jacobians.j_v, jacobians.pose.v_3, v_3_dot);
}

std::optional<JointPair> joint_rates(const SphericalFiveBar& arm, double theta_a, double theta_b,
                                     const Vec3& v_3_dot) noexcept {
    const std::optional<PointingRates> rates = pointing_rates(arm, theta_a, theta_b);
    if (!rates) return std::nullopt;
    return least_squares_rates(rates->j_v, rates->pose.v_3, v_3_dot);
}

std::optional<JointPair> joint_rates(const SphericalFiveBar& arm, double theta_a, double theta_b,
                                     const Vec3& v_3_dot, double damping) noexcept {
    if (damping == 0.0) return joint_rates(arm, theta_a, theta_b, v_3_dot);
    const std::optional<LoopRates> loop = loop_rates(arm, theta_a, theta_b);
    if (!loop) return std::nullopt;
    return damped_rates(*loop, v_3_dot, damping);
}

}  // namespace velmora::arm
