// Arm velocity kinematics: Jacobians against central differences of forward
// kinematics, the singular-value measure, joint rates and where each one refuses.

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

constexpr double step = 1e-6;  // central-difference step, radians

Vec3 column(const Mat32& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }
double largest(const Vec3& v) { return std::fmax(std::fabs(v.x), std::fmax(std::fabs(v.y), std::fabs(v.z))); }

SphericalLinkGeometry random_geometry(testing::Sampler& s) {
    return {s.uniform(0.1, 1.4), s.uniform(0.1, 1.4), s.coin() ? Branch::positive : Branch::negative, s.coin()};
}

// J_v against the difference of v_3, J_omega against the axial part of Rdot R^T,
// whose symmetric part must vanish: the frame stays a rotation. Poses near either
// singularity are left out: the differences' truncation error grows without bound
// there (at a closure of 0.05 it already reaches 2e-7, with J_v near 10).
void test_against_central_differences() {
    testing::Sampler s(1301);
    int compared = 0;
    double worst = 0.0;
    for (int i = 0; i < 40000; ++i) {
        const SphericalFiveBar arm(random_geometry(s));
        const double a = s.uniform(-pi, pi);
        const double b = s.uniform(-pi, pi);
        const auto j = jacobians(arm, a, b);
        if (!j || smallest_singular_value(j->j_v) <= 1e-3 || std::fabs(j->closure) < 0.1) continue;
        for (int k = 0; k < 2; ++k) {
            const double da = k == 0 ? step : 0.0;
            const double db = k == 1 ? step : 0.0;
            const auto plus = forward_kinematics(arm, a + da, b + db);
            const auto minus = forward_kinematics(arm, a - da, b - db);
            if (!VT_CHECK(plus && minus)) continue;
            Mat3 spin{};  // Rdot R^T
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    for (int n = 0; n < 3; ++n)
                        spin[r][c] += (plus->rotation[r][n] - minus->rotation[r][n]) / (2 * step) *
                                      j->pose.rotation[c][n];
            const Vec3 v_3_rate = (plus->v_3 - minus->v_3) / (2 * step);
            const Vec3 omega{0.5 * (spin[2][1] - spin[1][2]), 0.5 * (spin[0][2] - spin[2][0]),
                             0.5 * (spin[1][0] - spin[0][1])};
            const Vec3 symmetric{spin[0][1] + spin[1][0], spin[0][2] + spin[2][0], spin[1][2] + spin[2][1]};
            testing::track_worst(worst, largest(v_3_rate - column(j->j_v, k)));
            testing::track_worst(worst, largest(omega - column(j->j_omega, k)));
            testing::track_worst(worst, largest(symmetric));
            testing::track_worst(worst, std::fabs(spin[0][0]) + std::fabs(spin[1][1]) + std::fabs(spin[2][2]));
        }
        ++compared;
    }
    VT_CHECK_MSG(compared > 3000, "too few poses compared: " + std::to_string(compared));
    VT_CHECK_MSG(worst <= 1e-7, "worst difference " + testing::show(worst));
    std::printf("central differences: %d poses, worst %.3g\n", compared, worst);
}

// Rates that J_v maps to a pointing velocity come back from it, whatever part along
// v_3 is added; for any target the residual is orthogonal to J_v's columns.
void test_joint_rates_round_trip() {
    testing::Sampler s(1302);
    int compared = 0;
    for (int i = 0; i < 20000; ++i) {
        const SphericalFiveBar arm(random_geometry(s));
        const double a = s.uniform(-pi, pi);
        const double b = s.uniform(-pi, pi);
        const auto j = jacobians(arm, a, b);
        if (!j || smallest_singular_value(j->j_v) < 1e-6) continue;
        const JointPair rates{s.uniform(-2, 2), s.uniform(-2, 2)};
        const Vec3 c_0 = column(j->j_v, 0);
        const Vec3 c_1 = column(j->j_v, 1);
        const Vec3 target = rates.theta_a * c_0 + rates.theta_b * c_1 + s.uniform(-3, 3) * j->pose.v_3;
        const auto back = joint_rates(*j, target);
        // The rounding of J_v is amplified by its condition number.
        const double tol = 1e-13 * (1 + largest(c_0) + largest(c_1)) / smallest_singular_value(j->j_v);
        if (!VT_CHECK(back.has_value())) continue;
        VT_CHECK_NEAR(back->theta_a, rates.theta_a, tol);
        VT_CHECK_NEAR(back->theta_b, rates.theta_b, tol);

        const Vec3 wanted{s.uniform(-1, 1), s.uniform(-1, 1), s.uniform(-1, 1)};
        const auto fit = joint_rates(arm, a, b, wanted);
        if (!VT_CHECK(fit.has_value())) continue;
        const Vec3 residual = fit->theta_a * c_0 + fit->theta_b * c_1 - wanted;
        VT_CHECK_NEAR(dot(residual, c_0), 0.0, tol * dot(c_0, c_0));
        VT_CHECK_NEAR(dot(residual, c_1), 0.0, tol * dot(c_1, c_1));
        ++compared;
    }
    VT_CHECK(compared > 3000);
}

// Known matrices, the nearly parallel ones included, where the textbook formula
// (a + c)/2 - sqrt(...) loses every digit.
void test_smallest_singular_value() {
    struct Case { const char* name; Mat32 m; double expected; double tol; };
    const Case cases[] = {
        {"orthogonal columns", {{{3, 0}, {0, 0.5}, {0, 0}}}, 0.5, 1e-15},
        {"oblique columns", {{{1, 1}, {0, 1}, {0, 0}}}, std::sqrt((3 - std::sqrt(5.0)) / 2), 1e-15},
        {"nearly parallel", {{{1, 1}, {0, 1e-10}, {0, 0}}}, 1e-10 / std::sqrt(2.0), 1e-25},
        {"parallel", {{{1, 2}, {2, 4}, {3, 6}}}, 0.0, 0.0},
        {"zero", {{{0, 0}, {0, 0}, {0, 0}}}, 0.0, 0.0},
        {"NaN", {{{nan, 0}, {0, 1}, {0, 0}}}, nan, 0.0},
    };
    for (const Case& c : cases) {
        const double got = smallest_singular_value(c.m);
        VT_CHECK_MSG(testing::near(got, c.expected, c.tol), std::string(c.name) + ": " + testing::show(got));
    }
}

// Each function gives nothing exactly where its precondition fails; a NaN angle
// passes every test and comes back as NaN.
void test_refusals() {
    const SphericalFiveBar left(default_left());
    const Vec3 some_velocity{0.1, -0.2, 0.3};
    struct Case { const char* name; double a, b; bool closes; };
    const Case cases[] = {
        {"elbows too far apart", 0.0, pi / 2, false},
        {"reachable", 0.3, -0.4, true},
    };
    for (const Case& c : cases) {
        VT_CHECK_MSG(jacobians(left, c.a, c.b).has_value() == c.closes, c.name);
        VT_CHECK_MSG(singularity_measure(left, c.a, c.b).has_value() == c.closes, c.name);
        VT_CHECK_MSG(joint_rates(left, c.a, c.b, some_velocity).has_value() == c.closes, c.name);
    }
    const auto poisoned = jacobians(left, nan, 0.0);
    VT_CHECK(poisoned && std::isnan(poisoned->j_v[0][0]) && std::isnan(poisoned->j_omega[2][1]));
    const auto poisoned_rates = joint_rates(left, nan, 0.0, some_velocity);
    VT_CHECK(poisoned_rates && std::isnan(poisoned_rates->theta_a));

    // Toward the workspace edge (theta_B from 1.0 to 1.5 at theta_A = 0) the closure
    // shrinks to zero; the Jacobians stop exactly where it falls below the limit,
    // before the loop opens.
    double inside = 1.0, outside = 1.5;
    VT_CHECK(forward_kinematics(left, 0.0, inside) && !forward_kinematics(left, 0.0, outside));
    while (std::nextafter(inside, outside) != outside) {
        const double mid = 0.5 * (inside + outside);
        (forward_kinematics(left, 0.0, mid) ? inside : outside) = mid;
    }
    bool refused_while_closed = false;
    for (double gap = 1e-17; gap < 1e-2; gap *= 1.5) {
        const double b = inside - gap;
        const auto fk = forward_kinematics(left, 0.0, b);
        if (!VT_CHECK(fk.has_value())) continue;
        const auto j = jacobians(left, 0.0, b);
        const double closure = dot(fk->v_3, cross(fk->v_2, fk->v_4));
        if (std::fabs(std::fabs(closure) - closure_singular_limit) < 1e-12) continue;
        VT_CHECK_MSG(j.has_value() == (std::fabs(closure) >= closure_singular_limit), testing::show(b));
        if (j) VT_CHECK_NEAR(j->closure, closure, 1e-15);
        refused_while_closed = refused_while_closed || !j;
    }
    VT_CHECK(refused_while_closed);

    // joint_rates' own limit, on matrices whose smallest singular value is known.
    for (const double sigma : {2e-9, 1.001e-9, 0.999e-9, 1e-12, 0.0}) {
        ArmJacobians j{};
        j.pose.v_3 = {0, 0, 1};
        j.j_v = {{{1, 0}, {0, sigma}, {0, 0}}};
        const auto rates = joint_rates(j, {0, 1e-9, 0});
        if (VT_CHECK_MSG(rates.has_value() == (sigma >= pointing_singular_limit), testing::show(sigma)) && rates)
            VT_CHECK_NEAR(rates->theta_b, 1e-9 / sigma, 1e-6);
    }
}

// An input arm in one plane with its coupler segment (v_1, v_2, v_3 or v_5, v_4, v_3
// coplanar), found by bisection on that arm's joint: J_v loses rank there, the
// measure falls to rounding level and joint_rates refuses.
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
        const JointPair at = pair(low);
        const auto measure = singularity_measure(arm, at.theta_a, at.theta_b);
        VT_CHECK_MSG(measure && *measure < 1e-12, std::string(c.name) + ": " + testing::show(measure.value_or(-1)));
        VT_CHECK_MSG(!joint_rates(arm, at.theta_a, at.theta_b, {0.1, 0.2, 0.3}), c.name);
        // A tenth of a radian away the measure is back to order 0.1.
        const JointPair away = pair(low + 0.1);
        const auto away_measure = singularity_measure(arm, away.theta_a, away.theta_b);
        VT_CHECK_MSG(away_measure && *away_measure > 0.05, c.name);
    }
}

}  // namespace

int main() {
    test_against_central_differences();
    test_joint_rates_round_trip();
    test_smallest_singular_value();
    test_refusals();
    test_pointing_singularity();
    return testing::finish("test_arm_velocity");
}
