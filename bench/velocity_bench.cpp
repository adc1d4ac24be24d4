// Per-call times of the velocity kinematics, each beside the forward kinematics
// it builds on, with the same inputs, so that one run gives their ratios. Inputs
// pass through hide() on every iteration: the compiler may not fold a call on
// constants away.

#include <benchmark/benchmark.h>

#include "hide.hpp"
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

// Times `call(inputs...)`, the inputs hidden afresh on every iteration.
template <class Call, class... Inputs>
void time_call(benchmark::State& state, Call call, Inputs... inputs) {
    for (auto _ : state) {
        (hide(inputs), ...);
        auto result = call(inputs...);
        benchmark::DoNotOptimize(result);
    }
}

}  // namespace

BENCHMARK_CAPTURE(time_call, arm_forward_kinematics,
                  [](double a, double b) { return arm::forward_kinematics(left(), a, b); }, theta_a, theta_b);
BENCHMARK_CAPTURE(time_call, arm_jacobians,
                  [](double a, double b) { return arm::jacobians(left(), a, b); }, theta_a, theta_b);
BENCHMARK_CAPTURE(time_call, arm_singularity_measure,
                  [](double a, double b) { return arm::singularity_measure(left(), a, b); }, theta_a, theta_b);
BENCHMARK_CAPTURE(time_call, arm_joint_rates,
                  [](double a, double b, Vec3 v) { return arm::joint_rates(left(), a, b, v); }, theta_a, theta_b,
                  pointing_velocity);
BENCHMARK_CAPTURE(time_call, neck_forward_kinematics,
                  [](neck::NeckAngles angles) { return neck::forward_kinematics(angles); }, head_angles);
BENCHMARK_CAPTURE(time_call, neck_angular_velocity,
                  [](neck::NeckAngles angles, neck::NeckAngleRates rates) {
                      return neck::angular_velocity(angles, rates);
                  },
                  head_angles, head_rates);
BENCHMARK_CAPTURE(time_call, neck_angle_rates,
                  [](neck::NeckAngles angles, Vec3 omega) { return neck::angle_rates(angles, omega); }, head_angles,
                  head_omega);

BENCHMARK_MAIN();
