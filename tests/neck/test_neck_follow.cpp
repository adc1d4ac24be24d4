// The neck's follower on a head turning steadily through pitch pi/2 and yaw pi
// with jitter: no angle moves more than max_step in a step, and tracking
// reproduces the head's rotation (up to the roll the gimbal-lock band hides).

#include <cmath>

#include "support/check.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace {

using namespace velmora;

void test_neck_streams() {
    testing::Sampler s(1802);
    double worst_excess = 0.0, worst_off = 0.0, worst_locked = 0.0;
    for (int run = 0; run < 200; ++run) {
        const double max_step = s.uniform(0.01, 0.3);
        auto follower = neck::NeckFollower::make({0.0, 0.0, 0.0}, max_step, std::nullopt);
        neck::NeckAngles head{0.0, 0.0, 0.0};
        // A head turning steadily through pitch pi/2 and yaw pi, with jitter.
        const double rate = s.uniform(0.001, 0.02);
        for (int t = 0; t < 600; ++t) {
            head = {head.yaw + rate + s.uniform(-1e-3, 1e-3), head.pitch + rate, head.roll - rate};
            const neck::NeckAngles before = follower->angles();
            const neck::NeckFollowStep step = follower->step(neck::forward_kinematics(head));
            const neck::NeckAngles& a = step.angles;
            for (const double d : {a.yaw - before.yaw, a.pitch - before.pitch, a.roll - before.roll})
                testing::track_worst(worst_excess, std::fabs(d) - max_step);
            // Tracking reproduces the head's rotation, up to the roll that the
            // gimbal-lock band (|sin pitch| within 1e-6 of 1) cannot tell from yaw.
            const Mat3 r = neck::forward_kinematics(a), h = neck::forward_kinematics(head);
            const bool locked = 1.0 - std::fabs(h[2][0]) < 1e-6;
            for (int i = 0; i < 3 && step.status == FollowStatus::tracking; ++i)
                for (int j = 0; j < 3; ++j)
                    testing::track_worst(locked ? worst_locked : worst_off, std::fabs(r[i][j] - h[i][j]));
        }
    }
    VT_CHECK_MSG(worst_excess <= 0.0, "a neck step longer than max_step by " + testing::show(worst_excess));
    VT_CHECK_MSG(worst_off < 1e-9, "tracking off the head's rotation by " + testing::show(worst_off));
    VT_CHECK_MSG(worst_locked < 2e-3, "locked tracking off the head's rotation by " + testing::show(worst_locked));
}

}  // namespace

int main() {
    test_neck_streams();
    return testing::finish("test_neck_follow");
}
