#include "velmora_torso_kinematics/arm_kinematics.hpp"

#include <cmath>

#include "base_frame.hpp"

namespace velmora::arm {
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
            const std::optional<FkSolution> solution = forward_kinematics(geometry, theta_a, *theta_b);
            if (solution) candidates.push_back({theta_a, *theta_b, *solution});
        }
    }
    return candidates;
}

std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                            const Mat3& r_target) noexcept {
    const Vec3 third_column{r_target[0][2], r_target[1][2], r_target[2][2]};
    const CandidateList candidates = enumerate_candidates(geometry, third_column);

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
    for (const IkCandidate& candidate : enumerate_candidates(geometry, target)) {
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
    for (const JointPair& pair : direction_solutions(geometry, direction)) {
        const double score = choice_score(pair, near);
        // Strictly greater: ties and NaN scores keep the earlier pair.
        if (!chosen || chosen_score > score) {
            chosen = pair;
            chosen_score = score;
        }
    }
    return chosen;
}

CandidateList enumerate_candidates(const SphericalFiveBar& arm, const Vec3& target) noexcept {
    return enumerate_candidates(arm.geometry(), target);
}

std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target) noexcept {
    return inverse_kinematics(arm.geometry(), r_target);
}

DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction) noexcept {
    return direction_solutions(arm.geometry(), direction);
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm,
                                                           const Vec3& direction,
                                                           const std::optional<JointPair>& near) noexcept {
    return inverse_kinematics_from_direction(arm.geometry(), direction, near);
}

}  // namespace velmora::arm
