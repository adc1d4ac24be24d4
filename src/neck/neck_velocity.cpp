#include "velmora_torso_kinematics/neck_velocity.hpp"

#include <cmath>
#include <limits>

#include "common/sine_cosine.hpp"
#include "gimbal_lock.hpp"

namespace velmora::neck {
namespace {

// The same sincos that forward kinematics uses, so that sin(pitch) here is bit for
// bit the -r20 it builds. An exact zero takes the identity's (0, 1) as it does.
[[nodiscard]] SineCosine sine_cosine_or_identity(double angle) noexcept {
    if (angle == 0.0) return {0.0, 1.0};
    return sine_cosine(angle);
}

// The sines and cosines that E needs. A non-finite angle, roll included, makes
// all four NaN: as in forward kinematics, such a pose has no meaningful rates.
struct RateTrig {
    SineCosine yaw;
    SineCosine pitch;
};

[[nodiscard]] RateTrig rate_trig(const NeckAngles& angles) noexcept {
    if (!std::isfinite(angles.yaw) || !std::isfinite(angles.pitch) || !std::isfinite(angles.roll)) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {{nan, nan}, {nan, nan}};
    }
    return {sine_cosine_or_identity(angles.yaw), sine_cosine_or_identity(angles.pitch)};
}

}  // namespace

Mat3 rate_matrix(const NeckAngles& angles) noexcept {
    const auto [yaw, pitch] = rate_trig(angles);
    // The first column is z whatever the angles, except that a non-finite one poisons it.
    const double zero = std::isnan(yaw.sin) ? yaw.sin : 0.0;
    return {{{zero, -yaw.sin, yaw.cos * pitch.cos},
             {zero, yaw.cos, yaw.sin * pitch.cos},
             {1.0 + zero, zero, -pitch.sin}}};
}

Vec3 angular_velocity(const NeckAngles& angles, const NeckAngleRates& rates) noexcept {
    const Mat3 e = rate_matrix(angles);
    const Vec3 r{rates.yaw, rates.pitch, rates.roll};
    return {dot({e[0][0], e[0][1], e[0][2]}, r), dot({e[1][0], e[1][1], e[1][2]}, r),
            dot({e[2][0], e[2][1], e[2][2]}, r)};
}

std::optional<NeckAngleRates> angle_rates(const NeckAngles& angles, const Vec3& omega) noexcept {
    const auto [yaw_trig, pitch_trig] = rate_trig(angles);
    const auto [sy, cy] = yaw_trig;
    const auto [sp, cp] = pitch_trig;
    // The band that inverse kinematics refuses; a NaN pitch passes on to NaN rates.
    if (in_gimbal_lock(sp)) return std::nullopt;
    // E^-1: the roll rate from omega's part along Rz(yaw) x, over cos(pitch); pitch from
    // its part along Rz(yaw) y; yaw takes what is left of omega's z component.
    const double roll = (cy * omega.x + sy * omega.y) / cp;
    const double pitch = cy * omega.y - sy * omega.x;
    const double yaw = omega.z + sp * roll;
    return NeckAngleRates{yaw, pitch, roll};
}

}  // namespace velmora::neck
