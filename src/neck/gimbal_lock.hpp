#pragma once
// The neck's gimbal-lock band, shared by inverse kinematics and the angle rates.

#include <cmath>

namespace velmora::neck {

// Gimbal lock once 1 - |sin(pitch)| (1 - |r20| in a rotation) falls below this
// (|cos(pitch)| under about 1.4e-3): yaw and roll then turn about nearly the
// same axis and their split rests on rounding noise.
inline constexpr double gimbal_lock_margin = 1e-6;

// Written so that a NaN sine compares false: it is not in the band and passes
// on to NaN results.
[[nodiscard]] inline bool in_gimbal_lock(double sin_pitch) noexcept {
    return 1.0 - std::fabs(sin_pitch) < gimbal_lock_margin;
}

}  // namespace velmora::neck
