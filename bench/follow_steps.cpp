// The arm follower's step, timed one step at a time: p50, p99 and the largest
// of many steps of each kind, for the README's worst cases. Needs no benchmark
// library: it is built with the tests (velmora_follow_steps) and run by hand.
//
//   tracking        two close targets in turn, each within max_step
//   tracking+accel  the same with max_step_change (the ratio is the cost of a velocity)
//   approaching     toward a target whose solution lies 2.1 rad away, never getting there
//   saturated       at rest at the best pair of a target out of reach
//   braking         one braking step from full speed, on a target that holds
//   new target      out of reach and different every tick: a global search each step
//   routed          toward a goal out of reach whose straight way leaves the
//                   admissible set: along the route over the grid's cells
//   new route       the same, the target different every tick: a global search
//                   and a new route each step (the worst case)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <functional>
#include <vector>

#include "hide.hpp"
#include "velmora_torso_kinematics/arm_follow.hpp"

namespace {

using velmora::JointPair;
using velmora::Vec3;
namespace arm = velmora::arm;
using Clock = std::chrono::steady_clock;

const arm::SphericalFiveBar& left() {
    static const arm::SphericalFiveBar prepared(arm::default_left());
    return prepared;
}

Vec3 pointing(double a, double b) { return arm::forward_kinematics(left(), a, b)->v_3; }

// `count` steps of `follower`, each timed alone with the `next()` that gives its target.
void report(const char* name, int count, arm::ArmFollower& follower, const std::function<Vec3()>& next) {
    const auto step = [&] {
        Vec3 t = next();
        hide(t);
        auto s = follower.step(t);
        hide(s);
    };
    std::vector<double> ns(static_cast<std::size_t>(count));
    for (int i = 0; i < count / 10; ++i) step();  // warm
    for (double& t : ns) {
        const auto start = Clock::now();
        step();
        t = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    }
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) { return ns[static_cast<std::size_t>(q * double(ns.size() - 1))]; };
    std::printf("%-16s p50 %9.0f ns  p99 %9.0f ns  max %9.0f ns  (%d steps)\n", name, at(0.5), at(0.99), ns.back(),
                count);
}

arm::ArmFollower make(const JointPair& start, arm::FollowSettings settings) {
    std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(left(), start, settings);
    if (!follower) {
        std::fprintf(stderr, "follow_steps: a start that does not close\n");
        std::exit(1);
    }
    return *follower;
}

}  // namespace

int main() {
    const Vec3 close[2] = {pointing(0.3, -0.2), pointing(0.31, -0.21)};
    for (const std::optional<double> change : {std::optional<double>{}, std::optional{0.05}}) {
        arm::FollowSettings settings{0.05, std::nullopt, 0.05};
        settings.max_step_change = change;
        arm::ArmFollower f = make({0.3, -0.2}, settings);
        int k = 0;
        report(change ? "tracking+accel" : "tracking", 200000, f, [&] { return close[k ^= 1]; });
    }
    {
        // 2.1 rad from its solution (along a segment that keeps the margin), by
        // steps too small to get there.
        arm::ArmFollower f = make({-1.3087, 1.4499}, {1e-9, std::nullopt, 0.05});
        const Vec3 t = pointing(0.3, 0.1);
        report("approaching", 100000, f, [&] { return t; });
    }
    {
        arm::ArmFollower f = make({0.3, -0.2}, {0.05, std::nullopt, 0.05});
        const Vec3 t{0.0, -1.0, 0.0};
        while (f.step(t).status != velmora::FollowStatus::saturated || f.velocity().theta_a != 0.0) {
        }
        report("saturated", 100000, f, [&] { return t; });
    }
    {
        arm::FollowSettings settings{0.05, std::nullopt, 0.05};
        settings.max_step_change = 0.001;
        arm::ArmFollower f = make({0.3, -0.2}, settings);
        for (int i = 0; i < 100; ++i) (void)f.step(pointing(1.0, 0.4));
        const JointPair pair = f.pair(), velocity = f.velocity();
        const arm::ArmFollower::Progress progress = f.progress();
        report("braking", 100000, f, [&] {
            (void)f.restore(pair, velocity, progress);
            return Vec3{NAN, 0.0, 1.0};
        });
    }
    {
        arm::ArmFollower f = make({0.3, -0.2}, {0.05, std::nullopt, 0.05});
        double angle = 0.0;
        report("new target", 3000, f, [&] {
            angle += 0.001;
            return Vec3{std::sin(angle), -1.0, std::cos(angle) * 0.1};
        });
    }
    {
        // An arm whose admissible set, inside these limits, bends between the
        // pair and the goal: the straight way leaves it.
        const arm::SphericalFiveBar bent(arm::SphericalLinkGeometry{1.0, 0.5, arm::Branch::negative, true});
        arm::FollowSettings settings{1e-9, arm::JointLimits{-1.5322656052770123, 0.160589145753381,
                                                            0.5873186985984307, 2.0918671500394628}};
        const JointPair start{-0.9243746401006601, 1.708615181343308};
        const Vec3 target{-1.2279068610923063, 0.907865509846225, -0.4833276526444198};
        std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(bent, start, settings);
        if (!follower) return 1;
        arm::ArmFollower routed = *follower;
        const JointPair before = routed.pair();
        (void)routed.step(target);
        const JointPair goal = arm::nearest_reachable(bent, target, {settings.limits, settings.margin})->pair;
        // Not straight toward the goal: routed.
        const double cross = (routed.pair().theta_a - before.theta_a) * (goal.theta_b - before.theta_b) -
                             (routed.pair().theta_b - before.theta_b) * (goal.theta_a - before.theta_a);
        // The sine of the angle between the first step and the straight way.
        std::printf("(routed: the first step turns from the straight way by a sine of %.2f)\n",
                    cross / 1e-9 / arm::joint_distance(goal, before));
        report("routed", 100000, routed, [&] { return target; });
        arm::ArmFollower moving = *follower;
        double angle = 0.0;
        report("new route", 3000, moving, [&] {
            angle += 1e-4;
            return Vec3{target.x + std::sin(angle) * 0.05, target.y, target.z};
        });
    }
    return 0;
}
