#include "velmora_torso_kinematics/neck_kinematics.hpp"

#include <cmath>
#include <limits>

#include "common/sine_cosine.hpp"
#include "gimbal_lock.hpp"

namespace velmora::neck {

namespace {

// An exact zero angle (either sign) turns nothing: its factor is the exact identity,
// with positive zeros, so the signs of zero elements in the product are predictable.
constexpr Mat3 identity{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

[[nodiscard]] Mat3 rotation_about_z(double angle) noexcept {
    if (angle == 0.0) return identity;
    const auto [s, c] = sine_cosine(angle);
    return {{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

[[nodiscard]] Mat3 rotation_about_y(double angle) noexcept {
    if (angle == 0.0) return identity;
    const auto [s, c] = sine_cosine(angle);
    return {{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}};
}

[[nodiscard]] Mat3 rotation_about_x(double angle) noexcept {
    if (angle == 0.0) return identity;
    const auto [s, c] = sine_cosine(angle);
    return {{{1.0, 0.0, 0.0}, {0.0, c, -s}, {0.0, s, c}}};
}

// Every element is the full three-term sum, added in order k = 0, 1, 2, zero terms
// included: the zero terms decide the sign of zero results, which ik's atan2 sees.
[[nodiscard]] constexpr Mat3 product(const Mat3& a, const Mat3& b) noexcept {
    Mat3 ab{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            ab[i][j] = (a[i][0] * b[0][j] + a[i][1] * b[1][j]) + a[i][2] * b[2][j];
        }
    }
    return ab;
}

}  // namespace

Mat3 forward_kinematics(const NeckAngles& angles) noexcept {
    // A non-finite angle gives no meaningful head frame; without this the 0 and 1
    // entries of the other factors would survive into the product.
    if (!std::isfinite(angles.yaw) || !std::isfinite(angles.pitch) ||
        !std::isfinite(angles.roll)) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    }
    const Mat3 yaw_then_pitch =
        product(rotation_about_z(angles.yaw), rotation_about_y(angles.pitch));
    return product(yaw_then_pitch, rotation_about_x(angles.roll));
}

std::optional<NeckAngles> inverse_kinematics(const Mat3& r) noexcept {
    const double r20 = r[2][0];
    // r20 = -sin(pitch); a NaN passes on to NaN angles.
    if (in_gimbal_lock(r20)) return std::nullopt;
    // Past the test |r20| < 1, so asin needs no clamping; negation flips the sign
    // bit, so r20 = +0 gives pitch -0.
    return NeckAngles{
        .yaw = std::atan2(r[1][0], r[0][0]),
        .pitch = std::asin(-r20),
        .roll = std::atan2(r[2][1], r[2][2]),
    };
}

}  // namespace velmora::neck
