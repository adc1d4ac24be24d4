#include "batch/neck.hpp"

#include <limits>

#include "velmora_torso_kinematics/neck.hpp"

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

void neck_ik(const Shape& shape, const Input& rotations, double* angles, bool* ok, std::int64_t workers) noexcept {
    for_each_element<1>(shape, {&rotations}, workers, [&](std::int64_t i, const double* r) {
        const auto solved = neck::inverse_kinematics(mat3_at(r, rotations.inner[0], rotations.inner[1]));
        double* out = angles + 3 * i;
        ok[i] = solved.has_value();
        if (!solved) {
            out[0] = out[1] = out[2] = std::numeric_limits<double>::quiet_NaN();
            return;
        }
        out[0] = solved->yaw;
        out[1] = solved->pitch;
        out[2] = solved->roll;
    });
}

}  // namespace velmora::batch
