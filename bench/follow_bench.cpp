// Per-step times of the followers beside the inverse kinematics a tracking step
// is built on, in one run, so that their ratios can be read: a tracking step
// alternates between two targets within max_step, as a stream of close targets
// does; an approaching step walks toward a far target (along a closing segment)
// or an unreachable one (a damped turn) by a step too small to ever get there.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "hide.hpp"
#include "velmora_torso_kinematics/arm_follow.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace {

using velmora::JointPair;
using velmora::Vec3;
namespace arm = velmora::arm;
namespace neck = velmora::neck;

const arm::SphericalFiveBar& left() {
    static const arm::SphericalFiveBar prepared(arm::default_left());
    return prepared;
}

Vec3 pointing(double a, double b) { return arm::forward_kinematics(left(), a, b)->v_3; }

void ik_from_direction_near(benchmark::State& state) {
    const Vec3 targets[2] = {pointing(0.3, -0.2), pointing(0.31, -0.21)};
    JointPair last{0.3, -0.2};
    int k = 0;
    for (auto _ : state) {
        Vec3 target = targets[k ^= 1];
        hide(target);
        const auto pair = arm::inverse_kinematics_from_direction(left(), target, last);
        if (pair) last = *pair;
        benchmark::DoNotOptimize(last);
    }
}

void follower_step(benchmark::State& state, Vec3 target, JointPair start, double max_step) {
    auto follower = arm::ArmFollower::make(left(), start, {max_step, std::nullopt, 0.05});
    for (auto _ : state) {
        hide(target);
        auto step = follower->step(target);
        benchmark::DoNotOptimize(step);
    }
}

void follower_tracking(benchmark::State& state) {
    const Vec3 targets[2] = {pointing(0.3, -0.2), pointing(0.31, -0.21)};
    auto follower = arm::ArmFollower::make(left(), {0.3, -0.2}, {0.05, std::nullopt, 0.05});
    int k = 0;
    for (auto _ : state) {
        Vec3 target = targets[k ^= 1];
        hide(target);
        auto step = follower->step(target);
        benchmark::DoNotOptimize(step);
    }
    if (follower->step(targets[0]).status != velmora::FollowStatus::tracking) state.SkipWithError("not tracking");
}

void neck_follower_tracking(benchmark::State& state) {
    const velmora::Mat3 heads[2] = {neck::forward_kinematics({0.1, 0.2, 0.3}),
                                    neck::forward_kinematics({0.11, 0.21, 0.31})};
    auto follower = neck::NeckFollower::make({0.1, 0.2, 0.3}, 0.05, std::nullopt);
    int k = 0;
    for (auto _ : state) {
        velmora::Mat3 head = heads[k ^= 1];
        hide(head);
        auto step = follower->step(head);
        benchmark::DoNotOptimize(step);
    }
}

// The fastest of the repetitions: on a shared machine, the run least disturbed by others.
double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(ik_from_direction_near)->ComputeStatistics("min", minimum);
BENCHMARK(follower_tracking)->ComputeStatistics("min", minimum);
// Far: the pair (1.2, -0.1) is 0.9 from the target's nearest solution, and the
// straight segment closes; unreachable: straight down the body's z axis.
BENCHMARK_CAPTURE(follower_step, approaching_segment, pointing(0.3, -0.2), JointPair{1.2, -0.1}, 1e-9)
    ->ComputeStatistics("min", minimum);
BENCHMARK_CAPTURE(follower_step, approaching_damped, Vec3{0.0, 0.0, -1.0}, JointPair{0.3, -0.2}, 1e-9)
    ->ComputeStatistics("min", minimum);
BENCHMARK(neck_follower_tracking)->ComputeStatistics("min", minimum);

BENCHMARK_MAIN();
