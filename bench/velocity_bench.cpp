// Per-call times of the velocity kinematics, each beside the forward kinematics
// it builds on, with the same inputs, so that one run gives their ratios. Inputs
// pass through DoNotOptimize on every iteration: the compiler may not fold a
// call on constants away.

#include <benchmark/benchmark.h>

#include "velmora_torso_kinematics/arm_velocity.hpp"
#include "velmora_torso_kinematics/neck_velocity.hpp"

namespace {

using velmora::Vec3;
namespace arm = velmora::arm;
namespace neck = velmora::neck;

// The pose of core_bench.cpp, well inside the workspace and away from both singularities.
constexpr double theta_a = 0.3;
constexpr double theta_b = -0.2;
constexpr Vec3 pointing_velocity{0.1, -0.2, 0.05};
constexpr neck::NeckAngles head_angles{0.1, 0.2, 0.3};
constexpr neck::NeckAngleRates head_rates{0.4, -0.5, 0.6};
constexpr Vec3 head_omega{0.3, -0.2, 0.1};

const arm::SphericalFiveBar& left() {
    static const arm::SphericalFiveBar prepared(arm::default_left());
    return prepared;
}

void arm_forward_kinematics(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        auto solution = arm::forward_kinematics(left(), a, b);
        benchmark::DoNotOptimize(solution);
    }
}

void arm_jacobians(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        auto j = arm::jacobians(left(), a, b);
        benchmark::DoNotOptimize(j);
    }
}

void arm_singularity_measure(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        auto measure = arm::singularity_measure(left(), a, b);
        benchmark::DoNotOptimize(measure);
    }
}

void arm_joint_rates(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    Vec3 v_3_dot = pointing_velocity;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(v_3_dot);
        auto rates = arm::joint_rates(left(), a, b, v_3_dot);
        benchmark::DoNotOptimize(rates);
    }
}

void neck_forward_kinematics(benchmark::State& state) {
    neck::NeckAngles angles = head_angles;
    for (auto _ : state) {
        benchmark::DoNotOptimize(angles);
        auto rotation = neck::forward_kinematics(angles);
        benchmark::DoNotOptimize(rotation);
    }
}

void neck_angular_velocity(benchmark::State& state) {
    neck::NeckAngles angles = head_angles;
    neck::NeckAngleRates rates = head_rates;
    for (auto _ : state) {
        benchmark::DoNotOptimize(angles);
        benchmark::DoNotOptimize(rates);
        auto omega = neck::angular_velocity(angles, rates);
        benchmark::DoNotOptimize(omega);
    }
}

void neck_angle_rates(benchmark::State& state) {
    neck::NeckAngles angles = head_angles;
    Vec3 omega = head_omega;
    for (auto _ : state) {
        benchmark::DoNotOptimize(angles);
        benchmark::DoNotOptimize(omega);
        auto rates = neck::angle_rates(angles, omega);
        benchmark::DoNotOptimize(rates);
    }
}

}  // namespace

BENCHMARK(arm_forward_kinematics);
BENCHMARK(arm_jacobians);
BENCHMARK(arm_singularity_measure);
BENCHMARK(arm_joint_rates);
BENCHMARK(neck_forward_kinematics);
BENCHMARK(neck_angular_velocity);
BENCHMARK(neck_angle_rates);

BENCHMARK_MAIN();
