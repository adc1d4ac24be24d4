#include "batch/arm_loops.hpp"

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

void arm_ik(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& rotations, const Limits& limits,
            double margin, double* pairs, bool* ok, std::int64_t workers) noexcept {
    const arm::Admissible admissible{limits, margin};
    for_each_element<1>(shape, {&rotations}, workers, [&](std::int64_t i, const double* r) {
        const Mat3 target = mat3_at(r, rotations.inner[0], rotations.inner[1]);
        const auto pair = arm::inverse_kinematics(arm, target, admissible);
        ok[i] = pair.has_value();
        write_pair(pairs + 2 * i, pair);
    });
}

void arm_ik_from_direction(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                           const Input* near, const Limits& limits, double margin, double* pairs, bool* ok,
                           std::int64_t workers) noexcept {
    const arm::Admissible admissible{limits, margin};
    with_optional_pair(shape, directions, near, workers,
                       [&](std::int64_t i, const double* v, const std::optional<JointPair>& preferred) {
                           const Vec3 direction = vec3_at(v, directions.inner[0]);
                           const auto pair =
                               arm::inverse_kinematics_from_direction(arm, direction, preferred, admissible);
                           ok[i] = pair.has_value();
                           write_pair(pairs + 2 * i, pair);
                       });
}

void arm_direction_solutions(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                             const Limits& limits, double margin, double* pairs, std::int64_t* count,
                             std::int64_t workers) noexcept {
    constexpr int room = static_cast<int>(arm::DirectionSolutions::capacity);
    const arm::Admissible admissible{limits, margin};
    for_each_element<1>(shape, {&directions}, workers, [&](std::int64_t i, const double* v) {
        const Vec3 direction = vec3_at(v, directions.inner[0]);
        const arm::DirectionSolutions solutions = arm::direction_solutions(arm, direction, admissible);
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

void arm_ik_path(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions, const Input* start,
                 std::optional<double> max_step, const Limits& limits, double margin, double* pairs, bool* ok,
                 std::int64_t workers) noexcept {
    const arm::Admissible admissible{limits, margin};
    const std::int64_t steps = directions.extent[0];
    // Empty paths: nothing to walk, however many of them there are.
    if (steps == 0) return;
    const std::int64_t along = directions.inner[0];
    const std::int64_t component = directions.inner[1];
    const auto walk = [&](std::int64_t i, const double* path, std::optional<JointPair> last) {
        for (std::int64_t t = 0; t < steps; ++t) {
            const auto pair = arm::path_step(arm, vec3_at(path + t * along, component), last, max_step, admissible);
            ok[i * steps + t] = pair.has_value();
            if (pair) last = pair;
            // A failed step holds the arm where it was: every row is a command.
            write_pair(pairs + 2 * (i * steps + t), last);
        }
    };
    with_optional_pair(shape, directions, start, workers, walk);
}

void arm_follow(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions, const Input& start,
                const arm::FollowSettings& settings, double* pairs, std::int8_t* status,
                std::int64_t workers) noexcept {
    const std::int64_t steps = directions.extent[0];
    if (steps == 0) return;
    const std::int64_t along = directions.inner[0];
    const std::int64_t component = directions.inner[1];
    with_optional_pair(shape, directions, &start, workers,
                       [&](std::int64_t i, const double* path, const std::optional<JointPair>& first) {
                           std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(arm, *first, settings);
                           for (std::int64_t t = 0; t < steps; ++t) {
                               double* out = pairs + 2 * (i * steps + t);
                               std::int8_t& code = status[i * steps + t];
                               // Starts are checked before the walk; one that slipped through holds NaN.
                               if (!follower) {
                                   fill_nan(out, 2);
                                   code = static_cast<std::int8_t>(FollowStatus::holding);
                                   continue;
                               }
                               const arm::FollowStep step = follower->step(vec3_at(path + t * along, component));
                               out[0] = step.pair.theta_a;
                               out[1] = step.pair.theta_b;
                               code = static_cast<std::int8_t>(step.status);
                           }
                       });
}

void arm_closure_margin(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& theta_a,
                        const Input& theta_b, double* margin, std::int64_t workers) noexcept {
    for_each_element<2>(shape, {&theta_a, &theta_b}, workers, [&](std::int64_t i, const double* a, const double* b) {
        const std::optional<double> value = arm::closure_margin(arm, *a, *b);
        margin[i] = value ? *value : std::nan("");
    });
}

void arm_nearest_reachable(const Shape& shape, const arm::SphericalFiveBar& arm, const Input& directions,
                           const Limits& limits, double margin, double* pairs, double* v3, double* angle,
                           std::int64_t workers) noexcept {
    const arm::Admissible admissible{limits, margin};
    for_each_element<1>(shape, {&directions}, workers, [&](std::int64_t i, const double* v) {
        const std::optional<arm::Reach> reach =
            arm::nearest_reachable(arm, vec3_at(v, directions.inner[0]), admissible);
        if (!reach) {
            fill_nan(pairs + 2 * i, 2);
            fill_nan(v3 + 3 * i, 3);
            angle[i] = std::nan("");
            return;
        }
        pairs[2 * i] = reach->pair.theta_a;
        pairs[2 * i + 1] = reach->pair.theta_b;
        v3[3 * i] = reach->v_3.x;
        v3[3 * i + 1] = reach->v_3.y;
        v3[3 * i + 2] = reach->v_3.z;
        angle[i] = reach->angle;
    });
}

bool all_finite_pairs(const Shape& shape, const Input& pairs) noexcept {
    const std::int64_t step = pairs.inner[0];
    bool finite = true;
    for_each_element<1>(shape, {&pairs}, 1, [&](std::int64_t, const double* p) {
        finite = finite && std::isfinite(p[0]) && std::isfinite(p[step]);
    });
    return finite;
}

std::optional<std::int64_t> first_unusable_start(const Shape& shape, const arm::SphericalFiveBar& arm,
                                                 const Input& start, const arm::FollowSettings& settings) noexcept {
    const std::int64_t step = start.inner[0];
    // Sequential: the first one in order is the one a message names.
    std::optional<std::int64_t> first;
    for_each_element<1>(shape, {&start}, 1, [&](std::int64_t i, const double* p) {
        if (!first && arm::follower_fault(arm, {p[0], p[step]}, settings)) first = i;
    });
    return first;
}

}  // namespace velmora::batch
