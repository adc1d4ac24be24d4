// Forward kinematics of the spherical five-bar arm: loop closure, frame, failures.

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <random>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace {

using velmora::Mat3;
using velmora::Vec3;
using velmora::arm::Branch;
using velmora::arm::FkSolution;
using velmora::arm::forward_kinematics;
using velmora::arm::intersect_small_circles;
using velmora::arm::SphericalLinkGeometry;

constexpr double pi = std::numbers::pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

constexpr SphericalLinkGeometry left{0.7, 0.5, Branch::positive, false};
constexpr SphericalLinkGeometry left_negative{0.7, 0.5, Branch::negative, false};
constexpr SphericalLinkGeometry right{0.7, 0.5, Branch::positive, true};

Vec3 column(const Mat3& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }

double triple(const Vec3& a, const Vec3& b, const Vec3& c) { return dot(a, cross(b, c)); }

double determinant(const Mat3& m) {
    return triple(column(m, 0), column(m, 1), column(m, 2));
}

bool all_nan(const Mat3& m) {
    for (const auto& row : m)
        for (double e : row)
            if (!std::isnan(e)) return false;
    return true;
}

void check_vec_near(const Vec3& got, const Vec3& want, double tol, const char* what) {
    const bool ok = velmora::testing::near(got.x, want.x, tol) &&
                    velmora::testing::near(got.y, want.y, tol) &&
                    velmora::testing::near(got.z, want.z, tol);
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s: got (%.17g, %.17g, %.17g), want (%.17g, %.17g, %.17g)", what,
                  got.x, got.y, got.z, want.x, want.y, want.z);
    VT_CHECK_MSG(ok, buf);
}

void check_mat_near(const Mat3& got, const Mat3& want, double tol, const char* what) {
    for (int j = 0; j < 3; ++j) check_vec_near(column(got, j), column(want, j), tol, what);
}

// The point lies on both small circles, on the unit sphere, on the requested side.
void test_intersect_small_circles() {
    struct Case {
        const char* name;
        Vec3 a;
        double rho_a;
        Vec3 b;
        double rho_b;
        bool meets;
    };
    const double s = std::sqrt(0.5);
    const Case cases[] = {
        {"orthogonal centres", {0, 0, 1}, 0.9, {1, 0, 0}, 1.0, true},
        {"oblique centres", {0, s, s}, 0.4, {1, 0, 0}, 1.3, true},
        {"unequal radii", {0.6, 0.0, 0.8}, 0.2, {0.8, 0.0, 0.6}, 0.3, true},
        {"circles too small to meet", {0, 0, 1}, 0.3, {1, 0, 0}, 0.3, false},
        {"one circle inside the other", {0, 0, 1}, 0.1, {0, s, s}, 1.2, false},
        {"parallel centres", {0, 0, 1}, 0.5, {0, 0, 1}, 0.5, false},
        {"opposite centres", {0, 0, 1}, 0.5, {0, 0, -1}, 2.6, false},
        // Rounding makes the cosine exceed 1; clamping turns it into "parallel".
        {"overlong parallel centres", {0, 0, 1 + 1e-9}, 0.5, {0, 0, 1 + 1e-9}, 0.5, false},
    };
    for (const Case& c : cases) {
        for (const double sigma : {1.0, -1.0}) {
            const std::optional<Vec3> x = intersect_small_circles(c.a, c.rho_a, c.b, c.rho_b, sigma);
            VT_CHECK_MSG(x.has_value() == c.meets, c.name);
            if (!x || !c.meets) continue;
            VT_CHECK_NEAR(dot(*x, c.a), std::cos(c.rho_a), 1e-15);
            VT_CHECK_NEAR(dot(*x, c.b), std::cos(c.rho_b), 1e-15);
            VT_CHECK_NEAR(dot(*x, *x), 1.0, 1e-15);
            VT_CHECK_MSG(sigma * triple(*x, c.a, c.b) > 0.0, c.name);
        }
    }

    // Touching circles (u rounds to exactly 0) still give their single point, on both sides.
    const std::optional<Vec3> plus = intersect_small_circles({1, 0, 0}, pi / 2, {0, 1, 0}, 0.0, 1.0);
    const std::optional<Vec3> minus = intersect_small_circles({1, 0, 0}, pi / 2, {0, 1, 0}, 0.0, -1.0);
    VT_CHECK(plus.has_value() && minus.has_value());
    if (plus && minus) {
        check_vec_near(*plus, {0, 1, 0}, 1e-15, "touching circles, sigma +1");
        check_vec_near(*minus, *plus, 0.0, "touching circles, sigma -1");
    }

    // A NaN centre fails no test: the point comes back as NaN.
    const std::optional<Vec3> poisoned = intersect_small_circles({nan, 0, 1}, 0.5, {1, 0, 0}, 0.5, 1.0);
    VT_CHECK(poisoned.has_value() && std::isnan(poisoned->x) && std::isnan(poisoned->z));
}

// Reference configurations of the preset arms.
void test_reference_configurations() {
    struct Case {
        const char* name;
        SphericalLinkGeometry geometry;
        double theta_a;
        double theta_b;
        Mat3 rotation;
        double tol;
    };
    const Case cases[] = {
        {"left rest",
         left, 0.0, 0.0,
         {{{0.334817, 0.707107, 0.622814}, {-0.880792, 0.0, 0.473503}, {0.334817, -0.707107, 0.622814}}},
         1e-6},
        {"left negative branch rest",
         left_negative, 0.0, 0.0,
         {{{0.334817, -0.707107, 0.622814}, {0.880792, 0.0, -0.473503}, {0.334817, 0.707107, 0.622814}}},
         1e-6},
        {"right rest (left with x and y negated)",
         right, 0.0, 0.0,
         {{{-0.334817, -0.707107, -0.622814}, {0.880792, 0.0, -0.473503}, {0.334817, -0.707107, 0.622814}}},
         1e-6},
        {"left (0.3, -0.2)",
         left, 0.3, -0.2,
         {{{0.232089330, 0.712017034, 0.662696224},
           {-0.755314733, -0.297360434, 0.584017488},
           {0.612890037, -0.636088450, 0.468782772}}},
         1e-9},
    };
    for (const Case& c : cases) {
        const std::optional<FkSolution> fk = forward_kinematics(c.geometry, c.theta_a, c.theta_b);
        VT_CHECK_MSG(fk.has_value(), c.name);
        if (fk) check_mat_near(fk->rotation, c.rotation, c.tol, c.name);
    }

    struct Direction {
        const char* name;
        SphericalLinkGeometry geometry;
        double theta_a;
        double theta_b;
        Vec3 v_3;
    };
    const Direction directions[] = {
        {"left (0.5, 0.5)", left, 0.5, 0.5, {0.891191, 0.149494, 0.428287}},
        {"left (0.3, -0.4)", left, 0.3, -0.4, {0.456132, 0.636509, 0.621932}},
        {"right (0.3, -0.4)", right, 0.3, -0.4, {-0.456132, -0.636509, 0.621932}},
    };
    for (const Direction& c : directions) {
        const std::optional<FkSolution> fk = forward_kinematics(c.geometry, c.theta_a, c.theta_b);
        VT_CHECK_MSG(fk.has_value(), c.name);
        if (fk) check_vec_near(fk->v_3, c.v_3, 1e-6, c.name);
    }

    // A zero joint angle is the exact identity: the elbows sit at their rest poses bit for bit.
    const std::optional<FkSolution> rest = forward_kinematics(left, 0.0, -0.0);
    VT_CHECK(rest.has_value());
    if (rest) {
        check_vec_near(rest->v_2, {std::sin(0.7), 0.0, std::cos(0.7)}, 0.0, "rest v_2");
        check_vec_near(rest->v_4, {std::cos(0.7), 0.0, std::sin(0.7)}, 0.0, "rest v_4");
    }
}

// Closure failures and non-finite inputs.
void test_closure_failures_and_nan() {
    struct Case {
        const char* name;
        SphericalLinkGeometry geometry;
        double theta_a;
        double theta_b;
        bool closes;
        bool all_nan;
    };
    const double quarter_pi_arc = 0.7853981633974483;
    const Case cases[] = {
        {"elbows too far apart", left, 0.0, pi / 2, false, false},
        {"elbows too far apart, right arm", right, 0.0, pi / 2, false, false},
        {"coincident elbows", {quarter_pi_arc, 0.5, Branch::positive, false}, 0.0, 0.0, false, false},
        {"coupler too short", {0.7, 0.05, Branch::positive, false}, 0.0, 0.0, false, false},
        {"NaN theta_a", left, nan, 0.0, true, true},
        {"infinite theta_b", left, 0.0, inf, true, true},
        {"NaN arm_arc", {nan, 0.5, Branch::positive, false}, 0.3, -0.2, true, true},
        {"NaN coupler_arc", {0.7, nan, Branch::positive, false}, 0.3, -0.2, true, true},
        // Coincident elbows fail before the NaN radius is looked at.
        {"NaN coupler_arc, coincident elbows", {quarter_pi_arc, nan, Branch::positive, false}, 0.0, 0.0,
         false, false},
    };
    for (const Case& c : cases) {
        const std::optional<FkSolution> fk = forward_kinematics(c.geometry, c.theta_a, c.theta_b);
        VT_CHECK_MSG(fk.has_value() == c.closes, c.name);
        if (fk && c.all_nan) {
            VT_CHECK_MSG(all_nan(fk->rotation), c.name);
            VT_CHECK_MSG(std::isnan(fk->v_3.x) && std::isnan(fk->v_3.y) && std::isnan(fk->v_3.z), c.name);
        }
    }
}

// Elbows at exactly twice the coupler arc: the closure sits on the elbows' bisector,
// so X falls back to the body x axis projected off v_3.
void test_degenerate_bisector_frame() {
    const SphericalLinkGeometry touching{0.0545, 0.73089816339744829, Branch::positive, false};
    const std::optional<FkSolution> fk = forward_kinematics(touching, 0.0, 0.0);
    VT_CHECK(fk.has_value());
    if (!fk) return;
    const double s = std::sqrt(0.5);
    check_vec_near(fk->v_3, {s, 0.0, s}, 1e-12, "touching closure v_3");
    check_vec_near(column(fk->rotation, 0), {s, 0.0, -s}, 1e-12, "auxiliary X");
    check_vec_near(column(fk->rotation, 1), {0.0, 1.0, 0.0}, 1e-12, "auxiliary Y");
}

// Rounding error of the closure grows as the elbows approach (anti)parallel (the
// sine t of their angle, squared, divides the in-plane terms) and as the circles
// approach tangency (the out-of-plane term h is a square root). Frame errors are
// judged relative to eps * (1 + 1/t^2 + 1/|h|).
double closure_conditioning(const FkSolution& fk) {
    const double d = dot(fk.v_2, fk.v_4);
    const double t = std::sqrt(1.0 - d * d);
    const double h = std::fabs(triple(fk.v_3, fk.v_2, fk.v_4)) / t;
    return 1.0 + 1.0 / (t * t) + 1.0 / h;
}

double max_abs_difference(const Mat3& a, const Mat3& b) {
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) worst = std::fmax(worst, std::fabs(a[i][j] - b[i][j]));
    return worst;
}

// Invariants over many geometries and joint pairs.
void test_properties() {
    std::mt19937_64 rng(0x5eed'f0c0ULL);
    std::uniform_real_distribution<double> arc(0.2, 1.4);
    std::uniform_real_distribution<double> angle(-pi, pi);
    std::bernoulli_distribution coin(0.5);
    constexpr double eps = std::numeric_limits<double>::epsilon();

    int closed = 0;
    double worst_frame = 0.0;      // orthonormality and determinant, in units of eps * conditioning
    double worst_frame_abs = 0.0;  // the same, absolute
    double worst_period = 0.0;     // 2*pi shift, in units of eps * conditioning
    double worst_coupler = 0.0;
    double worst_arm = 0.0;
    double worst_mirror = 0.0;
    double worst_branch = 0.0;  // most negative s * v_3 . (v_2 x v_4)
    constexpr int samples = 20000;
    for (int i = 0; i < samples; ++i) {
        const SphericalLinkGeometry g{arc(rng), arc(rng), coin(rng) ? Branch::positive : Branch::negative,
                                      coin(rng)};
        const double theta_a = angle(rng);
        const double theta_b = angle(rng);
        const std::optional<FkSolution> fk = forward_kinematics(g, theta_a, theta_b);
        if (!fk) continue;
        ++closed;
        const Mat3& r = fk->rotation;
        const double conditioning = closure_conditioning(*fk);

        double frame_error = std::fabs(determinant(r) - 1.0);
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                const double want = a == b ? 1.0 : 0.0;
                frame_error = std::fmax(frame_error, std::fabs(dot(column(r, a), column(r, b)) - want));
            }
        worst_frame = std::fmax(worst_frame, frame_error / (eps * conditioning));
        worst_frame_abs = std::fmax(worst_frame_abs, frame_error);

        // v_3 is column 2 bit for bit.
        VT_CHECK(r[0][2] == fk->v_3.x && r[1][2] == fk->v_3.y && r[2][2] == fk->v_3.z);

        const double cos_coupler = std::cos(g.coupler_arc);
        worst_coupler = std::fmax(worst_coupler, std::fabs(dot(fk->v_2, fk->v_3) - cos_coupler));
        worst_coupler = std::fmax(worst_coupler, std::fabs(dot(fk->v_4, fk->v_3) - cos_coupler));
        const double m = g.mirror ? -1.0 : 1.0;
        const double cos_arm = std::cos(g.arm_arc);
        worst_arm = std::fmax(worst_arm, std::fabs(fk->v_2.z - cos_arm));
        worst_arm = std::fmax(worst_arm, std::fabs(m * fk->v_4.x - cos_arm));

        const double s = g.branch == Branch::positive ? 1.0 : -1.0;
        worst_branch = std::fmin(worst_branch, s * triple(fk->v_3, fk->v_2, fk->v_4));

        // The mirror image is the same arm turned by pi about z.
        SphericalLinkGeometry mirrored = g;
        mirrored.mirror = !g.mirror;
        const std::optional<FkSolution> image = forward_kinematics(mirrored, theta_a, theta_b);
        VT_CHECK(image.has_value());
        if (image) {
            for (int j = 0; j < 3; ++j) {
                worst_mirror = std::fmax(worst_mirror, std::fabs(image->rotation[0][j] + r[0][j]));
                worst_mirror = std::fmax(worst_mirror, std::fabs(image->rotation[1][j] + r[1][j]));
                worst_mirror = std::fmax(worst_mirror, std::fabs(image->rotation[2][j] - r[2][j]));
            }
        }

        const std::optional<FkSolution> turned = forward_kinematics(g, theta_a + 2 * pi, theta_b - 2 * pi);
        VT_CHECK(turned.has_value());
        if (turned) {
            worst_period =
                std::fmax(worst_period, max_abs_difference(turned->rotation, r) / (eps * conditioning));
        }
    }
    std::printf("forward kinematics properties: %d of %d pairs closed; worst: frame %.3g (%.2f eps x "
                "conditioning), 2*pi period %.2f eps x conditioning, coupler cosine %.3g, arm cosine %.3g, "
                "mirror %.3g, branch triple product %.3g\n",
                closed, samples, worst_frame_abs, worst_frame, worst_period, worst_coupler, worst_arm,
                worst_mirror, worst_branch);
    VT_CHECK(closed > samples / 5);  // the loop above must not be vacuous
    VT_CHECK(worst_frame < 16.0);
    VT_CHECK(worst_period < 64.0);
    VT_CHECK(worst_coupler < 8 * eps);
    VT_CHECK(worst_arm < eps);
    VT_CHECK(worst_mirror < 4 * eps);
    VT_CHECK(worst_branch > -eps);
}

}  // namespace

int main() {
    test_intersect_small_circles();
    test_reference_configurations();
    test_closure_failures_and_nan();
    test_degenerate_bisector_frame();
    test_properties();
    return velmora::testing::finish("test_forward_kinematics");
}
