// The arm's kinematics as first written: the plain recipe, one step after
// another, every forward kinematics run from scratch. Kept unchanged as the
// readable statement of what the core computes; the differential test and the
// benchmark hold the core's fast code against it. Test support only.

#include "arm/reference_recipe.hpp"

#include <array>
#include <cmath>

namespace velmora::arm::reference {
namespace {

struct BaseFrame {
    Vec3 joint_a_axis;  // v_1 = (0, 0, 1), for both arms
    Vec3 joint_b_axis;  // v_5 = (m, 0, 0)
    Vec3 rest_elbow_a;  // v_2 at theta_A = 0: (m sin(arm_arc), 0, cos(arm_arc))
    Vec3 rest_elbow_b;  // v_4 at theta_B = 0: (m cos(arm_arc), 0, sin(arm_arc))
};

[[nodiscard]] inline BaseFrame base_frame(const SphericalLinkGeometry& geometry) noexcept {
    const double m = mirror_sign(geometry);
    const double sin_arm = std::sin(geometry.arm_arc);
    const double cos_arm = std::cos(geometry.arm_arc);
    return {{0.0, 0.0, 1.0}, {m, 0.0, 0.0}, {m * sin_arm, 0.0, cos_arm}, {m * cos_arm, 0.0, sin_arm}};
}

}  // namespace

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

namespace {

// Largest Frobenius distance between a candidate's rotation and the target
// that still counts as reaching it: loose enough for rounding through the
// enumeration, tight enough to reject the other closures and turned frames.
constexpr double rotation_tolerance = 1e-6;

// Largest distance between a candidate's v_3 and the unit target direction
// that still counts as pointing along it.
constexpr double direction_tolerance = 1e-6;

// Shorter directions carry no usable pointing information.
constexpr double shortest_direction = 1e-12;

// The part of v perpendicular to the unit axis k, not normalised.
[[nodiscard]] Vec3 perpendicular_part(const Vec3& v, const Vec3& k) noexcept {
    return v - dot(v, k) * k;
}

// Angle about k from the reference (already projected off k) to p, in [-pi, pi];
// atan2(0, 0) = 0 when either projection vanishes.
[[nodiscard]] double signed_angle_about(const Vec3& k, const Vec3& reference_perp,
                                        const Vec3& p) noexcept {
    const Vec3 p_perp = perpendicular_part(p, k);
    return std::atan2(dot(k, cross(reference_perp, p_perp)), dot(reference_perp, p_perp));
}

[[nodiscard]] double frobenius_distance(const Mat3& a, const Mat3& b) noexcept {
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double difference = a[i][j] - b[i][j];
            sum += difference * difference;
        }
    }
    return std::sqrt(sum);
}

// With `near`: squared distance in the joint plane, angles not wrapped, so a
// pair 2*pi away counts as far. Without: the squared norm of the pair.
[[nodiscard]] double choice_score(const JointPair& pair, const std::optional<JointPair>& near) noexcept {
    if (near) {
        const double da = pair.theta_a - near->theta_a;
        const double db = pair.theta_b - near->theta_b;
        return da * da + db * db;
    }
    return pair.theta_a * pair.theta_a + pair.theta_b * pair.theta_b;
}

}  // namespace

CandidateList enumerate_candidates(const SphericalLinkGeometry& geometry, const Vec3& target) noexcept {
    const double alpha = geometry.arm_arc;
    const double beta = geometry.coupler_arc;
    const BaseFrame base = base_frame(geometry);
    const Vec3& joint_a_axis = base.joint_a_axis;
    const Vec3& joint_b_axis = base.joint_b_axis;
    const Vec3 rest_perp_a = perpendicular_part(base.rest_elbow_a, joint_a_axis);
    const Vec3 rest_perp_b = perpendicular_part(base.rest_elbow_b, joint_b_axis);

    // v_4 and theta_B do not depend on sigma_A: solve both once, reuse in each pass.
    constexpr std::array<double, 2> sides{1.0, -1.0};
    std::array<std::optional<double>, 2> thetas_b{};
    for (std::size_t k = 0; k < sides.size(); ++k) {
        const std::optional<Vec3> q = intersect_small_circles(joint_b_axis, alpha, target, beta, sides[k]);
        if (q) thetas_b[k] = signed_angle_about(joint_b_axis, rest_perp_b, *q);
    }

    CandidateList candidates;
    for (const double sigma_a : sides) {
        const std::optional<Vec3> p = intersect_small_circles(joint_a_axis, alpha, target, beta, sigma_a);
        if (!p) continue;
        const double theta_a = signed_angle_about(joint_a_axis, rest_perp_a, *p);
        for (const std::optional<double>& theta_b : thetas_b) {
            if (!theta_b) continue;
            // The arm's own branch may close on the other coupler intersection;
            // callers compare each solution with their target.
            const std::optional<FkSolution> solution = reference::forward_kinematics(geometry, theta_a, *theta_b);
            if (solution) candidates.push_back({theta_a, *theta_b, *solution});
        }
    }
    return candidates;
}

std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                            const Mat3& r_target) noexcept {
    const Vec3 third_column{r_target[0][2], r_target[1][2], r_target[2][2]};
    const CandidateList candidates = reference::enumerate_candidates(geometry, third_column);

    const IkCandidate* best = nullptr;
    double best_distance = 0.0;
    for (const IkCandidate& candidate : candidates) {
        const double distance = frobenius_distance(candidate.solution.rotation, r_target);
        if (!(distance < rotation_tolerance)) continue;  // also rejects NaN
        if (best == nullptr || best_distance > distance) {
            best = &candidate;
            best_distance = distance;
        }
    }
    if (best == nullptr) return std::nullopt;
    return JointPair{best->theta_a, best->theta_b};
}

DirectionSolutions direction_solutions(const SphericalLinkGeometry& geometry,
                                       const Vec3& direction) noexcept {
    DirectionSolutions solutions;
    const double length = norm(direction);
    if (length < shortest_direction) return solutions;  // a NaN length fails later
    const Vec3 target = direction / length;
    for (const IkCandidate& candidate : reference::enumerate_candidates(geometry, target)) {
        // Also rejects a NaN distance.
        if (norm(candidate.solution.v_3 - target) < direction_tolerance) {
            solutions.push_back({candidate.theta_a, candidate.theta_b});
        }
    }
    return solutions;
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalLinkGeometry& geometry,
                                                           const Vec3& direction,
                                                           const std::optional<JointPair>& near) noexcept {
    std::optional<JointPair> chosen;
    double chosen_score = 0.0;
    for (const JointPair& pair : reference::direction_solutions(geometry, direction)) {
        const double score = choice_score(pair, near);
        // Strictly greater: ties and NaN scores keep the earlier pair.
        if (!chosen || chosen_score > score) {
            chosen = pair;
            chosen_score = score;
        }
    }
    return chosen;
}

}  // namespace velmora::arm::reference
