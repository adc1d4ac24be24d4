// Neck forward and inverse kinematics: exact zeros and their signs, the elementary
// turns, the gimbal-lock boundary, NaN propagation, wrapping and round trips.

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>

#include "support/check.hpp"
#include "velmora_torso_kinematics/neck.hpp"

namespace {

using velmora::Mat3;
using velmora::neck::NeckAngles;
using velmora::neck::forward_kinematics;
using velmora::neck::inverse_kinematics;

constexpr double pi = std::numbers::pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::string describe(const NeckAngles& a) {
    return "[" + velmora::testing::show(a.yaw) + ", " + velmora::testing::show(a.pitch) + ", " +
           velmora::testing::show(a.roll) + "]";
}

// A matrix that is the identity except for r20, r21, r22.
Mat3 with_bottom_row(double r20, double r21, double r22) {
    return {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {r20, r21, r22}}};
}

std::string element(int i, int j) { return "r" + std::to_string(i) + std::to_string(j); }

// Difference of two angles, taken modulo 2*pi into [-pi, pi].
double angle_gap(double a, double b) { return std::remainder(a - b, 2.0 * pi); }

void zero_angles_give_the_exact_identity() {
    const double zeros[] = {0.0, -0.0};
    for (double yaw : zeros) {
        for (double pitch : zeros) {
            for (double roll : zeros) {
                const NeckAngles angles{yaw, pitch, roll};
                const Mat3 r = forward_kinematics(angles);
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) {
                        const double expected = i == j ? 1.0 : 0.0;
                        VT_CHECK_MSG(r[i][j] == expected && !std::signbit(r[i][j]),
                                     "fk" + describe(angles) + " element " + element(i, j) +
                                         " = " + velmora::testing::show(r[i][j]));
                    }
                }
            }
        }
    }
}

void single_angles_give_elementary_rotations() {
    struct Case {
        const char* name;
        NeckAngles (*angles)(double);
        Mat3 (*expected)(double s, double c);
    };
    const Case cases[] = {
        {"yaw", [](double a) { return NeckAngles{a, 0.0, 0.0}; },
         [](double s, double c) { return Mat3{{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}}; }},
        {"pitch", [](double a) { return NeckAngles{0.0, a, 0.0}; },
         [](double s, double c) { return Mat3{{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}}; }},
        {"roll", [](double a) { return NeckAngles{0.0, 0.0, a}; },
         [](double s, double c) { return Mat3{{{1.0, 0.0, 0.0}, {0.0, c, -s}, {0.0, s, c}}}; }},
    };
    // Compared to two units in the last place: sincos and sin/cos need not round alike.
    const double angles[] = {0.7, -1.3, pi / 2, 3.0, -3.1, 10.0, 1e-300};
    for (const Case& c : cases) {
        for (double angle : angles) {
            const Mat3 expected = c.expected(std::sin(angle), std::cos(angle));
            const Mat3 r = forward_kinematics(c.angles(angle));
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) {
                    VT_CHECK_MSG(velmora::testing::near(r[i][j], expected[i][j], 4.5e-16),
                                 std::string(c.name) + " " + velmora::testing::show(angle) +
                                     " element " + element(i, j) + ": " +
                                     velmora::testing::show(r[i][j]) + " vs " +
                                     velmora::testing::show(expected[i][j]));
                }
            }
        }
    }
}

void known_rotation_matches_reference_values() {
    const Mat3 expected{{{0.975170, -0.036957, 0.218351},
                         {0.097843, 0.956425, -0.275096},
                         {-0.198669, 0.289629, 0.936293}}};
    const Mat3 r = forward_kinematics({0.1, 0.2, 0.3});
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) VT_CHECK_NEAR(r[i][j], expected[i][j], 1e-6);
    }
}

// The closed forms of Rz(yaw).Ry(pitch).Rx(roll), and the frame properties of the
// result, over random angles well outside one turn.
void random_angles_match_closed_form_and_give_rotations() {
    std::mt19937_64 rng(0x5eed'0001);
    std::uniform_real_distribution<double> angle(-8.0, 8.0);
    double worst_closed_form = 0.0;
    double worst_orthonormality = 0.0;
    double worst_det = 0.0;
    for (int n = 0; n < 20000; ++n) {
        const double yaw = angle(rng), pitch = angle(rng), roll = angle(rng);
        const Mat3 r = forward_kinematics({yaw, pitch, roll});
        const double sy = std::sin(yaw), cy = std::cos(yaw);
        const double sp = std::sin(pitch), cp = std::cos(pitch);
        const double sr = std::sin(roll), cr = std::cos(roll);
        const Mat3 closed{{{cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr},
                           {sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr},
                           {-sp, cp * sr, cp * cr}}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                worst_closed_form = std::fmax(worst_closed_form, std::fabs(r[i][j] - closed[i][j]));
                const double dot = r[i][0] * r[j][0] + r[i][1] * r[j][1] + r[i][2] * r[j][2];
                worst_orthonormality = std::fmax(worst_orthonormality, std::fabs(dot - (i == j)));
            }
        }
        const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                           r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
        worst_det = std::fmax(worst_det, std::fabs(det - 1.0));
    }
    VT_CHECK_MSG(worst_closed_form <= 1e-15,
                 "closed form deviation " + velmora::testing::show(worst_closed_form));
    VT_CHECK_MSG(worst_orthonormality <= 1e-15,
                 "R.R^T - I deviation " + velmora::testing::show(worst_orthonormality));
    VT_CHECK_MSG(worst_det <= 1e-15, "det - 1 deviation " + velmora::testing::show(worst_det));
}

void non_finite_angles_give_nine_nans() {
    const NeckAngles cases[] = {
        {nan, 0.0, 0.0}, {0.0, nan, 0.0}, {0.0, 0.0, nan}, {inf, 0.0, 0.0},
        {0.0, -inf, 0.0}, {0.0, 0.0, inf}, {0.3, 0.2, -inf}, {nan, nan, nan},
    };
    for (const NeckAngles& angles : cases) {
        const Mat3 r = forward_kinematics(angles);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                VT_CHECK_MSG(std::isnan(r[i][j]), "fk" + describe(angles) + " element " +
                                                      element(i, j) + " = " +
                                                      velmora::testing::show(r[i][j]));
            }
        }
    }
}

void gimbal_lock_boundary() {
    const double last_accepted = 0.999999;
    const double first_refused = std::nextafter(last_accepted, 2.0);
    struct Case {
        const char* name;
        Mat3 r;
        bool accepted;
    };
    const Case cases[] = {
        {"r20 = 0.999999", with_bottom_row(last_accepted, 0.0, 1.0), true},
        {"r20 = -0.999999", with_bottom_row(-last_accepted, 0.0, 1.0), true},
        {"r20 = next above 0.999999", with_bottom_row(first_refused, 0.0, 1.0), false},
        {"r20 = next below -0.999999", with_bottom_row(-first_refused, 0.0, 1.0), false},
        {"r20 = 1", with_bottom_row(1.0, 0.0, 0.0), false},
        {"r20 = -1", with_bottom_row(-1.0, 0.0, 0.0), false},
        {"r20 = 1.5", with_bottom_row(1.5, 0.0, 1.0), false},
        {"r20 = -1.5", with_bottom_row(-1.5, 0.0, 1.0), false},
        {"r20 = inf", with_bottom_row(inf, 0.0, 1.0), false},
        {"fk(0, pi/2, 0)", forward_kinematics({0.0, pi / 2, 0.0}), false},
        {"fk(0.3, -pi/2, 0.2)", forward_kinematics({0.3, -pi / 2, 0.2}), false},
        {"fk(0, pi/2 - 1e-3, 0)", forward_kinematics({0.0, pi / 2 - 1e-3, 0.0}), false},
        {"fk(0, pi/2 - 1.5e-3, 0)", forward_kinematics({0.0, pi / 2 - 1.5e-3, 0.0}), true},
        {"fk(0, pi/2 - 1.3e-3, 0)", forward_kinematics({0.0, pi / 2 - 1.3e-3, 0.0}), false},
    };
    for (const Case& c : cases) {
        const std::optional<NeckAngles> angles = inverse_kinematics(c.r);
        VT_CHECK_MSG(angles.has_value() == c.accepted,
                     std::string(c.name) + (c.accepted ? " refused" : " accepted"));
    }
    const auto down = inverse_kinematics(with_bottom_row(last_accepted, 0.0, 1.0));
    if (VT_CHECK(down.has_value())) VT_CHECK_NEAR(down->pitch, -1.5693821, 1e-7);
    const auto up = inverse_kinematics(with_bottom_row(-last_accepted, 0.0, 1.0));
    if (VT_CHECK(up.has_value())) VT_CHECK_NEAR(up->pitch, 1.5693821, 1e-7);
}

void nan_elements_give_nan_angles() {
    struct Case {
        const char* name;
        Mat3 r;
        bool yaw_nan, pitch_nan, roll_nan;
    };
    const Case cases[] = {
        {"r20 NaN", with_bottom_row(nan, 0.0, 1.0), false, true, false},
        {"r00 NaN", {{{nan, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}, true, false, false},
        {"r10 NaN", {{{1.0, 0.0, 0.0}, {nan, 1.0, 0.0}, {0.0, 0.0, 1.0}}}, true, false, false},
        {"r21 NaN", with_bottom_row(0.0, nan, 1.0), false, false, true},
        {"r22 NaN", with_bottom_row(0.0, 0.0, nan), false, false, true},
        {"all NaN", forward_kinematics({nan, 0.0, 0.0}), true, true, true},
    };
    for (const Case& c : cases) {
        const std::optional<NeckAngles> angles = inverse_kinematics(c.r);
        if (!VT_CHECK_MSG(angles.has_value(), std::string(c.name) + ": refused")) continue;
        const std::string got = std::string(c.name) + ": " + describe(*angles);
        VT_CHECK_MSG(std::isnan(angles->yaw) == c.yaw_nan, got + " (yaw)");
        VT_CHECK_MSG(std::isnan(angles->pitch) == c.pitch_nan, got + " (pitch)");
        VT_CHECK_MSG(std::isnan(angles->roll) == c.roll_nan, got + " (roll)");
    }
}

// ik reads only r00, r10, r20, r21, r22: the other four may hold anything.
void ik_ignores_unread_elements() {
    const Mat3 rotation = forward_kinematics({0.4, -0.3, 1.1});
    Mat3 spoiled = rotation;
    spoiled[0][1] = nan;
    spoiled[0][2] = inf;
    spoiled[1][1] = -7.0;
    spoiled[1][2] = 1e300;
    const std::optional<NeckAngles> clean = inverse_kinematics(rotation);
    const std::optional<NeckAngles> dirty = inverse_kinematics(spoiled);
    if (VT_CHECK(clean.has_value() && dirty.has_value())) {
        VT_CHECK(clean->yaw == dirty->yaw && clean->pitch == dirty->pitch &&
                 clean->roll == dirty->roll);
    }
}

void exact_angles_and_signs_of_zero() {
    struct Case {
        const char* name;
        Mat3 r;
        NeckAngles expected;  // compared exactly, sign of zero included
    };
    const Case cases[] = {
        {"ik(identity)", with_bottom_row(0.0, 0.0, 1.0), {0.0, -0.0, 0.0}},
        {"ik(identity, r20 = -0)", with_bottom_row(-0.0, 0.0, 1.0), {0.0, 0.0, 0.0}},
        {"ik(fk(-0, -0, -0))", forward_kinematics({-0.0, -0.0, -0.0}), {0.0, -0.0, 0.0}},
    };
    for (const Case& c : cases) {
        const std::optional<NeckAngles> a = inverse_kinematics(c.r);
        if (!VT_CHECK_MSG(a.has_value(), std::string(c.name) + ": refused")) continue;
        const bool same = a->yaw == c.expected.yaw && a->pitch == c.expected.pitch &&
                          a->roll == c.expected.roll &&
                          std::signbit(a->yaw) == std::signbit(c.expected.yaw) &&
                          std::signbit(a->pitch) == std::signbit(c.expected.pitch) &&
                          std::signbit(a->roll) == std::signbit(c.expected.roll);
        VT_CHECK_MSG(same, std::string(c.name) + " = " + describe(*a) + ", expected " +
                               describe(c.expected));
    }

    // Folded pitch with zero yaw and roll: r10 and r21 must come out +0, so the
    // angles are +pi and not -pi.
    const Mat3 folded = forward_kinematics({0.0, 2.0, 0.0});
    VT_CHECK(folded[1][0] == 0.0 && !std::signbit(folded[1][0]));
    VT_CHECK(folded[2][1] == 0.0 && !std::signbit(folded[2][1]));
    const std::optional<NeckAngles> a = inverse_kinematics(folded);
    if (VT_CHECK(a.has_value())) {
        VT_CHECK_MSG(a->yaw == pi, "yaw " + velmora::testing::show(a->yaw));
        VT_CHECK_NEAR(a->pitch, pi - 2.0, 1e-15);
        VT_CHECK_MSG(a->roll == pi, "roll " + velmora::testing::show(a->roll));
    }
}

void out_of_range_angles_come_back_wrapped() {
    struct Case {
        NeckAngles given;
        NeckAngles expected;
    };
    const Case cases[] = {
        {{4.0, 0.2, -3.5}, {4.0 - 2 * pi, 0.2, -3.5 + 2 * pi}},
        {{-7.0, -0.4, 13.0}, {-7.0 + 2 * pi, -0.4, 13.0 - 4 * pi}},
        {{0.5, 2.5, -0.25}, {0.5 - pi, pi - 2.5, -0.25 + pi}},
        {{-0.5, -2.0, 0.75}, {-0.5 + pi, -pi + 2.0, 0.75 - pi}},
    };
    for (const Case& c : cases) {
        const std::optional<NeckAngles> a = inverse_kinematics(forward_kinematics(c.given));
        if (!VT_CHECK_MSG(a.has_value(), "ik(fk" + describe(c.given) + ") refused")) continue;
        const bool close = std::fabs(a->yaw - c.expected.yaw) <= 1e-14 &&
                           std::fabs(a->pitch - c.expected.pitch) <= 1e-14 &&
                           std::fabs(a->roll - c.expected.roll) <= 1e-14;
        VT_CHECK_MSG(close, "ik(fk" + describe(c.given) + ") = " + describe(*a) + ", expected " +
                                describe(c.expected));
    }
}

void round_trips_over_random_angles() {
    std::mt19937_64 rng(0x5eed'0002);
    std::uniform_real_distribution<double> turn(-pi, pi);
    std::uniform_real_distribution<double> tilt(-1.4, 1.4);
    double worst = 0.0;
    NeckAngles worst_case{};
    int refused = 0;
    for (int n = 0; n < 20000; ++n) {
        const NeckAngles given{turn(rng), tilt(rng), turn(rng)};
        const std::optional<NeckAngles> back = inverse_kinematics(forward_kinematics(given));
        if (!back) {
            ++refused;
            continue;
        }
        const double gap = std::fmax(std::fabs(angle_gap(back->yaw, given.yaw)),
                                     std::fmax(std::fabs(back->pitch - given.pitch),
                                               std::fabs(angle_gap(back->roll, given.roll))));
        if (!(gap <= worst)) {
            worst = gap;
            worst_case = given;
        }
    }
    VT_CHECK_MSG(refused == 0, std::to_string(refused) + " round trips refused");
    VT_CHECK_MSG(worst <= 2e-15, "worst round trip gap " + velmora::testing::show(worst) + " at " +
                                     describe(worst_case));
}

}  // namespace

int main() {
    zero_angles_give_the_exact_identity();
    single_angles_give_elementary_rotations();
    known_rotation_matches_reference_values();
    random_angles_match_closed_form_and_give_rotations();
    non_finite_angles_give_nine_nans();
    gimbal_lock_boundary();
    nan_elements_give_nan_angles();
    ik_ignores_unread_elements();
    exact_angles_and_signs_of_zero();
    out_of_range_angles_come_back_wrapped();
    round_trips_over_random_angles();
    return velmora::testing::finish("test_neck_kinematics");
}
