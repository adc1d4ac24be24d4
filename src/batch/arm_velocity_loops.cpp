#include "batch/arm_velocity_loops.hpp"

#include <optional>

namespace velmora::batch {
namespace {

void write_mat32(double* out, const arm::Mat32& m) noexcept {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 2; ++c) out[2 * r + c] = m[r][c];
}

void write_mat35(double* out, const arm::Mat35& m) noexcept {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < arm::geometry_parameter_count; ++c) out[arm::geometry_parameter_count * r + c] = m[r][c];
}

}  // namespace

void arm_jacobian(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                  const Input& theta_b, double* j_omega, double* j_v, bool* ok, std::int64_t workers) noexcept {
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const std::optional<arm::ArmJacobians> j = arm::jacobians(arm, *a, *b);
        ok[i] = j.has_value();
        if (!j) {
            fill_nan(j_omega + 6 * i, 6);
            fill_nan(j_v + 6 * i, 6);
            return;
        }
        write_mat32(j_omega + 6 * i, j->j_omega);
        write_mat32(j_v + 6 * i, j->j_v);
    });
}

void arm_singularity_measure(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                             const Input& theta_b, double* measure, bool* ok, std::int64_t workers) noexcept {
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const std::optional<double> value = arm::singularity_measure(arm, *a, *b);
        ok[i] = value.has_value();
        if (!value) return fill_nan(measure + i, 1);
        measure[i] = *value;
    });
}

void arm_joint_rates(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                     const Input& theta_b, const Input& v3_dot, double damping, double* rates, bool* ok,
                     std::int64_t workers) noexcept {
    const std::int64_t step = v3_dot.inner[0];
    for_each_element<3>(shape, {&theta_a, &theta_b, &v3_dot}, workers,
                        [&](std::int64_t i, const double* a, const double* b, const double* v) {
                            const std::optional<JointPair> pair = arm::joint_rates(arm, *a, *b, vec3_at(v, step), damping);
                            ok[i] = pair.has_value();
                            double* out = rates + 2 * i;
                            if (!pair) return fill_nan(out, 2);
                            out[0] = pair->theta_a;
                            out[1] = pair->theta_b;
                        });
}

void arm_geometry_jacobian(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                           const Input& theta_b, double* v3_rate, double* omega, bool* ok,
                           std::int64_t workers) noexcept {
    constexpr int size = 3 * arm::geometry_parameter_count;
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const std::optional<arm::GeometryJacobians> j = arm::geometry_jacobians(arm, *a, *b);
        ok[i] = j.has_value();
        if (!j) {
            fill_nan(v3_rate + size * i, size);
            fill_nan(omega + size * i, size);
            return;
        }
        write_mat35(v3_rate + size * i, j->v_3);
        write_mat35(omega + size * i, j->omega);
    });
}

}  // namespace velmora::batch
