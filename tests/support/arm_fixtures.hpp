#pragma once
// The arm geometries and vector helpers that the arm's C++ tests share.

#include <string>

#include "support/check.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::testing {

// The default left arm, its negative branch, and the default right arm (its mirror).
inline constexpr arm::SphericalLinkGeometry left{0.7, 0.5, arm::Branch::positive, false};
inline constexpr arm::SphericalLinkGeometry left_negative{0.7, 0.5, arm::Branch::negative, false};
inline constexpr arm::SphericalLinkGeometry right{0.7, 0.5, arm::Branch::positive, true};

inline constexpr Vec3 nan3{nan, nan, nan};

inline Vec3 column(const Mat3& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }

inline double triple(const Vec3& a, const Vec3& b, const Vec3& c) { return dot(a, cross(b, c)); }

// Forward kinematics of a pair that closes; NaNs, which fail every check, if it does not.
inline arm::FkSolution fk_or_nan(const arm::SphericalLinkGeometry& g, double theta_a, double theta_b) {
    const Mat3 r{{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
    return arm::forward_kinematics(g, theta_a, theta_b).value_or(arm::FkSolution{r, nan3, nan3, nan3});
}

// Each component within `tol` (NaN matches NaN); a failure shows `what` and the vector.
inline bool check_vec(const Vec3& got, const Vec3& want, double tol, const std::string& what) {
    return VT_CHECK_MSG(near(got.x, want.x, tol) && near(got.y, want.y, tol) && near(got.z, want.z, tol),
                        what + ": got " + show({got.x, got.y, got.z}));
}

}  // namespace velmora::testing
