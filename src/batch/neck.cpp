#include "batch/neck.hpp"

#include <limits>
#include <optional>

#include "velmora_torso_kinematics/neck.hpp"
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

}  // namespace velmora::batch
