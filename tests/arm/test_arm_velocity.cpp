// Arm velocity kinematics: Jacobians against central differences of forward
// kinematics, joint rates, the singular-value measure and where each one refuses.

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::nan;
using testing::pi;

Vec3 column(const Mat32& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }
double largest(const Vec3& v) { return std::fmax(std::fabs(v.x), std::fmax(std::fabs(v.y), std::fabs(v.z))); }

// Random geometries, branches and mirrors. J_v against the difference of v_3 and
// J_omega against the axial part of Rdot R^T, whose symmetric part must vanish (the
// frame stays a rotation), wherever the measure exceeds 1e-3 and the closure 0.1:
// nearer the closure singularity the differences' own truncation error grows (2e-7 at
// 0.05). joint_rates gives back the rates J_v maps, whatever part along v_3 is added.
void test_random_poses() {
    constexpr double step = 1e-6;
    testing::Sampler s(1301);
    int compared = 0;
    double worst = 0.0;
    for (int i = 0; i < 40000; ++i) {
        const SphericalFiveBar arm({s.uniform(0.1, 1.4), s.uniform(0.1, 1.4),
                                    s.coin() ? Branch::positive : Branch::negative, s.coin()});
        const double a = s.uniform(-pi, pi), b = s.uniform(-pi, pi);
        const auto j = jacobians(arm, a, b);
        if (!j || smallest_singular_value(j->j_v) <= 1e-3 || std::fabs(j->closure) < 0.1) continue;
        ++compared;
        for (int k = 0; k < 2; ++k) {
            const auto plus = forward_kinematics(arm, a + (k == 0) * step, b + (k == 1) * step);
            const auto minus = forward_kinematics(arm, a - (k == 0) * step, b - (k == 1) * step);
            if (!VT_CHECK(plus && minus)) continue;
            Mat3 spin{};  // Rdot R^T
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    for (int n = 0; n < 3; ++n)
                        spin[r][c] += (plus->rotation[r][n] - minus->rotation[r][n]) / (2 * step) *
                                      j->pose.rotation[c][n];
            const Vec3 omega{0.5 * (spin[2][1] - spin[1][2]), 0.5 * (spin[0][2] - spin[2][0]),
                             0.5 * (spin[1][0] - spin[0][1])};
            const Vec3 symmetric{spin[0][1] + spin[1][0], spin[0][2] + spin[2][0], spin[1][2] + spin[2][1]};
            const Vec3 diagonal{spin[0][0], spin[1][1], spin[2][2]};
            testing::track_worst(worst, largest((plus->v_3 - minus->v_3) / (2 * step) - column(j->j_v, k)));
            testing::track_worst(worst, largest(omega - column(j->j_omega, k)));
            testing::track_worst(worst, std::fmax(largest(symmetric), largest(diagonal)));
        }
        const JointPair rates{s.uniform(-2, 2), s.uniform(-2, 2)};
        const Vec3 c_0 = column(j->j_v, 0), c_1 = column(j->j_v, 1);
        const auto back = joint_rates(*j, rates.theta_a * c_0 + rates.theta_b * c_1 + s.uniform(-3, 3) * j->pose.v_3);
        const double tol = 1e-13 * (1 + largest(c_0) + largest(c_1)) / smallest_singular_value(j->j_v);
        VT_CHECK(back && testing::near(back->theta_a, rates.theta_a, tol) &&
                 testing::near(back->theta_b, rates.theta_b, tol));
    }
    VT_CHECK_MSG(compared > 3000, "too few poses compared: " + std::to_string(compared));
    VT_CHECK_MSG(worst <= 1e-7, "worst difference " + testing::show(worst));
}

// The textbook (a + c)/2 - sqrt(...) loses every digit on nearly parallel columns.
void test_smallest_singular_value() {
    struct Case { const char* name; Mat32 m; double expected; double tol; };
    const Case cases[] = {
        {"oblique columns", {{{1, 1}, {0, 1}, {0, 0}}}, std::sqrt((3 - std::sqrt(5.0)) / 2), 1e-15},
        {"nearly parallel", {{{1, 1}, {0, 1e-10}, {0, 0}}}, 1e-10 / std::sqrt(2.0), 1e-25},
        {"parallel", {{{1, 2}, {2, 4}, {3, 6}}}, 0.0, 0.0},
        {"zero", {{{0, 0}, {0, 0}, {0, 0}}}, 0.0, 0.0},
        {"NaN", {{{nan, 0}, {0, 1}, {0, 0}}}, nan, 0.0},
    };
    for (const Case& c : cases)
        VT_CHECK_MSG(testing::near(smallest_singular_value(c.m), c.expected, c.tol), c.name);
}

// Nothing where the loop opens or locks, and joint_rates' own limit on matrices of
// known smallest singular value; a NaN angle passes every test and comes back as NaN.
void test_refusals() {
    const SphericalFiveBar left(default_left());
    const Vec3 velocity{0.1, -0.2, 0.3};
    VT_CHECK(!jacobians(left, 0.0, pi / 2) && !singularity_measure(left, 0.0, pi / 2) &&
             !joint_rates(left, 0.0, pi / 2, velocity));
    const auto poisoned = joint_rates(left, nan, 0.0, velocity);
    VT_CHECK(poisoned && std::isnan(poisoned->theta_a) && std::isnan(jacobians(left, nan, 0.0)->j_omega[2][1]));

    // Toward the workspace edge the closure shrinks to zero: the Jacobians stop exactly
    // where it falls below the limit, before the loop opens.
    double inside = 1.0, outside = 1.5;
    VT_CHECK(forward_kinematics(left, 0.0, inside) && !forward_kinematics(left, 0.0, outside));
    while (std::nextafter(inside, outside) != outside) {
        const double mid = 0.5 * (inside + outside);
        (forward_kinematics(left, 0.0, mid) ? inside : outside) = mid;
    }
    bool refused_while_closed = false;
    for (double gap = 1e-17; gap < 1e-2; gap *= 1.5) {
        const auto fk = forward_kinematics(left, 0.0, inside - gap);
        const auto j = jacobians(left, 0.0, inside - gap);
        if (!VT_CHECK(fk.has_value())) continue;
        const double closure = dot(fk->v_3, cross(fk->v_2, fk->v_4));
        if (std::fabs(std::fabs(closure) - closure_singular_limit) < 1e-12) continue;
        VT_CHECK_MSG(j.has_value() == (std::fabs(closure) >= closure_singular_limit), testing::show(gap));
        if (j) VT_CHECK_NEAR(j->closure, closure, 1e-15);
        refused_while_closed = refused_while_closed || !j;
    }
    VT_CHECK(refused_while_closed);

    for (const double sigma : {2e-9, 1.001e-9, 0.999e-9, 0.0}) {
        ArmJacobians j{};
        j.pose.v_3 = {0, 0, 1};
        j.j_v = {{{1, 0}, {0, sigma}, {0, 0}}};
        const auto rates = joint_rates(j, {0, 1e-9, 0});
        VT_CHECK_MSG(rates.has_value() == (sigma >= pointing_singular_limit), testing::show(sigma));
        if (rates) VT_CHECK_NEAR(rates->theta_b, 1e-9 / sigma, 1e-6);
    }
}

// An input arm in one plane with its coupler segment (v_1, v_2, v_3 or v_5, v_4, v_3),
// found by bisection on that arm's joint: the measure falls to rounding level there
// and joint_rates refuses; a tenth of a radian away the measure is back to order 0.1.
void test_pointing_singularity() {
    struct Case { const char* name; bool mirror; bool joint_a; double other; double low, high; };
    const Case cases[] = {
        {"arm A stretched, left", false, true, -0.2, 0.5, 0.8},
        {"arm A stretched, right", true, true, -0.2, 0.5, 0.8},
        {"arm B stretched, left", false, false, 0.3, -0.8, -0.6},
        {"arm B stretched, right", true, false, 0.3, -0.8, -0.6},
    };
    for (const Case& c : cases) {
        const SphericalFiveBar arm({0.7, 0.5, Branch::positive, c.mirror});
        const Vec3 axis = c.joint_a ? Vec3{0, 0, 1} : Vec3{c.mirror ? -1.0 : 1.0, 0, 0};
        const auto pair = [&](double t) { return c.joint_a ? JointPair{t, c.other} : JointPair{c.other, t}; };
        const auto in_plane = [&](double t) {
            const auto fk = forward_kinematics(arm, pair(t).theta_a, pair(t).theta_b);
            return fk ? dot(fk->v_3, cross(axis, c.joint_a ? fk->v_2 : fk->v_4)) : nan;
        };
        double low = c.low, high = c.high;
        if (!VT_CHECK_MSG(in_plane(low) * in_plane(high) < 0, c.name)) continue;
        while (std::nextafter(low, high) != high) {
            const double mid = 0.5 * (low + high);
            (in_plane(mid) * in_plane(low) > 0 ? low : high) = mid;
        }
        const auto measure = singularity_measure(arm, pair(low).theta_a, pair(low).theta_b);
        const auto away = singularity_measure(arm, pair(low + 0.1).theta_a, pair(low + 0.1).theta_b);
        VT_CHECK_MSG(measure && *measure < 1e-12 && away && *away > 0.05, c.name);
        VT_CHECK_MSG(!joint_rates(arm, pair(low).theta_a, pair(low).theta_b, {0.1, 0.2, 0.3}), c.name);
    }
}

}  // namespace

int main() {
    test_random_poses();
    test_smallest_singular_value();
    test_refusals();
    test_pointing_singularity();
    return testing::finish("test_arm_velocity");
}
