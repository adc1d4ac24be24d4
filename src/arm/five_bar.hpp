#pragma once
// The steps that forward and inverse kinematics share, on a prepared arm.
//
// Every result here is the same double, operation for operation, as the plain
// recipe (Rodrigues matrix, small-circle intersection, frame): a step is only
// shortened where the dropped operations provably add or multiply exact zeros
// into a finite, non-zero term. Anything else (zero or tiny angles, non-finite
// values, degenerate arcs) takes the full formula.

#include <cmath>
#include <limits>

#include "common/sine_cosine.hpp"
#include "lanes.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::arm {

// The kinematics' internals read a prepared arm's constants through this one door.
struct FiveBarAccess {
    using Constants = SphericalFiveBar::Constants;
    [[nodiscard]] static const Constants& constants(const SphericalFiveBar& arm) noexcept { return arm.constants_; }
};

// A prepared arm's constants, as the steps below take them.
using FiveBarConstants = FiveBarAccess::Constants;

namespace five_bar {

// Below this sine the two centres are (anti)parallel: their circles have no
// isolated intersection and the great circle through them is undefined.
inline constexpr double parallel_centres_sine = 1e-12;

// Below this length the elbows' bisector lies along v_3 and gives no usable
// direction for the frame's X axis.
inline constexpr double degenerate_bisector_length = 1e-12;

// Auxiliary X reference for a degenerate bisector: the body x axis unless v_3
// is close to it (then y), so the projection below stays well conditioned.
inline constexpr double auxiliary_axis_limit = 0.9;

// Joint angles at least this large (and finite) have sin and cos far enough
// from zero (|sin| >= 1e-100 and, for any double, |cos| > 1e-20) that their
// products with rest-elbow components of at least `smallest_written_out_component`
// cannot round to zero: the written-out rotation then equals the full one.
inline constexpr double smallest_written_out_angle = 1e-100;
inline constexpr double smallest_written_out_component = 1e-150;

[[nodiscard]] inline Vec3 rotate(const Mat3& m, const Vec3& v) noexcept {
    return {dot({m[0][0], m[0][1], m[0][2]}, v), dot({m[1][0], m[1][1], m[1][2]}, v),
            dot({m[2][0], m[2][1], m[2][2]}, v)};
}

// Rodrigues: cos(angle) I + sin(angle) [axis]x + (1 - cos(angle)) axis axis^T.
// A zero angle gives the exact identity, so rest poses carry no rounding.
[[nodiscard]] inline Mat3 rotation_about(const Vec3& axis, double angle) noexcept {
    if (angle == 0.0) {
        return {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    }
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const double versine = 1.0 - c;
    const double u[3]{axis.x, axis.y, axis.z};
    const Mat3 skew{{{0.0, -axis.z, axis.y}, {axis.z, 0.0, -axis.x}, {-axis.y, axis.x, 0.0}}};
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const double identity = i == j ? 1.0 : 0.0;
            // c * 0 rather than a skipped term, so a NaN angle reaches every element.
            r[i][j] = (c * identity + s * skew[i][j]) + versine * (u[i] * u[j]);
        }
    }
    return r;
}

[[nodiscard]] inline bool written_out_angle(double angle) noexcept {
    const double magnitude = std::fabs(angle);  // NaN fails both comparisons
    return magnitude >= smallest_written_out_angle && magnitude <= std::numeric_limits<double>::max();
}

// The small-circle step: the points x of the unit sphere with x.a = cos_a and
// x.b = cos_b, for unit centres a and b (not normalised here). meet_circles
// takes one pair of centres; circle_offsets, circles_miss and circle_frame take
// two side by side (lanes), in the same operations. circle_a is 1 - cos_a^2.

[[nodiscard]] inline double clamp_cosine(double d) noexcept {
    // Rounding can push the cosine of nearly (anti)parallel unit vectors past +-1.
    if (d < -1.0) d = -1.0;
    if (d > 1.0) d = 1.0;
    return d;
}
[[nodiscard]] inline lanes::Pair clamp_cosine(lanes::Pair d) noexcept {
    d = d < lanes::splat(-1.0) ? lanes::splat(-1.0) : d;
    return d > lanes::splat(1.0) ? lanes::splat(1.0) : d;
}

// The point on the side `sigma` (+1: the side a x b points to); false where
// the centres are (anti)parallel or the circles miss.
[[nodiscard]] inline bool meet_circles(const Vec3& a, const Vec3& b, double cos_a, double cos_b, double circle_a,
                                       double sigma, Vec3& x) noexcept {
    const double d = clamp_cosine(dot(a, b));
    const double t = std::sqrt(1.0 - d * d);
    if (t < parallel_centres_sine) return false;
    // Components of x along a and toward b (in the plane of a and b).
    const double l = (cos_b - d * cos_a) / t;
    const double u = circle_a - l * l;
    if (u < 0.0) return false;  // u == 0: the circles touch, one point
    const Vec3 n = cross(a, b) / t;
    const double h = sigma * std::sqrt(u);
    x = (cos_a * a + l * cross(n, a)) + h * n;
    return true;
}

// Two pairs' offsets, from which their tests follow.
struct CircleOffsets {
    lanes::Pair t;  // sine of the angle between the centres
    lanes::Pair l;  // x's component toward b, in the centres' plane
    lanes::Pair u;  // squared distance of the points from that plane
};

[[nodiscard]] inline CircleOffsets circle_offsets(const lanes::Vec3s& a, const lanes::Vec3s& b, lanes::Pair cos_a,
                                                  lanes::Pair cos_b, lanes::Pair circle_a) noexcept {
    const lanes::Pair d = clamp_cosine(dot(a, b));
    const lanes::Pair t = lanes::sqrt(lanes::splat(1.0) - d * d);
    const lanes::Pair l = (cos_b - d * cos_a) / t;
    return {t, l, circle_a - l * l};
}

// All ones in a lane whose centres are (anti)parallel or whose circles miss.
[[nodiscard]] inline lanes::Mask circles_miss(const CircleOffsets& o) noexcept {
    return (o.t < lanes::splat(parallel_centres_sine)) | (o.u < lanes::splat(0.0));
}

// The points are in_plane +- sqrt(u) normal.
struct CircleFrame {
    lanes::Vec3s in_plane;  // cos_a a + l (normal x a)
    lanes::Vec3s normal;    // a x b / t
};

[[nodiscard]] inline CircleFrame circle_frame(const lanes::Vec3s& a, const lanes::Vec3s& b, lanes::Pair cos_a,
                                              const CircleOffsets& o) noexcept {
    const lanes::Vec3s n = cross(a, b) / o.t;
    return {cos_a * a + o.l * cross(n, a), n};
}

// v_2 = Rot(v_1, theta_A) rest_a. About (0, 0, 1) the matrix is [[c, -s, 0], [s, c, 0],
// [0, 0, c + (1 - c)]] plus exact zeros, whose products with finite components vanish
// beside non-zero terms.
[[nodiscard]] inline Vec3 elbow_a(const FiveBarConstants& k, double theta_a) noexcept {
    const Vec3& rest = k.rest_elbow_a;
    if (k.elbow_a_written_out && written_out_angle(theta_a)) {
        const auto [s, c] = sine_cosine(theta_a);
        return {c * rest.x, s * rest.x, (c + (1.0 - c)) * rest.z};
    }
    return rotate(rotation_about(k.joint_a_axis, theta_a), rest);
}

// v_4 = Rot(v_5, theta_B) rest_b. About (m, 0, 0) the matrix is [[c + (1 - c), 0, 0],
// [0, c, -m s], [0, m s, c]] plus exact zeros; (-m s) sin(arm_arc_b) = s (-m sin(arm_arc_b))
// exactly, m being +-1. About a tilted v_5, Rodrigues' formula on the vector:
// c rest + s (v_5 x rest) + (1 - c)(v_5 . rest) v_5.
[[nodiscard]] inline Vec3 elbow_b(const FiveBarConstants& k, double theta_b) noexcept {
    const Vec3& rest = k.rest_elbow_b;
    if (k.elbow_b_written_out && written_out_angle(theta_b)) {
        const auto [s, c] = sine_cosine(theta_b);
        return {(c + (1.0 - c)) * rest.x, s * k.minus_m_sin_arm_b, c * rest.z};
    }
    if (k.elbow_b_tilted && std::isfinite(theta_b)) {
        const auto [s, c] = sine_cosine(theta_b);
        return (c * rest + s * k.turn_b) + (1.0 - c) * k.along_b;
    }
    return rotate(rotation_about(k.joint_b_axis, theta_b), rest);
}

// The loop closure: v_3 at coupler_arc_a from v_2 and coupler_arc_b from v_4,
// on the branch's side, with the cosines and 1 - cos^2 taken from the prepared
// arm. False when the circles do not meet.
[[nodiscard]] inline bool close_loop(const FiveBarConstants& k, const Vec3& v_2, const Vec3& v_4,
                                     Vec3& v_3) noexcept {
    return meet_circles(v_2, v_4, k.cos_coupler_a, k.cos_coupler_b, k.coupler_circle, k.branch_sign, v_3);
}

// X points from v_3 toward the elbows' bisector; Y = v_3 x X completes the frame.
[[nodiscard]] inline Mat3 end_effector_frame(const Vec3& v_2, const Vec3& v_3, const Vec3& v_4) noexcept {
    const Vec3 bisector = v_2 + v_4;
    const Vec3 unit_bisector = bisector / norm(bisector);
    Vec3 x = unit_bisector - dot(unit_bisector, v_3) * v_3;
    const double x_length = norm(x);
    Vec3 x_axis;
    if (x_length > degenerate_bisector_length) {
        x_axis = x / x_length;
    } else {
        // Also reached by a NaN length; a NaN v_3.x picks y, which keeps the NaN.
        const Vec3 reference =
            std::fabs(v_3.x) < auxiliary_axis_limit ? Vec3{1.0, 0.0, 0.0} : Vec3{0.0, 1.0, 0.0};
        x = reference - dot(reference, v_3) * v_3;
        x_axis = x / norm(x);
    }
    const Vec3 y_axis = cross(v_3, x_axis);
    return {{{x_axis.x, y_axis.x, v_3.x}, {x_axis.y, y_axis.y, v_3.y}, {x_axis.z, y_axis.z, v_3.z}}};
}

// Two closures of one v_2 with two v_4 (a lane each), side by side: lane i is
// close_loop(v_2, v_4 lane i), and closed[i] what it returns.
[[nodiscard]] inline lanes::Vec3s close_loops(const FiveBarConstants& k, const lanes::Vec3s& v_2,
                                              const lanes::Vec3s& v_4, bool (&closed)[2]) noexcept {
    using lanes::splat;
    const lanes::Pair cos_a = splat(k.cos_coupler_a);
    const CircleOffsets o = circle_offsets(v_2, v_4, cos_a, splat(k.cos_coupler_b), splat(k.coupler_circle));
    // A lane that misses is discarded whatever the rest computes for it.
    const lanes::Mask open = circles_miss(o);
    closed[0] = open[0] == 0;
    closed[1] = open[1] == 0;
    const CircleFrame f = circle_frame(v_2, v_4, cos_a, o);
    return f.in_plane + (splat(k.branch_sign) * lanes::sqrt(o.u)) * f.normal;
}

// The X and Y axes of two closures' frames, side by side. A lane whose bisector
// degenerates (not `usable`) needs the scalar step, which takes the auxiliary axis.
struct FrameLanes {
    lanes::Vec3s x_axis;
    lanes::Vec3s y_axis;
    lanes::Mask usable;
};

[[nodiscard]] inline FrameLanes frame_lanes(const lanes::Vec3s& v_2, const lanes::Vec3s& v_3,
                                            const lanes::Vec3s& v_4) noexcept {
    const lanes::Vec3s bisector = v_2 + v_4;
    const lanes::Vec3s unit_bisector = bisector / lanes::sqrt(dot(bisector, bisector));
    const lanes::Vec3s x = unit_bisector - dot(unit_bisector, v_3) * v_3;
    const lanes::Pair x_length = lanes::sqrt(dot(x, x));
    const lanes::Vec3s x_axis = x / x_length;
    return {x_axis, cross(v_3, x_axis), x_length > lanes::splat(degenerate_bisector_length)};
}

// The frames of two closures, side by side; the lanes in `wanted` whose
// bisector degenerates are redone by the scalar step.
inline void end_effector_frames(const lanes::Vec3s& v_2, const lanes::Vec3s& v_3, const lanes::Vec3s& v_4,
                                const bool (&wanted)[2], Mat3 (&frames)[2]) noexcept {
    const FrameLanes f = frame_lanes(v_2, v_3, v_4);
    for (int i = 0; i < 2; ++i) {
        if (f.usable[i] != 0 || !wanted[i]) {
            frames[i] = {{{f.x_axis.x[i], f.y_axis.x[i], v_3.x[i]},
                          {f.x_axis.y[i], f.y_axis.y[i], v_3.y[i]},
                          {f.x_axis.z[i], f.y_axis.z[i], v_3.z[i]}}};
        } else {
            frames[i] = end_effector_frame(v_2.lane(i), v_3.lane(i), v_4.lane(i));
        }
    }
}

}  // namespace five_bar
}  // namespace velmora::arm
