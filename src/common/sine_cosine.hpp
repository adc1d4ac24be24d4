#pragma once
// Sine and cosine of one angle, for the arm and the neck alike.

#include <cmath>

namespace velmora {

struct SineCosine {
    double sin;
    double cos;
};

// Both in one call where the C library has one: glibc's sincos runs the code of
// its sin and cos, so the values are theirs (a pair of std::sin and std::cos of
// one angle is fused into this call by the compiler anyway). Elsewhere the two
// calls themselves.
[[nodiscard]] inline SineCosine sine_cosine(double angle) noexcept {
#if defined(__GLIBC__)
    SineCosine r;
    ::sincos(angle, &r.sin, &r.cos);
    return r;
#else
    return {std::sin(angle), std::cos(angle)};
#endif
}

}  // namespace velmora
