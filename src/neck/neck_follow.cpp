#include "velmora_torso_kinematics/neck_follow.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmora::neck {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double turn = 2.0 * std::numbers::pi;

[[nodiscard]] bool finite(const NeckAngles& a) noexcept {
    return std::isfinite(a.yaw) && std::isfinite(a.pitch) && std::isfinite(a.roll);
}

[[nodiscard]] bool finite(const Mat3& r) noexcept {
    for (const auto& row : r)
        for (const double x : row)
            if (!std::isfinite(x)) return false;
    return true;
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

std::optional<NeckFollowerFault> neck_follower_fault(const NeckAngles& start, double max_step,
                                                     const std::optional<NeckLimits>& limits) noexcept {
    if (!(max_step > 0.0 && std::isfinite(max_step))) return NeckFollowerFault::max_step;
    if (limits && !limits->usable()) return NeckFollowerFault::limits;
    if (!finite(start) || !admitted(limits, start)) return NeckFollowerFault::start;
    return std::nullopt;
}

std::optional<NeckFollower> NeckFollower::make(const NeckAngles& start, double max_step,
                                               const std::optional<NeckLimits>& limits) noexcept {
    if (neck_follower_fault(start, max_step, limits)) return std::nullopt;
    return NeckFollower(start, max_step, limits);
}

bool NeckFollower::reset(const NeckAngles& angles) noexcept {
    if (!finite(angles) || !admitted(limits_, angles)) return false;
    angles_ = angles;
    return true;
}

NeckFollowStep NeckFollower::step(const Mat3& rotation) noexcept {
    if (!finite(rotation)) return {angles_, FollowStatus::holding};
    const std::optional<NeckAngles> target = inverse_kinematics(rotation, angles_);
    if (!target || !finite(*target)) return {angles_, FollowStatus::holding};
    NeckAngles goal = *target;
    if (limits_) {
        goal = {std::clamp(goal.yaw, limits_->yaw_min, limits_->yaw_max),
                std::clamp(goal.pitch, limits_->pitch_min, limits_->pitch_max),
                std::clamp(goal.roll, limits_->roll_min, limits_->roll_max)};
    }
    const NeckAngles next{toward(angles_.yaw, goal.yaw, max_step_), toward(angles_.pitch, goal.pitch, max_step_),
                          toward(angles_.roll, goal.roll, max_step_)};
    const bool reached = next.yaw == target->yaw && next.pitch == target->pitch && next.roll == target->roll;
    const bool moved = next.yaw != angles_.yaw || next.pitch != angles_.pitch || next.roll != angles_.roll;
    angles_ = next;
    if (reached) return {angles_, FollowStatus::tracking};
    return {angles_, moved ? FollowStatus::approaching : FollowStatus::holding};
}

}  // namespace velmora::neck
