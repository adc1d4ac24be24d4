#include "batch/arm.hpp"

#include <cmath>

namespace velmora::batch {
namespace {

void write_pair(double* out, const std::optional<JointPair>& pair) noexcept {
    if (pair) {
        out[0] = pair->theta_a;
        out[1] = pair->theta_b;
    } else {
        fill_nan(out, 2);
    }
}

// Calls body(i, p, pair) for every element, p pointing at its block of `input`
// and `pair` its joint pair of `pairs` (a [..., 2] input), or nothing when
// `pairs` is absent.
template <class Body>
void with_optional_pair(const Shape& shape, const Input& input, const Input* pairs, std::int64_t workers,
                        const Body& body) {
    if (pairs == nullptr) {
        for_each_element<1>(shape, {&input}, workers,
                            [&](std::int64_t i, const double* p) { body(i, p, std::optional<JointPair>{}); });
        return;
    }
    const std::int64_t step = pairs->inner[0];
    for_each_element<2>(shape, {&input, pairs}, workers, [&](std::int64_t i, const double* p, const double* q) {
        body(i, p, std::optional<JointPair>{JointPair{q[0], q[step]}});
    });
}

}  // namespace

void arm_fk(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a, const Input& theta_b,
            double* rotations, bool* ok, std::int64_t workers) noexcept {
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const auto solution = arm::forward_kinematics(arm, *a, *b);
        double* out = rotations + 9 * i;
        ok[i] = solution.has_value();
        if (!solution) return fill_nan(out, 9);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) out[3 * r + c] = solution->rotation[r][c];
    });
}

void arm_direction(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                   const Input& theta_b, double* v3, bool* ok, std::int64_t workers) noexcept {
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const auto solution = arm::forward_kinematics(arm, *a, *b);
        double* out = v3 + 3 * i;
        ok[i] = solution.has_value();
        if (!solution) return fill_nan(out, 3);
        out[0] = solution->v_3.x;
        out[1] = solution->v_3.y;
        out[2] = solution->v_3.z;
    });
}

void arm_ik(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& rotations, double* pairs, bool* ok,
            std::int64_t workers) noexcept {
    for_each_element<1>(shape, {&rotations}, workers, [&](std::int64_t i, const double* r) {
        const auto pair = arm::inverse_kinematics(arm, mat3_at(r, rotations.inner[0], rotations.inner[1]));
        ok[i] = pair.has_value();
        write_pair(pairs + 2 * i, pair);
    });
}

void arm_ik_from_direction(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                           const Input* near, double* pairs, bool* ok, std::int64_t workers) noexcept {
    with_optional_pair(shape, directions, near, workers,
                       [&](std::int64_t i, const double* v, const std::optional<JointPair>& preferred) {
                           const auto pair =
                               arm::inverse_kinematics_from_direction(arm, vec3_at(v, directions.inner[0]), preferred);
                           ok[i] = pair.has_value();
                           write_pair(pairs + 2 * i, pair);
                       });
}

void arm_direction_solutions(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                             double* pairs, std::int64_t* count, std::int64_t workers) noexcept {
    constexpr int room = static_cast<int>(arm::DirectionSolutions::capacity);
    for_each_element<1>(shape, {&directions}, workers, [&](std::int64_t i, const double* v) {
        const arm::DirectionSolutions solutions = arm::direction_solutions(arm, vec3_at(v, directions.inner[0]));
        double* out = pairs + 2 * room * i;
        int k = 0;
        for (const JointPair& pair : solutions) {
            out[2 * k] = pair.theta_a;
            out[2 * k + 1] = pair.theta_b;
            ++k;
        }
        fill_nan(out + 2 * k, 2 * (room - k));
        count[i] = k;
    });
}

void arm_ik_path(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                 const Input* start, std::optional<double> max_step, double* pairs, bool* ok,
                 std::int64_t workers) noexcept {
    const std::int64_t steps = directions.extent[0];
    // Empty paths: nothing to walk, however many of them there are.
    if (steps == 0) return;
    const std::int64_t along = directions.inner[0];
    const std::int64_t component = directions.inner[1];
    const auto follow = [&](std::int64_t i, const double* path, std::optional<JointPair> last) {
        for (std::int64_t t = 0; t < steps; ++t) {
            double* out = pairs + 2 * (i * steps + t);
            bool& step_ok = ok[i * steps + t];
            auto pair = arm::inverse_kinematics_from_direction(arm, vec3_at(path + t * along, component), last);
            if (pair && max_step && last) {
                const double da = pair->theta_a - last->theta_a;
                const double db = pair->theta_b - last->theta_b;
                // A NaN distance (NaN in `start`) is not farther than anything.
                if (std::sqrt(da * da + db * db) > *max_step) pair.reset();
            }
            step_ok = pair.has_value();
            write_pair(out, pair);
            if (pair) last = pair;
        }
    };
    with_optional_pair(shape, directions, start, workers, follow);
}

}  // namespace velmora::batch
