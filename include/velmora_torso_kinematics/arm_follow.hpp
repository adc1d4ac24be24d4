#pragma once
// velmora_torso_kinematics: following a moving pointing target with the arm.
//
// A controller sends a joint pair every tick. These functions decide that pair
// from the last one and the tick's target direction, and they fail closed:
// every pair they hand out is finite, closes the loop, lies inside the joint
// limits and is at most `max_step` (in joint_distance) from the last one. A NaN
// anywhere makes them hold, never move.
//
// - path_step: the plain rule of path following, the direction's solution
//   nearest the last pair when that is within max_step, else nothing.
// - ArmFollower: a commanded pair that also gets there when the target is far,
//   out of reach or jumps: it walks toward it at max_step per tick.

#include <cstdint>
#include <optional>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/follow_status.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

// One step of a path: inverse_kinematics_from_direction(direction, near = last,
// limits). With `max_step`, the pair must lie at most that far from `last`;
// farther, or with `last` not finite, the step fails. Without `last` (the first
// step of a path with no start) there is nothing to measure from.
[[nodiscard]] std::optional<JointPair> path_step(const SphericalFiveBar& arm, const Vec3& direction,
                                                 const std::optional<JointPair>& last,
                                                 const std::optional<double>& max_step,
                                                 const std::optional<JointLimits>& limits) noexcept;

struct FollowStep {
    JointPair pair;
    FollowStatus status;
};

struct FollowSettings {
    double max_step;                    // joint distance per step: finite and > 0
    std::optional<JointLimits> limits;  // usable(), when given
    double damping = 0.05;              // of the damped least-squares step: finite and >= 0
};

// What makes a follower unusable, in the order the constructor's arguments are checked.
enum class FollowerFault : std::uint8_t { max_step, limits, damping, start };

// The first fault of `settings`, then of `start` (not finite, outside the
// limits, or where the loop does not close), or nothing.
[[nodiscard]] std::optional<FollowerFault> follower_fault(const SphericalFiveBar& arm, const JointPair& start,
                                                          const FollowSettings& settings) noexcept;

// The arm's commanded pair, advanced one tick at a time. Build it with make()
// (nothing for settings or a start that follower_fault refuses). It keeps its own
// copy of the prepared arm, so it outlives the one it was made from.
class ArmFollower {
public:
    [[nodiscard]] static std::optional<ArmFollower> make(const SphericalFiveBar& arm, const JointPair& start,
                                                         const FollowSettings& settings) noexcept;

    // The next pair toward `direction` (any non-zero length), and how it was found.
    FollowStep step(const Vec3& direction) noexcept;

    [[nodiscard]] const JointPair& pair() const noexcept { return pair_; }
    [[nodiscard]] const FollowSettings& settings() const noexcept { return settings_; }
    [[nodiscard]] const SphericalFiveBar& arm() const noexcept { return arm_; }

    // Moves the commanded pair to `pair`; false, and no change, for a pair that a
    // start could not be.
    [[nodiscard]] bool reset(const JointPair& pair) noexcept;

private:
    ArmFollower(const SphericalFiveBar& arm, const JointPair& start, const FollowSettings& settings) noexcept
        : arm_(arm), pair_(start), settings_(settings) {}

    [[nodiscard]] std::optional<JointPair> along_segment(const Vec3& target) const noexcept;
    [[nodiscard]] std::optional<JointPair> damped_turn(const Vec3& target) const noexcept;

    SphericalFiveBar arm_;
    JointPair pair_;
    FollowSettings settings_;
};

}  // namespace velmora::arm
