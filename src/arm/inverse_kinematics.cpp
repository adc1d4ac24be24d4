#include "velmora_torso_kinematics/arm_kinematics.hpp"

#include <cmath>

#include "five_bar.hpp"

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

// Both points (sigma = +1, then -1) at arm_arc from the unit `axis` and at
// coupler_arc from `target`: intersect_small_circles twice, sharing everything
// but the out-of-plane sign. The tests do not depend on sigma, so either both
// points exist or neither does.
[[nodiscard]] bool intersect_both_sides(FiveBarConstants k, const Vec3& axis, const Vec3& target,
                                        Vec3 (&points)[2]) noexcept {
    double d = dot(axis, target);
    if (d < -1.0) d = -1.0;
    if (d > 1.0) d = 1.0;
    const double t = std::sqrt(1.0 - d * d);
    if (t < five_bar::parallel_centres_sine) return false;
    const double ca = k.cos_arm();
    const double l = (k.cos_coupler() - d * ca) / t;
    const double u = k.arm_circle() - l * l;
    if (u < 0.0) return false;
    const Vec3 n = cross(axis, target) / t;
    const Vec3 in_plane = ca * axis + l * cross(n, axis);
    const double root = std::sqrt(u);
    const double sides[2]{1.0, -1.0};
    for (int side = 0; side < 2; ++side) {
        const double h = sides[side] * root;
        points[side] = in_plane + h * n;
    }
    return true;
}

// The enumeration up to the loop closures: the two joint-A and two joint-B
// solutions, each elbow once, and the four closures of their pairs in candidate
// order (sigma_A, sigma_B) = (+,+), (+,-), (-,+), (-,-).
struct Closures {
    bool reached;  // false: no v_2 or no v_4, so no candidate at all
    double theta_a[2];
    double theta_b[2];
    Vec3 v_2[2];
    Vec3 v_4[2];
    bool closed[4];
    Vec3 v_3[4];

    [[nodiscard]] JointPair pair(int q) const noexcept { return {theta_a[q / 2], theta_b[q % 2]}; }
    [[nodiscard]] const Vec3& elbow_a(int q) const noexcept { return v_2[q / 2]; }
    [[nodiscard]] const Vec3& elbow_b(int q) const noexcept { return v_4[q % 2]; }
};

void close_all(FiveBarConstants k, const Vec3& target, Closures& c) noexcept {
    Vec3 p[2];
    Vec3 q[2];
    c.reached = intersect_both_sides(k, k.joint_a_axis(), target, p) &&
                intersect_both_sides(k, k.joint_b_axis(), target, q);
    if (!c.reached) return;
    for (int side = 0; side < 2; ++side) {
        c.theta_a[side] = signed_angle_about(k.joint_a_axis(), k.rest_perp_a(), p[side]);
        c.theta_b[side] = signed_angle_about(k.joint_b_axis(), k.rest_perp_b(), q[side]);
    }
    for (int side = 0; side < 2; ++side) {
        c.v_2[side] = five_bar::elbow_a(k, c.theta_a[side]);
        c.v_4[side] = five_bar::elbow_b(k, c.theta_b[side]);
    }
    // The arm's own branch may close on the other coupler intersection; callers
    // compare each closure with their target.
    for (int pair = 0; pair < 4; ++pair) {
        c.closed[pair] = five_bar::close_loop(k, c.elbow_a(pair), c.elbow_b(pair), c.v_3[pair]);
    }
}

}  // namespace

CandidateList enumerate_candidates(const SphericalFiveBar& arm, const Vec3& target) noexcept {
    CandidateList candidates;
    Closures c;
    close_all(FiveBarConstants{arm}, target, c);
    if (!c.reached) return candidates;
    for (int q = 0; q < 4; ++q) {
        if (!c.closed[q]) continue;
        const Vec3& v_2 = c.elbow_a(q);
        const Vec3& v_4 = c.elbow_b(q);
        const JointPair pair = c.pair(q);
        candidates.push_back({pair.theta_a, pair.theta_b,
                              {five_bar::end_effector_frame(v_2, c.v_3[q], v_4), v_2, c.v_3[q], v_4}});
    }
    return candidates;
}

std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target) noexcept {
    const Vec3 third_column{r_target[0][2], r_target[1][2], r_target[2][2]};
    Closures c;
    close_all(FiveBarConstants{arm}, third_column, c);
    if (!c.reached) return std::nullopt;

    std::optional<JointPair> best;
    double best_distance = 0.0;
    for (int q = 0; q < 4; ++q) {
        if (!c.closed[q]) continue;
        const Mat3 rotation = five_bar::end_effector_frame(c.elbow_a(q), c.v_3[q], c.elbow_b(q));
        const double distance = frobenius_distance(rotation, r_target);
        if (!(distance < rotation_tolerance)) continue;  // also rejects NaN
        if (!best || best_distance > distance) {
            best = c.pair(q);
            best_distance = distance;
        }
    }
    return best;
}

// Only v_3 is compared, so the end-effector frames are never built.
DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction) noexcept {
    DirectionSolutions solutions;
    const double length = norm(direction);
    if (length < shortest_direction) return solutions;  // a NaN length fails later
    const Vec3 target = direction / length;
    Closures c;
    close_all(FiveBarConstants{arm}, target, c);
    if (!c.reached) return solutions;
    for (int q = 0; q < 4; ++q) {
        // Also rejects a NaN distance.
        if (c.closed[q] && norm(c.v_3[q] - target) < direction_tolerance) solutions.push_back(c.pair(q));
    }
    return solutions;
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm,
                                                           const Vec3& direction,
                                                           const std::optional<JointPair>& near) noexcept {
    std::optional<JointPair> chosen;
    double chosen_score = 0.0;
    for (const JointPair& pair : direction_solutions(arm, direction)) {
        const double score = choice_score(pair, near);
        // Strictly greater: ties and NaN scores keep the earlier pair.
        if (!chosen || chosen_score > score) {
            chosen = pair;
            chosen_score = score;
        }
    }
    return chosen;
}

CandidateList enumerate_candidates(const SphericalLinkGeometry& geometry, const Vec3& target) noexcept {
    return enumerate_candidates(SphericalFiveBar(geometry), target);
}

std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                            const Mat3& r_target) noexcept {
    return inverse_kinematics(SphericalFiveBar(geometry), r_target);
}

DirectionSolutions direction_solutions(const SphericalLinkGeometry& geometry,
                                       const Vec3& direction) noexcept {
    return direction_solutions(SphericalFiveBar(geometry), direction);
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalLinkGeometry& geometry,
                                                           const Vec3& direction,
                                                           const std::optional<JointPair>& near) noexcept {
    return inverse_kinematics_from_direction(SphericalFiveBar(geometry), direction, near);
}

}  // namespace velmora::arm
