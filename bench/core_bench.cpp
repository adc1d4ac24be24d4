// Per-call times of the kinematics core, with the inputs of bench_methods.py,
// so that each Python method can be set against the C++ work it wraps. Inputs
// pass through hide() on every iteration: the compiler may not fold a
// call on constants away.
//
// Each arm function runs in four forms:
//   recipe       the plain recipe kept in the tests (tests/arm/reference_recipe.cpp);
//   geometry     the core's geometry-taking function;
//   prepared     the core's SphericalFiveBar overload, the arm prepared once;
//   calls_alone  only the sine, cosine, arctangent and square-root calls that the
//                recipe makes on the same input and whose arguments depend on it,
//                each distinct call once, each waiting for the calls its argument
//                depends on: a floor for any code that keeps the recipe's results
//                (the per-geometry calls are left out, as a prepared arm makes
//                them once).
//
// Then the followers' steps beside the inverse kinematics a tracking step is built on: a
// tracking step alternates between two targets within max_step, as a stream of close targets
// does; an approaching step walks toward a far target (along a closing segment) or an
// unreachable one (a damped turn) by a step too small to ever get there.
//
// scripts/bench.sh runs every benchmark in interleaved repetitions and reads the
// fastest of them ("min").

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arm/reference_recipe.hpp"
#include "hide.hpp"
#include "velmora_torso_kinematics/arm_follow.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"
#include "velmora_torso_kinematics/neck_kinematics.hpp"

namespace {

using velmora::JointPair;
using velmora::Mat3;
using velmora::Vec3;
namespace arm = velmora::arm;
namespace neck = velmora::neck;
namespace reference = velmora::arm::reference;

constexpr double theta_a = 0.3;
constexpr double theta_b = -0.2;
// A current pair on another branch than the smallest-norm answer, as in the Python benchmark.
constexpr JointPair near_pair{1.2, -0.1};
constexpr neck::NeckAngles head_angles{0.1, 0.2, 0.3};
constexpr std::string_view geometry_document =
    R"({"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative", "mirror": true})";

constexpr arm::SphericalLinkGeometry left = arm::default_left();

const arm::SphericalFiveBar& prepared_left() {
    static const arm::SphericalFiveBar prepared(left);
    return prepared;
}

// The preset arm's pose at (theta_a, theta_b): the targets of the inverses.
const arm::FkSolution& pose() {
    static const arm::FkSolution solution = *reference::forward_kinematics(left, theta_a, theta_b);
    return solution;
}


// ----- The recipe's calls alone -----------------------------------------------------------------
//
// Each call gets the argument the recipe gives it, and starts only once the calls that the
// recipe's argument depends on have returned: `after` adds 0 * (their result) to it, which
// leaves it unchanged but makes the processor wait, as the recipe's arithmetic would. Calls
// that do not depend on each other overlap, as they may in the recipe.

// The argument, held back until `previous` exists (previous is finite, so 0 * previous is 0).
double after(double argument, double previous) { return argument + 0.0 * previous; }

// sin and cos of one angle (fused into one sincos call), summed to one dependence.
double sin_cos(double angle) { return std::sin(angle) + std::cos(angle); }

// The arguments of one forward kinematics' square roots: the closure's sine and out-of-plane
// root, the bisector's and X's lengths.
struct ClosureRoots {
    double t;
    double u;
    double bisector;
    double x;
};

ClosureRoots closure_roots(double a, double b) {
    const arm::FkSolution s = *reference::forward_kinematics(left, a, b);
    const double d = velmora::dot(s.v_2, s.v_4);
    const double cos_coupler = std::cos(left.coupler_arc);
    const double l = (cos_coupler - d * cos_coupler) / std::sqrt(1.0 - d * d);
    const Vec3 bisector = s.v_2 + s.v_4;
    const Vec3 unit_bisector = bisector / velmora::norm(bisector);
    const Vec3 x = unit_bisector - velmora::dot(unit_bisector, s.v_3) * s.v_3;
    return {1.0 - d * d, 1.0 - cos_coupler * cos_coupler - l * l, velmora::dot(bisector, bisector),
            velmora::dot(x, x)};
}

struct ClosureResults {
    double v_3;    // once v_3 exists
    double frame;  // once the frame exists
};

ClosureResults closure_calls(const ClosureRoots& r, double elbows) {
    const double t = std::sqrt(after(r.t, elbows));
    const double u = std::sqrt(after(r.u, t));
    const double bisector = std::sqrt(after(r.bisector, elbows));
    return {u, std::sqrt(after(r.x, u + bisector))};
}

// Every argument of one function's calls on the benchmark's input.
struct CallArguments {
    // forward kinematics
    double theta_a = 0.0;
    double theta_b = 0.0;
    ClosureRoots forward{};
    // the enumeration: about v_1 and v_5, the sine of the angle to the target and the
    // out-of-plane root, then the signed angles' arctangents for sigma = +1 and -1
    double axis_t[2]{};
    double axis_u[2]{};
    double angle_y[2][2]{};
    double angle_x[2][2]{};
    ClosureRoots closures[4]{};
    // the inverses: each candidate's squared distance to the target; the direction's
    // squared length
    double distance[4]{};
    double length = 0.0;
};

CallArguments forward_arguments() {
    CallArguments c;
    c.theta_a = theta_a;
    c.theta_b = theta_b;
    c.forward = closure_roots(theta_a, theta_b);
    return c;
}

CallArguments enumeration_arguments() {
    CallArguments c;
    const Vec3 target = pose().v_3;
    const double cos_arm = std::cos(left.arm_arc);
    const double sin_arm = std::sin(left.arm_arc);
    const double cos_coupler = std::cos(left.coupler_arc);
    const Vec3 axes[2] = {{0.0, 0.0, 1.0}, {1.0, 0.0, 0.0}};
    const Vec3 rest_perp[2] = {{sin_arm, 0.0, 0.0}, {0.0, 0.0, sin_arm}};
    for (int k = 0; k < 2; ++k) {
        const double d = velmora::dot(axes[k], target);
        const double l = (cos_coupler - d * cos_arm) / std::sqrt(1.0 - d * d);
        c.axis_t[k] = 1.0 - d * d;
        c.axis_u[k] = 1.0 - cos_arm * cos_arm - l * l;
        for (int side = 0; side < 2; ++side) {
            const Vec3 p = *arm::intersect_small_circles(axes[k], left.arm_arc, target, left.coupler_arc,
                                                         side == 0 ? 1.0 : -1.0);
            const Vec3 p_perp = p - velmora::dot(p, axes[k]) * axes[k];
            c.angle_y[k][side] = velmora::dot(axes[k], velmora::cross(rest_perp[k], p_perp));
            c.angle_x[k][side] = velmora::dot(rest_perp[k], p_perp);
        }
    }
    const arm::CandidateList candidates = reference::enumerate_candidates(left, target);
    for (int q = 0; q < 4; ++q) c.closures[q] = closure_roots(candidates[q].theta_a, candidates[q].theta_b);
    return c;
}

// Plus the Frobenius distance of every candidate to the pose's rotation.
CallArguments orientation_arguments() {
    CallArguments c = enumeration_arguments();
    const arm::CandidateList candidates = reference::enumerate_candidates(left, pose().v_3);
    for (int q = 0; q < 4; ++q) {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const double difference = candidates[q].solution.rotation[i][j] - pose().rotation[i][j];
                sum += difference * difference;
            }
        }
        c.distance[q] = sum;
    }
    return c;
}

// Plus the direction's length and every candidate's distance to it.
CallArguments direction_arguments() {
    CallArguments c = enumeration_arguments();
    c.length = velmora::dot(pose().v_3, pose().v_3);
    const arm::CandidateList candidates = reference::enumerate_candidates(left, pose().v_3);
    for (int q = 0; q < 4; ++q) {
        const Vec3 difference = candidates[q].solution.v_3 - pose().v_3;
        c.distance[q] = velmora::dot(difference, difference);
    }
    return c;
}

// The enumeration's calls, started once `start` exists: the circles about both axes, the joint
// angles, their sines and cosines, then the four closures and frames.
void enumeration_calls(const CallArguments& c, double start, ClosureResults (&results)[4]) {
    double elbows[2][2];
    for (int k = 0; k < 2; ++k) {
        const double t = std::sqrt(after(c.axis_t[k], start));
        const double u = std::sqrt(after(c.axis_u[k], t));
        for (int side = 0; side < 2; ++side) {
            elbows[k][side] = sin_cos(std::atan2(after(c.angle_y[k][side], u), c.angle_x[k][side]));
        }
    }
    for (int q = 0; q < 4; ++q) {
        results[q] = closure_calls(c.closures[q], elbows[0][q / 2] + elbows[1][q % 2]);
    }
}

enum class Calls { forward, enumeration, orientation, direction };

template <Calls calls>
void calls_alone(benchmark::State& state) {
    static const CallArguments arguments = calls == Calls::forward       ? forward_arguments()
                                           : calls == Calls::enumeration ? enumeration_arguments()
                                           : calls == Calls::orientation ? orientation_arguments()
                                                                         : direction_arguments();
    CallArguments c = arguments;
    int count = 0;
    for (auto _ : state) {
        hide(c);
        double sum = 0.0;
        if constexpr (calls == Calls::forward) {
            sum = closure_calls(c.forward, sin_cos(c.theta_a) + sin_cos(c.theta_b)).frame;
            count = 8;
        } else {
            ClosureResults results[4];
            const double start = calls == Calls::direction ? std::sqrt(c.length) : 0.0;
            enumeration_calls(c, start, results);
            count = 32;
            for (int q = 0; q < 4; ++q) {
                if constexpr (calls == Calls::orientation) {
                    sum += std::sqrt(after(c.distance[q], results[q].frame));
                } else if constexpr (calls == Calls::direction) {
                    sum += std::sqrt(after(c.distance[q], results[q].v_3)) + results[q].frame;
                } else {
                    sum += results[q].frame;
                }
            }
            if (calls != Calls::enumeration) count += calls == Calls::direction ? 5 : 4;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["calls"] = count;
}

// ----- Every function, its inputs hidden afresh on every iteration -------------------------------

template <class Call, class... Inputs>
void time_call(benchmark::State& state, Call call, Inputs... inputs) {
    for (auto _ : state) {
        (hide(inputs), ...);
        auto result = call(inputs...);
        benchmark::DoNotOptimize(result);
    }
}

// The fastest of the repetitions: on a shared machine, the run least disturbed by others.
benchmark::internal::Benchmark* with_minimum(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

template <class Call, class... Inputs>
void register_call(const std::string& name, Call call, Inputs... inputs) {
    with_minimum(benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        time_call(state, call, inputs...);
    }));
}

// One arm function in its forms, named <function>/<form><suffix>: `recipe` and `core` take the
// geometry first; the core's function runs on the geometry and on the prepared arm.
template <class Recipe, class Core, class... Inputs>
void register_arm(const std::string& name, const std::string& suffix, Recipe recipe, Core core,
                  void (*calls)(benchmark::State&), Inputs... inputs) {
    register_call(name + "/recipe" + suffix, [=](auto... in) { return recipe(left, in...); }, inputs...);
    register_call(name + "/geometry" + suffix, [=](auto... in) { return core(left, in...); }, inputs...);
    register_call(name + "/prepared" + suffix, [=](auto... in) { return core(prepared_left(), in...); },
                  inputs...);
    if (calls != nullptr) with_minimum(benchmark::RegisterBenchmark((name + "/calls_alone").c_str(), calls));
}

// ----- The followers ----------------------------------------------------------------------------

Vec3 pointing(double a, double b) { return arm::forward_kinematics(prepared_left(), a, b)->v_3; }

// `call` on the two inputs in turn, as a stream of close targets gives them.
template <class Input, class Call>
void alternating(benchmark::State& state, const Input (&inputs)[2], Call call) {
    int k = 0;
    for (auto _ : state) {
        Input input = inputs[k ^= 1];
        hide(input);
        auto result = call(input);
        benchmark::DoNotOptimize(result);
    }
}

void ik_from_direction_near(benchmark::State& state) {
    const Vec3 targets[2] = {pointing(0.3, -0.2), pointing(0.31, -0.21)};
    JointPair last{0.3, -0.2};
    alternating(state, targets, [&](const Vec3& target) {
        if (const auto pair = arm::inverse_kinematics_from_direction(prepared_left(), target, last)) last = *pair;
        return last;
    });
}

void follower_step(benchmark::State& state, Vec3 target, JointPair start, double max_step) {
    auto follower = arm::ArmFollower::make(prepared_left(), start, {max_step, std::nullopt, 0.05});
    time_call(state, [&](const Vec3& t) { return follower->step(t); }, target);
}

void follower_tracking(benchmark::State& state) {
    const Vec3 targets[2] = {pointing(0.3, -0.2), pointing(0.31, -0.21)};
    auto follower = arm::ArmFollower::make(prepared_left(), {0.3, -0.2}, {0.05, std::nullopt, 0.05});
    alternating(state, targets, [&](const Vec3& target) { return follower->step(target); });
    if (follower->step(targets[0]).status != velmora::FollowStatus::tracking) state.SkipWithError("not tracking");
}

void neck_follower_tracking(benchmark::State& state) {
    const Mat3 heads[2] = {neck::forward_kinematics({0.1, 0.2, 0.3}), neck::forward_kinematics({0.11, 0.21, 0.31})};
    auto follower = neck::NeckFollower::make({0.1, 0.2, 0.3}, 0.05, std::nullopt);
    alternating(state, heads, [&](const Mat3& head) { return follower->step(head); });
}

}  // namespace

int main(int argc, char** argv) {
    register_arm(
        "forward_kinematics", "",
        [](const auto& g, double a, double b) { return reference::forward_kinematics(g, a, b); },
        [](const auto& g, double a, double b) { return arm::forward_kinematics(g, a, b); },
        calls_alone<Calls::forward>, theta_a, theta_b);
    register_arm(
        "enumerate_candidates", "",
        [](const auto& g, Vec3 target) { return reference::enumerate_candidates(g, target); },
        [](const auto& g, Vec3 target) { return arm::enumerate_candidates(g, target); },
        calls_alone<Calls::enumeration>, pose().v_3);
    register_arm(
        "inverse_kinematics", "",
        [](const auto& g, Mat3 rotation) { return reference::inverse_kinematics(g, rotation); },
        [](const auto& g, Mat3 rotation) { return arm::inverse_kinematics(g, rotation); },
        calls_alone<Calls::orientation>, pose().rotation);
    for (const std::optional<JointPair> near : {std::optional<JointPair>{}, std::optional{near_pair}}) {
        register_arm(
            "inverse_kinematics_from_direction", near ? "/near:1" : "/near:0",
            [](const auto& g, Vec3 d, std::optional<JointPair> n) {
                return reference::inverse_kinematics_from_direction(g, d, n);
            },
            [](const auto& g, Vec3 d, std::optional<JointPair> n) {
                return arm::inverse_kinematics_from_direction(g, d, n);
            },
            near ? nullptr : calls_alone<Calls::direction>, pose().v_3, near);
    }
    register_call("neck_forward_kinematics", [](neck::NeckAngles a) { return neck::forward_kinematics(a); },
                  head_angles);
    register_call("neck_inverse_kinematics", [](Mat3 r) { return neck::inverse_kinematics(r); },
                  neck::forward_kinematics(head_angles));
    register_call("read_geometry_json", [](std::string_view d) { return arm::read_geometry_json(d); },
                  geometry_document);
    with_minimum(benchmark::RegisterBenchmark("ik_from_direction_near", ik_from_direction_near));
    with_minimum(benchmark::RegisterBenchmark("follower_tracking", follower_tracking));
    // Far: the pair (1.2, -0.1) is 0.9 from the target's nearest solution, and the
    // straight segment closes; unreachable: straight down the body's z axis.
    with_minimum(benchmark::RegisterBenchmark("follower_step/approaching_segment", follower_step,
                                              pointing(0.3, -0.2), JointPair{1.2, -0.1}, 1e-9));
    with_minimum(benchmark::RegisterBenchmark("follower_step/approaching_damped", follower_step,
                                              Vec3{0.0, 0.0, -1.0}, JointPair{0.3, -0.2}, 1e-9));
    with_minimum(benchmark::RegisterBenchmark("neck_follower_tracking", neck_follower_tracking));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
