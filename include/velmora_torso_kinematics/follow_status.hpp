#pragma once
// velmora_torso_kinematics: how a follower's step was found, shared by the arm's
// and the neck's followers.

#include <cstdint>

namespace velmora {

enum class FollowStatus : std::int8_t {
    tracking = 0,     // on the target
    approaching = 1,  // one step of at most max_step toward it
    holding = 2,      // the target is not finite, or no admissible step exists: no motion
};

}  // namespace velmora
