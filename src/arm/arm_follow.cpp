#include "velmora_torso_kinematics/arm_follow.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace velmora::arm {
namespace {

// Joint distance between the samples at which a straight approach is checked to
// keep the loop closed: fine enough that the closure region's gaps it could miss
// are narrower than the arm could pass anyway, coarse enough that checking a
// segment across the whole joint plane costs a few hundred forward kinematics.
// The pair actually commanded is always checked exactly.
constexpr double segment_sample_spacing = 0.02;

// Segments longer than this many samples (about 20 rad: multi-turn angles far
// from the inverses' [-pi, pi]) are not walked straight; the damped turn serves.
constexpr int most_segment_samples = 1024;

// How often a damped step is halved before the follower gives up and holds.
constexpr int damped_step_halvings = 20;

// Shorter directions carry no usable pointing information (as in the inverses).
constexpr double shortest_direction = 1e-12;

[[nodiscard]] bool finite(const JointPair& pair) noexcept {
    return std::isfinite(pair.theta_a) && std::isfinite(pair.theta_b);
}

[[nodiscard]] bool finite(const Vec3& v) noexcept {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

[[nodiscard]] bool admitted(const std::optional<JointLimits>& limits, const JointPair& pair) noexcept {
    return !limits || limits->admits(pair);
}

[[nodiscard]] bool closes(const SphericalFiveBar& arm, const JointPair& pair) noexcept {
    return forward_kinematics(arm, pair.theta_a, pair.theta_b).has_value();
}

// What a start or a commanded pair must be: finite, admitted and closing.
[[nodiscard]] bool commandable(const SphericalFiveBar& arm, const std::optional<JointLimits>& limits,
                               const JointPair& pair) noexcept {
    return finite(pair) && admitted(limits, pair) && closes(arm, pair);
}

[[nodiscard]] JointPair moved(const JointPair& from, const JointPair& delta, double fraction) noexcept {
    return {from.theta_a + fraction * delta.theta_a, from.theta_b + fraction * delta.theta_b};
}

// `from` moved by `fraction` of `delta`, with the fraction shortened until the
// rounded result lies within max_step of `from` (the comparison fails closed).
[[nodiscard]] std::optional<JointPair> bounded_move(const JointPair& from, const JointPair& delta, double fraction,
                                                    double max_step) noexcept {
    for (int tries = 0; tries < 64; ++tries) {
        const JointPair next = moved(from, delta, fraction);
        if (joint_distance(next, from) <= max_step) return next;
        fraction *= 1.0 - 0x1p-40;
        if (tries >= 8) fraction *= 0.5;
    }
    return std::nullopt;
}

// The pair inside `limits` nearest `pair`: each angle clamped to its interval.
[[nodiscard]] JointPair clamped(const std::optional<JointLimits>& limits, const JointPair& pair) noexcept {
    if (!limits) return pair;
    return {std::clamp(pair.theta_a, limits->a_min, limits->a_max),
            std::clamp(pair.theta_b, limits->b_min, limits->b_max)};
}

}  // namespace

std::optional<JointPair> path_step(const SphericalFiveBar& arm, const Vec3& direction,
                                   const std::optional<JointPair>& last, const std::optional<double>& max_step,
                                   const std::optional<JointLimits>& limits) noexcept {
    if (last && !finite(*last)) return std::nullopt;
    std::optional<JointPair> pair = limits ? inverse_kinematics_from_direction(arm, direction, last, *limits)
                                           : inverse_kinematics_from_direction(arm, direction, last);
    // Fails closed: a NaN distance or bound is never within the step.
    if (pair && max_step && last && !(joint_distance(*pair, *last) <= *max_step)) return std::nullopt;
    return pair;
}

std::optional<FollowerFault> follower_fault(const SphericalFiveBar& arm, const JointPair& start,
                                            const FollowSettings& settings) noexcept {
    if (!(settings.max_step > 0.0 && std::isfinite(settings.max_step))) return FollowerFault::max_step;
    if (settings.limits && !settings.limits->usable()) return FollowerFault::limits;
    if (!(settings.damping >= 0.0 && std::isfinite(settings.damping))) return FollowerFault::damping;
    if (!commandable(arm, settings.limits, start)) return FollowerFault::start;
    return std::nullopt;
}

std::optional<ArmFollower> ArmFollower::make(const SphericalFiveBar& arm, const JointPair& start,
                                             const FollowSettings& settings) noexcept {
    if (follower_fault(arm, start, settings)) return std::nullopt;
    return ArmFollower(arm, start, settings);
}

bool ArmFollower::reset(const JointPair& pair) noexcept {
    if (!commandable(arm_, settings_.limits, pair)) return false;
    pair_ = pair;
    return true;
}

FollowStep ArmFollower::step(const Vec3& direction) noexcept {
    if (!finite(direction)) return {pair_, FollowStatus::holding};
    const std::optional<JointPair> nearest =
        path_step(arm_, direction, pair_, settings_.max_step, settings_.limits);
    if (nearest) {
        pair_ = *nearest;
        return {pair_, FollowStatus::tracking};
    }
    const double length = norm(direction);
    if (!(length >= shortest_direction)) return {pair_, FollowStatus::holding};
    std::optional<JointPair> next = along_segment(direction);
    if (!next) next = damped_turn(direction / length);
    if (!next) return {pair_, FollowStatus::holding};
    pair_ = *next;
    return {pair_, FollowStatus::approaching};
}

// max_step along the straight joint-plane segment toward the nearest admissible
// solution whose segment keeps the loop closed (limits are a box, so a segment
// between two admitted pairs stays admitted).
std::optional<JointPair> ArmFollower::along_segment(const Vec3& direction) const noexcept {
    const DirectionSolutions solutions = settings_.limits ? direction_solutions(arm_, direction, *settings_.limits)
                                                          : direction_solutions(arm_, direction);
    // Nearest first; equal distances keep candidate order.
    std::array<JointPair, DirectionSolutions::capacity> order;
    std::size_t count = 0;
    for (const JointPair& pair : solutions) {
        std::size_t at = count++;
        const double distance = joint_distance_squared(pair, pair_);
        for (; at > 0 && joint_distance_squared(order[at - 1], pair_) > distance; --at) order[at] = order[at - 1];
        order[at] = pair;
    }
    for (std::size_t k = 0; k < count; ++k) {
        const JointPair delta{order[k].theta_a - pair_.theta_a, order[k].theta_b - pair_.theta_b};
        const double distance = joint_distance(order[k], pair_);
        const double needed = std::ceil(distance / segment_sample_spacing);
        if (!(needed <= most_segment_samples)) continue;
        const auto samples = static_cast<int>(needed);
        bool open = true;
        for (int i = 1; i < samples && open; ++i) open = closes(arm_, moved(pair_, delta, double(i) / samples));
        if (!open) continue;
        const std::optional<JointPair> next = bounded_move(pair_, delta, settings_.max_step / distance,
                                                           settings_.max_step);
        if (next && commandable(arm_, settings_.limits, *next)) return next;
    }
    return std::nullopt;
}

// One damped least-squares step that turns v_3 toward `target` (a unit vector)
// by the angle between them, clamped into the limits and halved until the pair
// closes and points closer to the target than the current one.
std::optional<JointPair> ArmFollower::damped_turn(const Vec3& target) const noexcept {
    const std::optional<FkSolution> here = forward_kinematics(arm_, pair_.theta_a, pair_.theta_b);
    if (!here) return std::nullopt;
    const Vec3& v_3 = here->v_3;
    const double alignment = dot(v_3, target);
    const Vec3 axis = cross(v_3, target);
    const double sine = norm(axis);
    // On the target already, or opposite it with no preferred way round.
    if (!(sine > 0.0)) return std::nullopt;
    const double angle = std::atan2(sine, alignment);
    // axis x v_3 is the tangent at v_3 toward the target, sine long.
    const Vec3 v_3_dot = (angle / sine) * cross(axis, v_3);
    const std::optional<JointPair> rates =
        joint_rates(arm_, pair_.theta_a, pair_.theta_b, v_3_dot, settings_.damping);
    if (!rates || !finite(*rates)) return std::nullopt;
    // Not std::hypot: glibc computes it differently on aarch64 and x86_64, and
    // the followers must give the same doubles on both.
    const double length = joint_distance(*rates, JointPair{0.0, 0.0});
    if (!(length > 0.0)) return std::nullopt;
    double fraction = std::min(1.0, settings_.max_step / length);
    for (int halving = 0; halving <= damped_step_halvings; ++halving, fraction *= 0.5) {
        const std::optional<JointPair> step = bounded_move(pair_, *rates, fraction, settings_.max_step);
        if (!step) continue;
        // Clamping moves each angle toward the current, admitted one: no farther.
        const JointPair next = clamped(settings_.limits, *step);
        const std::optional<FkSolution> there = forward_kinematics(arm_, next.theta_a, next.theta_b);
        if (there && finite(next) && dot(there->v_3, target) > alignment) return next;
    }
    return std::nullopt;
}

}  // namespace velmora::arm
