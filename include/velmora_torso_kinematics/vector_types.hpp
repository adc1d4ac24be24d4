#pragma once
// velmora_torso_kinematics: plain value types shared by the arm and the neck.

#include <array>
#include <cmath>
#include <limits>

namespace velmora {

// A point or direction in the body frame.
struct Vec3 {
    double x;
    double y;
    double z;
};

// A 3x3 matrix of doubles, row-major: m[i][j] is row i, column j.
using Mat3 = std::array<std::array<double, 3>, 3>;

// The arm's two input joint angles, radians.
struct JointPair {
    double theta_a;
    double theta_b;
};

// Whether the inclusive range [low, high] holds a finite number: no NaN bound,
// low <= high, and neither bound past the infinity on its own side. Both the
// arm's joint limits and the neck's are usable when each of their ranges is.
[[nodiscard]] constexpr bool usable_range(double low, double high) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    return low <= high && low < inf && -inf < high;
}

// Dot product summed as (x + y) + z: the kinematics state this order.
[[nodiscard]] constexpr double dot(const Vec3& a, const Vec3& b) noexcept {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

// Euclidean length, summed as (x^2 + y^2) + z^2 without rescaling: a length
// whose square overflows is infinite.
[[nodiscard]] inline double norm(const Vec3& v) noexcept { return std::sqrt(dot(v, v)); }

[[nodiscard]] constexpr Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

[[nodiscard]] constexpr Vec3 operator+(const Vec3& a, const Vec3& b) noexcept {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

[[nodiscard]] constexpr Vec3 operator-(const Vec3& a, const Vec3& b) noexcept {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

[[nodiscard]] constexpr Vec3 operator*(double k, const Vec3& v) noexcept {
    return {k * v.x, k * v.y, k * v.z};
}

[[nodiscard]] constexpr Vec3 operator/(const Vec3& v, double k) noexcept {
    return {v.x / k, v.y / k, v.z / k};
}

}  // namespace velmora
