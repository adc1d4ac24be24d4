// The core against the plain recipe (tests/arm/reference_recipe.cpp), bit for
// bit: every double the same, the sign of zero included, NaN exactly where the
// recipe gives NaN (its sign and payload are not compared), and every success
// and failure the same. Both the geometry-taking and the prepared functions
// are compared, on special values crossed with each other and on random inputs
// of every kind the kinematics meet.
//
// VELMORA_DIFFERENTIAL_INPUTS=<count> sets the number of random inputs
// (default 200000), e.g. 20000000 for a long run.

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "arm/reference_recipe.hpp"
#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::identical;
using testing::inf;
using testing::nan;
using testing::pi;
using testing::Sampler;

constexpr std::uint64_t default_inputs = 200000;
constexpr int mismatches_shown = 12;

// Values at which the recipe's steps change form: zeros of either sign, the
// written-out rotation's limits, arcs where sin or cos vanishes or overflows.
constexpr double specials[] = {
    0.0,   -0.0,  inf,    -inf,    nan,          5e-324, -5e-324, 1e-300, 1e-150, -1e-150,
    1e-100, 0.99e-100, -1e-100, 1e-8, pi / 4, pi / 2, -pi / 2,  pi,     -pi,    2 * pi,
    0.5,   0.7,   -0.7,   1e300,  -1e300, 1.7976931348623157e308, 6381956970095103.0 * 0x1p797,
};
constexpr std::size_t special_count = sizeof specials / sizeof specials[0];

double special(Sampler& s) { return specials[s.bits() % special_count]; }

// ----- Comparison of whole results --------------------------------------------------------------


std::string show(const SphericalLinkGeometry& g) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "{%a, %a, %s, %s}", g.arm_arc, g.coupler_arc,
                  g.branch == Branch::positive ? "positive" : "negative", g.mirror ? "mirror" : "plain");
    return buf;
}

std::string hex(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

std::string hex(const Vec3& v) {
    char buf[100];
    std::snprintf(buf, sizeof buf, "(%a, %a, %a)", v.x, v.y, v.z);
    return buf;
}

bool same(const Vec3& a, const Vec3& b) {
    return identical(a.x, b.x) && identical(a.y, b.y) && identical(a.z, b.z);
}

bool same(const Mat3& a, const Mat3& b) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            if (!identical(a[i][j], b[i][j])) return false;
        }
    }
    return true;
}

bool same(const JointPair& a, const JointPair& b) {
    return identical(a.theta_a, b.theta_a) && identical(a.theta_b, b.theta_b);
}

bool same(const FkSolution& a, const FkSolution& b) {
    return same(a.rotation, b.rotation) && same(a.v_2, b.v_2) && same(a.v_3, b.v_3) && same(a.v_4, b.v_4);
}

bool same(const IkCandidate& a, const IkCandidate& b) {
    return identical(a.theta_a, b.theta_a) && identical(a.theta_b, b.theta_b) && same(a.solution, b.solution);
}

template <typename T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
    return a && b ? same(*a, *b) : !a && !b;
}

template <typename T, std::size_t N>
bool same(const BoundedList<T, N>& a, const BoundedList<T, N>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
    }
    return true;
}

// Records one comparison; prints the first few mismatches with their inputs in hex.
struct Differential {
    std::uint64_t compared = 0;
    std::uint64_t mismatched = 0;

    void expect(bool ok, const char* function, const SphericalLinkGeometry& g, const std::string& input) {
        ++compared;
        if (ok) return;
        if (++mismatched <= mismatches_shown) {
            std::fprintf(stderr, "MISMATCH %s: geometry %s, %s\n", function, show(g).c_str(), input.c_str());
        }
    }
};

// Every function of the public arm API, in both forms, against the recipe.
void compare_forward(Differential& diff, const SphericalLinkGeometry& g, const SphericalFiveBar& arm,
                     double theta_a, double theta_b) {
    const auto want = reference::forward_kinematics(g, theta_a, theta_b);
    const std::string input = "theta " + hex(theta_a) + ", " + hex(theta_b);
    diff.expect(same(forward_kinematics(g, theta_a, theta_b), want), "forward_kinematics", g, input);
    diff.expect(same(forward_kinematics(arm, theta_a, theta_b), want), "prepared forward_kinematics", g,
                input);
}

void compare_enumeration(Differential& diff, const SphericalLinkGeometry& g, const SphericalFiveBar& arm,
                         const Vec3& target) {
    const CandidateList want = reference::enumerate_candidates(g, target);
    const std::string input = "target " + hex(target);
    diff.expect(same(enumerate_candidates(g, target), want), "enumerate_candidates", g, input);
    diff.expect(same(enumerate_candidates(arm, target), want), "prepared enumerate_candidates", g, input);
}

void compare_orientation(Differential& diff, const SphericalLinkGeometry& g, const SphericalFiveBar& arm,
                         const Mat3& r) {
    const auto want = reference::inverse_kinematics(g, r);
    const std::string input = "rotation rows " + hex(Vec3{r[0][0], r[0][1], r[0][2]}) +
                              hex(Vec3{r[1][0], r[1][1], r[1][2]}) + hex(Vec3{r[2][0], r[2][1], r[2][2]});
    diff.expect(same(inverse_kinematics(g, r), want), "inverse_kinematics", g, input);
    diff.expect(same(inverse_kinematics(arm, r), want), "prepared inverse_kinematics", g, input);
}

void compare_direction(Differential& diff, const SphericalLinkGeometry& g, const SphericalFiveBar& arm,
                       const Vec3& v, const std::optional<JointPair>& near) {
    std::string input = "direction " + hex(v);
    if (near) input += " near " + hex(near->theta_a) + ", " + hex(near->theta_b);
    const DirectionSolutions solutions = reference::direction_solutions(g, v);
    diff.expect(same(direction_solutions(g, v), solutions), "direction_solutions", g, input);
    diff.expect(same(direction_solutions(arm, v), solutions), "prepared direction_solutions", g, input);
    const auto want = reference::inverse_kinematics_from_direction(g, v, near);
    diff.expect(same(inverse_kinematics_from_direction(g, v, near), want),
                "inverse_kinematics_from_direction", g, input);
    diff.expect(same(inverse_kinematics_from_direction(arm, v, near), want),
                "prepared inverse_kinematics_from_direction", g, input);
}

// ----- Inputs -----------------------------------------------------------------------------------

// Mostly arcs of working arms; a share of anything at all.
SphericalLinkGeometry random_geometry(Sampler& s) {
    const auto arc = [&s](double low, double high) {
        const std::uint64_t pick = s.bits() % 10;
        if (pick < 7) return s.uniform(low, high);
        if (pick < 9) return s.uniform(-4.0, 4.0);
        return special(s);
    };
    return {arc(0.1, 1.5), arc(0.1, 1.5), s.coin() ? Branch::positive : Branch::negative, s.coin()};
}

double random_angle(Sampler& s) {
    const std::uint64_t pick = s.bits() % 20;
    if (pick < 14) return s.uniform(-pi, pi);
    if (pick < 16) return s.uniform(-8.0, 8.0);
    if (pick < 17) return s.uniform(-1e-6, 1e-6) * std::pow(10.0, -s.uniform(0.0, 300.0));
    return special(s);
}

double random_component(Sampler& s) { return s.bits() % 8 == 0 ? special(s) : s.uniform(-1.0, 1.0); }

Vec3 random_vector(Sampler& s) { return {random_component(s), random_component(s), random_component(s)}; }

Vec3 axis_like(Sampler& s) {
    const double m = s.coin() ? 1.0 : -1.0;
    const double e = s.coin() ? 0.0 : s.uniform(-1e-12, 1e-12);  // on the axis or within the test's reach
    switch (s.bits() % 3) {
        case 0: return {e, e, m};
        case 1: return {m, e, -e};
        default: return {e, m, e};
    }
}

// A small relative change, from far below the tolerances to far above them.
double perturbation(Sampler& s) { return s.uniform(-1.0, 1.0) * std::pow(10.0, -s.uniform(3.0, 17.0)); }

Vec3 perturbed(Sampler& s, const Vec3& v) {
    return {v.x + perturbation(s), v.y + perturbation(s), v.z + perturbation(s)};
}

// A pose of the arm when the recipe closes the loop for a random pair.
std::optional<FkSolution> random_pose(Sampler& s, const SphericalLinkGeometry& g) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto pose = reference::forward_kinematics(g, s.uniform(-4.0, 4.0), s.uniform(-4.0, 4.0));
        if (pose) return pose;
    }
    return std::nullopt;
}

Vec3 random_target(Sampler& s, const std::optional<FkSolution>& pose) {
    const std::uint64_t pick = s.bits() % 10;
    if (pose && pick < 4) return pose->v_3;
    if (pose && pick < 7) return perturbed(s, pose->v_3);
    if (pick < 8) return axis_like(s);
    return random_vector(s);
}

// The whole-rotation targets: a reachable pose as given, turned about v_3, perturbed, transposed,
// or anything at all.
Mat3 random_rotation(Sampler& s, const std::optional<FkSolution>& pose) {
    Mat3 r{};
    if (!pose || s.bits() % 6 == 0) {
        for (auto& row : r) {
            for (double& element : row) element = random_component(s);
        }
        return r;
    }
    r = pose->rotation;
    switch (s.bits() % 5) {
        case 0: return r;
        case 1: {
            const double turn = perturbation(s);
            const double c = std::cos(turn);
            const double sn = std::sin(turn);
            for (auto& row : r) {
                const double x = row[0];
                const double y = row[1];
                row[0] = c * x + sn * y;
                row[1] = -sn * x + c * y;
            }
            return r;
        }
        case 2:
            for (auto& row : r) {
                for (double& element : row) element += perturbation(s);
            }
            return r;
        case 3:
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) r[i][j] = pose->rotation[j][i];
            }
            return r;
        default:
            r[s.bits() % 3][s.bits() % 3] = special(s);
            return r;
    }
}

// Any length: unit, scaled (overflowing or below the shortest accepted), or zero.
Vec3 random_direction(Sampler& s, const std::optional<FkSolution>& pose) {
    const Vec3 d = random_target(s, pose);
    constexpr double scales[] = {1.0, 1.0, 1.0, 5.0, 1e-11, 1e-13, 1e150, 1e200, 0.0, -1.0};
    return scales[s.bits() % (sizeof scales / sizeof scales[0])] * d;
}

std::optional<JointPair> random_near(Sampler& s) {
    switch (s.bits() % 5) {
        case 0:
        case 1: return std::nullopt;
        case 2: return JointPair{special(s), random_angle(s)};
        default: return JointPair{random_angle(s), random_angle(s)};
    }
}

std::uint64_t input_count() {
    const char* text = std::getenv("VELMORA_DIFFERENTIAL_INPUTS");
    if (text == nullptr || *text == '\0') return default_inputs;
    char* end = nullptr;
    const unsigned long long count = std::strtoull(text, &end, 10);
    return *end == '\0' && count > 0 ? count : default_inputs;
}

// ----- Tests ------------------------------------------------------------------------------------

// Special arcs crossed with special joint angles and with targets built from special components.
void test_special_values_crossed(Differential& diff) {
    constexpr Branch branches[] = {Branch::positive, Branch::negative};
    constexpr double working[] = {0.7, 0.5, 1.2};
    for (const double arm_arc : specials) {
        for (const double coupler_arc : specials) {
            for (const Branch branch : branches) {
                for (const bool mirror : {false, true}) {
                    const SphericalLinkGeometry g{arm_arc, coupler_arc, branch, mirror};
                    const SphericalFiveBar arm(g);
                    for (const double theta_a : specials) {
                        for (const double theta_b : working) compare_forward(diff, g, arm, theta_a, theta_b);
                    }
                    for (const double theta_b : specials) compare_forward(diff, g, arm, 0.3, theta_b);
                    for (const double component : specials) {
                        compare_enumeration(diff, g, arm, {0.66, component, 0.47});
                        compare_direction(diff, g, arm, {component, 0.58, 0.47}, std::nullopt);
                    }
                }
            }
        }
    }
    // Every pair of special angles on the working arms.
    for (const SphericalLinkGeometry& g : {default_left(), default_right(),
                                           SphericalLinkGeometry{0.7, 0.5, Branch::negative, true}}) {
        const SphericalFiveBar arm(g);
        for (const double theta_a : specials) {
            for (const double theta_b : specials) compare_forward(diff, g, arm, theta_a, theta_b);
        }
    }
}

void test_random_inputs(Differential& diff, std::uint64_t count) {
    Sampler s(0x5f3759df);
    for (std::uint64_t i = 0; i < count; ++i) {
        const SphericalLinkGeometry g = random_geometry(s);
        const SphericalFiveBar arm(g);
        compare_forward(diff, g, arm, random_angle(s), random_angle(s));
        const std::optional<FkSolution> pose = random_pose(s, g);
        compare_enumeration(diff, g, arm, random_target(s, pose));
        compare_orientation(diff, g, arm, random_rotation(s, pose));
        compare_direction(diff, g, arm, random_direction(s, pose), random_near(s));
    }
}

// The public small-circle step is the recipe's own, sign for sign.
void test_small_circles(Differential& diff) {
    Sampler s(7);
    const SphericalLinkGeometry none{};
    for (int i = 0; i < 20000; ++i) {
        const Vec3 a = random_vector(s);
        const Vec3 b = s.coin() ? a : random_vector(s);
        const double rho_a = s.coin() ? special(s) : s.uniform(-4.0, 4.0);
        const double rho_b = s.coin() ? rho_a : s.uniform(-4.0, 4.0);
        const double sigma = s.coin() ? 1.0 : -1.0;
        diff.expect(same(intersect_small_circles(a, rho_a, b, rho_b, sigma),
                         reference::intersect_small_circles(a, rho_a, b, rho_b, sigma)),
                    "intersect_small_circles", none, "a " + hex(a) + " b " + hex(b));
    }
}

// The comparison itself must notice a difference: a sign of zero, a NaN against a number, a
// missing candidate.
void test_comparison_detects_differences() {
    const auto pose = reference::forward_kinematics(default_left(), 0.3, -0.2);
    if (!VT_CHECK(pose.has_value())) return;
    FkSolution flipped = *pose;
    flipped.v_2.y = -flipped.v_2.y;
    VT_CHECK(same(*pose, *pose));
    VT_CHECK(!same(*pose, flipped));
    VT_CHECK(!same(Vec3{0.0, 1.0, 2.0}, Vec3{-0.0, 1.0, 2.0}));
    VT_CHECK(!same(Vec3{nan, 1.0, 2.0}, Vec3{1.0, 1.0, 2.0}));
    VT_CHECK(same(Vec3{nan, 1.0, 2.0}, Vec3{-nan, 1.0, 2.0}));
    const CandidateList all = reference::enumerate_candidates(default_left(), pose->v_3);
    const CandidateList none = reference::enumerate_candidates(default_left(), {0.0, 0.0, 1.0});
    VT_CHECK(all.size() == 4 && none.empty() && !same(all, none));
}

}  // namespace

int main() {
    test_comparison_detects_differences();
    Differential diff;
    test_special_values_crossed(diff);
    test_small_circles(diff);
    const std::uint64_t count = input_count();
    test_random_inputs(diff, count);
    std::printf("fast core against the recipe: %" PRIu64 " random inputs, %" PRIu64 " comparisons, %" PRIu64
                " mismatched\n",
                count, diff.compared, diff.mismatched);
    VT_CHECK_MSG(diff.mismatched == 0, "the fast core differs from the recipe");
    return testing::finish("test_fast_core_matches_recipe");
}
