// The arm's follower on random target streams: smooth walks that leave the
// workspace, NaN bursts and random limits. Every commanded pair is a command
// that can be sent, and once the target is back in reach and stays, the arm is
// tracking it within ceil(distance / max_step) + 5 steps.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_follow.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::nan;
using testing::pi;

std::optional<JointLimits> random_limits(testing::Sampler& s, const JointPair& start) {
    if (s.coin()) return std::nullopt;
    return JointLimits{start.theta_a - s.uniform(0.2, 2.0), start.theta_a + s.uniform(0.2, 2.0),
                       start.theta_b - s.uniform(0.2, 2.0), start.theta_b + s.uniform(0.2, 2.0)};
}

// A closing start pair of a random arm, or nothing after a few misses.
std::optional<JointPair> closing_pair(testing::Sampler& s, const SphericalFiveBar& arm) {
    for (int tries = 0; tries < 50; ++tries) {
        const JointPair p{s.uniform(-1.5, 1.5), s.uniform(-1.5, 1.5)};
        if (forward_kinematics(arm, p.theta_a, p.theta_b)) return p;
    }
    return std::nullopt;
}

void test_arm_streams() {
    testing::Sampler s(1801);
    double worst_excess = 0.0;  // over max_step
    int streams = 0, recoveries = 0, late = 0;
    for (int run = 0; run < 300; ++run) {
        const SphericalFiveBar arm(s.coin() ? default_left() : default_right());
        const std::optional<JointPair> start = closing_pair(s, arm);
        if (!start) continue;
        const FollowSettings settings{s.uniform(0.01, 0.2), random_limits(s, *start), s.coin() ? 0.05 : 0.0};
        std::optional<ArmFollower> follower = ArmFollower::make(arm, *start, settings);
        if (!VT_CHECK(follower.has_value())) continue;
        ++streams;
        // A smooth walk in the joint plane; its v_3 is the target, replaced by an
        // arbitrary direction (often out of reach) or NaN for stretches.
        JointPair walk = *start;
        int excursion = 0, burst = 0;
        Vec3 away{};
        for (int t = 0; t < 400; ++t) {
            walk = {walk.theta_a + s.uniform(-0.05, 0.05), walk.theta_b + s.uniform(-0.05, 0.05)};
            if (excursion == 0 && s.uniform(0, 1) < 0.01) {
                excursion = 40;
                away = {s.uniform(-1, 1), s.uniform(-1, 1), s.uniform(-1, 1)};
            }
            if (burst == 0 && s.uniform(0, 1) < 0.01) burst = 5;
            const auto here = forward_kinematics(arm, walk.theta_a, walk.theta_b);
            Vec3 target = here ? here->v_3 : away;
            if (excursion > 0) --excursion, target = away;
            if (burst > 0) --burst, target = {nan, 1.0, 0.0};
            const JointPair before = follower->pair();
            const FollowStep step = follower->step(target);
            const JointPair& p = step.pair;
            testing::track_worst(worst_excess, joint_distance(p, before) - settings.max_step);
            VT_CHECK(std::isfinite(p.theta_a) && std::isfinite(p.theta_b));
            VT_CHECK(!settings.limits || settings.limits->admits(p));
            VT_CHECK(forward_kinematics(arm, p.theta_a, p.theta_b).has_value());
            if (burst > 0) VT_CHECK(step.status == FollowStatus::holding && p.theta_a == before.theta_a);
        }
        // The target comes back in reach (inside the limits) and stays.
        const std::optional<JointPair> goal_pair = closing_pair(s, arm);
        if (!goal_pair || (settings.limits && !settings.limits->admits(*goal_pair))) continue;
        const Vec3 goal = forward_kinematics(arm, goal_pair->theta_a, goal_pair->theta_b)->v_3;
        // The follower's goal: the nearest solution that keeps its margin.
        const auto nearest = inverse_kinematics_from_direction(arm, goal, follower->pair(),
                                                               Admissible{settings.limits, settings.margin});
        if (!nearest) continue;
        const int allowed =
            static_cast<int>(std::ceil(joint_distance(*nearest, follower->pair()) / settings.max_step)) + 5;
        int steps = 0;
        while (steps < 10 * allowed && follower->step(goal).status != FollowStatus::tracking) ++steps;
        ++recoveries;
        if (steps > allowed) {
            ++late;
            std::fprintf(stderr, "late: %d steps against %d allowed (run %d)\n", steps, allowed, run);
        }
    }
    VT_CHECK_MSG(worst_excess <= 0.0, "a step longer than max_step by " + testing::show(worst_excess));
    VT_CHECK(streams > 200 && recoveries > 100);
    VT_CHECK_MSG(late == 0, std::to_string(late) + " of " + std::to_string(recoveries) + " recoveries late");
}

// Bad settings and starts are refused, first fault first, and NaN bounds fail.
void test_follower_faults() {
    const SphericalFiveBar arm(default_left());
    const JointPair good{0.1, -0.1};
    struct Case {
        FollowSettings settings;
        JointPair start;
        std::optional<FollowerFault> fault;
    } cases[] = {
        {{0.1, std::nullopt, 0.05}, good, std::nullopt},
        {{0.0, std::nullopt, 0.05}, good, FollowerFault::max_step},
        {{nan, std::nullopt, 0.05}, good, FollowerFault::max_step},
        {{testing::inf, std::nullopt, 0.05}, good, FollowerFault::max_step},
        {{0.1, JointLimits{1.0, 0.0, -1.0, 1.0}, 0.05}, good, FollowerFault::limits},
        {{0.1, JointLimits{nan, 1.0, -1.0, 1.0}, 0.05}, good, FollowerFault::limits},
        {{0.1, JointLimits{-testing::inf, testing::inf, -1.0, 1.0}, 0.05}, good, std::nullopt},
        {{0.1, std::nullopt, -0.01}, good, FollowerFault::damping},
        {{0.1, std::nullopt, nan}, good, FollowerFault::damping},
        {{0.1, JointLimits{0.2, 1.0, -1.0, 1.0}, 0.05}, good, FollowerFault::start},
        {{0.1, std::nullopt, 0.05}, {nan, 0.0}, FollowerFault::start},
        {{0.1, std::nullopt, 0.05}, {0.0, pi}, FollowerFault::start},  // the loop does not close
    };
    for (const Case& c : cases) {
        const auto fault = follower_fault(arm, c.start, c.settings);
        VT_CHECK(fault == c.fault);
        VT_CHECK(ArmFollower::make(arm, c.start, c.settings).has_value() == !c.fault);
    }
}

// With max_step_change and a margin, on streams as above: every step within
// max_step, every change of step within max_step_change, the margin kept once
// held and below it only raised, the limits kept; a static target then brings
// the follower to rest.
void test_acceleration_streams() {
    testing::Sampler s(2207);
    double worst_step = 0.0, worst_change = 0.0;
    int rests = 0, streams = 0;
    for (int run = 0; run < 120; ++run) {
        const SphericalFiveBar arm(s.coin() ? default_left() : default_right());
        const std::optional<JointPair> start = closing_pair(s, arm);
        if (!start) continue;
        FollowSettings settings{s.uniform(0.005, 0.1), random_limits(s, *start), 0.05};
        settings.margin = s.coin() ? 0.02 : s.uniform(0.0, 0.08);
        settings.max_step_change = settings.max_step * s.uniform(0.01, 1.0);
        std::optional<ArmFollower> follower = ArmFollower::make(arm, *start, settings);
        if (!VT_CHECK(follower.has_value())) continue;
        ++streams;
        double lowest = *closure_margin(arm, start->theta_a, start->theta_b);
        JointPair walk = *start, last_step{0.0, 0.0};
        const Vec3 away{s.uniform(-1, 1), s.uniform(-1, 1), s.uniform(-1, 1)};
        for (int t = 0; t < 900; ++t) {
            walk = {walk.theta_a + s.uniform(-0.03, 0.03), walk.theta_b + s.uniform(-0.03, 0.03)};
            const auto here = forward_kinematics(arm, walk.theta_a, walk.theta_b);
            Vec3 target = here && t < 300 ? here->v_3 : away;
            if (t % 97 < 3) target = {nan, 0.0, 1.0};
            const JointPair before = follower->pair();
            const FollowStep step = follower->step(target);
            const JointPair moved_by{step.pair.theta_a - before.theta_a, step.pair.theta_b - before.theta_b};
            testing::track_worst(worst_step, joint_distance(moved_by, {0.0, 0.0}) - settings.max_step);
            testing::track_worst(worst_change, joint_distance(moved_by, last_step) - *settings.max_step_change);
            last_step = moved_by;
            VT_CHECK(!settings.limits || settings.limits->admits(step.pair));
            const std::optional<double> margin = closure_margin(arm, step.pair.theta_a, step.pair.theta_b);
            if (!VT_CHECK(margin.has_value())) break;
            if (lowest >= settings.margin) VT_CHECK(*margin >= settings.margin);
            else if (moved_by.theta_a != 0.0 || moved_by.theta_b != 0.0) VT_CHECK(*margin > lowest);
            lowest = std::max(lowest, *margin);
        }
        // The static target held for the last 600 ticks: at rest by now.
        rests += follower->velocity().theta_a == 0.0 && follower->velocity().theta_b == 0.0;
    }
    VT_CHECK_MSG(worst_step <= 0.0, "a step longer than max_step by " + testing::show(worst_step));
    VT_CHECK_MSG(worst_change <= 0.0, "a step change over max_step_change by " + testing::show(worst_change));
    VT_CHECK_MSG(rests == streams, std::to_string(streams - rests) + " of " + std::to_string(streams) + " not at rest");
}

// nearest_reachable is no worse than a 500 x 500 grid of the joint plane, and
// on a grid prepared once it is the same, bit for bit.
void test_nearest_reachable_against_a_grid() {
    testing::Sampler s(77);
    const SphericalFiveBar arm(default_left());
    static ReachGrid prepared[2];
    for (int k = 0; k < 2; ++k) prepare_reach_grid(arm, Admissible{std::nullopt, k % 2 ? 0.02 : 0.0}, prepared[k]);
    for (int k = 0; k < 12; ++k) {
        const Vec3 target{s.uniform(-1, 1), s.uniform(-1, 1), s.uniform(-1, 1)};
        const Admissible admissible{std::nullopt, k % 2 ? 0.02 : 0.0};
        const std::optional<Reach> reach = nearest_reachable(arm, target, admissible);
        if (!VT_CHECK(reach.has_value())) continue;
        const std::optional<Reach> again = nearest_reachable(arm, target, admissible, prepared[k % 2]);
        VT_CHECK(again && again->pair.theta_a == reach->pair.theta_a && again->pair.theta_b == reach->pair.theta_b &&
                 again->angle == reach->angle);
        const Vec3 unit = target / norm(target);
        double best = testing::inf;
        for (int i = 0; i < 500; ++i) {
            for (int j = 0; j < 500; ++j) {
                const JointPair p{-pi + 2 * pi * i / 500, -pi + 2 * pi * j / 500};
                const auto pose = forward_kinematics(arm, p.theta_a, p.theta_b);
                if (pose && admissible.admits(p, *pose))
                    best = std::min(best, std::atan2(norm(cross(pose->v_3, unit)), dot(pose->v_3, unit)));
            }
        }
        VT_CHECK_MSG(reach->angle <= best + 1e-6, testing::show(reach->angle) + " against " + testing::show(best));
        const auto pose = forward_kinematics(arm, reach->pair.theta_a, reach->pair.theta_b);
        VT_CHECK(pose && admissible.admits(reach->pair, *pose));
    }
}

}  // namespace

int main() {
    test_arm_streams();
    test_acceleration_streams();
    test_nearest_reachable_against_a_grid();
    test_follower_faults();
    return testing::finish("test_arm_follow");
}
