#include "velmora_torso_kinematics/neck_follow.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace velmora::neck {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double turn = 2.0 * std::numbers::pi;

[[nodiscard]] bool finite(const NeckAngles& a) noexcept {
    return std::isfinite(a.yaw) && std::isfinite(a.pitch) && std::isfinite(a.roll);
}

// `angle` turned by the whole number of turns that brings it nearest `near`.
[[nodiscard]] double nearest_turn(double angle, double near) noexcept {
    return angle + std::round((near - angle) / turn) * turn;
}

[[nodiscard]] NeckAngles nearest_turns(const NeckAngles& a, const NeckAngles& near) noexcept {
    return {nearest_turn(a.yaw, near.yaw), nearest_turn(a.pitch, near.pitch), nearest_turn(a.roll, near.roll)};
}

[[nodiscard]] double squared_distance(const NeckAngles& a, const NeckAngles& b) noexcept {
    const double dy = a.yaw - b.yaw;
    const double dp = a.pitch - b.pitch;
    const double dr = a.roll - b.roll;
    return (dy * dy + dp * dp) + dr * dr;
}

[[nodiscard]] bool admitted(const std::optional<NeckLimits>& limits, const NeckAngles& a) noexcept {
    return !limits || limits->admits(a);
}

// `to` when it lies within max_step of `from`, else `from` moved max_step toward
// it, shortened by the rounding that would make the step longer.
[[nodiscard]] double toward(double from, double to, double max_step) noexcept {
    if (std::fabs(to - from) <= max_step) return to;
    double next = to > from ? from + max_step : from - max_step;
    while (!(std::fabs(next - from) <= max_step)) next = std::nextafter(next, from);
    return next;
}

}  // namespace

std::optional<NeckAngles> inverse_kinematics(const Mat3& r, const NeckAngles& near) noexcept {
    if (!finite(near)) return std::nullopt;
    if (const std::optional<NeckAngles> plain = inverse_kinematics(r)) {
        const NeckAngles first = nearest_turns(*plain, near);
        const NeckAngles second =
            nearest_turns({plain->yaw + pi, pi - plain->pitch, plain->roll + pi}, near);
        // Ties keep the plain representation.
        return squared_distance(second, near) < squared_distance(first, near) ? second : first;
    }
    // Gimbal lock: with roll fixed, M = R Rx(roll)^T = Rz(yaw) Ry(pitch), whose
    // second column (-sin yaw, cos yaw, 0) and bottom row (-sin pitch, 0, cos pitch)
    // give both angles well conditioned.
    const double s = std::sin(near.roll);
    const double c = std::cos(near.roll);
    const double m_01 = r[0][1] * c - r[0][2] * s;
    const double m_11 = r[1][1] * c - r[1][2] * s;
    const double m_22 = r[2][1] * s + r[2][2] * c;
    const NeckAngles locked{std::atan2(-m_01, m_11), std::atan2(-r[2][0], m_22), near.roll};
    return NeckAngles{nearest_turn(locked.yaw, near.yaw), nearest_turn(locked.pitch, near.pitch), near.roll};
}

bool NeckLimits::admits(const NeckAngles& a) const noexcept {
    return yaw_min <= a.yaw && a.yaw <= yaw_max && pitch_min <= a.pitch && a.pitch <= pitch_max &&
           roll_min <= a.roll && a.roll <= roll_max;
}

bool NeckLimits::usable() const noexcept {
    return usable_range(yaw_min, yaw_max) && usable_range(pitch_min, pitch_max) && usable_range(roll_min, roll_max);
}

bool is_rotation(const Mat3& r) noexcept {
    // Written so that a NaN or an infinity fails every comparison.
    for (int i = 0; i < 3; ++i) {
        for (int j = i; j < 3; ++j) {
            const double product = (r[i][0] * r[j][0] + r[i][1] * r[j][1]) + r[i][2] * r[j][2];
            if (!(std::fabs(product - (i == j ? 1.0 : 0.0)) <= rotation_tolerance)) return false;
        }
    }
    const Vec3 first{r[0][0], r[0][1], r[0][2]};
    const Vec3 second{r[1][0], r[1][1], r[1][2]};
    const Vec3 third{r[2][0], r[2][1], r[2][2]};
    return dot(first, cross(second, third)) > 0.0;
}

namespace {

// One angle's range; infinite where it has no bound.
struct Range {
    double low;
    double high;
};

[[nodiscard]] std::array<Range, 3> ranges(const std::optional<NeckLimits>& limits) noexcept {
    if (!limits) return {Range{-HUGE_VAL, HUGE_VAL}, Range{-HUGE_VAL, HUGE_VAL}, Range{-HUGE_VAL, HUGE_VAL}};
    return {Range{limits->yaw_min, limits->yaw_max}, Range{limits->pitch_min, limits->pitch_max},
            Range{limits->roll_min, limits->roll_max}};
}

// How far `value` lies outside `range`: 0 inside it.
[[nodiscard]] double gap(double value, const Range& range) noexcept {
    return std::max({range.low - value, value - range.high, 0.0});
}

struct Fit {
    double angle;
    double gap;
};

// Of the values angle + k turns, the one inside `range` nearest `near`; when
// none is, the bound nearest such a value, and how far that value lies out.
// Ties go to the value nearer `near`.
[[nodiscard]] Fit fit(double angle, double near, const Range& range) noexcept {
    const double nearest = nearest_turn(angle, near);
    if (range.low <= nearest && nearest <= range.high) return {nearest, 0.0};
    // The turns at the bounds: the first at or above the low one, the last at or
    // below the high one, and their neighbours in case rounding put them across.
    const double up = angle + std::ceil((range.low - angle) / turn) * turn;
    const double down = angle + std::floor((range.high - angle) / turn) * turn;
    Fit best{std::clamp(nearest, range.low, range.high), gap(nearest, range)};
    double best_distance = std::fabs(nearest - near);
    for (const double candidate : {up, up - turn, down, down + turn}) {
        if (!std::isfinite(candidate)) continue;  // an infinite bound's turn
        const double out = gap(candidate, range);
        const double distance = std::fabs(candidate - near);
        if (out < best.gap || (out == best.gap && distance < best_distance)) {
            best = {std::clamp(candidate, range.low, range.high), out};
            best_distance = distance;
        }
    }
    return best;
}

struct FamilyFit {
    NeckAngles angles;
    bool admitted;    // every angle inside its range: no gap at all
    double gap;       // sum of squared gaps (a tiny gap's square may round to 0)
    double distance;  // squared, from near
};

[[nodiscard]] FamilyFit fit_family(const NeckAngles& base, const NeckAngles& near,
                                   const std::array<Range, 3>& range) noexcept {
    const Fit yaw = fit(base.yaw, near.yaw, range[0]);
    const Fit pitch = fit(base.pitch, near.pitch, range[1]);
    const Fit roll = fit(base.roll, near.roll, range[2]);
    const NeckAngles angles{yaw.angle, pitch.angle, roll.angle};
    return {angles, yaw.gap == 0.0 && pitch.gap == 0.0 && roll.gap == 0.0,
            (yaw.gap * yaw.gap + pitch.gap * pitch.gap) + roll.gap * roll.gap, squared_distance(angles, near)};
}

// Inside the gimbal-lock band yaw and roll turn about one axis: at pitch near
// side * pi/2 the rotation keeps roll - side * yaw (up to whole turns), so a yaw
// that the limits refuse may be traded for roll. Of the angles on those lines
// inside the limits, the ones nearest `near`, with `base`'s pitch fitted; nothing
// when no line crosses the limits.
[[nodiscard]] std::optional<FamilyFit> traded(const NeckAngles& base, double side, const NeckAngles& near,
                                              const std::array<Range, 3>& range) noexcept {
    const Fit pitch = fit(base.pitch, near.pitch, range[1]);
    if (pitch.gap != 0.0 || !std::isfinite(range[0].low + range[0].high + range[2].low + range[2].high))
        return std::nullopt;  // an unbounded yaw or roll never needs the trade
    const double line = base.roll - side * base.yaw;  // roll - side * yaw, up to whole turns
    // roll - side * yaw over the limits' box, and the turns that cross it.
    const double low = range[2].low - (side > 0 ? range[0].high : -range[0].low);
    const double high = range[2].high - (side > 0 ? range[0].low : -range[0].high);
    const double first = std::ceil((low - line) / turn), last = std::floor((high - line) / turn);
    std::optional<FamilyFit> best;
    for (double k = first; k <= last && k < first + 8.0; k += 1.0) {
        const double offset = line + k * turn;  // roll = side * yaw + offset
        // The yaws whose roll is inside the limits, inside the yaw limits.
        const double from = std::max(range[0].low, side > 0 ? range[2].low - offset : offset - range[2].high);
        const double to = std::min(range[0].high, side > 0 ? range[2].high - offset : offset - range[2].low);
        if (!(from <= to)) continue;
        // The point of the line nearest `near`, kept on the segment.
        const double yaw = std::clamp(0.5 * (near.yaw + side * (near.roll - offset)), from, to);
        const NeckAngles angles{yaw, pitch.angle, std::clamp(side * yaw + offset, range[2].low, range[2].high)};
        const double distance = squared_distance(angles, near);
        if (!best || distance < best->distance) best = FamilyFit{angles, true, 0.0, distance};
    }
    return best;
}

}  // namespace

std::optional<NeckGoal> goal_within(const Mat3& r, const NeckAngles& near, const NeckLimits& limits) noexcept {
    // Outside the band the plain angles; inside it, those that keep near's roll.
    const std::optional<NeckAngles> plain = inverse_kinematics(r);
    const std::optional<NeckAngles> base = plain ? plain : inverse_kinematics(r, near);
    if (!base || !finite(*base) || !finite(near)) return std::nullopt;
    const std::array<Range, 3> range = ranges(limits);
    const FamilyFit first = fit_family(*base, near, range);
    const NeckAngles other_base{base->yaw + pi, pi - base->pitch, base->roll + pi};
    // The other representation comes no nearer than its turns nearest `near`:
    // when even those are no nearer than an admitted first, it loses the tie.
    if (first.admitted && !(squared_distance(nearest_turns(other_base, near), near) < first.distance))
        return NeckGoal{first.angles, true};
    const FamilyFit second = fit_family(other_base, near, range);
    if (!plain && !first.admitted && !second.admitted) {
        // Locked, with near's roll refused: trade yaw for roll, on either representation.
        const double side = r[2][0] < 0.0 ? 1.0 : -1.0;  // the sign of sin(pitch) = -r20
        const std::optional<FamilyFit> one = traded(*base, side, near, range);
        // pi - pitch has pitch's sine: the other representation lies on the same lines.
        const std::optional<FamilyFit> two = traded(other_base, side, near, range);
        if (one && (!two || !(two->distance < one->distance))) return NeckGoal{one->angles, true};
        if (two) return NeckGoal{two->angles, true};
    }
    // Ties keep the plain representation, as inverse_kinematics(r, near) does.
    const bool other = first.admitted != second.admitted ? second.admitted
                       : second.gap != first.gap          ? second.gap < first.gap
                                                          : second.distance < first.distance;
    const FamilyFit& chosen = other ? second : first;
    return NeckGoal{chosen.angles, chosen.admitted};
}

std::optional<NeckFollowerFault> neck_settings_fault(const NeckFollowSettings& settings) noexcept {
    const auto positive = [](double x) { return x > 0.0 && std::isfinite(x); };
    if (!positive(settings.max_step)) return NeckFollowerFault::max_step;
    if (settings.max_step_change && !positive(*settings.max_step_change)) return NeckFollowerFault::max_step_change;
    if (settings.limits && !settings.limits->usable()) return NeckFollowerFault::limits;
    return std::nullopt;
}

std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start,
                                                     const NeckFollowSettings& settings) noexcept {
    if (const auto fault = neck_settings_fault(settings)) return fault;
    if (!finite(start) || !admitted(settings.limits, start)) return NeckFollowerFault::start;
    return std::nullopt;
}

std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start, double max_step,
                                                     const std::optional<NeckLimits>& limits) noexcept {
    return neck_follower_fault(start, NeckFollowSettings{max_step, std::nullopt, limits});
}

std::optional<NeckFollower> NeckFollower::make(const NeckAngles& start, const NeckFollowSettings& settings) noexcept {
    if (neck_follower_fault(start, settings)) return std::nullopt;
    return NeckFollower(start, {0.0, 0.0, 0.0}, settings);
}

std::optional<NeckFollower> NeckFollower::restore(const NeckAngles& angles, const NeckAngles& velocity,
                                                  const NeckFollowSettings& settings) noexcept {
    if (neck_settings_fault(settings) || !finite(angles)) return std::nullopt;
    for (const double v : {velocity.yaw, velocity.pitch, velocity.roll})
        if (!(std::fabs(v) <= settings.max_step)) return std::nullopt;
    return NeckFollower(angles, velocity, settings);
}

bool NeckFollower::reset(const NeckAngles& angles) noexcept {
    if (!finite(angles) || !admitted(settings_.limits, angles)) return false;
    angles_ = angles;
    velocity_ = {0.0, 0.0, 0.0};
    return true;
}

bool NeckFollower::configure(const NeckFollowSettings& settings) noexcept {
    if (neck_settings_fault(settings)) return false;
    settings_ = settings;
    return true;
}

namespace {

// The largest step s >= 0 after which braking by `change` a tick still stops
// within `room`: s + (s - change) + (s - 2 change) + ..., positive terms only,
// is at most room. 0 for no room; the run is what a time-optimal stop takes.
[[nodiscard]] double stopping_step(double room, double change) noexcept {
    if (!(room > 0.0)) return 0.0;
    if (room <= change) return room;  // one step, and it stops there
    if (room == HUGE_VAL) return HUGE_VAL;
    // n steps, s in ((n - 1) change, n change], cover n s - change n (n - 1) / 2:
    // n is the fewest whose fullest run, change n (n + 1) / 2, reaches room.
    double n = std::max(1.0, std::ceil((std::sqrt(1.0 + 8.0 * (room / change)) - 1.0) / 2.0));
    // Past 2^50 steps the counts lose their integers; such a room is a stop
    // of about sqrt(2 room change), and this is below it.
    if (!(n < 0x1p50)) return std::sqrt(room * change);
    while (n > 1.0 && change * ((n - 1.0) * n / 2.0) >= room) n -= 1.0;
    while (change * (n * (n + 1.0) / 2.0) < room) n += 1.0;
    return (room + change * (n * (n - 1.0) / 2.0)) / n;
}

// stopping_step for a run that may be many ticks long: each tick's rounding
// moves the path's end by an ulp, so a run longer than one step aims short of
// `room` by a margin far above those ulps. The last step lands exactly.
[[nodiscard]] double safe_stopping_step(double room, double change, double scale) noexcept {
    constexpr double margin = 1e-11;  // relative to the angles' magnitude, at least 1
    return room > change ? stopping_step(room - margin * scale, change) : stopping_step(room, change);
}

// One angle's next value from `from`, moving `velocity` a tick: toward `goal`
// as fast as max_step and the change allow while it can still stop there and
// inside `range` (when it is inside), or, without a goal, braking to rest.
[[nodiscard]] double accelerated(double from, double velocity, const std::optional<double>& goal,
                                 const Range& range, double max_step, double change) noexcept {
    // Tracking: a goal within one step, whose step changes by no more than the
    // change, is landed on (from there it can stop at once), as below but sooner.
    if (goal) {
        const double error = *goal - from;
        if (std::fabs(error) <= change && std::fabs(error) <= max_step && std::fabs(error - velocity) <= change)
            return *goal;
    }
    double lower = std::max(velocity - change, -max_step);
    double upper = std::min(velocity + change, max_step);
    const bool inside = range.low <= from && from <= range.high;
    const double scale = std::max(1.0, std::fabs(from));
    // A limit farther than a stop from full speed takes (max_step + max_step^2 /
    // (2 change), with room to spare) cannot cap the step: most ticks skip it.
    const double far = 2.0 * max_step + max_step * (max_step / change);
    if (inside && !(range.high - from > far)) upper = std::min(upper, safe_stopping_step(range.high - from, change, scale));
    if (inside && !(from - range.low > far)) lower = std::max(lower, -safe_stopping_step(from - range.low, change, scale));
    const double error = goal ? *goal - from : 0.0;
    const double wanted = !goal          ? 0.0
                          : error > 0.0 ? safe_stopping_step(error, change, scale)
                                        : -safe_stopping_step(-error, change, scale);
    // The bounds conflict only when the settings changed under a moving neck:
    // brake, as hard as the change allows, within max_step.
    const double step = lower <= upper ? std::clamp(wanted, lower, upper)
                                       : std::clamp(std::clamp(0.0, velocity - change, velocity + change),
                                                    -max_step, max_step);
    double next = goal && step == error ? *goal : from + step;
    // The rounding of from + step may lengthen the step, or its change, by an
    // ulp of `from`, which can be many ulps of `next`: nudges that double.
    double nudge = 0.0;
    for (int k = 0; k < 64 && !(std::fabs(next - from) <= max_step && std::fabs((next - from) - velocity) <= change);
         ++k) {
        const double direction = (next - from) - velocity > 0.0 ? -1.0 : 1.0;
        nudge = std::max(std::fabs(std::nextafter(next, direction * HUGE_VAL) - next), 2.0 * nudge);
        next += direction * nudge;
    }
    return inside ? std::clamp(next, range.low, range.high) : next;
}

}  // namespace

NeckFollowStep NeckFollower::move_toward(const NeckAngles& goal, FollowStatus arrived) noexcept {
    NeckAngles next;
    if (const std::optional<double> change = settings_.max_step_change) {
        const std::array<Range, 3> range = ranges(settings_.limits);
        const double step = settings_.max_step;
        next = {accelerated(angles_.yaw, velocity_.yaw, goal.yaw, range[0], step, *change),
                accelerated(angles_.pitch, velocity_.pitch, goal.pitch, range[1], step, *change),
                accelerated(angles_.roll, velocity_.roll, goal.roll, range[2], step, *change)};
    } else {
        const double step = settings_.max_step;
        next = {toward(angles_.yaw, goal.yaw, step), toward(angles_.pitch, goal.pitch, step),
                toward(angles_.roll, goal.roll, step)};
    }
    velocity_ = {next.yaw - angles_.yaw, next.pitch - angles_.pitch, next.roll - angles_.roll};
    angles_ = next;
    // With an acceleration limit a moving target is followed with a lag: within
    // max_step of the goal counts as on it, as for the arm.
    const double slack = settings_.max_step_change ? settings_.max_step : 0.0;
    const bool reached = std::fabs(next.yaw - goal.yaw) <= slack && std::fabs(next.pitch - goal.pitch) <= slack &&
                         std::fabs(next.roll - goal.roll) <= slack;
    return {angles_, reached ? arrived : FollowStatus::approaching};
}

NeckFollowStep NeckFollower::hold() noexcept {
    if (const std::optional<double> change = settings_.max_step_change) {
        const std::array<Range, 3> range = ranges(settings_.limits);
        const double step = settings_.max_step;
        const NeckAngles next{accelerated(angles_.yaw, velocity_.yaw, std::nullopt, range[0], step, *change),
                              accelerated(angles_.pitch, velocity_.pitch, std::nullopt, range[1], step, *change),
                              accelerated(angles_.roll, velocity_.roll, std::nullopt, range[2], step, *change)};
        velocity_ = {next.yaw - angles_.yaw, next.pitch - angles_.pitch, next.roll - angles_.roll};
        angles_ = next;
    } else {
        velocity_ = {0.0, 0.0, 0.0};
    }
    return {angles_, FollowStatus::holding};
}

NeckFollowStep NeckFollower::step(const Mat3& rotation) noexcept {
    if (!is_rotation(rotation)) return hold();
    if (!settings_.limits) {
        const std::optional<NeckAngles> target = inverse_kinematics(rotation, angles_);
        if (!target || !finite(*target)) return hold();
        return move_toward(*target, FollowStatus::tracking);
    }
    const std::optional<NeckGoal> goal = goal_within(rotation, angles_, *settings_.limits);
    if (!goal) return hold();
    return move_toward(goal->angles, goal->reachable ? FollowStatus::tracking : FollowStatus::saturated);
}

}  // namespace velmora::neck
