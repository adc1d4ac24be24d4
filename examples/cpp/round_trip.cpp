// Round trips through the kinematics core from C++: arm joints -> rotation ->
// joints, a pointing direction -> joints, a geometry from JSON, the neck, and a
// follower walking to a far target. Exits non-zero if any of them misses.

#include <cmath>
#include <cstdio>

#include <velmora_torso_kinematics/arm_follow.hpp>
#include <velmora_torso_kinematics/arm_geometry.hpp>
#include <velmora_torso_kinematics/arm_kinematics.hpp>
#include <velmora_torso_kinematics/neck_kinematics.hpp>

namespace arm = velmora::arm;
namespace neck = velmora::neck;

namespace {

bool close(double a, double b) { return std::fabs(a - b) < 1e-12; }

bool arm_round_trip(const char* name, const arm::SphericalLinkGeometry& geometry) {
    const arm::SphericalFiveBar prepared(geometry);  // once per arm, then any number of calls
    const velmora::JointPair joints{0.3, -0.2};
    const auto fk = arm::forward_kinematics(prepared, joints.theta_a, joints.theta_b);
    if (!fk) return false;
    const auto back = arm::inverse_kinematics(prepared, fk->rotation);
    const auto pointed = arm::inverse_kinematics_from_direction(prepared, fk->v_3, joints);
    if (!back || !pointed) return false;
    std::printf("%s arm: v_3 = (%.6f, %.6f, %.6f); ik -> (%.6f, %.6f); ik_from_direction -> (%.6f, %.6f)\n",
                name, fk->v_3.x, fk->v_3.y, fk->v_3.z, back->theta_a, back->theta_b, pointed->theta_a,
                pointed->theta_b);
    return close(back->theta_a, joints.theta_a) && close(back->theta_b, joints.theta_b) &&
           close(pointed->theta_a, joints.theta_a) && close(pointed->theta_b, joints.theta_b);
}

}  // namespace

int main() {
    bool ok = arm_round_trip("left", arm::default_left()) && arm_round_trip("right", arm::default_right());

    const auto parsed = arm::read_geometry_json(R"({"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"})");
    ok = ok && parsed.geometry && parsed.geometry->branch == arm::Branch::negative;
    const auto rejected = arm::read_geometry_json("[0.7]");
    ok = ok && !rejected.geometry;
    std::printf("from JSON: %s; a bad document: %s\n", parsed.geometry ? "negative-branch arm" : "failed",
                rejected.error.message().c_str());
    ok = ok && arm_round_trip("negative-branch", *parsed.geometry);

    const neck::NeckAngles angles{0.4, -0.25, 0.1};
    const auto head = neck::inverse_kinematics(neck::forward_kinematics(angles));
    ok = ok && head && close(head->yaw, angles.yaw) && close(head->pitch, angles.pitch) &&
         close(head->roll, angles.roll);
    std::printf("neck: (yaw, pitch, roll) round trip %s\n", head ? "recovered" : "hit gimbal lock");

    // A follower commands at most max_step per tick toward a far target, then tracks it.
    const arm::SphericalFiveBar left(arm::default_left());
    const auto target = arm::forward_kinematics(left, 0.6, -0.4);
    auto follower = arm::ArmFollower::make(left, {0.3, -0.2}, {0.05, std::nullopt});
    int steps = 0;
    const auto tracking = [&] { return follower->step(target->v_3).status == velmora::FollowStatus::tracking; };
    while (ok && target && follower && steps < 100 && !tracking()) ++steps;
    ok = ok && follower && steps < 100 && close(follower->pair().theta_a, 0.6) &&
         close(follower->pair().theta_b, -0.4);
    std::printf("follower: tracking after %d approaching steps of 0.05\n", steps);

    std::puts(ok ? "round trip: ok" : "round trip: FAILED");
    return ok ? 0 : 1;
}
