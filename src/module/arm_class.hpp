#pragma once
// VelmoraArmKinematics: each body only translates between converted values and
// the kinematics core; the table at the bottom is the class's whole surface.

#include <optional>
#include <string_view>

#include "module/converters.hpp"
#include "module/errors.hpp"
#include "module/method_table.hpp"
#include "module/object_layouts.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::module::arm_class {

using arm::SphericalLinkGeometry;

// Allocates through the type's own allocator; an allocation failure is the
// interpreter's error.
inline PyObject* new_arm(PyTypeObject* type, const SphericalLinkGeometry& geometry) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) reinterpret_cast<ArmObject*>(object)->geometry = geometry;
    return object;
}

inline PyObject* new_arm(const SphericalLinkGeometry& geometry) {
    return new_arm(PythonClass<ArmObject>::type(), geometry);
}

inline Returns<ArmObject> construct(PyTypeObject* type, std::optional<double> arm_arc,
                                    std::optional<double> coupler_arc, std::optional<bool> mirror) {
    return new_arm(type, {arm_arc.value_or(arm::default_arm_arc), coupler_arc.value_or(arm::default_coupler_arc),
                          arm::Branch::positive, mirror.value_or(false)});
}

inline Returns<ArmObject> default_left() { return new_arm(arm::default_left()); }
inline Returns<ArmObject> default_right() { return new_arm(arm::default_right()); }

inline Returns<ArmObject> from_json(std::string_view json) {
    const arm::GeometryFromJson parsed = arm::read_geometry_json(json);
    if (!parsed.geometry) return raise_invalid_json(parsed.error.message());
    return new_arm(*parsed.geometry);
}

inline Returns<Mat3> fk(const ArmObject& self, double theta_a, double theta_b) {
    const auto solution = arm::forward_kinematics(self.geometry, theta_a, theta_b);
    return solution ? to_python(solution->rotation) : raise(Failure::loop_does_not_close);
}

inline Returns<Vec3> direction(const ArmObject& self, double theta_a, double theta_b) {
    const auto solution = arm::forward_kinematics(self.geometry, theta_a, theta_b);
    return solution ? to_python(solution->v_3) : raise(Failure::loop_does_not_close);
}

inline Returns<bool> is_reachable_joints(const ArmObject& self, double theta_a, double theta_b) {
    return to_python(arm::forward_kinematics(self.geometry, theta_a, theta_b).has_value());
}

inline Returns<JointPair> ik(const ArmObject& self, const Mat3& r_target) {
    const auto pair = arm::inverse_kinematics(self.geometry, r_target);
    return pair ? to_python(*pair) : raise(Failure::outside_workspace);
}

inline Returns<bool> is_reachable_orientation(const ArmObject& self, const Mat3& r_target) {
    return to_python(arm::inverse_kinematics(self.geometry, r_target).has_value());
}

inline Returns<JointPair> ik_from_direction(const ArmObject& self, const Vec3& v3,
                                            const std::optional<JointPair>& near) {
    const auto pair = arm::inverse_kinematics_from_direction(self.geometry, v3, near);
    return pair ? to_python(*pair) : raise(Failure::outside_workspace);
}

inline Returns<bool> is_reachable_direction(const ArmObject& self, const Vec3& v3) {
    return to_python(arm::inverse_kinematics_from_direction(self.geometry, v3, std::nullopt).has_value());
}

inline Returns<double> arm_arc(const ArmObject& self) { return to_python(self.geometry.arm_arc); }
inline Returns<double> coupler_arc(const ArmObject& self) { return to_python(self.geometry.coupler_arc); }
inline Returns<bool> mirror(const ArmObject& self) { return to_python(self.geometry.mirror); }

inline constexpr auto table = class_table<ArmObject>(
    method<construct>("__new__",
                      {{"arm_arc", defaults_to(arm::default_arm_arc)},
                       {"coupler_arc", defaults_to(arm::default_coupler_arc)},
                       {"mirror", defaults_to(false)}},
                      "Create an arm with explicit geometry parameters.\n\n"
                      "- `arm_arc`: arc length (radians) of each input arm.\n"
                      "- `coupler_arc`: arc length (radians) of each coupler segment.\n"
                      "- `mirror`: when true, mirror the arm across the YZ plane (right arm)."),
    method<default_left>("default_left", "Build the default left-arm geometry."),
    method<default_right>("default_right", "Build the default right-arm geometry (mirror of left)."),
    method<from_json>("from_json", {"json"}, "Build the arm from a JSON string matching `SphericalLinkGeometry`."),
    method<fk>("fk", {"theta_a", "theta_b"},
               "Forward kinematics: `(\u03b8_A, \u03b8_B)` \u2192 3\u00d73 rotation of the end-effector.\n"
               "Raises `RuntimeError` when the loop fails to close (target joint\n"
               "pair is outside the workspace)."),
    method<ik>("ik", {"r_target"},
               "Inverse kinematics: 3\u00d73 rotation \u2192 `(\u03b8_A, \u03b8_B)`.\n"
               "Raises `RuntimeError` when the target orientation isn't reachable."),
    method<ik_from_direction>("ik_from_direction", {"v3", {"near", defaults_to_none}},
                              "Inverse kinematics from just the end-effector pointing direction\n"
                              "(3-vector, automatically normalized). When multiple `(\u03b8_A, \u03b8_B)`\n"
                              "branches reach the same direction, `near` (an optional current\n"
                              "joint pair) picks the closest one; otherwise the smallest-norm\n"
                              "solution wins."),
    method<direction>("direction", {"theta_a", "theta_b"},
                      "Forward kinematics that returns just the end-effector pointing\n"
                      "direction (the third column of the FK rotation, equal to `v_3`)."),
    method<is_reachable_joints>("is_reachable_joints", {"theta_a", "theta_b"},
                                "Whether `(\u03b8_A, \u03b8_B)` lands inside the workspace (loop closes)."),
    method<is_reachable_orientation>("is_reachable_orientation", {"r_target"},
                                     "Whether `r_target` is on the reachable manifold (IK succeeds)."),
    method<is_reachable_direction>("is_reachable_direction", {"v3"},
                                   "Whether the pointing direction `v3` (3-vector, auto-normalized)\n"
                                   "is on the reachable manifold."),
    method<arm_arc>("arm_arc", ""),
    method<coupler_arc>("coupler_arc", ""),
    method<mirror>("mirror", ""));
static_assert(table_is_well_formed(table));

}  // namespace velmora::module::arm_class
