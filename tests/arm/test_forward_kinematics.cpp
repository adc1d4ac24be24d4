// Forward kinematics of the spherical five-bar arm: loop closure, frame, failures.

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "support/arm_fixtures.hpp"
#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace {

using namespace velmora;
using namespace velmora::arm;
using testing::inf;
using testing::nan;
using testing::pi;

using testing::check_vec;
using testing::column;
using testing::left;
using testing::left_negative;
using testing::right;
using testing::triple;

// The point lies on both small circles and on the unit sphere, on the side sigma picks.
void test_intersect_small_circles() {
    const double s = std::sqrt(0.5);
    const double overlong = 1 + 1e-9;  // the centres' cosine passes +-1, as rounding can make it: clamped
    struct Case { const char* name; Vec3 a; double rho_a; Vec3 b; double rho_b; bool meets; };
    const Case cases[] = {
        {"orthogonal centres", {0, 0, 1}, 0.9, {1, 0, 0}, 1.0, true},
        {"oblique centres", {0, s, s}, 0.4, {1, 0, 0}, 1.3, true},
        {"unequal radii", {0.6, 0.0, 0.8}, 0.2, {0.8, 0.0, 0.6}, 0.3, true},
        {"circles too small to meet", {0, 0, 1}, 0.3, {1, 0, 0}, 0.3, false},
        {"one circle inside the other", {0, 0, 1}, 0.1, {0, s, s}, 1.2, false},
        {"parallel centres", {0, 0, overlong}, 0.5, {0, 0, overlong}, 0.5, false},
        {"opposite centres", {0, 0, overlong}, 0.5, {0, 0, -overlong}, 2.6, false},
    };
    for (const Case& c : cases) {
        for (const double sigma : {1.0, -1.0}) {
            const std::optional<Vec3> x = intersect_small_circles(c.a, c.rho_a, c.b, c.rho_b, sigma);
            if (!VT_CHECK_MSG(x.has_value() == c.meets, c.name) || !x) continue;
            VT_CHECK_NEAR(dot(*x, c.a), std::cos(c.rho_a), 1e-15);
            VT_CHECK_NEAR(dot(*x, c.b), std::cos(c.rho_b), 1e-15);
            VT_CHECK_NEAR(dot(*x, *x), 1.0, 1e-15);
            VT_CHECK_MSG(sigma * triple(*x, c.a, c.b) > 0.0, c.name);
        }
    }
    // Touching circles (u rounds to exactly 0) give their one point on either side;
    // a NaN centre fails no test and comes back as a NaN point.
    for (const double sigma : {1.0, -1.0}) {
        const auto touching = intersect_small_circles({1, 0, 0}, pi / 2, {0, 1, 0}, 0.0, sigma);
        if (VT_CHECK(touching.has_value())) check_vec(*touching, {0, 1, 0}, 1e-15, "touching circles");
        const auto poisoned = intersect_small_circles({nan, 0, 1}, 0.5, {1, 0, 0}, 0.5, sigma);
        VT_CHECK(poisoned.has_value() && std::isnan(poisoned->x) && std::isnan(poisoned->z));
    }
}

// Quoted configurations, closure failures, and non-finite inputs that pass every test and come
// out as NaN. `quoted` counts the columns given, from v_3 back to X; 0: the loop does not close.
void test_configurations() {
    constexpr Vec3 n = testing::nan3;
    const double quarter_pi_arc = 0.7853981633974483;  // sin and cos round alike: coincident elbows
    struct Case { const char* name; SphericalLinkGeometry g; double theta_a, theta_b; int quoted; Vec3 x, y, v_3;
                  double tol; };
    const Case cases[] = {
        {"left rest", left, 0.0, 0.0, 3, {0.334817, -0.880792, 0.334817}, {0.707107, 0.0, -0.707107},
         {0.622814, 0.473503, 0.622814}, 1e-6},
        {"left negative branch rest", left_negative, 0.0, 0.0, 3, {0.334817, 0.880792, 0.334817},
         {-0.707107, 0.0, 0.707107}, {0.622814, -0.473503, 0.622814}, 1e-6},
        {"right rest (left with x and y negated)", right, 0.0, 0.0, 3, {-0.334817, 0.880792, 0.334817},
         {-0.707107, 0.0, -0.707107}, {-0.622814, -0.473503, 0.622814}, 1e-6},
        {"left (0.3, -0.2)", left, 0.3, -0.2, 3, {0.232089330, -0.755314733, 0.612890037},
         {0.712017034, -0.297360434, -0.636088450}, {0.662696224, 0.584017488, 0.468782772}, 1e-9},
        {"left (0.5, 0.5)", left, 0.5, 0.5, 1, {}, {}, {0.891191, 0.149494, 0.428287}, 1e-6},
        {"left (0.3, -0.4)", left, 0.3, -0.4, 1, {}, {}, {0.456132, 0.636509, 0.621932}, 1e-6},
        {"right (0.3, -0.4)", right, 0.3, -0.4, 1, {}, {}, {-0.456132, -0.636509, 0.621932}, 1e-6},
        {"elbows too far apart", left, 0.0, pi / 2, 0, {}, {}, {}, 0},
        {"coincident elbows", {quarter_pi_arc, 0.5, Branch::positive, false}, 0.0, 0.0, 0, {}, {}, {}, 0},
        {"coupler too short", {0.7, 0.05, Branch::positive, false}, 0.0, 0.0, 0, {}, {}, {}, 0},
        {"NaN theta_a", left, nan, 0.0, 3, n, n, n, 0},
        {"infinite theta_b", left, 0.0, inf, 3, n, n, n, 0},
        {"NaN arm_arc", {nan, 0.5, Branch::positive, false}, 0.3, -0.2, 3, n, n, n, 0},
        {"NaN coupler_arc", {0.7, nan, Branch::positive, false}, 0.3, -0.2, 3, n, n, n, 0},
        // Coincident elbows fail before the NaN radius is looked at.
        {"NaN coupler_arc, coincident elbows", {quarter_pi_arc, nan, Branch::positive, false}, 0.0, 0.0, 0, {}, {},
         {}, 0},
    };
    for (const Case& c : cases) {
        const std::optional<FkSolution> fk = forward_kinematics(c.g, c.theta_a, c.theta_b);
        if (!VT_CHECK_MSG(fk.has_value() == (c.quoted > 0), c.name) || !fk) continue;
        const Vec3 columns[] = {c.x, c.y, c.v_3};
        for (int j = 3 - c.quoted; j < 3; ++j) check_vec(column(fk->rotation, j), columns[j], c.tol, c.name);
        check_vec(fk->v_3, c.v_3, c.tol, c.name);
    }
    // A zero joint angle turns nothing: the elbows sit at their rest poses bit for bit.
    if (const auto rest = forward_kinematics(left, 0.0, -0.0); VT_CHECK(rest.has_value())) {
        check_vec(rest->v_2, {std::sin(0.7), 0.0, std::cos(0.7)}, 0.0, "rest v_2");
        check_vec(rest->v_4, {std::cos(0.7), 0.0, std::sin(0.7)}, 0.0, "rest v_4");
    }
    // Elbows at exactly twice the coupler arc: the closure sits on their bisector, so X
    // falls back to the body x axis projected off v_3.
    const SphericalLinkGeometry touching{0.0545, 0.73089816339744829, Branch::positive, false};
    if (const auto fk = forward_kinematics(touching, 0.0, 0.0); VT_CHECK(fk.has_value())) {
        const double s = std::sqrt(0.5);
        check_vec(fk->v_3, {s, 0.0, s}, 1e-12, "touching closure v_3");
        check_vec(column(fk->rotation, 0), {s, 0.0, -s}, 1e-12, "auxiliary X");
        check_vec(column(fk->rotation, 1), {0.0, 1.0, 0.0}, 1e-12, "auxiliary Y");
    }
}

// Invariants over random geometries and joint pairs. Rounding of the closure grows as the
// elbows approach (anti)parallel (the sine t of their angle, squared, divides the in-plane
// terms) and as the circles approach tangency (h is a square root), so frame and period
// errors are judged in units of eps * (1 + 1/t^2 + 1/|h|).
void test_properties() {
    testing::Sampler sample(0x5eed'f0c0ULL);
    constexpr double eps = std::numeric_limits<double>::epsilon();
    constexpr int samples = 20000;
    int closed = 0;
    double frame = 0, period = 0, coupler = 0, arm = 0, mirror = 0, branch = 0;
    for (int i = 0; i < samples; ++i) {
        const double arm_arc = sample.uniform(0.2, 1.4), coupler_arc = sample.uniform(0.2, 1.4);
        const Branch side = sample.coin() ? Branch::positive : Branch::negative;
        const SphericalLinkGeometry g{arm_arc, coupler_arc, side, sample.coin()};
        const double theta_a = sample.uniform(-pi, pi), theta_b = sample.uniform(-pi, pi);
        const std::optional<FkSolution> fk = forward_kinematics(g, theta_a, theta_b);
        if (!fk) continue;
        ++closed;
        const Mat3& r = fk->rotation;
        const double d = dot(fk->v_2, fk->v_4), t = std::sqrt(1.0 - d * d);
        const double h = std::fabs(triple(fk->v_3, fk->v_2, fk->v_4)) / t;
        const double unit = eps * (1.0 + 1.0 / (t * t) + 1.0 / h);

        testing::track_worst(frame, std::fabs(triple(column(r, 0), column(r, 1), column(r, 2)) - 1.0) / unit);
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                testing::track_worst(frame, std::fabs(dot(column(r, a), column(r, b)) - (a == b)) / unit);
        // v_3 is column 2 bit for bit.
        VT_CHECK(r[0][2] == fk->v_3.x && r[1][2] == fk->v_3.y && r[2][2] == fk->v_3.z);
        const double cos_coupler = std::cos(coupler_arc), cos_arm = std::cos(arm_arc);
        testing::track_worst(coupler, std::fabs(dot(fk->v_2, fk->v_3) - cos_coupler));
        testing::track_worst(coupler, std::fabs(dot(fk->v_4, fk->v_3) - cos_coupler));
        testing::track_worst(arm, std::fabs(fk->v_2.z - cos_arm));
        testing::track_worst(arm, std::fabs((g.mirror ? -fk->v_4.x : fk->v_4.x) - cos_arm));
        testing::track_worst(branch, -(side == Branch::positive ? 1 : -1) * triple(fk->v_3, fk->v_2, fk->v_4));

        // The mirror image is the same arm turned by pi about z; whole turns change nothing.
        const auto image = forward_kinematics({arm_arc, coupler_arc, side, !g.mirror}, theta_a, theta_b);
        const auto turned = forward_kinematics(g, theta_a + 2 * pi, theta_b - 2 * pi);
        if (!VT_CHECK(image && turned)) continue;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                testing::track_worst(mirror, std::fabs(image->rotation[a][b] - (a < 2 ? -r[a][b] : r[a][b])));
                testing::track_worst(period, std::fabs(turned->rotation[a][b] - r[a][b]) / unit);
            }
    }
    std::printf("forward kinematics properties: %d of %d pairs closed; worst: frame %.2f and 2*pi period %.2f eps x "
                "conditioning, coupler %.3g, arm %.3g, mirror %.3g, branch %.3g\n", closed, samples, frame, period,
                coupler, arm, mirror, branch);
    VT_CHECK(closed > samples / 5);  // the loop above must not be vacuous
    VT_CHECK(frame < 16.0);
    VT_CHECK(period < 64.0);
    VT_CHECK(coupler < 8 * eps);
    VT_CHECK(arm < eps);
    VT_CHECK(mirror < 4 * eps);
    VT_CHECK(branch < eps);
}

}  // namespace

int main() {
    test_intersect_small_circles();
    test_configurations();
    test_properties();
    return velmora::testing::finish("test_forward_kinematics");
}
