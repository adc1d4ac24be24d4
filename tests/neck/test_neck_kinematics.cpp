// Neck forward and inverse kinematics: exact zeros and their signs, the elementary
// turns, the gimbal-lock boundary, NaN propagation, wrapping and round trips.

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "support/check.hpp"
#include "velmora_torso_kinematics/neck_kinematics.hpp"

namespace {

using velmora::Mat3;
using velmora::neck::NeckAngles;
using velmora::neck::forward_kinematics;
using velmora::neck::inverse_kinematics;
using velmora::testing::identical;
using velmora::testing::inf;
using velmora::testing::nan;
using velmora::testing::pi;
using velmora::testing::show;

// Equal within `tol`; with 0, identical (the sign of zero included, NaN matching NaN).
bool same(double got, double want, double tol) {
    return tol == 0.0 ? identical(got, want) : velmora::testing::near(got, want, tol);
}

std::string describe(const NeckAngles& a) { return show({a.yaw, a.pitch, a.roll}); }

// The identity except for r20, r21, r22.
Mat3 with_bottom_row(double r20, double r21, double r22) { return {{{1, 0, 0}, {0, 1, 0}, {r20, r21, r22}}}; }

void forward_kinematics_table() {
    struct Case { NeckAngles angles; Mat3 expected; double tol; };
    const Mat3 nans{{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    std::vector<Case> cases = {
        {{0.1, 0.2, 0.3}, {{{0.975170, -0.036957, 0.218351}, {0.097843, 0.956425, -0.275096},
                            {-0.198669, 0.289629, 0.936293}}}, 1e-6},
        // A non-finite angle gives nine NaNs.
        {{nan, 0.0, 0.0}, nans, 0}, {{0.0, nan, 0.0}, nans, 0}, {{0.0, 0.0, nan}, nans, 0},
        {{inf, 0.0, 0.0}, nans, 0}, {{0.0, -inf, 0.0}, nans, 0}, {{0.0, 0.0, inf}, nans, 0},
        {{0.3, 0.2, -inf}, nans, 0}, {{nan, nan, nan}, nans, 0},
    };
    // Zero angles of either sign give the exact identity, with no negative zero.
    for (const double yaw : {0.0, -0.0})
        for (const double pitch : {0.0, -0.0})
            for (const double roll : {0.0, -0.0})
                cases.push_back({{yaw, pitch, roll}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, 0});
    // One angle alone is the elementary turn, to two units in the last place: sincos and
    // sin/cos need not round alike.
    for (const double a : {0.7, -1.3, pi / 2, 3.0, -3.1, 10.0, 1e-300}) {
        const double s = std::sin(a), c = std::cos(a);
        cases.push_back({{a, 0, 0}, {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}}, 4.5e-16});
        cases.push_back({{0, a, 0}, {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}}, 4.5e-16});
        cases.push_back({{0, 0, a}, {{{1, 0, 0}, {0, c, -s}, {0, s, c}}}, 4.5e-16});
    }
    for (const Case& c : cases) {
        const Mat3 r = forward_kinematics(c.angles);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                VT_CHECK_MSG(same(r[i][j], c.expected[i][j], c.tol), describe(c.angles) + ": r" +
                                 std::to_string(i) + std::to_string(j) + " = " + show(r[i][j]));
    }
}

// Angles from ik, or nothing at gimbal lock; tol 0 compares exactly, sign of zero included.
void inverse_kinematics_table() {
    const double last_accepted = 0.999999;
    const double first_refused = std::nextafter(last_accepted, 2.0);
    Mat3 spoiled = forward_kinematics({0.4, -0.3, 1.1});  // ik reads only r00, r10, r20, r21, r22
    spoiled[0][1] = nan;
    spoiled[0][2] = inf;
    spoiled[1][1] = -7.0;
    spoiled[1][2] = 1e300;
    const std::optional<NeckAngles> refused;
    struct Case { const char* name; Mat3 r; std::optional<NeckAngles> expected; double tol; };
    const Case cases[] = {
        {"r20 = 0.999999", with_bottom_row(last_accepted, 0, 1), NeckAngles{0, -1.5693821, 0}, 1e-7},
        {"r20 = -0.999999", with_bottom_row(-last_accepted, 0, 1), NeckAngles{0, 1.5693821, 0}, 1e-7},
        {"r20 = next above 0.999999", with_bottom_row(first_refused, 0, 1), refused, 0},
        {"r20 = next below -0.999999", with_bottom_row(-first_refused, 0, 1), refused, 0},
        {"r20 = 1", with_bottom_row(1, 0, 0), refused, 0},
        {"r20 = -1", with_bottom_row(-1, 0, 0), refused, 0},
        {"r20 = 1.5", with_bottom_row(1.5, 0, 1), refused, 0},
        {"r20 = -1.5", with_bottom_row(-1.5, 0, 1), refused, 0},
        {"r20 = inf", with_bottom_row(inf, 0, 1), refused, 0},
        {"fk(0, pi/2, 0)", forward_kinematics({0, pi / 2, 0}), refused, 0},
        {"fk(0.3, -pi/2, 0.2)", forward_kinematics({0.3, -pi / 2, 0.2}), refused, 0},
        {"fk(0, pi/2 - 1e-3, 0)", forward_kinematics({0, pi / 2 - 1e-3, 0}), refused, 0},
        {"fk(0, pi/2 - 1.3e-3, 0)", forward_kinematics({0, pi / 2 - 1.3e-3, 0}), refused, 0},
        {"fk(0, pi/2 - 1.5e-3, 0)", forward_kinematics({0, pi / 2 - 1.5e-3, 0}), NeckAngles{0, pi / 2 - 1.5e-3, 0},
         1e-12},
        // Negating r20 flips the sign bit: +0 gives pitch -0.
        {"identity", with_bottom_row(0, 0, 1), NeckAngles{0, -0.0, 0}, 0},
        {"identity with r20 = -0", with_bottom_row(-0.0, 0, 1), NeckAngles{0, 0, 0}, 0},
        {"fk(-0, -0, -0)", forward_kinematics({-0.0, -0.0, -0.0}), NeckAngles{0, -0.0, 0}, 0},
        // Folded pitch: r10 and r21 come out +0, so yaw and roll are +pi, not -pi.
        {"fk(0, 2, 0)", forward_kinematics({0, 2, 0}), NeckAngles{pi, pi - 2, pi}, 1e-15},
        // NaN passes every test and reaches the angles that read it.
        {"r20 NaN", with_bottom_row(nan, 0, 1), NeckAngles{0, nan, 0}, 0},
        {"r00 NaN", {{{nan, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, NeckAngles{nan, -0.0, 0}, 0},
        {"r10 NaN", {{{1, 0, 0}, {nan, 1, 0}, {0, 0, 1}}}, NeckAngles{nan, -0.0, 0}, 0},
        {"r21 NaN", with_bottom_row(0, nan, 1), NeckAngles{0, -0.0, nan}, 0},
        {"r22 NaN", with_bottom_row(0, 0, nan), NeckAngles{0, -0.0, nan}, 0},
        {"all NaN", forward_kinematics({nan, 0, 0}), NeckAngles{nan, nan, nan}, 0},
        {"unread elements spoiled", spoiled, NeckAngles{0.4, -0.3, 1.1}, 1e-15},
        // Out-of-range angles come back wrapped.
        {"fk(4, 0.2, -3.5)", forward_kinematics({4.0, 0.2, -3.5}), NeckAngles{4.0 - 2 * pi, 0.2, -3.5 + 2 * pi},
         1e-14},
        {"fk(-7, -0.4, 13)", forward_kinematics({-7.0, -0.4, 13.0}), NeckAngles{-7.0 + 2 * pi, -0.4, 13.0 - 4 * pi},
         1e-14},
        {"fk(0.5, 2.5, -0.25)", forward_kinematics({0.5, 2.5, -0.25}), NeckAngles{0.5 - pi, pi - 2.5, -0.25 + pi},
         1e-14},
        {"fk(-0.5, -2, 0.75)", forward_kinematics({-0.5, -2.0, 0.75}), NeckAngles{-0.5 + pi, -pi + 2.0, 0.75 - pi},
         1e-14},
    };
    for (const Case& c : cases) {
        const std::optional<NeckAngles> a = inverse_kinematics(c.r);
        const std::string got = a ? describe(*a) : "refused";
        const std::string want = c.expected ? describe(*c.expected) : "refused";
        VT_CHECK_MSG(a.has_value() == c.expected.has_value() &&
                         (!a || (same(a->yaw, c.expected->yaw, c.tol) && same(a->pitch, c.expected->pitch, c.tol) &&
                                 same(a->roll, c.expected->roll, c.tol))),
                     std::string(c.name) + ": " + got + ", expected " + want);
    }
}

// Over random angles: fk matches the closed form of Rz(yaw).Ry(pitch).Rx(roll) well outside
// one turn, and ik(fk) returns the angles (modulo a turn) with pitch inside the lock margin.
void random_angles() {
    velmora::testing::Sampler sample(0x5eed'0001);
    double worst_closed_form = 0.0, worst_round_trip = 0.0;
    int refused = 0;
    for (int n = 0; n < 20000; ++n) {
        const double yaw = sample.uniform(-8, 8), pitch = sample.uniform(-8, 8), roll = sample.uniform(-8, 8);
        const Mat3 r = forward_kinematics({yaw, pitch, roll});
        const double sy = std::sin(yaw), cy = std::cos(yaw), sp = std::sin(pitch), cp = std::cos(pitch);
        const double sr = std::sin(roll), cr = std::cos(roll);
        const Mat3 closed{{{cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr},
                           {sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr},
                           {-sp, cp * sr, cp * cr}}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                velmora::testing::track_worst(worst_closed_form, std::fabs(r[i][j] - closed[i][j]));

        const NeckAngles given{sample.uniform(-pi, pi), sample.uniform(-1.4, 1.4), sample.uniform(-pi, pi)};
        const std::optional<NeckAngles> back = inverse_kinematics(forward_kinematics(given));
        if (!back) {
            ++refused;
            continue;
        }
        velmora::testing::track_worst(worst_round_trip, std::fabs(std::remainder(back->yaw - given.yaw, 2 * pi)));
        velmora::testing::track_worst(worst_round_trip, std::fabs(back->pitch - given.pitch));
        velmora::testing::track_worst(worst_round_trip, std::fabs(std::remainder(back->roll - given.roll, 2 * pi)));
    }
    VT_CHECK_MSG(worst_closed_form <= 1e-15, "closed form deviation " + show(worst_closed_form));
    VT_CHECK_MSG(refused == 0, std::to_string(refused) + " round trips refused");
    VT_CHECK_MSG(worst_round_trip <= 2e-15, "worst round trip gap " + show(worst_round_trip));
}

}  // namespace

int main() {
    forward_kinematics_table();
    inverse_kinematics_table();
    random_angles();
    return velmora::testing::finish("test_neck_kinematics");
}
