#include "batch/neck_loops.hpp"

#include <limits>
#include <optional>

#include "velmora_torso_kinematics/neck_kinematics.hpp"
#include "velmora_torso_kinematics/neck_follow.hpp"

namespace velmora::batch {

void neck_fk(const Shape& shape, const Input& angles, double* rotations, std::int64_t workers) noexcept {
    const std::int64_t step = angles.inner[0];
    for_each_element<1>(shape, {&angles}, workers, [&](std::int64_t i, const double* a) {
        const Mat3 r = neck::forward_kinematics({a[0], a[step], a[2 * step]});
        double* out = rotations + 9 * i;
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column) out[3 * row + column] = r[row][column];
    });
}

namespace {

void write_angles(double* out, bool* ok, const std::optional<neck::NeckAngles>& solved) noexcept {
    *ok = solved.has_value();
    if (!solved) {
        out[0] = out[1] = out[2] = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    out[0] = solved->yaw;
    out[1] = solved->pitch;
    out[2] = solved->roll;
}

}  // namespace

void neck_ik(const Shape& shape, const Input& rotations, const Input* near, double* angles, bool* ok,
             std::int64_t workers) noexcept {
    const std::int64_t row = rotations.inner[0], column = rotations.inner[1];
    if (near == nullptr) {
        for_each_element<1>(shape, {&rotations}, workers, [&](std::int64_t i, const double* r) {
            write_angles(angles + 3 * i, ok + i, neck::inverse_kinematics(mat3_at(r, row, column)));
        });
        return;
    }
    const std::int64_t step = near->inner[0];
    for_each_element<2>(shape, {&rotations, near}, workers, [&](std::int64_t i, const double* r, const double* n) {
        const neck::NeckAngles preferred{n[0], n[step], n[2 * step]};
        write_angles(angles + 3 * i, ok + i, neck::inverse_kinematics(mat3_at(r, row, column), preferred));
    });
}

void neck_follow(const Shape& shape, const Input& rotations, const Input& start, double max_step,
                 std::optional<double> max_step_change, const std::optional<neck::NeckLimits>& limits, double* angles,
                 std::int8_t* status, std::int64_t workers) noexcept {
    const std::int64_t steps = rotations.extent[0];
    if (steps == 0) return;
    const neck::NeckFollowSettings settings{max_step, max_step_change, limits};
    const std::int64_t along = rotations.inner[0], row = rotations.inner[1], column = rotations.inner[2];
    const std::int64_t component = start.inner[0];
    for_each_element<2>(shape, {&rotations, &start}, workers, [&](std::int64_t i, const double* path, const double* s) {
        std::optional<neck::NeckFollower> follower =
            neck::NeckFollower::make({s[0], s[component], s[2 * component]}, settings);
        for (std::int64_t t = 0; t < steps; ++t) {
            double* out = angles + 3 * (i * steps + t);
            std::int8_t& code = status[i * steps + t];
            // Starts are checked before the walk; one that slipped through holds NaN.
            if (!follower) {
                fill_nan(out, 3);
                code = static_cast<std::int8_t>(FollowStatus::holding);
                continue;
            }
            const neck::NeckFollowStep step = follower->step(mat3_at(path + t * along, row, column));
            out[0] = step.angles.yaw;
            out[1] = step.angles.pitch;
            out[2] = step.angles.roll;
            code = static_cast<std::int8_t>(step.status);
        }
    });
}

std::optional<std::int64_t> first_unusable_neck_start(const Shape& shape, const Input& start,
                                                      const neck::NeckFollowSettings& settings) noexcept {
    const std::int64_t step = start.inner[0];
    // Sequential: the first one in order is the one a message names.
    std::optional<std::int64_t> first;
    for_each_element<1>(shape, {&start}, 1, [&](std::int64_t i, const double* p) {
        if (!first && neck::neck_follower_fault({p[0], p[step], p[2 * step]}, settings)) first = i;
    });
    return first;
}

}  // namespace velmora::batch
