// Inverse kinematics of the spherical five-bar arm: candidate order, acceptance,
// choice among the reaching pairs, and round trips through forward kinematics.

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <random>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace {

using velmora::JointPair;
using velmora::Mat3;
using velmora::Vec3;
using velmora::arm::Branch;
using velmora::arm::CandidateList;
using velmora::arm::enumerate_candidates;
using velmora::arm::FkSolution;
using velmora::arm::IkCandidate;
using velmora::arm::forward_kinematics;
using velmora::arm::inverse_kinematics;
using velmora::arm::inverse_kinematics_from_direction;
using velmora::arm::SphericalLinkGeometry;

constexpr double pi = std::numbers::pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

constexpr SphericalLinkGeometry left{0.7, 0.5, Branch::positive, false};
constexpr SphericalLinkGeometry left_negative{0.7, 0.5, Branch::negative, false};
constexpr SphericalLinkGeometry right{0.7, 0.5, Branch::positive, true};

// The four joint pairs that put both elbows at the coupler arc from the v_3 of
// (0.3, -0.2), in enumeration order.
constexpr double far_a = 1.144745684;
constexpr double far_b = -1.588839219;
constexpr JointPair pair_pp{far_a, -0.2};
constexpr JointPair pair_pm{far_a, far_b};
constexpr JointPair pair_mp{0.3, -0.2};
constexpr JointPair pair_mm{0.3, far_b};

// The reference pairs are known to nine decimals.
constexpr double quoted = 1e-9;

FkSolution fk_or_nan(const SphericalLinkGeometry& g, double theta_a, double theta_b) {
    const std::optional<FkSolution> fk = forward_kinematics(g, theta_a, theta_b);
    if (fk) return *fk;
    FkSolution poisoned{};
    for (auto& row : poisoned.rotation) row = {nan, nan, nan};
    poisoned.v_3 = {nan, nan, nan};
    return poisoned;
}

Vec3 scaled(double k, const Vec3& v) { return k * v; }

double distance(const Vec3& a, const Vec3& b) {
    const Vec3 d = a - b;
    return std::sqrt(dot(d, d));
}

// Largest difference of either angle from (theta_a, theta_b), modulo 2*pi.
double angle_deviation(const JointPair& got, double theta_a, double theta_b) {
    return std::fmax(std::fabs(std::remainder(got.theta_a - theta_a, 2 * pi)),
                     std::fabs(std::remainder(got.theta_b - theta_b, 2 * pi)));
}

double squared_norm(const JointPair& pair) { return pair.theta_a * pair.theta_a + pair.theta_b * pair.theta_b; }

void check_pair(const std::optional<JointPair>& got, const std::optional<JointPair>& want, double tol,
                const char* name) {
    char buf[256];
    if (!want) {
        std::snprintf(buf, sizeof buf, "%s: expected unreachable, got (%.17g, %.17g)", name,
                      got ? got->theta_a : 0.0, got ? got->theta_b : 0.0);
        VT_CHECK_MSG(!got, buf);
        return;
    }
    if (!got) {
        std::snprintf(buf, sizeof buf, "%s: expected (%.17g, %.17g), got unreachable", name, want->theta_a,
                      want->theta_b);
        VT_CHECK_MSG(false, buf);
        return;
    }
    std::snprintf(buf, sizeof buf, "%s: expected (%.17g, %.17g), got (%.17g, %.17g)", name, want->theta_a,
                  want->theta_b, got->theta_a, got->theta_b);
    VT_CHECK_MSG(velmora::testing::near(got->theta_a, want->theta_a, tol) &&
                     velmora::testing::near(got->theta_b, want->theta_b, tol),
                 buf);
}

// The columns X, Y of a rotation turned about its third column by `angle`.
Mat3 turned_about_third_column(const Mat3& r, double angle) {
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    Mat3 out = r;
    for (int i = 0; i < 3; ++i) {
        out[i][0] = c * r[i][0] + s * r[i][1];
        out[i][1] = -s * r[i][0] + c * r[i][1];
    }
    return out;
}

Mat3 transposed(const Mat3& r) {
    Mat3 out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = r[j][i];
    return out;
}

void test_candidate_enumeration() {
    const Vec3 d = fk_or_nan(left, 0.3, -0.2).v_3;
    const Vec3 d_mirrored{-d.x, -d.y, d.z};

    struct Case {
        const char* name;
        SphericalLinkGeometry geometry;
        Vec3 target;
        std::array<bool, 4> reaches_target;  // whether each candidate's own closure lands on it
    };
    const Case cases[] = {
        {"left arm", left, d, {true, false, true, true}},
        {"negative branch: same pairs, other closures", left_negative, d, {false, true, false, false}},
        {"mirrored arm, mirrored target", right, d_mirrored, {true, false, true, true}},
    };
    const JointPair expected_order[] = {pair_pp, pair_pm, pair_mp, pair_mm};
    for (const Case& c : cases) {
        const CandidateList candidates = enumerate_candidates(c.geometry, c.target);
        VT_CHECK_MSG(candidates.size() == 4, c.name);
        if (candidates.size() != 4) continue;
        for (std::size_t k = 0; k < 4; ++k) {
            const JointPair got{candidates[k].theta_a, candidates[k].theta_b};
            check_pair(got, expected_order[k], quoted, c.name);
            const Vec3 v_3 = candidates[k].solution.v_3;
            VT_CHECK_MSG((distance(v_3, c.target) < 1e-14) == c.reaches_target[k], c.name);
            // The solution is forward kinematics of the candidate's own angles.
            const FkSolution own = fk_or_nan(c.geometry, got.theta_a, got.theta_b);
            VT_CHECK_MSG(v_3.x == own.v_3.x && v_3.y == own.v_3.y && v_3.z == own.v_3.z, c.name);
        }
    }
    const CandidateList on_other_closure = enumerate_candidates(left, d);
    if (on_other_closure.size() == 4) {
        const Vec3 v_3 = on_other_closure[1].solution.v_3;
        VT_CHECK_NEAR(v_3.x, 0.488089, 1e-6);
        VT_CHECK_NEAR(v_3.y, 0.789604, 1e-6);
        VT_CHECK_NEAR(v_3.z, 0.371880, 1e-6);
    }

    struct Empty {
        const char* name;
        SphericalLinkGeometry geometry;
        Vec3 target;
    };
    const Empty empties[] = {
        {"along v_1", left, {0, 0, 1}},
        {"against v_1", left, {0, 0, -1}},
        {"along v_1, longer than a unit vector", left, {0, 0, 2}},
        {"along v_5", left, {1, 0, 0}},
        {"along v_5 of the mirrored arm", right, {-1, 0, 0}},
        {"out of reach of both elbows", left, {0, 1, 0}},
        {"out of reach of elbow A only", left, {std::sqrt(0.5), 0, -std::sqrt(0.5)}},
        {"zero target", left, {0, 0, 0}},
    };
    for (const Empty& c : empties) VT_CHECK_MSG(enumerate_candidates(c.geometry, c.target).empty(), c.name);

    // NaN fails no threshold: four candidates, all NaN.
    const CandidateList poisoned = enumerate_candidates(left, {nan, 0.5, 0.5});
    VT_CHECK(poisoned.size() == 4);
    for (const auto& candidate : poisoned) VT_CHECK(std::isnan(candidate.theta_a) && std::isnan(candidate.theta_b));

    // Joint angles come back reduced into [-pi, pi].
    const CandidateList wrapped = enumerate_candidates(left, fk_or_nan(left, 0.3 + 2 * pi, -0.2).v_3);
    VT_CHECK(wrapped.size() == 4);
    if (wrapped.size() == 4) VT_CHECK_NEAR(wrapped[2].theta_a, 0.3, 1e-14);
}

void test_inverse_kinematics_table() {
    const Mat3 r = fk_or_nan(left, 0.3, -0.2).rotation;
    const Mat3 r_mirrored = fk_or_nan(right, 0.3, -0.2).rotation;
    Mat3 long_third_column = r;
    for (auto& row : long_third_column) row[2] *= 2.0;
    Mat3 with_nan = r;
    with_nan[1][1] = nan;
    const Mat3 identity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

    struct Case {
        const char* name;
        SphericalLinkGeometry geometry;
        Mat3 target;
        std::optional<JointPair> expected;
        double tol;
    };
    const Case cases[] = {
        {"fk matrix of (0.3, -0.2)", left, r, JointPair{0.3, -0.2}, 1e-15},
        {"frame turned 1e-7 about v_3 (inside tolerance)", left, turned_about_third_column(r, 1e-7),
         JointPair{0.3, -0.2}, 1e-15},
        {"frame turned 1e-3 about v_3", left, turned_about_third_column(r, 1e-3), std::nullopt, 0},
        {"fk matrix of (0, 0)", left, fk_or_nan(left, 0.0, 0.0).rotation, JointPair{0.0, 0.0}, 1e-14},
        {"fk matrix of (0.3 + 2 pi, -0.2)", left, fk_or_nan(left, 0.3 + 2 * pi, -0.2).rotation,
         JointPair{0.3, -0.2}, 1e-14},
        {"fk matrix of the negative branch", left_negative, fk_or_nan(left_negative, 0.3, -0.2).rotation,
         JointPair{0.3, -0.2}, 1e-15},
        {"mirrored arm, its own matrix", right, r_mirrored, JointPair{0.3, -0.2}, 1e-15},
        {"unmirrored arm, the mirrored matrix", left, r_mirrored, std::nullopt, 0},
        {"identity: third column is v_1", left, identity, std::nullopt, 0},
        {"transpose: a rotation out of reach", left, transposed(r), std::nullopt, 0},
        {"third column doubled", left, long_third_column, std::nullopt, 0},
        {"a NaN element", left, with_nan, std::nullopt, 0},
    };
    for (const Case& c : cases) check_pair(inverse_kinematics(c.geometry, c.target), c.expected, c.tol, c.name);
}

void test_inverse_kinematics_from_direction_table() {
    const Vec3 d = fk_or_nan(left, 0.3, -0.2).v_3;
    VT_CHECK_NEAR(d.x, 0.662696224, quoted);
    VT_CHECK_NEAR(d.y, 0.584017488, quoted);
    VT_CHECK_NEAR(d.z, 0.468782772, quoted);
    const Vec3 d_mirrored{-d.x, -d.y, d.z};
    const std::optional<JointPair> none;

    struct Case {
        const char* name;
        SphericalLinkGeometry geometry;
        Vec3 direction;
        std::optional<JointPair> near;
        std::optional<JointPair> expected;
        double tol;
    };
    const Case cases[] = {
        // Choice among the three reaching pairs.
        {"smallest norm without near", left, d, none, pair_mp, 1e-15},
        {"near the first pair", left, d, JointPair{1.2, -0.1}, pair_pp, quoted},
        {"near the last pair", left, d, JointPair{0.0, -1.6}, pair_mm, quoted},
        {"near 2 pi away is not wrapped", left, d, JointPair{0.3 + 2 * pi, -0.2}, pair_pp, quoted},
        {"NaN near keeps the first reaching pair", left, d, JointPair{nan, 0.0}, pair_pp, quoted},
        {"near exactly on a reaching pair", left, d, JointPair{0.3, -0.2}, pair_mp, 1e-15},
        // Nearest in squared distance, not in the sum of absolute differences (that is pair_pp).
        {"squared distance decides", left, d, JointPair{1.0, -1.1}, pair_mm, quoted},
        // Only the candidate that closes on the negative side reaches d.
        {"negative branch", left_negative, d, none, pair_pm, quoted},
        {"negative branch, near another pair", left_negative, d, JointPair{0.3, -0.2}, pair_pm, quoted},
        {"mirrored arm", right, d_mirrored, none, pair_mp, 1e-15},
        // Any length that normalises cleanly points the same way.
        {"5 d", left, scaled(5.0, d), none, pair_mp, 1e-15},
        {"1e-11 d", left, scaled(1e-11, d), none, pair_mp, 1e-15},
        {"1e150 d", left, scaled(1e150, d), none, pair_mp, 1e-15},
        {"fk direction of (0, 0)", left, fk_or_nan(left, 0.0, 0.0).v_3, none, JointPair{0.0, 0.0}, 1e-14},
        // Unreachable.
        {"1e200 d: the squared length overflows", left, scaled(1e200, d), none, none, 0},
        {"shorter than 1e-12", left, {1e-13, 0, 0}, none, none, 0},
        {"1e-13 d: reachable direction, too short", left, scaled(1e-13, d), none, none, 0},
        {"zero vector", left, {0, 0, 0}, none, none, 0},
        {"along v_1", left, {0, 0, 1}, none, none, 0},
        {"along v_5", left, {1, 0, 0}, none, none, 0},
        {"infinite component", left, {inf, 0.5, 0.5}, none, none, 0},
        {"NaN component", left, {0.6, nan, 0.5}, none, none, 0},
        {"NaN component with near", left, {0.6, nan, 0.5}, JointPair{0.3, -0.2}, none, 0},
    };
    for (const Case& c : cases) {
        check_pair(inverse_kinematics_from_direction(c.geometry, c.direction, c.near), c.expected, c.tol,
                   c.name);
    }
}

// Equal scores keep the earlier pair. The pairs (0.3, -0.2) and (0.3, far_b)
// share theta_A bit for bit, so a near on their midline in theta_B ties them
// exactly once the squares round alike.
void test_equal_scores_keep_the_earlier_pair() {
    const Vec3 d = fk_or_nan(left, 0.3, -0.2).v_3;
    const CandidateList candidates = enumerate_candidates(left, d);
    VT_CHECK(candidates.size() == 4);
    if (candidates.size() != 4) return;
    const IkCandidate& earlier = candidates[2];
    const IkCandidate& later = candidates[3];
    VT_CHECK(earlier.theta_a == later.theta_a);

    const auto score = [](const IkCandidate& c, const JointPair& near) {
        const double da = c.theta_a - near.theta_a;
        const double db = c.theta_b - near.theta_b;
        return da * da + db * db;
    };
    // Walk outward from the midpoint, one representable value at a time each way.
    std::optional<JointPair> tie;
    double upward = 0.5 * (earlier.theta_b + later.theta_b);
    double downward = upward;
    for (int step = 0; step < 2048 && !tie; ++step) {
        for (const double near_b : {upward, downward}) {
            const JointPair near{earlier.theta_a, near_b};
            if (!tie && score(earlier, near) == score(later, near)) tie = near;
        }
        upward = std::nextafter(upward, 0.0);
        downward = std::nextafter(downward, -4.0);
    }
    VT_CHECK_MSG(tie.has_value(), "no exactly tied near found");
    if (!tie) return;
    const std::optional<JointPair> chosen = inverse_kinematics_from_direction(left, d, tie);
    VT_CHECK(chosen.has_value() && chosen->theta_b == earlier.theta_b);
}

// Round trips over many geometries and joint pairs, including angles outside [-pi, pi].
void test_round_trip_properties() {
    std::mt19937_64 rng(0x1c0ffee5ULL);
    std::uniform_real_distribution<double> arc(0.2, 1.4);
    std::uniform_real_distribution<double> angle(-3 * pi, 3 * pi);
    std::bernoulli_distribution coin(0.5);

    constexpr int samples = 20000;
    constexpr double round_trip_tol = 1e-9;  // worst seen is near tangency of the elbow circles
    int closed = 0;
    double worst_orientation = 0.0;
    double worst_direction = 0.0;
    double worst_reach = 0.0;
    int within_1e13 = 0;
    for (int i = 0; i < samples; ++i) {
        const SphericalLinkGeometry g{arc(rng), arc(rng), coin(rng) ? Branch::positive : Branch::negative,
                                      coin(rng)};
        const double theta_a = angle(rng);
        const double theta_b = angle(rng);
        const std::optional<FkSolution> fk = forward_kinematics(g, theta_a, theta_b);
        if (!fk) continue;
        ++closed;
        const JointPair reduced{std::remainder(theta_a, 2 * pi), std::remainder(theta_b, 2 * pi)};

        const std::optional<JointPair> from_rotation = inverse_kinematics(g, fk->rotation);
        VT_CHECK(from_rotation.has_value());
        if (from_rotation) {
            VT_CHECK(std::fabs(from_rotation->theta_a) <= pi && std::fabs(from_rotation->theta_b) <= pi);
            const double deviation = angle_deviation(*from_rotation, theta_a, theta_b);
            worst_orientation = std::fmax(worst_orientation, deviation);
            within_1e13 += deviation < 1e-13 ? 1 : 0;
        }

        // Staying near the pair itself finds the pair again.
        const std::optional<JointPair> from_direction =
            inverse_kinematics_from_direction(g, fk->v_3, reduced);
        VT_CHECK(from_direction.has_value());
        if (from_direction) {
            worst_direction = std::fmax(worst_direction, angle_deviation(*from_direction, theta_a, theta_b));
        }

        // Without near: some pair that reaches the direction, no larger than the reduced pair.
        const std::optional<JointPair> smallest =
            inverse_kinematics_from_direction(g, fk->v_3, std::nullopt);
        VT_CHECK(smallest.has_value());
        if (smallest) {
            const FkSolution reached = fk_or_nan(g, smallest->theta_a, smallest->theta_b);
            worst_reach = std::fmax(worst_reach, distance(reached.v_3, fk->v_3));
            VT_CHECK(squared_norm(*smallest) <= squared_norm(reduced) + 1e-8);
        }
    }
    VT_CHECK(worst_orientation < round_trip_tol);
    VT_CHECK(worst_direction < round_trip_tol);
    VT_CHECK(worst_reach < 1e-6);
    VT_CHECK(closed > samples / 5);  // the loop above must not be vacuous

    std::printf("inverse kinematics round trips: %d closed pairs of %d; worst angle deviation %.3g "
                "(orientation), %.3g (direction with near); %d of them within 1e-13; worst v_3 miss "
                "without near %.3g\n",
                closed, samples, worst_orientation, worst_direction, within_1e13,
                worst_reach);
}

}  // namespace

int main() {
    test_candidate_enumeration();
    test_inverse_kinematics_table();
    test_inverse_kinematics_from_direction_table();
    test_equal_scores_keep_the_earlier_pair();
    test_round_trip_properties();
    return velmora::testing::finish("test_inverse_kinematics");
}
