// The neck's follower on a head turning steadily through pitch pi/2 and yaw pi
// with jitter: no angle moves more than max_step in a step, and tracking
// reproduces the head's rotation (up to the roll the gimbal-lock band hides).
// Within limits it goes to the admitted representation nearest it (checked
// against every one), and under max_step_change its steps change by at most
// that, it could always brake to rest inside the limits, and a static target
// is reached near the time-optimal time without turning back.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "support/check.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace {

using namespace velmora;

void test_neck_streams() {
    testing::Sampler s(1802);
    double worst_excess = 0.0, worst_off = 0.0, worst_locked = 0.0;
    for (int run = 0; run < 200; ++run) {
        const double max_step = s.uniform(0.01, 0.3);
        auto follower = neck::NeckFollower::make({0.0, 0.0, 0.0}, max_step, std::nullopt);
        neck::NeckAngles head{0.0, 0.0, 0.0};
        // A head turning steadily through pitch pi/2 and yaw pi, with jitter.
        const double rate = s.uniform(0.001, 0.02);
        for (int t = 0; t < 600; ++t) {
            head = {head.yaw + rate + s.uniform(-1e-3, 1e-3), head.pitch + rate, head.roll - rate};
            const neck::NeckAngles before = follower->angles();
            const neck::NeckFollowStep step = follower->step(neck::forward_kinematics(head));
            const neck::NeckAngles& a = step.angles;
            for (const double d : {a.yaw - before.yaw, a.pitch - before.pitch, a.roll - before.roll})
                testing::track_worst(worst_excess, std::fabs(d) - max_step);
            // Tracking reproduces the head's rotation, up to the roll that the
            // gimbal-lock band (|sin pitch| within 1e-6 of 1) cannot tell from yaw.
            const Mat3 r = neck::forward_kinematics(a), h = neck::forward_kinematics(head);
            const bool locked = 1.0 - std::fabs(h[2][0]) < 1e-6;
            for (int i = 0; i < 3 && step.status == FollowStatus::tracking; ++i)
                for (int j = 0; j < 3; ++j)
                    testing::track_worst(locked ? worst_locked : worst_off, std::fabs(r[i][j] - h[i][j]));
        }
    }
    VT_CHECK_MSG(worst_excess <= 0.0, "a neck step longer than max_step by " + testing::show(worst_excess));
    VT_CHECK_MSG(worst_off < 1e-9, "tracking off the head's rotation by " + testing::show(worst_off));
    VT_CHECK_MSG(worst_locked < 2e-3, "locked tracking off the head's rotation by " + testing::show(worst_locked));
}

// Every representation of the rotation of `head` inside the limits, each angle
// turned by up to three whole turns: the squared distance of the nearest to `near`.
std::optional<double> nearest_admitted(const neck::NeckAngles& head, const neck::NeckAngles& near,
                                       const neck::NeckLimits& limits) {
    std::optional<double> best;
    for (const neck::NeckAngles& base : {head, neck::NeckAngles{head.yaw + testing::pi, testing::pi - head.pitch,
                                                                head.roll + testing::pi}})
        for (int i = -3; i <= 3; ++i)
            for (int j = -3; j <= 3; ++j)
                for (int k = -3; k <= 3; ++k) {
                    const neck::NeckAngles a{base.yaw + 2 * i * testing::pi, base.pitch + 2 * j * testing::pi,
                                             base.roll + 2 * k * testing::pi};
                    if (!limits.admits(a)) continue;
                    const double dy = a.yaw - near.yaw, dp = a.pitch - near.pitch, dr = a.roll - near.roll;
                    const double d = dy * dy + dp * dp + dr * dr;
                    if (!best || d < *best) best = d;
                }
    return best;
}

neck::NeckLimits random_limits(testing::Sampler& s) {
    const auto range = [&](double width) {
        const double low = s.uniform(-4.0, 2.0);
        return std::array<double, 2>{low, low + s.uniform(0.05, width)};
    };
    const auto yaw = range(5.0), pitch = range(3.0), roll = range(4.0);
    return {yaw[0], yaw[1], pitch[0], pitch[1], roll[0], roll[1]};
}

void test_goal_is_the_nearest_admitted_representation() {
    testing::Sampler s(2511);
    int reachable = 0, worst_count = 0;
    double worst = 0.0;
    for (int run = 0; run < 20000; ++run) {
        const neck::NeckLimits limits = random_limits(s);
        const neck::NeckAngles head{s.uniform(-4, 4), s.uniform(-1.5, 1.5), s.uniform(-4, 4)};
        const neck::NeckAngles near{s.uniform(limits.yaw_min, limits.yaw_max),
                                    s.uniform(limits.pitch_min, limits.pitch_max),
                                    s.uniform(limits.roll_min, limits.roll_max)};
        const auto goal = neck::goal_within(neck::forward_kinematics(head), near, limits);
        const std::optional<double> best = nearest_admitted(head, near, limits);
        VT_CHECK(goal.has_value());
        if (!goal) continue;
        VT_CHECK(limits.admits(goal->angles));
        if (goal->reachable != best.has_value()) {
            ++worst_count;
            continue;
        }
        if (!best) continue;
        ++reachable;
        const neck::NeckAngles& a = goal->angles;
        const double dy = a.yaw - near.yaw, dp = a.pitch - near.pitch, dr = a.roll - near.roll;
        testing::track_worst(worst, (dy * dy + dp * dp + dr * dr) - *best);
        // The goal is the head's rotation.
        const Mat3 r = neck::forward_kinematics(a), h = neck::forward_kinematics(head);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) testing::track_worst(worst, std::fabs(r[i][j] - h[i][j]) - 1e-12);
    }
    VT_CHECK_MSG(worst_count == 0, "reachable disagrees with the enumeration " + std::to_string(worst_count) + " times");
    VT_CHECK_MSG(worst <= 1e-9, "a goal farther than the nearest admitted representation by " + testing::show(worst));
    VT_CHECK_MSG(reachable > 800, "too few reachable cases: " + std::to_string(reachable));

    // In the gimbal-lock band a yaw the limits refuse is traded for roll: the
    // goal is inside the limits and reproduces the rotation as well as the band
    // allows, wherever the line of equivalent yaw and roll crosses the limits.
    double worst_locked = 0.0;
    int traded = 0;
    for (int run = 0; run < 5000; ++run) {
        const double side = s.coin() ? 1.0 : -1.0;
        const neck::NeckAngles head{s.uniform(-3, 3), side * (testing::pi / 2 - s.uniform(0.0, 1e-4)), s.uniform(-3, 3)};
        const neck::NeckLimits limits{-1, 1, -1.6, 1.6, -1, 1};
        const neck::NeckAngles near{s.uniform(-1, 1), s.uniform(-1.5, 1.5), s.uniform(-1, 1)};
        const auto goal = neck::goal_within(neck::forward_kinematics(head), near, limits);
        // roll - side * yaw of the head, turned into (-pi, pi]: the box reaches |2| only.
        const double line = std::remainder(head.roll - side * head.yaw, 2 * testing::pi);
        if (!goal || std::fabs(line) > 1.999) continue;
        ++traded;
        VT_CHECK(goal->reachable && limits.admits(goal->angles));
        const Mat3 r = neck::forward_kinematics(goal->angles), h = neck::forward_kinematics(head);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) testing::track_worst(worst_locked, std::fabs(r[i][j] - h[i][j]));
    }
    VT_CHECK_MSG(traded > 1000, "too few traded cases: " + std::to_string(traded));
    VT_CHECK_MSG(worst_locked < 3e-3, "a traded goal off the rotation by " + testing::show(worst_locked));
}

// A stream of static stretches (reachable or not), moving stretches and
// matrices that are not rotations.
struct Stream {
    testing::Sampler& s;
    neck::NeckAngles head{0.0, 0.0, 0.0};
    int left = 0;
    int kind = 0;  // 0 static, 1 moving, 2 invalid
    int since = 0;  // ticks since the stretch began
    double rate = 0.0;

    Mat3 next() {
        if (left-- <= 0) {
            left = static_cast<int>(s.uniform(20, 400));
            kind = s.uniform(0, 1) < 0.6 ? 0 : s.uniform(0, 1) < 0.8 ? 1 : 2;
            head = {s.uniform(-4, 4), s.uniform(-2, 2), s.uniform(-4, 4)};
            rate = s.uniform(-0.05, 0.05);
            since = 0;
        }
        ++since;
        if (kind == 1) head = {head.yaw + rate, head.pitch - 0.5 * rate, head.roll + 0.3 * rate};
        if (kind == 2) {
            Mat3 r = neck::forward_kinematics(head);
            if (left % 2 == 0) r[2] = {-r[2][0], -r[2][1], -r[2][2]};  // a reflection
            else r[0][0] = testing::nan;
            return r;
        }
        return neck::forward_kinematics(head);
    }
};

void test_acceleration_limited_streams() {
    testing::Sampler s(2512);
    double excess_step = 0.0, excess_change = 0.0, outside = 0.0, brake_outside = 0.0;
    int reversals = 0, invalid_moves = 0;
    for (int run = 0; run < 300; ++run) {
        const double max_step = s.uniform(0.002, 0.2);
        const double change = max_step * s.uniform(0.01, 1.0);
        const bool bounded = s.coin();
        const std::optional<neck::NeckLimits> limits = bounded ? std::optional(random_limits(s)) : std::nullopt;
        const neck::NeckAngles start = bounded ? neck::NeckAngles{limits->yaw_min, limits->pitch_max,
                                                                  0.5 * (limits->roll_min + limits->roll_max)}
                                               : neck::NeckAngles{0.0, 0.0, 0.0};
        auto follower = neck::NeckFollower::make(start, {max_step, change, limits});
        VT_CHECK(follower.has_value());
        if (!follower) continue;
        Stream stream{s};
        neck::NeckAngles last_step{0.0, 0.0, 0.0};
        for (int t = 0; t < 3000; ++t) {
            const neck::NeckAngles before = follower->angles();
            const neck::NeckFollowStep step = follower->step(stream.next());
            const neck::NeckAngles& a = step.angles;
            const std::array<double, 3> d{a.yaw - before.yaw, a.pitch - before.pitch, a.roll - before.roll};
            const std::array<double, 3> e{last_step.yaw, last_step.pitch, last_step.roll};
            for (int k = 0; k < 3; ++k) {
                testing::track_worst(excess_step, std::fabs(d[k]) - max_step);
                testing::track_worst(excess_change, std::fabs(d[k] - e[k]) - change);
                // On a static target, once it has turned toward it, no step of a
                // quarter max_step turns back on the last.
                if (stream.kind == 0 && stream.since > 3 && d[k] * e[k] < 0 && std::fabs(d[k]) > max_step / 4 &&
                    std::fabs(e[k]) > max_step / 4)
                    ++reversals;
            }
            if (step.status == FollowStatus::holding && stream.kind != 2) ++invalid_moves;
            // Holding brakes to rest within the ticks a stop from full speed takes.
            const neck::NeckAngles v = follower->velocity();
            if (stream.kind == 2 && stream.since > max_step / change + 2 && (v.yaw != 0 || v.pitch != 0 || v.roll != 0))
                ++invalid_moves;
            if (limits) {
                testing::track_worst(outside, limits->admits(a) ? 0.0 : 1.0);
                // Braking as hard as allowed from here stays inside the limits.
                std::array<double, 3> x{a.yaw, a.pitch, a.roll}, v = d;
                const std::array<double, 6> b{limits->yaw_min, limits->yaw_max, limits->pitch_min,
                                              limits->pitch_max, limits->roll_min, limits->roll_max};
                for (int k = 0; k < 3; ++k)
                    for (double speed = std::fabs(v[k]) - change, at = x[k]; speed > 0; speed -= change) {
                        at += std::copysign(speed, v[k]);
                        testing::track_worst(brake_outside, std::max(b[2 * k] - at, at - b[2 * k + 1]) - 1e-12);
                    }
            }
            last_step = {d[0], d[1], d[2]};
        }
    }
    VT_CHECK_MSG(excess_step <= 0.0, "a step longer than max_step by " + testing::show(excess_step));
    VT_CHECK_MSG(excess_change <= 0.0, "a step change above max_step_change by " + testing::show(excess_change));
    VT_CHECK_MSG(outside == 0.0, "a command outside the limits");
    VT_CHECK_MSG(brake_outside <= 0.0, "a braking path leaving the limits by " + testing::show(brake_outside));
    VT_CHECK_MSG(reversals == 0, "reversals on static targets: " + std::to_string(reversals));
    VT_CHECK_MSG(invalid_moves == 0, "holding on a rotation, or not at rest: " + std::to_string(invalid_moves));
}

// Rest to rest over `distance` with steps of at most v changing by at most a:
// the continuous time-optimal profile's ticks.
double optimal_ticks(double distance, double v, double a) {
    if (distance <= v * v / a) return 2.0 * std::sqrt(distance / a);
    return distance / v + v / a;
}

void test_static_targets_are_reached_in_near_optimal_time() {
    testing::Sampler s(2513);
    double worst = 0.0;
    for (int run = 0; run < 2000; ++run) {
        const double max_step = s.uniform(0.001, 0.1);
        const double change = max_step * s.uniform(0.001, 1.0);
        const neck::NeckAngles start{s.uniform(-1, 1), s.uniform(-1, 1), s.uniform(-1, 1)};
        const neck::NeckAngles head{start.yaw + s.uniform(-2, 2), start.pitch + s.uniform(-0.5, 0.5),
                                    start.roll + s.uniform(-2, 2)};
        auto follower = neck::NeckFollower::make(start, {max_step, change, std::nullopt});
        const Mat3 r = neck::forward_kinematics(head);
        const neck::NeckAngles goal = *neck::inverse_kinematics(r, start);
        double bound = 0.0;
        for (const double d : {goal.yaw - start.yaw, goal.pitch - start.pitch, goal.roll - start.roll})
            bound = std::max(bound, optimal_ticks(std::fabs(d), max_step, change));
        // Arrival is the last tick that moves: the next one, on the target, stands still.
        int ticks = 0;
        const int cap = static_cast<int>(2.0 * bound) + 100;
        while (ticks < cap) {
            const neck::NeckFollowStep step = follower->step(r);
            const neck::NeckAngles v = follower->velocity();
            if (step.status == FollowStatus::tracking && v.yaw == 0.0 && v.pitch == 0.0 && v.roll == 0.0) break;
            ++ticks;
        }
        testing::track_worst(worst, ticks - (1.1 * bound + 2.0));
        // Arrived, it stays at rest there.
        follower->step(r);
        const neck::NeckAngles v = follower->velocity();
        VT_CHECK(v.yaw == 0.0 && v.pitch == 0.0 && v.roll == 0.0);
    }
    VT_CHECK_MSG(worst <= 0.0, "arrival later than 1.1x the optimal time + 2 ticks by " + testing::show(worst));
}

}  // namespace

int main() {
    test_neck_streams();
    test_goal_is_the_nearest_admitted_representation();
    test_acceleration_limited_streams();
    test_static_targets_are_reached_in_near_optimal_time();
    return testing::finish("test_neck_follow");
}
