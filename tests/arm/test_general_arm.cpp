// The general arm in the core: its joint and geometry Jacobians against central
// differences of forward kinematics, on random unequal arcs and tilted bases,
// and its candidates against the pose that made them.

#include <cmath>
#include <string>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::pi;

double largest(const Vec3& v) { return std::fmax(std::fabs(v.x), std::fmax(std::fabs(v.y), std::fabs(v.z))); }
Vec3 column(const Mat35& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }

// The frame's rate Rdot as the angular velocity omega of Rdot R^T = [omega]x.
Vec3 angular_rate(const Mat3& plus, const Mat3& minus, const Mat3& r, double step) {
    Mat3 spin{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int n = 0; n < 3; ++n) spin[i][j] += (plus[i][n] - minus[i][n]) / (2 * step) * r[j][n];
    return {0.5 * (spin[2][1] - spin[1][2]), 0.5 * (spin[0][2] - spin[2][0]), 0.5 * (spin[1][0] - spin[0][1])};
}

void test_derivatives_and_candidates() {
    constexpr double step = 1e-6;
    testing::Sampler s(2811);
    int compared = 0;
    double worst = 0.0;
    for (int i = 0; i < 20000; ++i) {
        const FiveBarGeometry g{s.uniform(0.3, 1.2), s.uniform(0.3, 1.2), s.uniform(0.3, 1.0), s.uniform(0.3, 1.0),
                                s.uniform(1.2, 1.95), s.coin() ? Branch::positive : Branch::negative, s.coin()};
        const SphericalFiveBar arm(g);
        const double a = s.uniform(-pi, pi), b = s.uniform(-pi, pi);
        const auto geometric = geometry_jacobians(arm, a, b);
        const auto joint = jacobians(arm, a, b);
        VT_CHECK(geometric.has_value() == joint.has_value());
        if (!geometric || std::fabs(geometric->closure) < 0.1 || smallest_singular_value(joint->j_v) < 1e-3) continue;
        ++compared;
        // The pose's own pair is among the candidates of its direction.
        bool found = false;
        for (const JointPair& pair : direction_solutions(arm, geometric->pose.v_3))
            found = found || (std::fabs(std::remainder(pair.theta_a - a, 2 * pi)) < 1e-8 &&
                              std::fabs(std::remainder(pair.theta_b - b, 2 * pi)) < 1e-8);
        VT_CHECK_MSG(found, "pose " + testing::show({a, b}) + " missing from its direction's solutions");
        double parameters[geometry_parameter_count] = {g.arm_arc_a, g.arm_arc_b, g.coupler_arc_a, g.coupler_arc_b,
                                                       g.base_angle};
        for (int p = 0; p < geometry_parameter_count; ++p) {
            const auto moved = [&](double delta) {
                double q[geometry_parameter_count];
                for (int k = 0; k < geometry_parameter_count; ++k) q[k] = parameters[k] + (k == p) * delta;
                return forward_kinematics(SphericalFiveBar({q[0], q[1], q[2], q[3], q[4], g.branch, g.mirror}), a, b);
            };
            const auto plus = moved(step), minus = moved(-step);
            if (!VT_CHECK(plus && minus)) continue;
            testing::track_worst(worst, largest((plus->v_3 - minus->v_3) / (2 * step) - column(geometric->v_3, p)));
            testing::track_worst(worst, largest(angular_rate(plus->rotation, minus->rotation, geometric->pose.rotation,
                                                             step) -
                                                column(geometric->omega, p)));
        }
        for (int k = 0; k < 2; ++k) {
            const auto plus = forward_kinematics(arm, a + (k == 0) * step, b + (k == 1) * step);
            const auto minus = forward_kinematics(arm, a - (k == 0) * step, b - (k == 1) * step);
            if (!VT_CHECK(plus && minus)) continue;
            const Vec3 j_v{joint->j_v[0][k], joint->j_v[1][k], joint->j_v[2][k]};
            testing::track_worst(worst, largest((plus->v_3 - minus->v_3) / (2 * step) - j_v));
        }
    }
    VT_CHECK_MSG(compared > 2000, "too few poses compared: " + std::to_string(compared));
    VT_CHECK_MSG(worst <= 1e-7, "worst difference " + testing::show(worst));
}

}  // namespace

int main() {
    test_derivatives_and_candidates();
    return testing::finish("test_general_arm");
}
