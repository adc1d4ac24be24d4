#include "velmora_torso_kinematics/arm_kinematics.hpp"

#include <cmath>

#include "velmora_torso_kinematics/arm_reach.hpp"

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

// frobenius_distance of two frames at once, given by their columns X, Y and v_3 (a lane each).
[[nodiscard]] lanes::Pair frobenius_distances(const lanes::Vec3s& x_axis, const lanes::Vec3s& y_axis,
                                              const lanes::Vec3s& v_3, const Mat3& b) noexcept {
    const lanes::Pair* const a[3][3] = {{&x_axis.x, &y_axis.x, &v_3.x},
                                        {&x_axis.y, &y_axis.y, &v_3.y},
                                        {&x_axis.z, &y_axis.z, &v_3.z}};
    lanes::Pair sum = lanes::splat(0.0);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const lanes::Pair difference = *a[i][j] - lanes::splat(b[i][j]);
            sum += difference * difference;
        }
    }
    return lanes::sqrt(sum);
}

// With `near`: the squared joint distance to it. Without: the squared norm of the pair.
[[nodiscard]] double choice_score(const JointPair& pair, const std::optional<JointPair>& near) noexcept {
    if (near) return joint_distance_squared(pair, *near);
    return pair.theta_a * pair.theta_a + pair.theta_b * pair.theta_b;
}

// Admits every pair: the inverses without limits.
struct NoLimits {
    [[nodiscard]] constexpr bool admits(const JointPair&) const noexcept { return true; }
};

// Keeps every closed loop: the inverses without a margin.
struct NoMargin {
    [[nodiscard]] constexpr bool keeps(const Vec3&, const Vec3&, const Vec3&) const noexcept { return true; }
};

// Keeps the loops whose closure margin is at least `margin`.
struct Margin {
    double margin;
    [[nodiscard]] bool keeps(const Vec3& v_2, const Vec3& v_3, const Vec3& v_4) const noexcept {
        return std::fabs(dot(v_3, cross(v_2, v_4))) >= margin;
    }
};

// The joint angles that put each elbow at its coupler arc from `target`, for
// sigma = +1 then -1: the circle about v_1 (arm_arc_a) with the one about the
// target (coupler_arc_a) in lane 0, v_5 (arm_arc_b) with coupler_arc_b in lane 1,
// the two signs sharing everything but the out-of-plane term, then each point's
// signed angle from its rest elbow. The tests do not depend on sigma, so either
// both points about an axis exist or neither does; false unless both axes have them.
[[nodiscard]] bool joint_solutions(const FiveBarConstants& k, const Vec3& target, double (&theta_a)[2],
                                   double (&theta_b)[2]) noexcept {
    using lanes::splat;
    const lanes::Vec3s axis = lanes::join(k.joint_a_axis, k.joint_b_axis);
    const lanes::Vec3s b = lanes::splat(target);
    const lanes::Pair cos_a{k.cos_arm_a, k.cos_arm_b};
    const five_bar::CircleOffsets o =
        five_bar::circle_offsets(axis, b, cos_a, lanes::Pair{k.cos_coupler_a, k.cos_coupler_b},
                                 lanes::Pair{k.arm_circle_a, k.arm_circle_b});
    const lanes::Mask missed = five_bar::circles_miss(o);
    if (missed[0] != 0 || missed[1] != 0) return false;
    const five_bar::CircleFrame f = five_bar::circle_frame(axis, b, cos_a, o);
    const lanes::Vec3s& n = f.normal;
    const lanes::Vec3s& in_plane = f.in_plane;
    const lanes::Pair root = lanes::sqrt(o.u);
    const lanes::Vec3s plus = in_plane + (splat(1.0) * root) * n;
    const lanes::Vec3s minus = in_plane + (splat(-1.0) * root) * n;
    // The angle about each axis k from its rest elbow (projected off k once, in the
    // prepared arm) to the point p, both projections unnormalised, in [-pi, pi]:
    // atan2(k . (rest_perp x p_perp), rest_perp . p_perp), 0 when either vanishes.
    const lanes::Vec3s rest_perp = lanes::join(k.rest_perp_a, k.rest_perp_b);
    const lanes::Vec3s* const points[2] = {&plus, &minus};
    for (int side = 0; side < 2; ++side) {
        const lanes::Vec3s& point = *points[side];
        const lanes::Vec3s point_perp = point - dot(point, axis) * axis;
        const lanes::Pair y = dot(axis, cross(rest_perp, point_perp));
        const lanes::Pair x = dot(rest_perp, point_perp);
        theta_a[side] = std::atan2(y[0], x[0]);
        theta_b[side] = std::atan2(y[1], x[1]);
    }
    return true;
}

// The enumeration up to the loop closures: the two joint-A and two joint-B
// solutions, each elbow once, and the four closures of their pairs in candidate
// order (sigma_A, sigma_B) = (+,+), (+,-), (-,+), (-,-). The two closures of one
// sigma_A share v_2 and run side by side, a lane per sigma_B.
struct Closures {
    bool reached;  // false: no v_2 or no v_4, so no candidate at all
    double theta_a[2];
    double theta_b[2];
    lanes::Vec3s v_2[2];   // per sigma_A, the same in both lanes
    lanes::Vec3s v_4;      // a lane per sigma_B
    lanes::Vec3s v_3[2];   // per sigma_A, a lane per sigma_B
    bool closed[2][2];     // [sigma_A][sigma_B]

    [[nodiscard]] JointPair pair(int a, int b) const noexcept { return {theta_a[a], theta_b[b]}; }
};

[[gnu::always_inline]] inline void close_all(const FiveBarConstants& k, const Vec3& target, Closures& c) noexcept {
    c.reached = joint_solutions(k, target, c.theta_a, c.theta_b);
    if (!c.reached) return;
    Vec3 v_4[2];
    for (int side = 0; side < 2; ++side) {
        c.v_2[side] = lanes::splat(five_bar::elbow_a(k, c.theta_a[side]));
        v_4[side] = five_bar::elbow_b(k, c.theta_b[side]);
    }
    c.v_4 = lanes::join(v_4[0], v_4[1]);
    // The arm's own branch may close on the other coupler intersection; callers
    // compare each closure with their target.
    for (int a = 0; a < 2; ++a) c.v_3[a] = five_bar::close_loops(k, c.v_2[a], c.v_4, c.closed[a]);
}

}  // namespace

CandidateList enumerate_candidates(const SphericalFiveBar& arm, const Vec3& target) noexcept {
    CandidateList candidates;
    Closures c;
    close_all(FiveBarAccess::constants(arm), target, c);
    if (!c.reached) return candidates;
    for (int a = 0; a < 2; ++a) {
        Mat3 frames[2];
        five_bar::end_effector_frames(c.v_2[a], c.v_3[a], c.v_4, c.closed[a], frames);
        for (int b = 0; b < 2; ++b) {
            if (!c.closed[a][b]) continue;
            const JointPair pair = c.pair(a, b);
            candidates.push_back(
                {pair.theta_a, pair.theta_b, {frames[b], c.v_2[a].lane(b), c.v_3[a].lane(b), c.v_4.lane(b)}});
        }
    }
    return candidates;
}

namespace {

template <class Limits, class Closure = NoMargin>
std::optional<JointPair> inverse_kinematics_within(const SphericalFiveBar& arm, const Mat3& r_target,
                                                   const Limits& limits, const Closure& closure = {}) noexcept {
    const Vec3 third_column{r_target[0][2], r_target[1][2], r_target[2][2]};
    Closures c;
    close_all(FiveBarAccess::constants(arm), third_column, c);
    if (!c.reached) return std::nullopt;

    std::optional<JointPair> best;
    double best_distance = 0.0;
    for (int a = 0; a < 2; ++a) {
        const five_bar::FrameLanes f = five_bar::frame_lanes(c.v_2[a], c.v_3[a], c.v_4);
        const lanes::Pair distances = frobenius_distances(f.x_axis, f.y_axis, c.v_3[a], r_target);
        for (int b = 0; b < 2; ++b) {
            if (!c.closed[a][b] || !limits.admits(c.pair(a, b)) ||
                !closure.keeps(c.v_2[a].lane(b), c.v_3[a].lane(b), c.v_4.lane(b)))
                continue;
            const double distance =
                f.usable[b] != 0
                    ? distances[b]
                    : frobenius_distance(
                          five_bar::end_effector_frame(c.v_2[a].lane(b), c.v_3[a].lane(b), c.v_4.lane(b)),
                          r_target);
            if (!(distance < rotation_tolerance)) continue;  // also rejects NaN
            if (!best || best_distance > distance) {
                best = c.pair(a, b);
                best_distance = distance;
            }
        }
    }
    return best;
}

// Only v_3 is compared, so the end-effector frames are never built.
template <class Limits, class Closure = NoMargin>
DirectionSolutions direction_solutions_within(const SphericalFiveBar& arm, const Vec3& direction,
                                              const Limits& limits, const Closure& closure = {}) noexcept {
    DirectionSolutions solutions;
    const double length = norm(direction);
    if (length < shortest_direction) return solutions;  // a NaN length fails later
    const Vec3 target = direction / length;
    Closures c;
    close_all(FiveBarAccess::constants(arm), target, c);
    if (!c.reached) return solutions;
    const lanes::Vec3s targets = lanes::splat(target);
    for (int a = 0; a < 2; ++a) {
        const lanes::Vec3s offset = c.v_3[a] - targets;
        const lanes::Pair distance = lanes::sqrt(dot(offset, offset));  // norm, a lane per sigma_B
        for (int b = 0; b < 2; ++b) {
            // Also rejects a NaN distance.
            if (c.closed[a][b] && distance[b] < direction_tolerance && limits.admits(c.pair(a, b)) &&
                closure.keeps(c.v_2[a].lane(b), c.v_3[a].lane(b), c.v_4.lane(b)))
                solutions.push_back(c.pair(a, b));
        }
    }
    return solutions;
}

// The candidate nearest `near` (or of smallest norm) among `solutions`.
std::optional<JointPair> choose(const DirectionSolutions& solutions, const std::optional<JointPair>& near) noexcept {
    std::optional<JointPair> chosen;
    double chosen_score = 0.0;
    for (const JointPair& pair : solutions) {
        const double score = choice_score(pair, near);
        // Strictly greater: ties and NaN scores keep the earlier pair.
        if (!chosen || chosen_score > score) {
            chosen = pair;
            chosen_score = score;
        }
    }
    return chosen;
}

}  // namespace

std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target) noexcept {
    return inverse_kinematics_within(arm, r_target, NoLimits{});
}

std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target,
                                            const JointLimits& limits) noexcept {
    return inverse_kinematics_within(arm, r_target, limits);
}

DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction) noexcept {
    return direction_solutions_within(arm, direction, NoLimits{});
}

DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction,
                                       const JointLimits& limits) noexcept {
    return direction_solutions_within(arm, direction, limits);
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm, const Vec3& direction,
                                                           const std::optional<JointPair>& near) noexcept {
    return choose(direction_solutions(arm, direction), near);
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm, const Vec3& direction,
                                                           const std::optional<JointPair>& near,
                                                           const JointLimits& limits) noexcept {
    return choose(direction_solutions(arm, direction, limits), near);
}

DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction,
                                       const Admissible& admissible) noexcept {
    if (admissible.margin == 0.0)
        return admissible.limits ? direction_solutions(arm, direction, *admissible.limits)
                                 : direction_solutions(arm, direction);
    const Margin margin{admissible.margin};
    return admissible.limits ? direction_solutions_within(arm, direction, *admissible.limits, margin)
                             : direction_solutions_within(arm, direction, NoLimits{}, margin);
}

std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target,
                                            const Admissible& admissible) noexcept {
    if (admissible.margin == 0.0)
        return admissible.limits ? inverse_kinematics(arm, r_target, *admissible.limits)
                                 : inverse_kinematics(arm, r_target);
    const Margin margin{admissible.margin};
    return admissible.limits ? inverse_kinematics_within(arm, r_target, *admissible.limits, margin)
                             : inverse_kinematics_within(arm, r_target, NoLimits{}, margin);
}

std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm, const Vec3& direction,
                                                           const std::optional<JointPair>& near,
                                                           const Admissible& admissible) noexcept {
    return choose(direction_solutions(arm, direction, admissible), near);
}

}  // namespace velmora::arm
