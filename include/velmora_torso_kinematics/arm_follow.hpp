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
//   out of reach or jumps: it walks toward it at max_step per tick, keeps a
//   closure margin from the locked loop, comes to rest at the best admissible
//   pair of a target out of reach, and with max_step_change limits how much
//   its step changes from one tick to the next (an acceleration limit).

#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/arm_reach.hpp"
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

// path_step with the inverses' admissible set (limits and a closure margin).
[[nodiscard]] std::optional<JointPair> path_step(const SphericalFiveBar& arm, const Vec3& direction,
                                                 const std::optional<JointPair>& last,
                                                 const std::optional<double>& max_step,
                                                 const Admissible& admissible) noexcept;

struct FollowStep {
    JointPair pair;
    FollowStatus status;
};

// The followers' closure margin unless told otherwise: the margin that the
// calibration's suggested poses keep. Below it J_v exceeds about 50 times its
// size at an open loop, and rounding in the closure starts to show in J_v.
inline constexpr double default_follow_margin = 0.02;

struct FollowSettings {
    double max_step;                        // joint distance per step: finite and > 0
    std::optional<JointLimits> limits;      // usable(), when given
    double damping = 0.05;                  // of the damped least-squares step: finite and >= 0
    double margin = default_follow_margin;  // closure margin kept: finite and >= 0
    // Largest joint distance between two consecutive steps (a_max dt^2): finite and > 0, or none.
    std::optional<double> max_step_change = std::nullopt;
};

// What makes a follower unusable, in the order the constructor's arguments are checked.
enum class FollowerFault : std::uint8_t { max_step, limits, damping, margin, max_step_change, start };

// The first fault of `settings`, or nothing.
[[nodiscard]] std::optional<FollowerFault> settings_fault(const FollowSettings& settings) noexcept;

// The first fault of `settings`, then of `start` (not finite, outside the
// limits, or where the loop does not close; a start below the margin is
// accepted), or nothing.
[[nodiscard]] std::optional<FollowerFault> follower_fault(const SphericalFiveBar& arm, const JointPair& start,
                                                          const FollowSettings& settings) noexcept;

// The arm's commanded pair, advanced one tick at a time. Build it with make()
// (nothing for settings or a start that follower_fault refuses). It keeps its own
// copy of the prepared arm, so it outlives the one it was made from.
class ArmFollower {
public:
    [[nodiscard]] static std::optional<ArmFollower> make(const SphericalFiveBar& arm, const JointPair& start,
                                                         const FollowSettings& settings) noexcept;

    // The next pair toward `direction` (at least shortest_direction long),
    // and how it was found:
    // - tracking: the direction's admissible solution nearest the current pair
    //   was commanded (bit for bit inverse_kinematics_from_direction with near);
    // - approaching: a step toward the target's goal, that solution or, out of
    //   reach, its nearest_reachable pair; also a step that raises a margin below
    //   `margin`, or that brakes. Where the straight way to the goal leaves the
    //   admissible set, the step follows the shortest route over the admissible
    //   cells of nearest_reachable's grid (8-connected), aiming at the cell
    //   farthest along it whose straight way is clear;
    // - saturated: at rest at the goal of a target out of reach, or at rest where
    //   the limits or the margin stop every step toward it;
    // - holding: a direction not finite or too short; the follower brakes to rest.
    FollowStep step(const Vec3& direction) noexcept;

    [[nodiscard]] const JointPair& pair() const noexcept { return pair_; }
    // The last step (the follower's velocity per tick); zero at rest.
    [[nodiscard]] const JointPair& velocity() const noexcept { return velocity_; }
    [[nodiscard]] const FollowSettings& settings() const noexcept { return settings_; }
    [[nodiscard]] const SphericalFiveBar& arm() const noexcept { return arm_; }

    // Moves the commanded pair to `pair`, at rest; false, and no change, for a
    // pair that a start could not be.
    [[nodiscard]] bool reset(const JointPair& pair) noexcept;

    // New settings, all or nothing: false, and no change, when settings_fault
    // refuses them. A current pair that the new limits or margin exclude is kept:
    // the follower then walks into them.
    [[nodiscard]] bool configure(const FollowSettings& settings) noexcept;

    // How the walk to the current goal goes: the goal, the nearest the follower
    // came to it, and the ticks since it came nearer (it stops after 16, with
    // max_step_change after 16 + 2 ceil(max_step / max_step_change)).
    struct Progress {
        JointPair goal;
        double closest;
        int idle;
    };
    [[nodiscard]] Progress progress() const noexcept { return {stall_goal_, closest_, idle_}; }

    // Restores a state that pair(), velocity() and progress() gave (a copy sent
    // elsewhere): false, and no change, for a pair that does not close or a
    // velocity not finite or longer than max_step.
    [[nodiscard]] bool restore(const JointPair& pair, const JointPair& velocity, const Progress& progress) noexcept;

private:
    ArmFollower(const SphericalFiveBar& arm, const JointPair& start, const FollowSettings& settings) noexcept;

    struct Move;
    [[nodiscard]] bool goal_for(const Move& move, const Vec3& direction, JointPair& goal, Vec3& goal_v_3,
                                bool& reachable, bool& clear_way) noexcept;
    void plan_route(const JointPair& goal) noexcept;
    [[nodiscard]] bool route_aim(const Move& move, JointPair& aim, double& remaining) const noexcept;
    [[nodiscard]] bool try_step(const Move& move, const JointPair& wanted, const JointPair* goal,
                                JointPair& next) const noexcept;
    [[nodiscard]] std::optional<JointPair> turn_toward(const Move& move, const Vec3& v_3) const noexcept;
    FollowStep brake(FollowStatus status, const Move& move) noexcept;

    SphericalFiveBar arm_;
    JointPair pair_;
    JointPair velocity_{0.0, 0.0};
    FollowSettings settings_;
    // The goal of the last target out of reach: searched again only when the
    // target changes.
    bool goal_known_ = false;
    Vec3 goal_target_{};
    Reach goal_{};
    // Progress toward the goal: the nearest it came, and ticks since it came nearer.
    JointPair stall_goal_{std::numeric_limits<double>::quiet_NaN(), 0.0};
    double closest_ = 0.0;
    int idle_ = 0;
    // nearest_reachable's grid for the settings' limits and margin, prepared at
    // construction and on configure; its admissible cells are also the nodes of
    // the route to a goal whose straight way is blocked.
    ReachGrid grid_;
    // Each cell's route length to route_goal_ over admissible cells (infinite
    // where none): computed when the goal changes and the straight way is blocked.
    bool route_known_ = false;
    JointPair route_goal_{};
    std::array<double, ReachGrid::cells> route_{};
};

}  // namespace velmora::arm
