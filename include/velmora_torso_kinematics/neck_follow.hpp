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
#include "velmora_torso_kinematics/neck_kinematics.hpp"
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

// Whether `r` is a rotation a follower takes: finite, its rows orthonormal
// within rotation_tolerance, and right-handed (determinant > 0, so +1 within
// the same tolerance). A reflection such as diag(1, 1, -1) is not.
inline constexpr double rotation_tolerance = 1e-6;
[[nodiscard]] bool is_rotation(const Mat3& r) noexcept;

// Where the neck should go for `r` from `near` within `limits`: of the
// representations inverse_kinematics(r, near) chooses from, the one inside the
// limits nearest `near` (`reachable`). When none lies inside, the angles inside
// the limits nearest a representation (least sum of squared distances; ties
// to the one nearer `near`), not reachable. Inside the gimbal-lock band the
// representations keep near's roll, as inverse_kinematics(r, near) does; when
// the limits refuse those, yaw is traded for roll about the axis they share
// there (reproducing r to the band's width, about 1e-3).
// Nothing for a non-finite `near` or an `r` whose angles are not finite.
struct NeckGoal {
    NeckAngles angles;
    bool reachable;
};
[[nodiscard]] std::optional<NeckGoal> goal_within(const Mat3& r, const NeckAngles& near,
                                                  const NeckLimits& limits) noexcept;

struct NeckFollowStep {
    NeckAngles angles;
    FollowStatus status;
};

struct NeckFollowSettings {
    double max_step;                        // per angle per tick: finite and > 0
    std::optional<double> max_step_change;  // per angle per tick, of the step: finite and > 0
    std::optional<NeckLimits> limits;       // usable(), when given
};

enum class NeckFollowerFault : unsigned char { max_step, max_step_change, limits, start };

// The first fault of the settings (max_step, then max_step_change, then
// limits), or nothing.
[[nodiscard]] std::optional<NeckFollowerFault> neck_settings_fault(const NeckFollowSettings& settings) noexcept;

// The first fault of the settings, then of start (finite and admitted), or nothing.
[[nodiscard]] std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start,
                                                                   const NeckFollowSettings& settings) noexcept;
[[nodiscard]] std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start, double max_step,
                                                                   const std::optional<NeckLimits>& limits) noexcept;

// The neck's commanded angles, advanced one tick at a time toward goal_within
// (or, without limits, inverse_kinematics(rotation, near = current)).
//
// Without max_step_change each angle moves at most max_step toward the goal.
// With it the follower has a velocity, its last step: each angle's step
// changes by at most max_step_change a tick and stays within max_step, as
// fast as those allow but never faster than it can still stop at the goal, or
// before a limit, by braking at max_step_change (so the path it would brake
// along from any command stays inside the limits).
//
// Statuses: tracking once at a reachable goal, saturated once at the goal of
// a rotation no representation of which the limits admit, approaching on the
// way, holding for a rotation that is_rotation refuses (the angles stay, or
// brake to rest under max_step_change).
class NeckFollower {
public:
    [[nodiscard]] static std::optional<NeckFollower> make(const NeckAngles& start,
                                                          const NeckFollowSettings& settings) noexcept;
    [[nodiscard]] static std::optional<NeckFollower> make(const NeckAngles& start, double max_step,
                                                          const std::optional<NeckLimits>& limits) noexcept {
        return make(start, NeckFollowSettings{max_step, std::nullopt, limits});
    }
    // A follower in a state it may have reached: finite angles (outside the
    // limits too, after a change of limits) and a finite velocity within max_step.
    [[nodiscard]] static std::optional<NeckFollower> restore(const NeckAngles& angles, const NeckAngles& velocity,
                                                             const NeckFollowSettings& settings) noexcept;

    NeckFollowStep step(const Mat3& rotation) noexcept;

    [[nodiscard]] const NeckAngles& angles() const noexcept { return angles_; }
    // The last step, per angle: zero at rest.
    [[nodiscard]] const NeckAngles& velocity() const noexcept { return velocity_; }
    [[nodiscard]] const NeckFollowSettings& settings() const noexcept { return settings_; }
    [[nodiscard]] double max_step() const noexcept { return settings_.max_step; }
    [[nodiscard]] const std::optional<NeckLimits>& limits() const noexcept { return settings_.limits; }

    // Moves the commanded angles and leaves the neck at rest; false, and no
    // change, for angles a start could not be.
    [[nodiscard]] bool reset(const NeckAngles& angles) noexcept;

    // New settings from the next step on; false, and no change, for settings
    // that neck_settings_fault refuses. Limits that exclude the current angles
    // are walked into. A speed above a lowered max_step is cut to it at once.
    [[nodiscard]] bool configure(const NeckFollowSettings& settings) noexcept;

private:
    NeckFollower(const NeckAngles& start, const NeckAngles& velocity, const NeckFollowSettings& settings) noexcept
        : angles_(start), velocity_(velocity), settings_(settings) {}

    NeckFollowStep move_toward(const NeckAngles& goal, FollowStatus arrived) noexcept;
    NeckFollowStep hold() noexcept;

    NeckAngles angles_;
    NeckAngles velocity_;
    NeckFollowSettings settings_;
};

}  // namespace velmora::neck
