// The prepared core's time per call over the inputs bench/bench_batch.py
// writes, so that the batch functions can be held against it in one run.
// Usage: velmora_batch_core_timing DIR N   (DIR holds thetas.f64, rotations.f64,
// directions.f64, angles.f64: N raw doubles per column, C order)
// Prints one line per function: name and nanoseconds per call (best of 5). The
// velocity functions reuse the same columns: directions as pointing velocities,
// angles as angle rates and as angular velocities.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/arm_velocity.hpp"
#include "velmora_torso_kinematics/neck_kinematics.hpp"
#include "velmora_torso_kinematics/neck_velocity.hpp"

namespace {

using namespace velmora;

std::vector<double> read(const std::string& path, std::size_t count) {
    std::vector<double> values(count);
    std::ifstream file(path, std::ios::binary);
    file.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(double)));
    if (!file) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", count, path.c_str());
        std::exit(1);
    }
    return values;
}

// Writing each answer keeps the compiler from dropping the calls, as the
// batch loops write theirs.
template <class Body>
double best_ns_per_call(std::size_t n, const Body& body) {
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < n; ++i) body(i);
        const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count() / static_cast<double>(n));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR N\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const auto n = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
    const auto thetas = read(dir + "/thetas.f64", 2 * n);
    const auto rotations = read(dir + "/rotations.f64", 9 * n);
    const auto directions = read(dir + "/directions.f64", 3 * n);
    const auto angles = read(dir + "/angles.f64", 3 * n);
    const arm::SphericalFiveBar arm(arm::default_left());
    std::vector<double> out(9 * n);
    std::vector<char> ok(n);

    const auto mat = [](const double* p) {
        Mat3 m;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = p[3 * i + j];
        return m;
    };
    const auto store_pair = [&](std::size_t i, const std::optional<JointPair>& pair) {
        ok[i] = pair.has_value();
        out[2 * i] = pair ? pair->theta_a : 0.0;
        out[2 * i + 1] = pair ? pair->theta_b : 0.0;
    };

    std::printf("fk %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto s = arm::forward_kinematics(arm, thetas[2 * i], thetas[2 * i + 1]);
        ok[i] = s.has_value();
        if (s)
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) out[9 * i + 3 * r + c] = s->rotation[r][c];
    }));
    std::printf("direction %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto s = arm::forward_kinematics(arm, thetas[2 * i], thetas[2 * i + 1]);
        ok[i] = s.has_value();
        if (s) out[3 * i] = s->v_3.x, out[3 * i + 1] = s->v_3.y, out[3 * i + 2] = s->v_3.z;
    }));
    std::printf("ik %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        store_pair(i, arm::inverse_kinematics(arm, mat(&rotations[9 * i])));
    }));
    std::printf("ik_from_direction %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const double* d = &directions[3 * i];
        store_pair(i, arm::inverse_kinematics_from_direction(arm, {d[0], d[1], d[2]}, std::nullopt));
    }));
    std::printf("neck_fk %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const Mat3 r = neck::forward_kinematics({angles[3 * i], angles[3 * i + 1], angles[3 * i + 2]});
        for (int row = 0; row < 3; ++row)
            for (int c = 0; c < 3; ++c) out[9 * i + 3 * row + c] = r[row][c];
    }));
    std::printf("neck_ik %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto a = neck::inverse_kinematics(mat(&rotations[9 * i]));
        ok[i] = a.has_value();
        if (a) out[3 * i] = a->yaw, out[3 * i + 1] = a->pitch, out[3 * i + 2] = a->roll;
    }));
    const auto vec = [](const double* p) { return Vec3{p[0], p[1], p[2]}; };
    // Both 3x2 matrices of an element side by side, as the batch writes them to its two outputs.
    out.resize(12 * n);
    std::printf("jacobian %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto j = arm::jacobians(arm, thetas[2 * i], thetas[2 * i + 1]);
        ok[i] = j.has_value();
        if (!j) return;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 2; ++c) out[12 * i + 2 * r + c] = j->j_omega[r][c], out[12 * i + 6 + 2 * r + c] = j->j_v[r][c];
    }));
    std::printf("singularity_measure %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto m = arm::singularity_measure(arm, thetas[2 * i], thetas[2 * i + 1]);
        ok[i] = m.has_value();
        out[i] = m ? *m : 0.0;
    }));
    std::printf("joint_rates %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        store_pair(i, arm::joint_rates(arm, thetas[2 * i], thetas[2 * i + 1], vec(&directions[3 * i])));
    }));
    std::printf("direction_solutions %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const auto solutions = arm::direction_solutions(arm, vec(&directions[3 * i]));
        ok[i] = static_cast<char>(solutions.size());
        for (std::size_t k = 0; k < solutions.size(); ++k)
            out[8 * i + 2 * k] = solutions[k].theta_a, out[8 * i + 2 * k + 1] = solutions[k].theta_b;
    }));
    std::printf("neck_rates %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const double* a = &angles[3 * i];
        const Vec3 w = neck::angular_velocity({a[0], a[1], a[2]}, {a[2], a[1], a[0]});
        out[3 * i] = w.x, out[3 * i + 1] = w.y, out[3 * i + 2] = w.z;
    }));
    std::printf("neck_angle_rates %.2f\n", best_ns_per_call(n, [&](std::size_t i) {
        const double* a = &angles[3 * i];
        const auto r = neck::angle_rates({a[0], a[1], a[2]}, vec(&directions[3 * i]));
        ok[i] = r.has_value();
        if (r) out[3 * i] = r->yaw, out[3 * i + 1] = r->pitch, out[3 * i + 2] = r->roll;
    }));
    return 0;
}
