// Per-call times of the kinematics core, with the inputs of bench_methods.py,
// so that each Python method can be set against the C++ work it wraps. Inputs
// pass through DoNotOptimize on every iteration: the compiler may not fold a
// call on constants away.

#include <benchmark/benchmark.h>

#include <optional>
#include <string_view>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/neck.hpp"

namespace {

using velmora::JointPair;
using velmora::Mat3;
using velmora::Vec3;
namespace arm = velmora::arm;
namespace neck = velmora::neck;

constexpr double theta_a = 0.3;
constexpr double theta_b = -0.2;
// A current pair on another branch than the smallest-norm answer, as in the Python benchmark.
constexpr JointPair near_pair{1.2, -0.1};
constexpr neck::NeckAngles head_angles{0.1, 0.2, 0.3};
constexpr std::string_view geometry_document =
    R"({"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative", "mirror": true})";

constexpr arm::SphericalLinkGeometry left = arm::default_left();

// The preset arm's pose at (theta_a, theta_b): the targets of the inverses.
const arm::FkSolution& pose() {
    static const arm::FkSolution solution = *arm::forward_kinematics(left, theta_a, theta_b);
    return solution;
}

void forward_kinematics(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        auto solution = arm::forward_kinematics(left, a, b);
        benchmark::DoNotOptimize(solution);
    }
}

void enumerate_candidates(benchmark::State& state) {
    Vec3 target = pose().v_3;
    for (auto _ : state) {
        benchmark::DoNotOptimize(target);
        auto candidates = arm::enumerate_candidates(left, target);
        benchmark::DoNotOptimize(candidates);
    }
}

void inverse_kinematics(benchmark::State& state) {
    Mat3 rotation = pose().rotation;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rotation);
        auto pair = arm::inverse_kinematics(left, rotation);
        benchmark::DoNotOptimize(pair);
    }
}

void inverse_kinematics_from_direction(benchmark::State& state) {
    Vec3 direction = pose().v_3;
    std::optional<JointPair> near;
    if (state.range(0) != 0) near = near_pair;
    for (auto _ : state) {
        benchmark::DoNotOptimize(direction);
        benchmark::DoNotOptimize(near);
        auto pair = arm::inverse_kinematics_from_direction(left, direction, near);
        benchmark::DoNotOptimize(pair);
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

void neck_inverse_kinematics(benchmark::State& state) {
    Mat3 rotation = neck::forward_kinematics(head_angles);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rotation);
        auto angles = neck::inverse_kinematics(rotation);
        benchmark::DoNotOptimize(angles);
    }
}

void read_geometry_json(benchmark::State& state) {
    std::string_view document = geometry_document;
    for (auto _ : state) {
        benchmark::DoNotOptimize(document);
        auto parsed = arm::read_geometry_json(document);
        benchmark::DoNotOptimize(parsed);
    }
}

}  // namespace

// Named after the core functions; the Python methods that call each are in the README.
BENCHMARK(forward_kinematics);
BENCHMARK(enumerate_candidates);
BENCHMARK(inverse_kinematics);
BENCHMARK(inverse_kinematics_from_direction)->ArgName("near")->Arg(0)->Arg(1);
BENCHMARK(neck_forward_kinematics);
BENCHMARK(neck_inverse_kinematics);
BENCHMARK(read_geometry_json);

BENCHMARK_MAIN();
