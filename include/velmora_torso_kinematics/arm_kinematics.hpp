#pragma once
// velmora_torso_kinematics: the arm's kinematics.
//
// Forward kinematics: joint pair -> elbows -> loop closure -> end-effector frame.
// Inverse kinematics: candidate enumeration, and the two inverses built on it
// (from a whole rotation, from a pointing direction). Every function is pure,
// never allocates and never throws; a failure is an empty optional.

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

struct FkSolution {
    Mat3 rotation;  // columns: X, Y, v_3 (the end-effector frame in the body frame)
    Vec3 v_2;       // elbow carried by joint A
    Vec3 v_3;       // pointing direction; bit-equal to column 2 of `rotation`
    Vec3 v_4;       // elbow carried by joint B
};

// An arm ready for many calls, and the entry point of every arm function here:
// its geometry together with the constants that every call would otherwise
// recompute from it. Immutable once built, so one instance may serve any number
// of threads. Building one costs two sines and two cosines; for a single call on
// a geometry, the one-line forms at the end of this header build it in place.
class SphericalFiveBar {
public:
    explicit SphericalFiveBar(const FiveBarGeometry& geometry) noexcept;
    // Exactly the arm that five_bar_geometry(geometry) gives.
    explicit SphericalFiveBar(const SphericalLinkGeometry& geometry) noexcept
        : SphericalFiveBar(five_bar_geometry(geometry)) {}

    [[nodiscard]] const FiveBarGeometry& geometry() const noexcept { return geometry_; }

private:
    // The kinematics' internals read the constants through FiveBarAccess; no
    // one else can name them.
    friend struct FiveBarAccess;
    struct Constants {
        double branch_sign;       // s: +1 positive, -1 negative
        double cos_arm_a;         // cos(arm_arc_a): the circle's radius cosine about v_1
        double cos_arm_b;         // cos(arm_arc_b): about v_5
        double cos_coupler_a;     // cos(coupler_arc_a): about v_2
        double cos_coupler_b;     // cos(coupler_arc_b): about v_4
        double arm_circle_a;      // 1 - cos^2(arm_arc_a): the first part of the small-circle step's sum
        double arm_circle_b;      // 1 - cos^2(arm_arc_b)
        double coupler_circle;    // 1 - cos^2(coupler_arc_a): the closure's circle about v_2
        double minus_m_sin_arm_b; // -m sin(arm_arc_b): v_4.y per sin(theta_B) when v_5 is (m, 0, 0)
        Vec3 joint_a_axis;        // v_1
        Vec3 joint_b_axis;        // v_5
        Vec3 rest_elbow_a;        // v_2 at theta_A = 0
        Vec3 rest_elbow_b;        // v_4 at theta_B = 0
        Vec3 rest_perp_a;         // rest_elbow_a projected off v_1
        Vec3 rest_perp_b;         // rest_elbow_b projected off v_5
        Vec3 turn_b;              // v_5 x rest_elbow_b, for a tilted v_5
        Vec3 along_b;             // (v_5 . rest_elbow_b) v_5, for a tilted v_5
        bool elbow_a_written_out; // sin, cos of arm_arc_a finite and not tiny: the rotation written out
        bool elbow_b_written_out; // likewise for elbow B, about v_5 = (m, 0, 0) (a right base angle)
        bool elbow_b_tilted;      // v_5 tilted, the terms finite: Rodrigues' formula on the vector
    };

    FiveBarGeometry geometry_;
    Constants constants_;
};

// The point x of the unit sphere with x.a = cos(rho_a) and x.b = cos(rho_b) on
// the side of the great circle through a and b given by `sigma` (+1: the side
// a x b points to). Nothing when a and b are (anti)parallel or the circles miss.
// a and b must be unit vectors; they are not normalised here.
[[nodiscard]] std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b,
                                                          double rho_b, double sigma) noexcept;

// Nothing when the five-bar loop does not close. Any double is accepted; NaN propagates.
[[nodiscard]] std::optional<FkSolution> forward_kinematics(const SphericalFiveBar& arm, double theta_a,
                                                           double theta_b) noexcept;

struct IkCandidate {
    double theta_a;  // in [-pi, pi]
    double theta_b;  // in [-pi, pi]
    FkSolution solution;
};

// Inclusive ranges of the two input joints, radians: the angles the motors can
// reach. A pair outside them, or with a NaN angle, is not admitted. Bounds may be
// infinite; a usable set has no NaN bound and a_min <= a_max, b_min <= b_max.
struct JointLimits {
    double a_min;
    double a_max;
    double b_min;
    double b_max;

    [[nodiscard]] constexpr bool admits(const JointPair& pair) const noexcept {
        return a_min <= pair.theta_a && pair.theta_a <= a_max && b_min <= pair.theta_b && pair.theta_b <= b_max;
    }
    // Whether some finite pair is admitted: no NaN bound, no empty or out-of-range interval.
    [[nodiscard]] constexpr bool usable() const noexcept {
        return usable_range(a_min, a_max) && usable_range(b_min, b_max);
    }
};

// The distance in the joint plane by which `near` chooses and a path's steps are
// measured: sqrt(da^2 + db^2), angles not wrapped, so a pair 2*pi away counts as far.
[[nodiscard]] constexpr double joint_distance_squared(const JointPair& a, const JointPair& b) noexcept {
    const double da = a.theta_a - b.theta_a;
    const double db = a.theta_b - b.theta_b;
    return da * da + db * db;
}
[[nodiscard]] inline double joint_distance(const JointPair& a, const JointPair& b) noexcept {
    return std::sqrt(joint_distance_squared(a, b));
}

// A list of at most N values with its storage inline: the kinematics fill it
// without touching the heap.
template <typename T, std::size_t N>
class BoundedList {
public:
    static constexpr std::size_t capacity = N;

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    [[nodiscard]] const T* begin() const noexcept { return items_.data(); }
    [[nodiscard]] const T* end() const noexcept { return items_.data() + count_; }

    void push_back(const T& item) noexcept { items_[count_++] = item; }

private:
    // Left uninitialised: only the first size() items are ever read.
    std::array<T, N> items_;
    std::size_t count_ = 0;
};

// At most four candidates, (sigma_A, sigma_B) = (+,+), (+,-), (-,+), (-,-), in
// that order, each present only if its loop closed.
using CandidateList = BoundedList<IkCandidate, 4>;

// The joint pairs that point v_3 along one direction, in candidate order.
using DirectionSolutions = BoundedList<JointPair, 4>;

// Every joint pair whose elbows can sit at their coupler arcs from `target`, with its
// forward-kinematics solution. `target` is used as given (not normalised).
[[nodiscard]] CandidateList enumerate_candidates(const SphericalFiveBar& arm, const Vec3& target) noexcept;

// The joint pair whose forward kinematics reproduces `r_target` (Frobenius
// distance below 1e-6); nothing when the rotation is out of reach.
[[nodiscard]] std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm,
                                                          const Mat3& r_target) noexcept;
// Only a candidate that `limits` admits is chosen; nothing when none is left.
[[nodiscard]] std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target,
                                                          const JointLimits& limits) noexcept;

// Directions shorter than this carry no usable pointing information: the
// inverses find no pair for them, nearest_reachable finds no pose, and the
// followers hold.
inline constexpr double shortest_direction = 1e-12;

// Every candidate pair whose v_3 lies within 1e-6 of `direction` normalised, in
// candidate order: the pairs the direction inverse chooses from. Empty for a
// direction shorter than 1e-12 or out of reach.
[[nodiscard]] DirectionSolutions direction_solutions(const SphericalFiveBar& arm,
                                                     const Vec3& direction) noexcept;
// Only the pairs that `limits` admits.
[[nodiscard]] DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction,
                                                     const JointLimits& limits) noexcept;

// A joint pair pointing v_3 along `direction` (any non-zero length), the one
// nearest `near` when given, else the smallest-norm one; nothing when unreachable.
[[nodiscard]] std::optional<JointPair> inverse_kinematics_from_direction(
    const SphericalFiveBar& arm, const Vec3& direction, const std::optional<JointPair>& near) noexcept;
// Only a pair that `limits` admits is chosen; nothing when none is left.
[[nodiscard]] std::optional<JointPair> inverse_kinematics_from_direction(
    const SphericalFiveBar& arm, const Vec3& direction, const std::optional<JointPair>& near,
    const JointLimits& limits) noexcept;

// The same functions on a geometry, for a single call: each prepares the arm in
// place and gives exactly the prepared arm's result.
[[nodiscard]] inline std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry,
                                                                  double theta_a, double theta_b) noexcept {
    return forward_kinematics(SphericalFiveBar(geometry), theta_a, theta_b);
}
[[nodiscard]] inline CandidateList enumerate_candidates(const SphericalLinkGeometry& geometry,
                                                        const Vec3& target) noexcept {
    return enumerate_candidates(SphericalFiveBar(geometry), target);
}
[[nodiscard]] inline std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                                                 const Mat3& r_target) noexcept {
    return inverse_kinematics(SphericalFiveBar(geometry), r_target);
}
[[nodiscard]] inline DirectionSolutions direction_solutions(const SphericalLinkGeometry& geometry,
                                                            const Vec3& direction) noexcept {
    return direction_solutions(SphericalFiveBar(geometry), direction);
}
[[nodiscard]] inline std::optional<JointPair> inverse_kinematics_from_direction(
    const SphericalLinkGeometry& geometry, const Vec3& direction, const std::optional<JointPair>& near) noexcept {
    return inverse_kinematics_from_direction(SphericalFiveBar(geometry), direction, near);
}

}  // namespace velmora::arm
