#pragma once
// velmora_torso_kinematics: the arm's kinematics.
//
// Forward kinematics: joint pair -> elbows -> loop closure -> end-effector frame.
// Inverse kinematics: candidate enumeration, and the two inverses built on it
// (from a whole rotation, from a pointing direction). Every function is pure,
// never allocates and never throws; a failure is an empty optional.

#include <array>
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

// The point x of the unit sphere with x.a = cos(rho_a) and x.b = cos(rho_b) on
// the side of the great circle through a and b given by `sigma` (+1: the side
// a x b points to). Nothing when a and b are (anti)parallel or the circles miss.
// a and b must be unit vectors; they are not normalised here.
[[nodiscard]] std::optional<Vec3> intersect_small_circles(const Vec3& a, double rho_a, const Vec3& b,
                                                          double rho_b, double sigma) noexcept;

// Nothing when the five-bar loop does not close. Any double is accepted; NaN propagates.
[[nodiscard]] std::optional<FkSolution> forward_kinematics(const SphericalLinkGeometry& geometry,
                                                           double theta_a, double theta_b) noexcept;

struct IkCandidate {
    double theta_a;  // in [-pi, pi]
    double theta_b;  // in [-pi, pi]
    FkSolution solution;
};

// At most four candidates, (sigma_A, sigma_B) = (+,+), (+,-), (-,+), (-,-), in
// that order, each present only if its loop closed. Fixed capacity: enumerating
// never touches the heap.
class CandidateList {
public:
    static constexpr std::size_t capacity = 4;

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] const IkCandidate& operator[](std::size_t i) const noexcept { return items_[i]; }
    [[nodiscard]] const IkCandidate* begin() const noexcept { return items_.data(); }
    [[nodiscard]] const IkCandidate* end() const noexcept { return items_.data() + count_; }

    void push_back(const IkCandidate& candidate) noexcept { items_[count_++] = candidate; }

private:
    std::array<IkCandidate, capacity> items_{};
    std::size_t count_ = 0;
};

// Every joint pair whose elbows can sit at `coupler_arc` from `target`, with its
// forward-kinematics solution. `target` is used as given (not normalised).
[[nodiscard]] CandidateList enumerate_candidates(const SphericalLinkGeometry& geometry,
                                                 const Vec3& target) noexcept;

// The joint pair whose forward kinematics reproduces `r_target` (Frobenius
// distance below 1e-6); nothing when the rotation is out of reach.
[[nodiscard]] std::optional<JointPair> inverse_kinematics(const SphericalLinkGeometry& geometry,
                                                          const Mat3& r_target) noexcept;

// A joint pair pointing v_3 along `direction` (any non-zero length), the one
// nearest `near` when given, else the smallest-norm one; nothing when unreachable.
[[nodiscard]] std::optional<JointPair> inverse_kinematics_from_direction(
    const SphericalLinkGeometry& geometry, const Vec3& direction,
    const std::optional<JointPair>& near) noexcept;

}  // namespace velmora::arm
