#include "velmora_torso_kinematics/arm_follow.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "velmora_torso_kinematics/arm_velocity.hpp"

namespace velmora::arm {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Joint distance between the samples at which a step, its braking path and the
// way to a goal are checked to keep the margin: fine enough that the gaps it
// could miss are narrower than the arm could pass anyway. The pair actually
// commanded is always checked exactly.
constexpr double segment_sample_spacing = 0.02;

// Most samples per step, per braking path and per way to a goal: a step's cost
// is bounded whatever the distances (longer ones are sampled more coarsely).
constexpr int most_step_samples = 64;
constexpr int most_braking_samples = 32;
constexpr int most_goal_samples = 16;

// How often a damped step is halved before the follower gives up on it.
constexpr int damped_step_halvings = 8;

// Ticks without getting nearer the goal after which the follower stops; with
// max_step_change, plus the ticks it takes to brake from full speed and come
// back up to it (an overshoot is no stall).
constexpr int stall_ticks = 16;

[[nodiscard]] int stall_limit(const FollowSettings& settings) noexcept {
    if (!settings.max_step_change) return stall_ticks;
    const double turning = 2.0 * std::ceil(settings.max_step / *settings.max_step_change);
    return stall_ticks + (turning < 100000.0 ? static_cast<int>(turning) : 100000);
}

// Tries at shortening a step whose rounded length or change exceeds its bound.
constexpr int rounding_tries = 16;

[[nodiscard]] bool finite(const JointPair& pair) noexcept {
    return std::isfinite(pair.theta_a) && std::isfinite(pair.theta_b);
}

[[nodiscard]] bool finite(const Vec3& v) noexcept {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

[[nodiscard]] bool admitted(const std::optional<JointLimits>& limits, const JointPair& pair) noexcept {
    return !limits || limits->admits(pair);
}

[[nodiscard]] bool closes(const SphericalFiveBar& arm, const JointPair& pair) noexcept {
    return forward_kinematics(arm, pair.theta_a, pair.theta_b).has_value();
}

// What a start or a commanded pair must be: finite, admitted and closing.
[[nodiscard]] bool commandable(const SphericalFiveBar& arm, const std::optional<JointLimits>& limits,
                               const JointPair& pair) noexcept {
    return finite(pair) && admitted(limits, pair) && closes(arm, pair);
}

[[nodiscard]] JointPair moved(const JointPair& from, const JointPair& delta, double fraction) noexcept {
    return {from.theta_a + fraction * delta.theta_a, from.theta_b + fraction * delta.theta_b};
}

}  // namespace

std::optional<JointPair> path_step(const SphericalFiveBar& arm, const Vec3& direction,
                                   const std::optional<JointPair>& last, const std::optional<double>& max_step,
                                   const std::optional<JointLimits>& limits) noexcept {
    if (last && !finite(*last)) return std::nullopt;
    std::optional<JointPair> pair = limits ? inverse_kinematics_from_direction(arm, direction, last, *limits)
                                           : inverse_kinematics_from_direction(arm, direction, last);
    // Fails closed: a NaN distance or bound is never within the step.
    if (pair && max_step && last && !(joint_distance(*pair, *last) <= *max_step)) return std::nullopt;
    return pair;
}

std::optional<JointPair> path_step(const SphericalFiveBar& arm, const Vec3& direction,
                                   const std::optional<JointPair>& last, const std::optional<double>& max_step,
                                   const Admissible& admissible) noexcept {
    if (admissible.margin == 0.0) return path_step(arm, direction, last, max_step, admissible.limits);
    if (last && !finite(*last)) return std::nullopt;
    std::optional<JointPair> pair = inverse_kinematics_from_direction(arm, direction, last, admissible);
    if (pair && max_step && last && !(joint_distance(*pair, *last) <= *max_step)) return std::nullopt;
    return pair;
}

namespace {

[[nodiscard]] double length(const JointPair& v) noexcept { return joint_distance(v, JointPair{0.0, 0.0}); }

[[nodiscard]] JointPair difference(const JointPair& a, const JointPair& b) noexcept {
    return {a.theta_a - b.theta_a, a.theta_b - b.theta_b};
}

[[nodiscard]] JointPair scaled(const JointPair& v, double k) noexcept { return {k * v.theta_a, k * v.theta_b}; }

[[nodiscard]] bool same(const JointPair& a, const JointPair& b) noexcept {
    return a.theta_a == b.theta_a && a.theta_b == b.theta_b;
}

[[nodiscard]] bool same(const Vec3& a, const Vec3& b) noexcept { return a.x == b.x && a.y == b.y && a.z == b.z; }

// The fastest speed (joint distance per tick) from which the follower still
// stops within `distance`, slowing by `change` a tick: the largest v with
// v + (v - change) + (v - 2 change) + ... <= distance. Written as n whole
// decrements and a remainder below `change`.
[[nodiscard]] double stopping_speed(double distance, double change, double max_step) noexcept {
    if (!(change < infinity)) return distance;
    double n = std::floor((std::sqrt(1.0 + 8.0 * (distance / change)) - 1.0) * 0.5);
    if (!(n * change < max_step)) return max_step;  // also a huge or NaN quotient
    for (int k = 0; k < 4 && n > 0.0 && change * (n * (n + 1.0) * 0.5) > distance; ++k) n -= 1.0;
    for (int k = 0; k < 4 && change * ((n + 1.0) * (n + 2.0) * 0.5) <= distance; ++k) n += 1.0;
    const double remainder = std::min((distance - change * (n * (n + 1.0) * 0.5)) / (n + 1.0), change);
    return n * change + std::max(remainder, 0.0);
}

// The length of the braking path after a step `speed` long: (speed - change) +
// (speed - 2 change) + ... while positive.
[[nodiscard]] double braking_distance(double speed, double change) noexcept {
    if (!(change < infinity) || !(speed > change)) return 0.0;
    const double n = std::floor(speed / change);
    return n * speed - change * (n * (n + 1.0) * 0.5);
}

// `velocity` moved toward `wanted` by at most `change`.
[[nodiscard]] JointPair changed(const JointPair& velocity, const JointPair& wanted, double change) noexcept {
    const JointPair delta = difference(wanted, velocity);
    const double size = length(delta);
    if (!(size > change)) return wanted;
    return moved(velocity, delta, change / size);
}

}  // namespace

// What a step from the current pair must keep.
struct ArmFollower::Move {
    std::optional<JointLimits> box;  // the limits, widened to hold the current pair
    double here_margin;              // closure margin at the current pair
    double floor;                    // margin every sample keeps: the setting, or the current one below it
    bool below;                      // the current pair is below the margin: every step must raise it
    double change;                   // max_step_change, or infinity
    bool tracked = false;            // the goal is the target's own solution: a step onto it may turn back
    // The change steps are planned with: a hair below the bound, so that the
    // rounded pairs keep it.
    [[nodiscard]] double planned() const noexcept { return change * (1.0 - 0x1p-30); }
};

namespace {

// Forward kinematics' closure margin at `pair`, or -1 where the loop does not close.
[[nodiscard]] double margin_at(const SphericalFiveBar& arm, const JointPair& pair) noexcept {
    const std::optional<FkSolution> pose = forward_kinematics(arm, pair.theta_a, pair.theta_b);
    if (!pose) return -1.0;
    const double m = closure_margin(*pose);
    return std::isnan(m) ? -1.0 : m;
}

// Whether `pair` may lie on a step or braking path: inside the box, closing with the floor's margin.
[[nodiscard]] bool keeps(const SphericalFiveBar& arm, const std::optional<JointLimits>& box, double floor,
                         const JointPair& pair) noexcept {
    return finite(pair) && admitted(box, pair) && margin_at(arm, pair) >= floor;
}

// Whether the samples strictly between `from` and `from + delta` keep the floor.
[[nodiscard]] bool clear(const SphericalFiveBar& arm, const std::optional<JointLimits>& box, double floor,
                         const JointPair& from, const JointPair& delta, int most) noexcept {
    const double distance = length(delta);
    const double needed = std::ceil(distance / segment_sample_spacing);
    const int samples = needed < double(most) ? static_cast<int>(needed) : most;
    for (int i = 1; i < samples; ++i)
        if (!keeps(arm, box, floor, moved(from, delta, double(i) / samples))) return false;
    return true;
}

}  // namespace

std::optional<FollowerFault> settings_fault(const FollowSettings& settings) noexcept {
    if (!(settings.max_step > 0.0 && std::isfinite(settings.max_step))) return FollowerFault::max_step;
    if (settings.limits && !settings.limits->usable()) return FollowerFault::limits;
    if (!(settings.damping >= 0.0 && std::isfinite(settings.damping))) return FollowerFault::damping;
    if (!(settings.margin >= 0.0 && std::isfinite(settings.margin))) return FollowerFault::margin;
    if (settings.max_step_change && !(*settings.max_step_change > 0.0 && std::isfinite(*settings.max_step_change)))
        return FollowerFault::max_step_change;
    return std::nullopt;
}

std::optional<FollowerFault> follower_fault(const SphericalFiveBar& arm, const JointPair& start,
                                            const FollowSettings& settings) noexcept {
    if (const std::optional<FollowerFault> fault = settings_fault(settings)) return fault;
    if (!commandable(arm, settings.limits, start)) return FollowerFault::start;
    return std::nullopt;
}

ArmFollower::ArmFollower(const SphericalFiveBar& arm, const JointPair& start, const FollowSettings& settings) noexcept
    : arm_(arm), pair_(start), settings_(settings) {
    prepare_reach_grid(arm_, Admissible{settings_.limits, settings_.margin}, grid_);
}

std::optional<ArmFollower> ArmFollower::make(const SphericalFiveBar& arm, const JointPair& start,
                                             const FollowSettings& settings) noexcept {
    if (follower_fault(arm, start, settings)) return std::nullopt;
    return ArmFollower(arm, start, settings);
}

bool ArmFollower::reset(const JointPair& pair) noexcept {
    if (!commandable(arm_, settings_.limits, pair)) return false;
    pair_ = pair;
    velocity_ = {0.0, 0.0};
    idle_ = 0;
    stall_goal_ = {std::nan(""), 0.0};
    return true;
}

bool ArmFollower::restore(const JointPair& pair, const JointPair& velocity, const Progress& progress) noexcept {
    if (!finite(pair) || !closes(arm_, pair) || !finite(velocity) || !(length(velocity) <= settings_.max_step) ||
        !(progress.idle >= 0 && progress.idle <= stall_limit(settings_)))
        return false;
    pair_ = pair;
    velocity_ = velocity;
    stall_goal_ = progress.goal;
    closest_ = progress.closest;
    idle_ = progress.idle;
    return true;
}

bool ArmFollower::configure(const FollowSettings& settings) noexcept {
    if (settings_fault(settings)) return false;
    settings_ = settings;
    prepare_reach_grid(arm_, Admissible{settings_.limits, settings_.margin}, grid_);
    route_known_ = false;
    goal_known_ = false;
    idle_ = 0;
    stall_goal_ = {std::nan(""), 0.0};
    // A smaller max_step: the next step must be within it; the change bound gives way once.
    const double speed = length(velocity_);
    if (speed > settings_.max_step) velocity_ = scaled(velocity_, settings_.max_step / speed);
    return true;
}

FollowStep ArmFollower::step(const Vec3& direction) noexcept {
    Move move{settings_.limits, 0.0, 0.0, false, settings_.max_step_change.value_or(infinity)};
    // A current pair outside new limits: the box grows to hold it, so that the way in is allowed.
    if (move.box && !move.box->admits(pair_)) {
        move.box->a_min = std::min(move.box->a_min, pair_.theta_a);
        move.box->a_max = std::max(move.box->a_max, pair_.theta_a);
        move.box->b_min = std::min(move.box->b_min, pair_.theta_b);
        move.box->b_max = std::max(move.box->b_max, pair_.theta_b);
    }
    move.here_margin = margin_at(arm_, pair_);
    move.below = move.here_margin < settings_.margin;
    move.floor = move.below ? move.here_margin : settings_.margin;

    if (!finite(direction)) return brake(FollowStatus::holding, move);
    const double size = norm(direction);
    if (!(size >= shortest_direction) || !std::isfinite(size)) return brake(FollowStatus::holding, move);

    JointPair goal{};
    Vec3 goal_v_3{};
    bool reachable = false;
    bool clear_way = true;
    if (!goal_for(move, direction, goal, goal_v_3, reachable, clear_way)) return brake(FollowStatus::saturated, move);
    if (reachable) goal_v_3 = direction / size;
    move.tracked = reachable;

    JointPair delta = difference(goal, pair_);
    double distance = length(delta);
    // The straight way leaves the admissible set: along the route instead, toward
    // the farthest cell on it in clear sight, with the route's length to go.
    bool routed = false;
    double remaining = distance;
    if (!clear_way && !move.below) {
        if (!route_known_ || !same(route_goal_, goal)) plan_route(goal);
        JointPair aim{};
        if (route_aim(move, aim, remaining)) {
            routed = true;
            delta = difference(aim, pair_);
            distance = length(delta);
        } else {
            remaining = distance;
        }
    }
    // No nearer to a goal for stall_limit ticks (caught in a pocket of the
    // admissible set, sliding to and fro): stopped by the margin.
    if (!same(goal, stall_goal_)) {
        stall_goal_ = goal;
        closest_ = remaining;
        idle_ = 0;
    } else if (remaining < closest_) {
        closest_ = remaining;
        idle_ = 0;
    } else if (remaining > 0.0 && idle_ < stall_limit(settings_)) {
        ++idle_;
    }
    if (idle_ >= stall_limit(settings_)) return brake(FollowStatus::saturated, move);
    JointPair wanted{0.0, 0.0};
    if (distance > 0.0) {
        // Braking for the end of the route, not for each cell on the way.
        const double speed =
            std::min(settings_.max_step, stopping_speed(remaining, move.planned(), settings_.max_step));
        wanted = speed >= distance ? delta : scaled(delta, speed / distance);
    }
    JointPair next{};
    bool found = try_step(move, wanted, routed ? nullptr : &goal, next);
    if (!found) {
        // The margin's gradient here: below the margin the way out, and at its
        // edge the wall to slide along toward the goal.
        const double h = 1e-6;
        const JointPair gradient{
            margin_at(arm_, {pair_.theta_a + h, pair_.theta_b}) - margin_at(arm_, {pair_.theta_a - h, pair_.theta_b}),
            margin_at(arm_, {pair_.theta_a, pair_.theta_b + h}) - margin_at(arm_, {pair_.theta_a, pair_.theta_b - h})};
        const double steepness = length(gradient);
        const double speed = length(wanted);
        if (steepness > 0.0 && std::isfinite(steepness)) {
            const JointPair up = scaled(gradient, 1.0 / steepness);
            if (move.below) found = try_step(move, scaled(up, settings_.max_step), nullptr, next);
            const double into = wanted.theta_a * up.theta_a + wanted.theta_b * up.theta_b;
            if (!found && speed > 0.0 && into < 0.0) {
                // The wanted step's part along the wall, kept as fast, leaning away
                // from it more each try as the wall curves.
                const JointPair along{wanted.theta_a - into * up.theta_a, wanted.theta_b - into * up.theta_b};
                const double along_length = length(along);
                for (const double lean : {0.0, 0.25, 1.0}) {
                    if (found || !(along_length > 0.0)) break;
                    const JointPair slide{along.theta_a / along_length + lean * up.theta_a,
                                          along.theta_b / along_length + lean * up.theta_b};
                    found = try_step(move, scaled(slide, speed / length(slide)), nullptr, next);
                }
            }
        }
    }
    if (!found) {
        const std::optional<JointPair> turned = turn_toward(move, goal_v_3);
        if (turned) {
            next = *turned;
            found = true;
        }
    }
    if (!found) return brake(FollowStatus::saturated, move);
    velocity_ = difference(next, pair_);
    pair_ = next;
    // On the goal; with max_step_change, within one step of it (the lag a bounded
    // acceleration leaves behind a moving or jittering target).
    FollowStatus status = FollowStatus::approaching;
    const bool close = same(next, goal) || (move.change < infinity &&
                                            joint_distance(next, goal) <= settings_.max_step);
    if (close) status = reachable ? FollowStatus::tracking : FollowStatus::saturated;
    return {pair_, status};
}

// The goal of `direction`: its admissible solution nearest the current pair
// (farther than a step: the nearest whose way there keeps the margin, if any),
// or out of reach, its nearest_reachable pair. False when nothing is admissible.
bool ArmFollower::goal_for(const Move& move, const Vec3& direction, JointPair& goal, Vec3& goal_v_3,
                           bool& reachable, bool& clear_way) noexcept {
    clear_way = true;
    const Admissible admissible{settings_.limits, settings_.margin};
    const DirectionSolutions solutions = direction_solutions(arm_, direction, admissible);
    if (!solutions.empty()) {
        reachable = true;
        // Bit for bit the direction inverse with near, as tracking promises: its
        // choice among the same solutions (strictly nearer wins, ties keep the first).
        goal = solutions[0];
        double nearest = joint_distance_squared(goal, pair_);
        for (const JointPair& pair : solutions) {
            const double distance = joint_distance_squared(pair, pair_);
            if (nearest > distance) {
                goal = pair;
                nearest = distance;
            }
        }
        if (joint_distance(goal, pair_) <= settings_.max_step) return true;
        std::array<JointPair, DirectionSolutions::capacity> order;
        std::size_t count = 0;
        for (const JointPair& pair : solutions) {
            std::size_t at = count++;
            const double distance = joint_distance_squared(pair, pair_);
            for (; at > 0 && joint_distance_squared(order[at - 1], pair_) > distance; --at) order[at] = order[at - 1];
            order[at] = pair;
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (clear(arm_, move.box, move.floor, pair_, difference(order[k], pair_), most_goal_samples)) {
                goal = order[k];
                return true;
            }
        }
        clear_way = false;
        return true;
    }
    reachable = false;
    const Vec3 unit = direction / norm(direction);
    if (!goal_known_ || !same(goal_target_, unit)) {
        const std::optional<Reach> reach = nearest_reachable(arm_, unit, admissible, grid_);
        goal_known_ = reach.has_value();
        if (!reach) return false;
        goal_ = *reach;
        goal_target_ = unit;
    }
    // The same pose a whole turn of either angle away, where that is nearer and
    // the limits admit it.
    constexpr double turn = 2.0 * 3.14159265358979323846;
    // Of the two, the nearer whose straight way keeps the margin, else the nearer.
    goal = goal_.pair;
    const JointPair wrapped{goal.theta_a + turn * std::nearbyint((pair_.theta_a - goal.theta_a) / turn),
                            goal.theta_b + turn * std::nearbyint((pair_.theta_b - goal.theta_b) / turn)};
    if (finite(wrapped) && admitted(settings_.limits, wrapped) && !same(wrapped, goal)) {
        const bool nearer = joint_distance(wrapped, pair_) < joint_distance(goal, pair_);
        const JointPair first = nearer ? wrapped : goal;
        const JointPair second = nearer ? goal : wrapped;
        goal = first;
        if (!clear(arm_, move.box, move.floor, pair_, difference(first, pair_), most_goal_samples)) {
            clear_way = clear(arm_, move.box, move.floor, pair_, difference(second, pair_), most_goal_samples);
            if (clear_way) goal = second;
        }
    } else if (joint_distance(goal, pair_) > settings_.max_step) {
        clear_way = clear(arm_, move.box, move.floor, pair_, difference(goal, pair_), most_goal_samples);
    }
    goal_v_3 = goal_.v_3;
    return true;
}

namespace {

// A pair's place on one axis of the grid, in cells from its first point.
[[nodiscard]] double cell_coordinate(const ReachAxis& axis, double theta) noexcept {
    return (theta - axis.low) / axis.spacing();
}

// Cell `i` (any integer on a periodic axis: a copy a whole turn away) as an index
// into the grid, or -1 off a bounded axis.
[[nodiscard]] int grid_index(const ReachAxis& axis, long long i) noexcept {
    if (axis.periodic) return static_cast<int>(((i % reach_grid) + reach_grid) % reach_grid);
    return i >= 0 && i < reach_grid ? static_cast<int>(i) : -1;
}

// Cells on each side of a pair that its route may start from or end at: the
// pair's own cell and one more around it.
constexpr int sight_cells = 4;

}  // namespace

// Dijkstra over the grid's admissible cells (8-connected; a diagonal only where
// both cells beside it are admissible too), from the cells around `goal` whose
// straight way to it is clear. Fixed-size, on the stack: no allocation.
void ArmFollower::plan_route(const JointPair& goal) noexcept {
    route_known_ = true;
    route_goal_ = goal;
    route_.fill(infinity);
    const std::optional<JointLimits>& box = settings_.limits;
    const double floor = settings_.margin;
    // An indexed binary heap of cells by distance.
    std::array<std::int16_t, ReachGrid::cells> heap{};
    std::array<std::int16_t, ReachGrid::cells> slot;
    slot.fill(-1);
    int size = 0;
    const auto sift_up = [&](int at) noexcept {
        while (at > 0) {
            const int parent = (at - 1) / 2;
            if (!(route_[heap[at]] < route_[heap[parent]])) break;
            std::swap(heap[at], heap[parent]);
            slot[heap[at]] = static_cast<std::int16_t>(at);
            slot[heap[parent]] = static_cast<std::int16_t>(parent);
            at = parent;
        }
    };
    const auto sift_down = [&](int at) noexcept {
        for (;;) {
            int least = at;
            for (const int child : {2 * at + 1, 2 * at + 2})
                if (child < size && route_[heap[child]] < route_[heap[least]]) least = child;
            if (least == at) break;
            std::swap(heap[at], heap[least]);
            slot[heap[at]] = static_cast<std::int16_t>(at);
            slot[heap[least]] = static_cast<std::int16_t>(least);
            at = least;
        }
    };
    const auto offer = [&](int cell, double distance) noexcept {
        if (!(distance < route_[cell])) return;
        route_[cell] = distance;
        if (slot[cell] < 0) {
            heap[size] = static_cast<std::int16_t>(cell);
            slot[cell] = static_cast<std::int16_t>(size);
            ++size;
        }
        sift_up(slot[cell]);
    };
    const ReachAxis& a = grid_.a;
    const ReachAxis& b = grid_.b;
    const double sa = a.spacing();
    const double sb = b.spacing();
    const auto i0 = static_cast<long long>(std::floor(cell_coordinate(a, goal.theta_a)));
    const auto j0 = static_cast<long long>(std::floor(cell_coordinate(b, goal.theta_b)));
    if (!finite(goal) || std::fabs(double(i0)) > 1e9 || std::fabs(double(j0)) > 1e9) return;
    for (long long i = i0 - sight_cells / 2 + 1; i <= i0 + sight_cells / 2; ++i) {
        for (long long j = j0 - sight_cells / 2 + 1; j <= j0 + sight_cells / 2; ++j) {
            const int gi = grid_index(a, i);
            const int gj = grid_index(b, j);
            if (gi < 0 || gj < 0 || !grid_.admitted[ReachGrid::index(gi, gj)]) continue;
            const JointPair cell{a.low + sa * double(i), b.low + sb * double(j)};
            const JointPair way = difference(goal, cell);
            if (admitted(box, cell) && clear(arm_, box, floor, cell, way, most_goal_samples))
                offer(ReachGrid::index(gi, gj), length(way));
        }
    }
    const double diagonal = std::sqrt(sa * sa + sb * sb);
    while (size > 0) {
        const int cell = heap[0];
        slot[cell] = -1;
        heap[0] = heap[--size];
        if (size > 0) {
            slot[heap[0]] = 0;
            sift_down(0);
        }
        const int ci = cell / reach_grid;
        const int cj = cell % reach_grid;
        for (int di = -1; di <= 1; ++di) {
            for (int dj = -1; dj <= 1; ++dj) {
                if (di == 0 && dj == 0) continue;
                const int ni = grid_index(a, ci + di);
                const int nj = grid_index(b, cj + dj);
                if (ni < 0 || nj < 0 || !grid_.admitted[ReachGrid::index(ni, nj)]) continue;
                if (di != 0 && dj != 0 &&
                    (!grid_.admitted[ReachGrid::index(ni, cj)] || !grid_.admitted[ReachGrid::index(ci, nj)]))
                    continue;
                const double w = di == 0 ? sb : dj == 0 ? sa : diagonal;
                offer(ReachGrid::index(ni, nj), route_[cell] + w);
            }
        }
    }
}

// Where a routed step aims: of the cells around the current pair with a route,
// the one whose distance from here plus its route is least (ties: the one
// farther along), among those whose straight way from here is clear and that
// are not the current pair. False when none is.
bool ArmFollower::route_aim(const Move& move, JointPair& aim, double& remaining) const noexcept {
    const ReachAxis& a = grid_.a;
    const ReachAxis& b = grid_.b;
    const double sa = a.spacing();
    const double sb = b.spacing();
    const double u = cell_coordinate(a, pair_.theta_a);
    const double v = cell_coordinate(b, pair_.theta_b);
    if (!(std::fabs(u) < 1e9 && std::fabs(v) < 1e9)) return false;
    const auto i0 = static_cast<long long>(std::floor(u));
    const auto j0 = static_cast<long long>(std::floor(v));
    struct Candidate {
        JointPair cell;
        double total;
        double route;
    };
    std::array<Candidate, sight_cells * sight_cells> candidates;
    int count = 0;
    for (long long i = i0 - sight_cells / 2 + 1; i <= i0 + sight_cells / 2; ++i) {
        for (long long j = j0 - sight_cells / 2 + 1; j <= j0 + sight_cells / 2; ++j) {
            const int gi = grid_index(a, i);
            const int gj = grid_index(b, j);
            if (gi < 0 || gj < 0) continue;
            const double route = route_[ReachGrid::index(gi, gj)];
            if (!(route < infinity)) continue;
            const JointPair cell{a.low + sa * double(i), b.low + sb * double(j)};
            const double here = joint_distance(cell, pair_);
            if (!admitted(move.box, cell)) continue;
            // Totals within rounding of each other tie, and the cell farther along
            // wins: standing on a cell, the follower aims at the next.
            const Candidate c{cell, here + route, route};
            const auto before = [](const Candidate& x, const Candidate& y) noexcept {
                const double tie = 1e-9 * (1.0 + y.total);
                return x.total < y.total - tie || (!(x.total > y.total + tie) && x.route < y.route);
            };
            int at = count++;
            for (; at > 0 && before(c, candidates[at - 1]); --at) candidates[at] = candidates[at - 1];
            candidates[at] = c;
        }
    }
    for (int k = 0; k < count; ++k) {
        if (same(candidates[k].cell, pair_)) continue;
        if (clear(arm_, move.box, move.floor, pair_, difference(candidates[k].cell, pair_), most_goal_samples) &&
            keeps(arm_, move.box, move.floor, candidates[k].cell)) {
            aim = candidates[k].cell;
            remaining = candidates[k].total;
            return true;
        }
    }
    return false;
}

// The step toward `wanted` that the change bound allows, checked: within
// max_step and max_step_change after rounding, inside the box, closing with the
// margin (raising it when below), its segment and its braking path sampled.
// `goal`: a step that reaches it commands it exactly.
bool ArmFollower::try_step(const Move& move, const JointPair& wanted, const JointPair* goal,
                           JointPair& next) const noexcept {
    JointPair step = changed(velocity_, wanted, move.planned());
    if (!finite(step)) return false;
    const bool exact = goal != nullptr && same(step, wanted) && same(wanted, difference(*goal, pair_));
    // Never back against a long last step on the way to a goal: a step that would
    // is cut to its part across it (a hair forward), so that walking round an edge
    // or a route's corner cannot chatter. A step onto the solution of a target in
    // reach follows the target.
    const double last = length(velocity_);
    const double against = step.theta_a * velocity_.theta_a + step.theta_b * velocity_.theta_b;
    const bool cut = !(exact && move.tracked) && against < 0.0 && last > 0.25 * settings_.max_step &&
                     length(step) > 0.25 * settings_.max_step;
    if (cut) step = moved(step, velocity_, -against / (last * last) * (1.0 + 0x1p-20));
    next = exact && !cut ? *goal : JointPair{pair_.theta_a + step.theta_a, pair_.theta_b + step.theta_b};
    for (int tries = 0;; ++tries) {
        const JointPair actual = difference(next, pair_);
        const bool too_long = length(actual) > settings_.max_step;
        const bool too_sudden = length(difference(actual, velocity_)) > move.change;
        if (!too_long && !too_sudden) break;
        if (tries == rounding_tries) return false;
        // Shorten the change toward the last step, or the step toward rest, until
        // the rounded pair is within both bounds.
        const double shrink = tries < 8 ? 1.0 - 0x1p-40 * double(1 << (4 * tries)) : 1.0 - 0x1p-8;
        if (too_sudden) step = moved(velocity_, difference(step, velocity_), shrink);
        if (too_long) step = scaled(step, shrink);
        next = {pair_.theta_a + step.theta_a, pair_.theta_b + step.theta_b};
    }
    if (!finite(next) || !admitted(move.box, next)) return false;
    const double margin = margin_at(arm_, next);
    if (move.below ? !(margin > move.here_margin) : !(margin >= move.floor)) {
        // Below the margin, standing still is allowed too.
        if (!(move.below && same(next, pair_))) return false;
    }
    const JointPair actual = difference(next, pair_);
    if (!clear(arm_, move.box, move.floor, pair_, actual, most_step_samples)) return false;
    const double speed = length(actual);
    const double braking = braking_distance(speed, move.planned());
    if (braking > 0.0) {
        const JointPair path = scaled(actual, braking / speed);
        if (!keeps(arm_, move.box, move.floor, moved(next, path, 1.0))) return false;
        if (!clear(arm_, move.box, move.floor, next, path, most_braking_samples)) return false;
        // The pairs braking would command, each, where they are few enough: the
        // samples above may straddle a dip of the margin between them.
        const double ticks = std::floor(speed / move.planned());
        if (ticks <= double(most_braking_samples)) {
            double along = 0.0;
            for (int k = 1; double(k) < ticks; ++k) {
                along += speed - double(k) * move.planned();
                if (!keeps(arm_, move.box, move.floor, moved(next, actual, along / speed))) return false;
            }
        }
    }
    return true;
}

// A damped least-squares step that turns v_3 toward `v_3_goal` (a unit vector),
// halved until it is admissible and points closer.
std::optional<JointPair> ArmFollower::turn_toward(const Move& move, const Vec3& v_3_goal) const noexcept {
    const std::optional<FkSolution> here = forward_kinematics(arm_, pair_.theta_a, pair_.theta_b);
    if (!here) return std::nullopt;
    const Vec3& v_3 = here->v_3;
    const double alignment = dot(v_3, v_3_goal);
    const Vec3 axis = cross(v_3, v_3_goal);
    const double sine = norm(axis);
    // On the goal already, or opposite it with no preferred way round.
    if (!(sine > 0.0)) return std::nullopt;
    const double angle = std::atan2(sine, alignment);
    // axis x v_3 is the tangent at v_3 toward the goal, sine long.
    const Vec3 v_3_dot = (angle / sine) * cross(axis, v_3);
    const std::optional<JointPair> rates =
        joint_rates(arm_, pair_.theta_a, pair_.theta_b, v_3_dot, settings_.damping);
    if (!rates || !finite(*rates)) return std::nullopt;
    const double full = length(*rates);
    if (!(full > 0.0)) return std::nullopt;
    double speed = std::min(settings_.max_step, stopping_speed(full, move.planned(), settings_.max_step));
    for (int halving = 0; halving <= damped_step_halvings; ++halving, speed *= 0.5) {
        JointPair next{};
        if (!try_step(move, scaled(*rates, speed / full), nullptr, next)) continue;
        const std::optional<FkSolution> there = forward_kinematics(arm_, next.theta_a, next.theta_b);
        if (there && dot(there->v_3, v_3_goal) > alignment) return next;
    }
    return std::nullopt;
}

// No step toward the target: slow down by max_step_change along the last step
// (the braking path every step keeps admissible), or stop at once without it.
FollowStep ArmFollower::brake(FollowStatus status, const Move& move) noexcept {
    const double speed = length(velocity_);
    if (!(speed > 0.0)) return {pair_, status};
    // Without a change bound, or slow enough: at rest at once.
    if (!(move.change < infinity) || !(speed > move.change)) {
        velocity_ = {0.0, 0.0};
        return {pair_, status};
    }
    const JointPair slower = scaled(velocity_, (speed - move.planned()) / speed);
    JointPair next{pair_.theta_a + slower.theta_a, pair_.theta_b + slower.theta_b};
    // The braking path ends inside the box, but rounding may put a pair on it an
    // ulp outside a limit it ends on: clamped, that pair moves by no more.
    if (move.box && finite(next)) {
        next = {std::clamp(next.theta_a, move.box->a_min, move.box->a_max),
                std::clamp(next.theta_b, move.box->b_min, move.box->b_max)};
    }
    if (!finite(next) || margin_at(arm_, next) < 0.0) {
        velocity_ = {0.0, 0.0};
        return {pair_, status};
    }
    velocity_ = difference(next, pair_);
    pair_ = next;
    return {pair_, status == FollowStatus::saturated ? FollowStatus::approaching : status};
}

}  // namespace velmora::arm
