// Neck angle rates and angular velocity: against central differences of forward
// kinematics, the round trip, and the gimbal band shared with inverse kinematics.

#include <cmath>
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

// omega against the axial part of Rdot R^T from differences of R along the rates
// (its symmetric part must vanish), pitch beyond +-pi/2 included; and angle_rates
// inverts angular_velocity, to rounding amplified by 1/cos(pitch).
void test_random_poses() {
    constexpr double step = 1e-6;
    velmora::testing::Sampler s(1311);
    double worst = 0.0;
    for (int i = 0; i < 5000; ++i) {
        const NeckAngles a{s.uniform(-4, 4), s.uniform(-3, 3), s.uniform(-4, 4)};
        const NeckAngleRates d{s.uniform(-2, 2), s.uniform(-2, 2), s.uniform(-2, 2)};
        const Mat3 r = forward_kinematics(a);
        const Mat3 plus = forward_kinematics({a.yaw + step * d.yaw, a.pitch + step * d.pitch, a.roll + step * d.roll});
        const Mat3 minus = forward_kinematics({a.yaw - step * d.yaw, a.pitch - step * d.pitch, a.roll - step * d.roll});
        Mat3 spin{};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                for (int k = 0; k < 3; ++k) spin[row][col] += (plus[row][k] - minus[row][k]) / (2 * step) * r[col][k];
        const Vec3 omega = angular_velocity(a, d);
        for (const double e : {0.5 * (spin[2][1] - spin[1][2]) - omega.x, 0.5 * (spin[0][2] - spin[2][0]) - omega.y,
                               0.5 * (spin[1][0] - spin[0][1]) - omega.z, spin[0][1] + spin[1][0],
                               spin[0][2] + spin[2][0], spin[1][2] + spin[2][1], spin[0][0], spin[1][1], spin[2][2]})
            velmora::testing::track_worst(worst, std::fabs(e));

        if (std::fabs(std::cos(a.pitch)) < 1e-2) continue;
        const auto back = angle_rates(a, omega);
        const double tol = 1e-14 / std::fabs(std::cos(a.pitch));
        VT_CHECK_MSG(back && velmora::testing::near(back->yaw, d.yaw, tol) &&
                         velmora::testing::near(back->pitch, d.pitch, tol) &&
                         velmora::testing::near(back->roll, d.roll, tol),
                     "round trip at pitch " + show(a.pitch));
    }
    VT_CHECK_MSG(worst <= 1e-7, "worst difference " + show(worst));
}

// The rates fail for exactly the pitches whose pose inverse kinematics refuses:
// every double within a few thousand steps of the band's four edges, and a sweep.
void test_gimbal_band_matches_inverse_kinematics() {
    const double edge = std::asin(1.0 - 1e-6);
    int refused = 0, checked = 0;
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
    VT_CHECK(refused > 1000 && checked - refused > 1000);  // both outcomes occur
}

// Exact where the angles make it exact; a non-finite angle gives nine NaNs, and a NaN
// pitch passes the band test into NaN rates.
void test_values() {
    const Mat3 nans{{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    struct Case { const char* name; NeckAngles angles; Mat3 e; };
    const Case cases[] = {
        {"rest", {0, 0, 0}, {{{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}}},
        {"quarter yaw", {pi / 2, 0, 5}, {{{0, -1, 0}, {0, 0, 1}, {1, 0, 0}}}},
        {"quarter pitch", {0, pi / 2, 0}, {{{0, 0, 0}, {0, 1, 0}, {1, 0, -1}}}},
        {"NaN yaw", {nan, 0, 0}, nans},
        {"infinite roll", {0, 0, inf}, nans},
    };
    for (const Case& c : cases)
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                VT_CHECK_MSG(velmora::testing::near(rate_matrix(c.angles)[row][col], c.e[row][col], 1e-16),
                             std::string(c.name) + " E" + std::to_string(row) + std::to_string(col));
    const auto poisoned = angle_rates({0, nan, 0}, {1, 0, 0});
    VT_CHECK(poisoned && std::isnan(poisoned->yaw) && std::isnan(poisoned->roll));
}

}  // namespace

int main() {
    test_random_poses();
    test_gimbal_band_matches_inverse_kinematics();
    test_values();
    return velmora::testing::finish("test_neck_velocity");
}
