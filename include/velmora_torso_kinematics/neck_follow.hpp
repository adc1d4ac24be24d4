#pragma once
// velmora_torso_kinematics: following a moving head orientation with the neck.
//
// The neck's inverse kinematics answers each rotation on its own, in yaw and
// roll within [-pi, pi] and pitch within [-pi/2, pi/2], so a head turning
// steadily past pitch pi/2 or across yaw pi sees its angles jump, and inside
// the gimbal-lock band it gets no answer at all. With a preferred `near`, the
// answer is the representation of the same rotation nearest `near` instead, and
// a NeckFollower moves toward it at most max_step per angle per tick.

#include <optional>

#include "velmora_torso_kinematics/follow_status.hpp"
#include "velmora_torso_kinematics/neck.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::neck {

// The angles of `r` nearest `near` (the sum of the angles' squared differences)
// among the representations of the same rotation: (yaw, pitch, roll) and
// (yaw + pi, pi - pitch, roll + pi), each angle also turned by whole turns.
// Inside the gimbal-lock band, where yaw and roll turn about one axis, roll
// stays near's and yaw and pitch take the rest. Nothing for a `near` that is not
// finite; a NaN in `r` gives NaN angles, as the plain inverse does.
[[nodiscard]] std::optional<NeckAngles> inverse_kinematics(const Mat3& r, const NeckAngles& near) noexcept;

// Inclusive ranges of the three angles, radians (infinite bounds allowed).
struct NeckLimits {
    double yaw_min;
    double yaw_max;
    double pitch_min;
    double pitch_max;
    double roll_min;
    double roll_max;

    [[nodiscard]] bool admits(const NeckAngles& angles) const noexcept;
    // No NaN bound and no empty or out-of-range interval.
    [[nodiscard]] bool usable() const noexcept;
};

struct NeckFollowStep {
    NeckAngles angles;
    FollowStatus status;
};

enum class NeckFollowerFault : unsigned char { max_step, limits, start };

// The first fault of max_step (finite, > 0), then limits, then start (finite
// and admitted), or nothing.
[[nodiscard]] std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start, double max_step,
                                                                   const std::optional<NeckLimits>& limits) noexcept;

// The neck's commanded angles, advanced one tick at a time: each angle moves at
// most max_step toward inverse_kinematics(rotation, near = current), clamped into
// the limits. Tracking once it is there, approaching while on the way, holding
// for a rotation with a non-finite element or when a limit stops it.
class NeckFollower {
public:
    [[nodiscard]] static std::optional<NeckFollower> make(const NeckAngles& start, double max_step,
                                                          const std::optional<NeckLimits>& limits) noexcept;

    NeckFollowStep step(const Mat3& rotation) noexcept;

    [[nodiscard]] const NeckAngles& angles() const noexcept { return angles_; }
    [[nodiscard]] double max_step() const noexcept { return max_step_; }
    [[nodiscard]] const std::optional<NeckLimits>& limits() const noexcept { return limits_; }

    // Moves the commanded angles; false, and no change, for angles a start could not be.
    [[nodiscard]] bool reset(const NeckAngles& angles) noexcept;

private:
    NeckFollower(const NeckAngles& start, double max_step, const std::optional<NeckLimits>& limits) noexcept
        : angles_(start), max_step_(max_step), limits_(limits) {}

    NeckAngles angles_;
    double max_step_;
    std::optional<NeckLimits> limits_;
};

}  // namespace velmora::neck
