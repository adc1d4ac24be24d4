#pragma once
// velmora_torso_kinematics: how a follower's step was found, shared by the arm's
// and the neck's followers.

#include <cstdint>

namespace velmora {

enum class FollowStatus : std::int8_t {
    tracking = 0,     // on the target
    approaching = 1,  // one step of at most max_step toward it
    holding = 2,      // the target is invalid (not finite, too short, not a rotation): no motion
    saturated = 3,    // at the best admissible pose for a target out of reach, or stopped by a limit
};

}  // namespace velmora
