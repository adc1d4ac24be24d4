#include "batch/neck_velocity_loops.hpp"

#include <optional>

#include "velmora_torso_kinematics/neck_velocity.hpp"

namespace velmora::batch {

void neck_rates(const Shape& shape, const Input& angles, const Input& angles_dot, double* omega,
                std::int64_t workers) noexcept {
    const std::int64_t step = angles.inner[0];
    const std::int64_t rate_step = angles_dot.inner[0];
    for_each_element<2>(shape, {&angles, &angles_dot}, workers, [&](std::int64_t i, const double* a, const double* d) {
        const Vec3 w = neck::angular_velocity({a[0], a[step], a[2 * step]}, {d[0], d[rate_step], d[2 * rate_step]});
        double* out = omega + 3 * i;
        out[0] = w.x;
        out[1] = w.y;
        out[2] = w.z;
    });
}

void neck_angle_rates(const Shape& shape, const Input& angles, const Input& omega, double* angles_dot, bool* ok,
                      std::int64_t workers) noexcept {
    const std::int64_t step = angles.inner[0];
    const std::int64_t omega_step = omega.inner[0];
    for_each_element<2>(shape, {&angles, &omega}, workers, [&](std::int64_t i, const double* a, const double* w) {
        const std::optional<neck::NeckAngleRates> rates =
            neck::angle_rates({a[0], a[step], a[2 * step]}, vec3_at(w, omega_step));
        double* out = angles_dot + 3 * i;
        ok[i] = rates.has_value();
        if (!rates) return fill_nan(out, 3);
        out[0] = rates->yaw;
        out[1] = rates->pitch;
        out[2] = rates->roll;
    });
}

}  // namespace velmora::batch
