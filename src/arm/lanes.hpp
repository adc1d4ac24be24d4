#pragma once
// Two doubles side by side, so that two independent steps of the kinematics
// (two loop closures, two frames, the circles about v_1 and v_5) run in one
// instruction each. Every lane operation is the IEEE operation the scalar code
// performs (add, subtract, multiply, divide, square root, compare), in the same
// order, so each lane holds exactly the double the scalar step gives.

#include <cmath>

#include "velmora_torso_kinematics/vector_types.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::arm::lanes {

using Pair = double __attribute__((vector_size(16)));
using Mask = long long __attribute__((vector_size(16)));  // all ones in a lane where true

[[nodiscard]] inline Pair splat(double v) noexcept { return Pair{v, v}; }

[[nodiscard]] inline Pair sqrt(Pair v) noexcept {
#if defined(__SSE2__)
    return reinterpret_cast<Pair>(_mm_sqrt_pd(reinterpret_cast<__m128d>(v)));
#else
    return Pair{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// Two vectors, lane by lane.
struct Vec3s {
    Pair x;
    Pair y;
    Pair z;

    [[nodiscard]] Vec3 lane(int i) const noexcept { return {x[i], y[i], z[i]}; }
};

[[nodiscard]] inline Vec3s splat(const Vec3& v) noexcept { return {splat(v.x), splat(v.y), splat(v.z)}; }

[[nodiscard]] inline Vec3s join(const Vec3& a, const Vec3& b) noexcept {
    return {Pair{a.x, b.x}, Pair{a.y, b.y}, Pair{a.z, b.z}};
}

// The same sums and products as velmora::dot, cross and the Vec3 operators.
[[nodiscard]] inline Pair dot(const Vec3s& a, const Vec3s& b) noexcept {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

[[nodiscard]] inline Vec3s cross(const Vec3s& a, const Vec3s& b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

[[nodiscard]] inline Vec3s operator+(const Vec3s& a, const Vec3s& b) noexcept {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

[[nodiscard]] inline Vec3s operator-(const Vec3s& a, const Vec3s& b) noexcept {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

[[nodiscard]] inline Vec3s operator*(Pair k, const Vec3s& v) noexcept { return {k * v.x, k * v.y, k * v.z}; }

[[nodiscard]] inline Vec3s operator/(const Vec3s& v, Pair k) noexcept { return {v.x / k, v.y / k, v.z / k}; }

}  // namespace velmora::arm::lanes
