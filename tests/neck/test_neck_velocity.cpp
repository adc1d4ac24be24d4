// Neck angle rates and angular velocity: against central differences of forward
// kinematics, the round trip, and the gimbal band shared with inverse kinematics.

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "support/check.hpp"
#include "velmora_torso_kinematics/neck_velocity.hpp"

namespace {

using velmora::Mat3;
using velmora::Vec3;
using namespace velmora::neck;
using velmora::testing::inf;
using velmora::testing::nan;
using velmora::testing::pi;
using velmora::testing::show;

constexpr double step = 1e-6;  // central-difference step along the rates

NeckAngles along(const NeckAngles& a, const NeckAngleRates& r, double t) {
    return {a.yaw + t * r.yaw, a.pitch + t * r.pitch, a.roll + t * r.roll};
}

// omega from the differences of R, as the axial part of Rdot R^T, whose symmetric
// part must vanish; pitch beyond +-pi/2 is included (E holds for any angles).
void test_against_central_differences() {
    velmora::testing::Sampler s(1311);
    double worst = 0.0;
    for (int i = 0; i < 5000; ++i) {
        const NeckAngles angles{s.uniform(-4, 4), s.uniform(-3, 3), s.uniform(-4, 4)};
        const NeckAngleRates rates{s.uniform(-2, 2), s.uniform(-2, 2), s.uniform(-2, 2)};
        const Mat3 r = forward_kinematics(angles);
        const Mat3 plus = forward_kinematics(along(angles, rates, step));
        const Mat3 minus = forward_kinematics(along(angles, rates, -step));
        Mat3 spin{};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                for (int k = 0; k < 3; ++k) spin[row][col] += (plus[row][k] - minus[row][k]) / (2 * step) * r[col][k];
        const Vec3 omega = angular_velocity(angles, rates);
        const double errors[] = {
            0.5 * (spin[2][1] - spin[1][2]) - omega.x, 0.5 * (spin[0][2] - spin[2][0]) - omega.y,
            0.5 * (spin[1][0] - spin[0][1]) - omega.z, spin[0][1] + spin[1][0], spin[0][2] + spin[2][0],
            spin[1][2] + spin[2][1], spin[0][0], spin[1][1], spin[2][2]};
        for (const double e : errors) velmora::testing::track_worst(worst, std::fabs(e));
    }
    VT_CHECK_MSG(worst <= 1e-7, "worst difference " + show(worst));
}

// angle_rates inverts angular_velocity, to rounding amplified by 1/cos(pitch).
void test_round_trip() {
    velmora::testing::Sampler s(1312);
    for (int i = 0; i < 5000; ++i) {
        const NeckAngles angles{s.uniform(-4, 4), s.uniform(-1.56, 1.56), s.uniform(-4, 4)};
        const NeckAngleRates rates{s.uniform(-2, 2), s.uniform(-2, 2), s.uniform(-2, 2)};
        const auto back = angle_rates(angles, angular_velocity(angles, rates));
        const double tol = 1e-14 / std::cos(angles.pitch);
        if (!VT_CHECK(back.has_value())) continue;
        VT_CHECK_NEAR(back->yaw, rates.yaw, tol);
        VT_CHECK_NEAR(back->pitch, rates.pitch, tol);
        VT_CHECK_NEAR(back->roll, rates.roll, tol);
    }
}

// The rates fail for exactly the pitches whose pose inverse kinematics refuses:
// every double within a few thousand steps of both band edges, and a coarse sweep.
void test_gimbal_band_matches_inverse_kinematics() {
    const double edge = std::asin(1.0 - 1e-6);
    int refused = 0;
    int checked = 0;
    const auto compare = [&](const NeckAngles& angles) {
        const bool ik_refuses = !inverse_kinematics(forward_kinematics(angles)).has_value();
        const bool rates_refuse = !angle_rates(angles, {0.1, 0.2, 0.3}).has_value();
        ++checked;
        refused += rates_refuse;
        return VT_CHECK_MSG(ik_refuses == rates_refuse, "pitch " + show(angles.pitch));
    };
    for (const double centre : {edge, -edge, pi - edge, edge - pi}) {
        double pitch = centre;
        for (int k = 0; k < 3000; ++k) pitch = std::nextafter(pitch, -10.0);
        for (int k = 0; k < 6000 && compare({0.7, pitch, -0.4}); ++k) pitch = std::nextafter(pitch, 10.0);
    }
    for (double pitch = -4.0; pitch <= 4.0; pitch += 1e-4) compare({-1.3, pitch, 2.2});
    // Both outcomes occur, so the comparison above cannot pass by one side alone.
    VT_CHECK(refused > 1000 && checked - refused > 1000);
}

// Exact values where the angles make them exact; non-finite angles give NaNs, and
// only a pitch in the band is refused.
void test_values() {
    struct Case { const char* name; NeckAngles angles; Mat3 e; };
    const Mat3 nans{{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    const Case cases[] = {
        {"rest", {0, 0, 0}, {{{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}}},
        {"quarter yaw", {pi / 2, 0, 5}, {{{0, -1, 0}, {0, 0, 1}, {1, 0, 0}}}},
        {"quarter pitch", {0, pi / 2, 0}, {{{0, 0, 0}, {0, 1, 0}, {1, 0, -1}}}},
        {"NaN yaw", {nan, 0, 0}, nans},
        {"infinite roll", {0, 0, inf}, nans},
        {"infinite pitch", {0, -inf, 0}, nans},
    };
    for (const Case& c : cases) {
        const Mat3 e = rate_matrix(c.angles);
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                VT_CHECK_MSG(velmora::testing::near(e[row][col], c.e[row][col], 1e-16),
                             std::string(c.name) + " E" + std::to_string(row) + std::to_string(col) + " = " +
                                 show(e[row][col]));
    }
    const auto poisoned = angle_rates({0, nan, 0}, {1, 0, 0});
    VT_CHECK(poisoned && std::isnan(poisoned->yaw) && std::isnan(poisoned->roll));
    VT_CHECK(!angle_rates({0.2, -pi / 2, 0.1}, {1, 0, 0}));
}

}  // namespace

int main() {
    test_against_central_differences();
    test_round_trip();
    test_gimbal_band_matches_inverse_kinematics();
    test_values();
    return velmora::testing::finish("test_neck_velocity");
}
