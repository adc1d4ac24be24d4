#include "velmora_torso_kinematics/arm_reach.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace velmora::arm {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Cells refined from the grid: the best local minima, so that a basin the grid
// ranks second but that holds the true best is not lost.
constexpr int refined_cells = 4;

// The searches stop once their spacing is below this many radians: the angle
// then changes by less than about 1e-8 rad over a spacing.
constexpr double finest_spacing = 1e-9;

// A grid cell whose angle exceeds the best cell's by more than this is not
// refined: across half a cell (0.08 rad) the angle changes by less wherever the
// margin is above about 1e-3, and the edge's sqrt-like rise is steeper only in a
// sliver the grid does not see either.
constexpr double hopeless_cell = 0.3;

// A refined pair this close to the margin's edge is searched along it too.
constexpr double edge_band = 1e-3;

// Bounded work: a search that has not converged by then keeps its best.
constexpr int most_pattern_rounds = 160;

[[nodiscard]] double angle_between(const Vec3& v, const Vec3& unit_target) noexcept {
    return std::atan2(norm(cross(v, unit_target)), dot(v, unit_target));
}

// One turn of an angle, or its limits where they are narrower. An axis whose
// limits are at least a turn wide is periodic: the grid covers one turn and the
// search may leave it as far as the limits allow.
[[nodiscard]] ReachAxis axis(bool limited, double low, double high) noexcept {
    if (limited && high - low < 2.0 * pi) return {low, high, false};
    const double from = limited ? std::clamp(-pi, low, high - 2.0 * pi) : -pi;
    return {from, from + 2.0 * pi, true};
}

struct Searcher {
    const SphericalFiveBar& arm;
    const Admissible& admissible;
    Vec3 target;

    // The angle at `pair`, infinite where it is not admissible.
    [[nodiscard]] double angle(const JointPair& pair, Vec3* v_3 = nullptr) const noexcept {
        const std::optional<FkSolution> pose = forward_kinematics(arm, pair.theta_a, pair.theta_b);
        if (!pose || !admissible.admits(pair, *pose)) return infinity;
        if (v_3 != nullptr) *v_3 = pose->v_3;
        const double result = angle_between(pose->v_3, target);
        return std::isnan(result) ? infinity : result;
    }

    // The squared closure margin, NaN where the loop does not close: smooth up to
    // the closure boundary, where the margin itself has an infinite slope.
    [[nodiscard]] double squared_margin(const JointPair& pair) const noexcept {
        const std::optional<FkSolution> pose = forward_kinematics(arm, pair.theta_a, pair.theta_b);
        if (!pose) return std::numeric_limits<double>::quiet_NaN();
        const double m = closure_margin(*pose);
        return m * m;
    }

    // Compass search on the eight neighbours at `spacing`: move to the best, halve
    // the spacing when none is better. Converges in the interior and along the
    // limits' edges; along the margin's curved edge `follow_edge` takes over.
    void refine(JointPair& pair, double& best, double spacing) const noexcept {
        for (int round = 0; round < most_pattern_rounds && spacing > finest_spacing; ++round) {
            JointPair next = pair;
            double next_angle = best;
            for (int i = -1; i <= 1; ++i) {
                for (int j = -1; j <= 1; ++j) {
                    if (i == 0 && j == 0) continue;
                    const JointPair q{pair.theta_a + double(i) * spacing, pair.theta_b + double(j) * spacing};
                    const double a = angle(q);
                    if (a < next_angle) {
                        next = q;
                        next_angle = a;
                    }
                }
            }
            if (next_angle < best) {
                pair = next;
                best = next_angle;
            } else {
                spacing *= 0.5;
            }
        }
    }

    // The squared margin's gradient at a closing pair: central differences, one-sided
    // next to the closure boundary.
    [[nodiscard]] JointPair margin_gradient(const JointPair& pair, double here) const noexcept {
        const double h = 1e-7;
        const double up_a = squared_margin({pair.theta_a + h, pair.theta_b});
        const double down_a = squared_margin({pair.theta_a - h, pair.theta_b});
        const double up_b = squared_margin({pair.theta_a, pair.theta_b + h});
        const double down_b = squared_margin({pair.theta_a, pair.theta_b - h});
        const auto slope = [&](double up, double down) noexcept {
            return std::isnan(up) ? (here - down) / h : std::isnan(down) ? (up - here) / h : (up - down) / (2.0 * h);
        };
        return {slope(up_a, down_a), slope(up_b, down_b)};
    }

    // Chord steps onto the curve where the squared margin is `level`, along
    // `gradient` (the one at a nearby point of the curve); false when they leave
    // the closing region for good or do not converge.
    [[nodiscard]] bool project(JointPair& pair, double level, const JointPair& gradient) const noexcept {
        const double g2 = gradient.theta_a * gradient.theta_a + gradient.theta_b * gradient.theta_b;
        if (!(g2 > 0.0) || !std::isfinite(g2)) return false;
        for (int iteration = 0; iteration < 16; ++iteration) {
            const double here = squared_margin(pair);
            if (std::isnan(here)) return false;
            const double residual = here - level;
            // What moving the pair by a few ulps can change: no step does better.
            const double resolution = 4e-16 * (1.0 + std::fabs(pair.theta_a) + std::fabs(pair.theta_b)) *
                                          (std::fabs(gradient.theta_a) + std::fabs(gradient.theta_b)) +
                                      1e-12 * level;
            if (std::fabs(residual) <= resolution) return true;
            double fraction = 1.0;
            bool moved = false;
            for (int halving = 0; halving < 20 && !moved; ++halving, fraction *= 0.5) {
                const JointPair q{pair.theta_a - fraction * residual / g2 * gradient.theta_a,
                                  pair.theta_b - fraction * residual / g2 * gradient.theta_b};
                const double there = squared_margin(q);
                if (!std::isnan(there) && std::fabs(there - level) < std::fabs(residual)) {
                    pair = q;
                    moved = true;
                }
            }
            if (!moved) return false;
        }
        return false;
    }

    // A one-dimensional search along the margin's edge (its level a hair inside,
    // so that rounding keeps the pairs admissible): step along the tangent, back
    // onto the edge, keep what points closer, halve the step when neither way does.
    void follow_edge(JointPair& pair, double& best, double spacing) const noexcept {
        const double edge = std::max(admissible.margin, 1e-6) * (1.0 + 1e-9);
        const double level = edge * edge;
        JointPair on = pair;
        const double start = squared_margin(on);
        if (std::isnan(start)) return;
        JointPair gradient = margin_gradient(on, start);
        if (!project(on, level, gradient)) return;
        gradient = margin_gradient(on, squared_margin(on));
        double on_angle = angle(on);
        for (int round = 0; round < most_pattern_rounds && spacing > finest_spacing; ++round) {
            const double g = std::sqrt(gradient.theta_a * gradient.theta_a + gradient.theta_b * gradient.theta_b);
            if (!(g > 0.0)) break;
            const JointPair tangent{-gradient.theta_b / g, gradient.theta_a / g};
            bool improved = false;
            for (const double way : {1.0, -1.0}) {
                JointPair q{on.theta_a + way * spacing * tangent.theta_a, on.theta_b + way * spacing * tangent.theta_b};
                // On the edge's convex side the tangent leaves the closing region:
                // back in along the gradient, by the least of a few shifts.
                for (double shift = spacing / 64.0; std::isnan(squared_margin(q)) && shift <= spacing; shift *= 4.0)
                    q = {on.theta_a + way * spacing * tangent.theta_a + shift * gradient.theta_a / g,
                         on.theta_b + way * spacing * tangent.theta_b + shift * gradient.theta_b / g};
                if (!project(q, level, gradient)) continue;
                const double a = angle(q);
                if (a < on_angle) {
                    on = q;
                    on_angle = a;
                    gradient = margin_gradient(on, squared_margin(on));
                    improved = true;
                    break;
                }
            }
            if (!improved) spacing *= 0.5;
        }
        if (on_angle < best) {
            pair = on;
            best = on_angle;
        }
    }
};

}  // namespace

std::optional<double> closure_margin(const SphericalFiveBar& arm, double theta_a, double theta_b) noexcept {
    const std::optional<FkSolution> pose = forward_kinematics(arm, theta_a, theta_b);
    if (!pose) return std::nullopt;
    return closure_margin(*pose);
}

namespace {

// A direction with no search to make: not usable (nothing), or reachable (its
// smallest-norm admissible solution). False, with `target` its unit vector, when
// the grid must be searched.
[[nodiscard]] bool settled(const SphericalFiveBar& arm, const Vec3& direction, const Admissible& admissible,
                           Vec3& target, std::optional<Reach>& result) noexcept {
    const double length = norm(direction);
    if (!(length >= shortest_direction) || !std::isfinite(length)) return true;
    target = direction / length;
    if (!std::isfinite(target.x) || !std::isfinite(target.y) || !std::isfinite(target.z)) return true;

    // The direction as given, so that the pair is bit for bit one of its solutions.
    const DirectionSolutions solutions = direction_solutions(arm, direction, admissible);
    if (!solutions.empty()) {
        const std::optional<JointPair> pair =
            inverse_kinematics_from_direction(arm, direction, std::nullopt, admissible);
        const std::optional<FkSolution> pose = forward_kinematics(arm, pair->theta_a, pair->theta_b);
        if (pose) {
            result = Reach{*pair, pose->v_3, 0.0};
            return true;
        }
    }
    return false;
}

[[nodiscard]] std::optional<Reach> search_grid(const SphericalFiveBar& arm, const Vec3& target,
                                               const Admissible& admissible, const ReachGrid& prepared) noexcept {
    const ReachAxis& a_axis = prepared.a;
    const ReachAxis& b_axis = prepared.b;
    const Searcher searcher{arm, admissible, target};

    // The angle at every cell, from the prepared v_3: the same value as the
    // searcher's at that pair.
    std::array<double, ReachGrid::cells> grid;
    for (int k = 0; k < ReachGrid::cells; ++k) {
        if (!prepared.admitted[k]) {
            grid[k] = infinity;
            continue;
        }
        const double result = angle_between(prepared.v_3[k], target);
        grid[k] = std::isnan(result) ? infinity : result;
    }
    // The grid's local minima (over the 8 neighbours, wrapping on a periodic
    // axis), best first.
    struct Cell {
        int i;
        int j;
        double angle;
    };
    std::array<Cell, refined_cells> cells{};
    int found = 0;
    const auto at = [&](int i, int j, bool& inside) noexcept {
        inside = true;
        if (i < 0 || i >= reach_grid) {
            if (!a_axis.periodic) return inside = false, infinity;
            i = (i + reach_grid) % reach_grid;
        }
        if (j < 0 || j >= reach_grid) {
            if (!b_axis.periodic) return inside = false, infinity;
            j = (j + reach_grid) % reach_grid;
        }
        return grid[i * reach_grid + j];
    };
    for (int i = 0; i < reach_grid; ++i) {
        for (int j = 0; j < reach_grid; ++j) {
            const double value = grid[i * reach_grid + j];
            if (value == infinity) continue;
            bool minimum = true;
            for (int di = -1; di <= 1 && minimum; ++di) {
                for (int dj = -1; dj <= 1 && minimum; ++dj) {
                    bool inside = false;
                    const double other = at(i + di, j + dj, inside);
                    // Ties keep the first in scan order.
                    const bool before = di < 0 || (di == 0 && dj < 0);
                    if ((di != 0 || dj != 0) && inside && (other < value || (before && other == value)))
                        minimum = false;
                }
            }
            if (!minimum) continue;
            int k = std::min(found, refined_cells - 1);
            if (found == refined_cells && !(value < cells[k].angle)) continue;
            for (; k > 0 && cells[k - 1].angle > value; --k) cells[k] = cells[k - 1];
            cells[k] = {i, j, value};
            found = std::min(found + 1, refined_cells);
        }
    }
    if (found == 0) return std::nullopt;

    const double spacing =
        std::min((a_axis.high - a_axis.low) / (reach_grid - 1), (b_axis.high - b_axis.low) / (reach_grid - 1));
    std::optional<Reach> best;
    for (int k = 0; k < found; ++k) {
        // A cell this much worse than the best one lies in a basin that cannot win.
        if (cells[k].angle > cells[0].angle + hopeless_cell) break;
        JointPair pair{a_axis.value(cells[k].i), b_axis.value(cells[k].j)};
        double angle = cells[k].angle;
        searcher.refine(pair, angle, 0.5 * spacing);
        // Resting on the margin's edge: the compass may stall there, the edge search
        // not; where the edge search ends, the best may lie just inside again.
        for (int pass = 0; pass < 2; ++pass) {
            const std::optional<double> at = closure_margin(arm, pair.theta_a, pair.theta_b);
            if (!at || !(*at < admissible.margin + edge_band)) break;
            const double before = angle;
            searcher.follow_edge(pair, angle, 0.5 * spacing);
            searcher.refine(pair, angle, 0.05 * spacing);
            if (!(angle < before)) break;
        }
        if (!best || angle < best->angle) {
            Vec3 v_3{};
            const double again = searcher.angle(pair, &v_3);  // the same angle, with its v_3
            best = Reach{pair, v_3, again};
        }
    }
    return best;
}

}  // namespace

void prepare_reach_grid(const SphericalFiveBar& arm, const Admissible& admissible, ReachGrid& grid) noexcept {
    const std::optional<JointLimits>& limits = admissible.limits;
    grid.a = axis(limits.has_value(), limits ? limits->a_min : 0.0, limits ? limits->a_max : 0.0);
    grid.b = axis(limits.has_value(), limits ? limits->b_min : 0.0, limits ? limits->b_max : 0.0);
    for (int i = 0; i < reach_grid; ++i) {
        for (int j = 0; j < reach_grid; ++j) {
            const JointPair pair = grid.pair(i, j);
            const std::optional<FkSolution> pose = forward_kinematics(arm, pair.theta_a, pair.theta_b);
            const bool admitted = pose && admissible.admits(pair, *pose);
            grid.admitted[ReachGrid::index(i, j)] = admitted ? 1 : 0;
            grid.v_3[ReachGrid::index(i, j)] = admitted ? pose->v_3 : Vec3{};
        }
    }
}

std::optional<Reach> nearest_reachable(const SphericalFiveBar& arm, const Vec3& direction,
                                       const Admissible& admissible, const ReachGrid& grid) noexcept {
    Vec3 target{};
    std::optional<Reach> result;
    if (settled(arm, direction, admissible, target, result)) return result;
    return search_grid(arm, target, admissible, grid);
}

std::optional<Reach> nearest_reachable(const SphericalFiveBar& arm, const Vec3& direction,
                                       const Admissible& admissible) noexcept {
    Vec3 target{};
    std::optional<Reach> result;
    if (settled(arm, direction, admissible, target, result)) return result;
    ReachGrid grid;
    prepare_reach_grid(arm, admissible, grid);
    return search_grid(arm, target, admissible, grid);
}

}  // namespace velmora::arm
