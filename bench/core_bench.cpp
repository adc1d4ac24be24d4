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
//                each distinct call once: a floor for any code that keeps the
//                recipe's results (the per-geometry calls are left out, as a
//                prepared arm makes them once).

#include <benchmark/benchmark.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arm/reference_recipe.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/neck.hpp"

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

// Makes `value` unknown to the compiler, so no call on it is folded or hoisted out of the loop.
// Benchmark's DoNotOptimize offers the asm a register or memory; GCC 12 can then read an input
// from a stack slot it never wrote, so the inputs go through memory only.
template <typename T>
void hide(T& value) {
    asm volatile("" : "+m"(value) : : "memory");
}

// ----- The recipe's calls alone -----------------------------------------------------------------

// The arguments of the recipe's input-dependent calls, gathered once from its results.
struct Calls {
    std::vector<double> sin_cos;  // sin and cos of the same angle (fused into one sincos)
    std::vector<std::pair<double, double>> atan2;
    std::vector<double> sqrt;

    void add_angle(double angle) {
        for (const double known : sin_cos) {
            if (known == angle) return;  // the recipe recomputes it; counted once
        }
        sin_cos.push_back(angle);
    }
};

// Forward kinematics: the joint angles' sine and cosine, the closure's two roots, and the
// frame's two lengths.
void add_forward_calls(Calls& calls, double a, double b) {
    const arm::FkSolution s = *reference::forward_kinematics(left, a, b);
    calls.add_angle(a);
    calls.add_angle(b);
    const double d = velmora::dot(s.v_2, s.v_4);
    const double t = std::sqrt(1.0 - d * d);
    const double cos_coupler = std::cos(left.coupler_arc);
    const double l = (cos_coupler - d * cos_coupler) / t;
    const Vec3 bisector = s.v_2 + s.v_4;
    const Vec3 unit_bisector = bisector / velmora::norm(bisector);
    const Vec3 x = unit_bisector - velmora::dot(unit_bisector, s.v_3) * s.v_3;
    calls.sqrt.insert(calls.sqrt.end(), {1.0 - d * d, 1.0 - cos_coupler * cos_coupler - l * l,
                                         velmora::dot(bisector, bisector), velmora::dot(x, x)});
}

// The enumeration: two roots per pair of small circles, one arctangent per joint solution,
// then forward kinematics of every candidate.
void add_enumeration_calls(Calls& calls, const Vec3& target) {
    const double cos_arm = std::cos(left.arm_arc);
    const double cos_coupler = std::cos(left.coupler_arc);
    for (const double d : {target.z, target.x}) {  // target . v_1 and target . v_5
        const double l = (cos_coupler - d * cos_arm) / std::sqrt(1.0 - d * d);
        calls.sqrt.insert(calls.sqrt.end(), {1.0 - d * d, 1.0 - cos_arm * cos_arm - l * l});
    }
    const arm::CandidateList candidates = reference::enumerate_candidates(left, target);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const arm::IkCandidate& c = candidates[i];
        if (i < 2) calls.atan2.emplace_back(std::sin(c.theta_b), std::cos(c.theta_b));
        if (i % 2 == 0) calls.atan2.emplace_back(std::sin(c.theta_a), std::cos(c.theta_a));
        add_forward_calls(calls, c.theta_a, c.theta_b);
    }
}

Calls forward_calls() {
    Calls calls;
    add_forward_calls(calls, theta_a, theta_b);
    return calls;
}

Calls enumeration_calls() {
    Calls calls;
    add_enumeration_calls(calls, pose().v_3);
    return calls;
}

// Plus the Frobenius distance of every candidate.
Calls orientation_calls() {
    Calls calls = enumeration_calls();
    for (const arm::IkCandidate& c : reference::enumerate_candidates(left, pose().v_3)) {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const double difference = c.solution.rotation[i][j] - pose().rotation[i][j];
                sum += difference * difference;
            }
        }
        calls.sqrt.push_back(sum);
    }
    return calls;
}

// Plus the direction's length and every candidate's distance to it.
Calls direction_calls() {
    Calls calls = enumeration_calls();
    calls.sqrt.push_back(velmora::dot(pose().v_3, pose().v_3));
    for (const arm::IkCandidate& c : reference::enumerate_candidates(left, pose().v_3)) {
        const Vec3 difference = c.solution.v_3 - pose().v_3;
        calls.sqrt.push_back(velmora::dot(difference, difference));
    }
    return calls;
}

void calls_alone(benchmark::State& state, const Calls& calls) {
    for (auto _ : state) {
        double sum = 0.0;
        for (double angle : calls.sin_cos) {
            hide(angle);
            sum += std::sin(angle) + std::cos(angle);
        }
        for (auto [y, x] : calls.atan2) {
            hide(y);
            sum += std::atan2(y, x);
        }
        for (double value : calls.sqrt) {
            hide(value);
            sum += std::sqrt(value);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["calls"] = static_cast<double>(2 * calls.sin_cos.size() + calls.atan2.size() + calls.sqrt.size());
}

// ----- The arm's functions in their three forms ----------------------------------------------

enum class Form { recipe, geometry, prepared };

template <Form form>
void forward_kinematics(benchmark::State& state) {
    double a = theta_a;
    double b = theta_b;
    for (auto _ : state) {
        hide(a);
        hide(b);
        if constexpr (form == Form::recipe) {
            auto solution = reference::forward_kinematics(left, a, b);
            benchmark::DoNotOptimize(solution);
        } else if constexpr (form == Form::geometry) {
            auto solution = arm::forward_kinematics(left, a, b);
            benchmark::DoNotOptimize(solution);
        } else {
            auto solution = arm::forward_kinematics(prepared_left(), a, b);
            benchmark::DoNotOptimize(solution);
        }
    }
}

template <Form form>
void enumerate_candidates(benchmark::State& state) {
    Vec3 target = pose().v_3;
    for (auto _ : state) {
        hide(target);
        if constexpr (form == Form::recipe) {
            auto candidates = reference::enumerate_candidates(left, target);
            benchmark::DoNotOptimize(candidates);
        } else if constexpr (form == Form::geometry) {
            auto candidates = arm::enumerate_candidates(left, target);
            benchmark::DoNotOptimize(candidates);
        } else {
            auto candidates = arm::enumerate_candidates(prepared_left(), target);
            benchmark::DoNotOptimize(candidates);
        }
    }
}

template <Form form>
void inverse_kinematics(benchmark::State& state) {
    Mat3 rotation = pose().rotation;
    for (auto _ : state) {
        hide(rotation);
        if constexpr (form == Form::recipe) {
            auto pair = reference::inverse_kinematics(left, rotation);
            benchmark::DoNotOptimize(pair);
        } else if constexpr (form == Form::geometry) {
            auto pair = arm::inverse_kinematics(left, rotation);
            benchmark::DoNotOptimize(pair);
        } else {
            auto pair = arm::inverse_kinematics(prepared_left(), rotation);
            benchmark::DoNotOptimize(pair);
        }
    }
}

template <Form form>
void inverse_kinematics_from_direction(benchmark::State& state) {
    Vec3 direction = pose().v_3;
    std::optional<JointPair> near;
    if (state.range(0) != 0) near = near_pair;
    for (auto _ : state) {
        hide(direction);
        hide(near);
        if constexpr (form == Form::recipe) {
            auto pair = reference::inverse_kinematics_from_direction(left, direction, near);
            benchmark::DoNotOptimize(pair);
        } else if constexpr (form == Form::geometry) {
            auto pair = arm::inverse_kinematics_from_direction(left, direction, near);
            benchmark::DoNotOptimize(pair);
        } else {
            auto pair = arm::inverse_kinematics_from_direction(prepared_left(), direction, near);
            benchmark::DoNotOptimize(pair);
        }
    }
}

// ----- The neck and the JSON reader -------------------------------------------------------------

void neck_forward_kinematics(benchmark::State& state) {
    neck::NeckAngles angles = head_angles;
    for (auto _ : state) {
        hide(angles);
        auto rotation = neck::forward_kinematics(angles);
        benchmark::DoNotOptimize(rotation);
    }
}

void neck_inverse_kinematics(benchmark::State& state) {
    Mat3 rotation = neck::forward_kinematics(head_angles);
    for (auto _ : state) {
        hide(rotation);
        auto angles = neck::inverse_kinematics(rotation);
        benchmark::DoNotOptimize(angles);
    }
}

void read_geometry_json(benchmark::State& state) {
    std::string_view document = geometry_document;
    for (auto _ : state) {
        hide(document);
        auto parsed = arm::read_geometry_json(document);
        benchmark::DoNotOptimize(parsed);
    }
}

// One arm function in its forms, named <function>/<form>.
void register_arm(const std::string& name, void (*recipe)(benchmark::State&),
                  void (*geometry)(benchmark::State&), void (*prepared)(benchmark::State&),
                  std::optional<Calls> calls, std::optional<int> near = std::nullopt) {
    const auto with_near = [&near](benchmark::internal::Benchmark* b) {
        if (near) b->ArgName("near")->Arg(*near);
    };
    with_near(benchmark::RegisterBenchmark((name + "/recipe").c_str(), recipe));
    with_near(benchmark::RegisterBenchmark((name + "/geometry").c_str(), geometry));
    with_near(benchmark::RegisterBenchmark((name + "/prepared").c_str(), prepared));
    if (!calls) return;
    benchmark::RegisterBenchmark((name + "/calls_alone").c_str(),
                                 [calls = std::move(*calls)](benchmark::State& state) { calls_alone(state, calls); });
}

}  // namespace

int main(int argc, char** argv) {
    register_arm("forward_kinematics", forward_kinematics<Form::recipe>, forward_kinematics<Form::geometry>,
                 forward_kinematics<Form::prepared>, forward_calls());
    register_arm("enumerate_candidates", enumerate_candidates<Form::recipe>,
                 enumerate_candidates<Form::geometry>, enumerate_candidates<Form::prepared>,
                 enumeration_calls());
    register_arm("inverse_kinematics", inverse_kinematics<Form::recipe>, inverse_kinematics<Form::geometry>,
                 inverse_kinematics<Form::prepared>, orientation_calls());
    for (const int near : {0, 1}) {
        register_arm("inverse_kinematics_from_direction", inverse_kinematics_from_direction<Form::recipe>,
                     inverse_kinematics_from_direction<Form::geometry>,
                     inverse_kinematics_from_direction<Form::prepared>,
                     near == 0 ? std::optional<Calls>(direction_calls()) : std::nullopt, near);
    }
    benchmark::RegisterBenchmark("neck_forward_kinematics", neck_forward_kinematics);
    benchmark::RegisterBenchmark("neck_inverse_kinematics", neck_inverse_kinematics);
    benchmark::RegisterBenchmark("read_geometry_json", read_geometry_json);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
