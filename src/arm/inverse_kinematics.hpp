#pragma once
// Arm inverse kinematics: candidate enumeration and the two inverses built on it.

#include <array>
#include <cstddef>
#include <optional>

#include "arm/forward_kinematics.hpp"
#include "arm/geometry.hpp"
#include "common/vector_types.hpp"

namespace velmora::arm {

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
