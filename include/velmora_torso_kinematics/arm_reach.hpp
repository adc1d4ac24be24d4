#pragma once
// velmora_torso_kinematics: how far a pose is from the locked loop, and the best
// pose for a direction the arm cannot point along.
//
// The closure margin |v_3 . (v_2 x v_4)| is the determinant of the loop's
// velocity constraints: zero on the closure singularity, where both assembly
// modes meet, the linkage loses its stiffness and may change mode, and J_v
// grows as its inverse (at margin m a pointing motion may need joint rates of
// order 1/m per unit of pointing speed). Commands a motor should be sent keep it
// above a margin; the inverses below take one as a filter, like JointLimits.
//
// Every function is pure, never allocates and never throws.

#include <array>
#include <cstdint>
#include <optional>

#include "velmora_torso_kinematics/arm_kinematics.hpp"
#include "velmora_torso_kinematics/vector_types.hpp"

namespace velmora::arm {

// |v_3 . (v_2 x v_4)| of a closed loop.
[[nodiscard]] inline double closure_margin(const FkSolution& pose) noexcept {
    return std::fabs(dot(pose.v_3, cross(pose.v_2, pose.v_4)));
}

// The margin at a joint pair; nothing where the loop does not close.
[[nodiscard]] std::optional<double> closure_margin(const SphericalFiveBar& arm, double theta_a,
                                                   double theta_b) noexcept;

// What a command must be: inside `limits` (when given) and closing with a
// closure margin of at least `margin` (0: closing is enough).
struct Admissible {
    std::optional<JointLimits> limits;
    double margin = 0.0;

    [[nodiscard]] bool admits(const JointPair& pair, const FkSolution& pose) const noexcept {
        return (!limits || limits->admits(pair)) && closure_margin(pose) >= margin;
    }
};

// The inverses with a margin filter: only candidates whose closure margin is at
// least `margin` (and inside `limits`, when given). With margin 0 each is bit for
// bit the function without it.
[[nodiscard]] DirectionSolutions direction_solutions(const SphericalFiveBar& arm, const Vec3& direction,
                                                     const Admissible& admissible) noexcept;
[[nodiscard]] std::optional<JointPair> inverse_kinematics(const SphericalFiveBar& arm, const Mat3& r_target,
                                                          const Admissible& admissible) noexcept;
[[nodiscard]] std::optional<JointPair> inverse_kinematics_from_direction(const SphericalFiveBar& arm,
                                                                         const Vec3& direction,
                                                                         const std::optional<JointPair>& near,
                                                                         const Admissible& admissible) noexcept;

struct Reach {
    JointPair pair;  // admissible
    Vec3 v_3;        // forward kinematics' v_3 at `pair`
    double angle;    // between v_3 and the direction, radians; 0 for a reachable direction
};

// The admissible pair whose v_3 is nearest `direction` in angle, found over the
// whole joint plane (one turn of each angle, or the limits where they are
// narrower): a grid of reach_grid x reach_grid pairs, then from its best few
// local minima a compass search (the interior, the limits' edges) and a search
// along the margin's edge where it ends there. A closing region that is a band
// thinner than the grid's cells may hide a better stretch of its edge. For a reachable direction, the smallest-norm of its
// admissible direction_solutions with angle 0. Nothing for a direction that is
// not finite or shorter than 1e-12, or when no grid pair is admissible.
inline constexpr int reach_grid = 40;
[[nodiscard]] std::optional<Reach> nearest_reachable(const SphericalFiveBar& arm, const Vec3& direction,
                                                     const Admissible& admissible) noexcept;

// One angle's range of that grid: one turn, or the limits where they are
// narrower. A periodic axis covers one turn from `low` (its far end is the first
// point again); a bounded one has points at both ends.
struct ReachAxis {
    double low;
    double high;
    bool periodic;

    [[nodiscard]] double value(int i) const noexcept {
        const double cells = periodic ? double(reach_grid) : double(reach_grid - 1);
        return low + (high - low) * (double(i) / cells);
    }
    // Distance between neighbouring points.
    [[nodiscard]] double spacing() const noexcept {
        return (high - low) / (periodic ? double(reach_grid) : double(reach_grid - 1));
    }
};

// The part of nearest_reachable's search that does not depend on the target:
// the grid's pairs, which of them are admissible, and their v_3. Preparing it
// costs reach_grid^2 forward kinematics; a search on it then costs a scan of the
// cells and the local refinements. Plain data, about 40 kB: copied with its owner.
struct ReachGrid {
    static constexpr int cells = reach_grid * reach_grid;
    ReachAxis a{};
    ReachAxis b{};
    std::array<Vec3, cells> v_3{};                // at cell i * reach_grid + j: (a.value(i), b.value(j))
    std::array<std::uint8_t, cells> admitted{};  // 1 where the pair is admissible (v_3 is then meaningful)

    [[nodiscard]] static int index(int i, int j) noexcept { return i * reach_grid + j; }
    [[nodiscard]] JointPair pair(int i, int j) const noexcept { return {a.value(i), b.value(j)}; }
};

// The grid for `arm` and `admissible`, filled in place (it is large for a stack).
void prepare_reach_grid(const SphericalFiveBar& arm, const Admissible& admissible, ReachGrid& grid) noexcept;

// nearest_reachable on a grid prepared for the same arm and admissible set: the
// same result, bit for bit.
[[nodiscard]] std::optional<Reach> nearest_reachable(const SphericalFiveBar& arm, const Vec3& direction,
                                                     const Admissible& admissible, const ReachGrid& grid) noexcept;

}  // namespace velmora::arm
