// Inverse kinematics of the spherical five-bar arm: candidate order, acceptance,
// choice among the reaching pairs, and round trips through forward kinematics.

#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "support/arm_fixtures.hpp"
#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::inf;
using testing::nan;
using testing::pi;

using testing::left;
using testing::left_negative;
using testing::right;

// The four joint pairs that put both elbows at the coupler arc from the v_3 of
// (0.3, -0.2), in enumeration order; the far angles are known to nine decimals.
constexpr double far_a = 1.144745684, far_b = -1.588839219, quoted = 1e-9;
constexpr JointPair pair_pp{far_a, -0.2}, pair_pm{far_a, far_b}, pair_mp{0.3, -0.2}, pair_mm{0.3, far_b};
constexpr std::optional<JointPair> unreachable, no_near;

constexpr auto* fk = &testing::fk_or_nan;

double distance(const Vec3& a, const Vec3& b) { return norm(a - b); }

std::string text(const std::optional<JointPair>& p) {
    return p ? testing::show({p->theta_a, p->theta_b}) : "unreachable";
}

void check_pair(const std::optional<JointPair>& got, const std::optional<JointPair>& want, double tol,
                const std::string& name) {
    const bool same = got && want ? testing::near(got->theta_a, want->theta_a, tol) &&
                                        testing::near(got->theta_b, want->theta_b, tol)
                                  : !got && !want;
    VT_CHECK_MSG(same, name + ": expected " + text(want) + ", got " + text(got));
}

void test_candidate_enumeration() {
    const Vec3 d = fk(left, 0.3, -0.2).v_3;
    const double s = std::sqrt(0.5);
    // Either no candidate, or all four; `reaches`: whether each one's own closure lands on the
    // target rather than on the other intersection.
    struct Case { const char* name; SphericalLinkGeometry g; Vec3 target; std::size_t count;
                  std::array<bool, 4> reaches; };
    const Case cases[] = {
        {"left arm", left, d, 4, {true, false, true, true}},
        {"negative branch: same pairs, other closures", left_negative, d, 4, {false, true, false, false}},
        {"mirrored arm, mirrored target", right, {-d.x, -d.y, d.z}, 4, {true, false, true, true}},
        {"along v_1", left, {0, 0, 1}, 0, {}},
        {"against v_1, longer than a unit vector", left, {0, 0, -2}, 0, {}},
        {"along v_5", left, {1, 0, 0}, 0, {}},
        {"out of reach of elbow A only", left, {s, 0, -s}, 0, {}},
    };
    const JointPair order[] = {pair_pp, pair_pm, pair_mp, pair_mm};
    for (const Case& c : cases) {
        const CandidateList candidates = enumerate_candidates(c.g, c.target);
        if (!VT_CHECK_MSG(candidates.size() == c.count, c.name)) continue;
        for (std::size_t k = 0; k < c.count; ++k) {
            const IkCandidate& got = candidates[k];
            check_pair(JointPair{got.theta_a, got.theta_b}, order[k], quoted, c.name);
            VT_CHECK_MSG((distance(got.solution.v_3, c.target) < 1e-14) == c.reaches[k], c.name);
            const Vec3 own = fk(c.g, got.theta_a, got.theta_b).v_3;  // its solution is its own, bit for bit
            VT_CHECK_MSG(distance(got.solution.v_3, own) == 0.0, c.name);
        }
    }
    const CandidateList of_left = enumerate_candidates(left, d);  // the second pair closes on the other side
    VT_CHECK(of_left.size() == 4 && distance(of_left[1].solution.v_3, {0.488089, 0.789604, 0.371880}) < 1e-6);

    // NaN fails no threshold: four candidates, all NaN.
    const CandidateList poisoned = enumerate_candidates(left, {nan, 0.5, 0.5});
    VT_CHECK(poisoned.size() == 4);
    for (const IkCandidate& c : poisoned) VT_CHECK(std::isnan(c.theta_a) && std::isnan(c.theta_b));
}

void test_inverse_kinematics() {
    const Mat3 r = fk(left, 0.3, -0.2).rotation;
    const auto turned = [&r](double angle) {  // r turned about its third column
        Mat3 out = r;
        for (int i = 0; i < 3; ++i) {
            out[i][0] = std::cos(angle) * r[i][0] + std::sin(angle) * r[i][1];
            out[i][1] = -std::sin(angle) * r[i][0] + std::cos(angle) * r[i][1];
        }
        return out;
    };
    Mat3 with_nan = r;
    with_nan[1][1] = nan;
    struct Case { const char* name; SphericalLinkGeometry g; Mat3 target; std::optional<JointPair> expected;
                  double tol; };
    const Case cases[] = {
        {"fk matrix of (0.3, -0.2)", left, r, pair_mp, 1e-15},
        {"frame turned 1e-7 about v_3: inside the tolerance", left, turned(1e-7), pair_mp, 1e-15},
        {"frame turned 1e-3 about v_3", left, turned(1e-3), unreachable, 0},
        {"fk matrix of (0, 0)", left, fk(left, 0.0, 0.0).rotation, JointPair{0.0, 0.0}, 1e-14},
        {"fk matrix of (0.3 + 2 pi, -0.2)", left, fk(left, 0.3 + 2 * pi, -0.2).rotation, pair_mp, 1e-14},
        {"negative branch, its own matrix", left_negative, fk(left_negative, 0.3, -0.2).rotation, pair_mp, 1e-15},
        {"mirrored arm, its own matrix", right, fk(right, 0.3, -0.2).rotation, pair_mp, 1e-15},
        {"unmirrored arm, the mirrored matrix", left, fk(right, 0.3, -0.2).rotation, unreachable, 0},
        {"identity: third column along v_1", left, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, unreachable, 0},
        {"a NaN element", left, with_nan, unreachable, 0},
    };
    for (const Case& c : cases) check_pair(inverse_kinematics(c.g, c.target), c.expected, c.tol, c.name);
}

void test_inverse_kinematics_from_direction() {
    const Vec3 d = fk(left, 0.3, -0.2).v_3;
    struct Case { const char* name; SphericalLinkGeometry g; Vec3 direction; std::optional<JointPair> near, expected;
                  double tol; };
    const Case cases[] = {
        // Choice among the three pairs that reach d.
        {"smallest norm without near", left, d, no_near, pair_mp, 1e-15},
        {"near the first pair", left, d, JointPair{1.2, -0.1}, pair_pp, quoted},
        {"near the last pair", left, d, JointPair{0.0, -1.6}, pair_mm, quoted},
        {"near 2 pi away is not wrapped", left, d, JointPair{0.3 + 2 * pi, -0.2}, pair_pp, quoted},
        {"NaN near keeps the first reaching pair", left, d, JointPair{nan, 0.0}, pair_pp, quoted},
        // The sum of absolute differences would pick pair_pp.
        {"squared distance decides", left, d, JointPair{1.0, -1.1}, pair_mm, quoted},
        // Only the candidate that closes on the negative side reaches d.
        {"negative branch", left_negative, d, no_near, pair_pm, quoted},
        {"negative branch, near another pair", left_negative, d, pair_mp, pair_pm, quoted},
        {"mirrored arm", right, {-d.x, -d.y, d.z}, no_near, pair_mp, 1e-15},
        // Any length that normalises cleanly points the same way.
        {"1e-11 d", left, 1e-11 * d, no_near, pair_mp, 1e-15},
        {"1e150 d", left, 1e150 * d, no_near, pair_mp, 1e-15},
        {"1e-13 d: shorter than 1e-12", left, 1e-13 * d, no_near, unreachable, 0},
        {"1e200 d: the squared length overflows", left, 1e200 * d, no_near, unreachable, 0},
        {"infinite component", left, {inf, 0.5, 0.5}, no_near, unreachable, 0},
        {"NaN component", left, {0.6, nan, 0.5}, no_near, unreachable, 0},
    };
    for (const Case& c : cases) {
        check_pair(inverse_kinematics_from_direction(c.g, c.direction, c.near), c.expected, c.tol, c.name);
    }
}

// Equal scores keep the earlier pair. pair_mp and pair_mm share theta_A bit for bit, so a
// near on their midline in theta_B ties them exactly once the squares round alike: walk out
// from the midpoint, one representable value at a time each way, to find one.
void test_equal_scores_keep_the_earlier_pair() {
    const Vec3 d = fk(left, 0.3, -0.2).v_3;
    const CandidateList candidates = enumerate_candidates(left, d);
    if (!VT_CHECK(candidates.size() == 4 && candidates[2].theta_a == candidates[3].theta_a)) return;
    const double earlier = candidates[2].theta_b, later = candidates[3].theta_b;
    const auto tied = [&](double b) { return (earlier - b) * (earlier - b) == (later - b) * (later - b); };
    double up = 0.5 * (earlier + later), down = up;
    for (int step = 0; step < 2048 && !tied(up) && !tied(down); ++step) {
        up = std::nextafter(up, 0.0);
        down = std::nextafter(down, -4.0);
    }
    const double near_b = tied(up) ? up : down;
    if (!VT_CHECK_MSG(tied(near_b), "no exactly tied near found")) return;
    const auto chosen = inverse_kinematics_from_direction(left, d, JointPair{candidates[2].theta_a, near_b});
    VT_CHECK(chosen.has_value() && chosen->theta_b == earlier);
}

// Round trips over random geometries and joint pairs, angles up to three turns out.
void test_round_trip_properties() {
    testing::Sampler sample(0x1c0ffee5ULL);
    constexpr int samples = 20000;
    constexpr double round_trip_tol = 1e-9;  // the worst seen is near tangency of the elbow circles
    int closed = 0;
    double orientation = 0, direction = 0, reach = 0;
    for (int i = 0; i < samples; ++i) {
        const double arm_arc = sample.uniform(0.2, 1.4), coupler_arc = sample.uniform(0.2, 1.4);
        const Branch side = sample.coin() ? Branch::positive : Branch::negative;
        const SphericalLinkGeometry g{arm_arc, coupler_arc, side, sample.coin()};
        const double theta_a = sample.uniform(-3 * pi, 3 * pi), theta_b = sample.uniform(-3 * pi, 3 * pi);
        const std::optional<FkSolution> solution = forward_kinematics(g, theta_a, theta_b);
        if (!solution) continue;
        ++closed;
        const JointPair reduced{std::remainder(theta_a, 2 * pi), std::remainder(theta_b, 2 * pi)};
        const auto track_deviation = [&](double& worst, const JointPair& p) {
            testing::track_worst(worst, std::fabs(std::remainder(p.theta_a - theta_a, 2 * pi)));
            testing::track_worst(worst, std::fabs(std::remainder(p.theta_b - theta_b, 2 * pi)));
        };
        const auto squared_norm = [](const JointPair& p) { return p.theta_a * p.theta_a + p.theta_b * p.theta_b; };

        const auto from_rotation = inverse_kinematics(g, solution->rotation);
        // Staying near the pair itself finds the pair again.
        const auto from_direction = inverse_kinematics_from_direction(g, solution->v_3, reduced);
        // Without near: some pair that reaches the direction, no larger than the reduced pair.
        const auto smallest = inverse_kinematics_from_direction(g, solution->v_3, std::nullopt);
        if (!VT_CHECK(from_rotation && from_direction && smallest)) continue;
        VT_CHECK(std::fabs(from_rotation->theta_a) <= pi && std::fabs(from_rotation->theta_b) <= pi);
        track_deviation(orientation, *from_rotation);
        track_deviation(direction, *from_direction);
        testing::track_worst(reach, distance(fk(g, smallest->theta_a, smallest->theta_b).v_3, solution->v_3));
        VT_CHECK(squared_norm(*smallest) <= squared_norm(reduced) + 1e-8);
    }
    std::printf("inverse kinematics round trips: %d of %d pairs closed; worst angle deviation %.3g (orientation), "
                "%.3g (direction with near); worst v_3 miss without near %.3g\n",
                closed, samples, orientation, direction, reach);
    VT_CHECK(closed > samples / 5);  // the loop above must not be vacuous
    VT_CHECK(orientation < round_trip_tol);
    VT_CHECK(direction < round_trip_tol);
    VT_CHECK(reach < 1e-6);
}

}  // namespace

int main() {
    test_candidate_enumeration();
    test_inverse_kinematics();
    test_inverse_kinematics_from_direction();
    test_equal_scores_keep_the_earlier_pair();
    test_round_trip_properties();
    return velmora::testing::finish("test_inverse_kinematics");
}
