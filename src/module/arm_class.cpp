// VelmoraArmKinematics: the arm's Python class. Each body below only
// translates between converted values and the kinematics core.

#include <optional>
#include <string_view>

#include "module/classes.hpp"
#include "module/descriptions.hpp"
#include "module/docstrings.hpp"
#include "module/entry.hpp"
#include "module/errors.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"
#include "velmora_torso_kinematics/arm_kinematics.hpp"

namespace velmora::module {
namespace {

using arm::SphericalLinkGeometry;

// Allocates through the type's own allocator; an allocation failure is the
// interpreter's error.
PyObject* new_arm(PyTypeObject* type, const SphericalLinkGeometry& geometry) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) reinterpret_cast<ArmObject*>(object)->geometry = geometry;
    return object;
}

PyObject* new_arm(const SphericalLinkGeometry& geometry) {
    return new_arm(PythonClass<ArmObject>::type(), geometry);
}

PyObject* construct(PyTypeObject* type, std::optional<double> arm_arc,
                    std::optional<double> coupler_arc, std::optional<bool> mirror) {
    return new_arm(type, {arm_arc.value_or(arm::default_arm_arc),
                          coupler_arc.value_or(arm::default_coupler_arc), arm::Branch::positive,
                          mirror.value_or(false)});
}

PyObject* default_left() { return new_arm(arm::default_left()); }
PyObject* default_right() { return new_arm(arm::default_right()); }

PyObject* from_json(std::string_view json) {
    const arm::GeometryFromJson parsed = arm::read_geometry_json(json);
    if (!parsed.geometry) return raise_invalid_json(parsed.error.message());
    return new_arm(*parsed.geometry);
}

PyObject* fk(const ArmObject& self, double theta_a, double theta_b) {
    const auto solution = arm::forward_kinematics(self.geometry, theta_a, theta_b);
    return solution ? to_python(solution->rotation) : raise(Failure::loop_does_not_close);
}

PyObject* direction(const ArmObject& self, double theta_a, double theta_b) {
    const auto solution = arm::forward_kinematics(self.geometry, theta_a, theta_b);
    return solution ? to_python(solution->v_3) : raise(Failure::loop_does_not_close);
}

PyObject* is_reachable_joints(const ArmObject& self, double theta_a, double theta_b) {
    return to_python(arm::forward_kinematics(self.geometry, theta_a, theta_b).has_value());
}

PyObject* ik(const ArmObject& self, const Mat3& r_target) {
    const auto pair = arm::inverse_kinematics(self.geometry, r_target);
    return pair ? to_python(*pair) : raise(Failure::outside_workspace);
}

PyObject* is_reachable_orientation(const ArmObject& self, const Mat3& r_target) {
    return to_python(arm::inverse_kinematics(self.geometry, r_target).has_value());
}

PyObject* ik_from_direction(const ArmObject& self, const Vec3& v3,
                            const std::optional<JointPair>& near) {
    const auto pair = arm::inverse_kinematics_from_direction(self.geometry, v3, near);
    return pair ? to_python(*pair) : raise(Failure::outside_workspace);
}

PyObject* is_reachable_direction(const ArmObject& self, const Vec3& v3) {
    return to_python(arm::inverse_kinematics_from_direction(self.geometry, v3, std::nullopt).has_value());
}

PyObject* arm_arc(const ArmObject& self) { return to_python(self.geometry.arm_arc); }
PyObject* coupler_arc(const ArmObject& self) { return to_python(self.geometry.coupler_arc); }
PyObject* mirror(const ArmObject& self) { return to_python(self.geometry.mirror); }

// Stored documentation strings: signature line, separator, docstring.
using docs::join;
using docs::separator;
constexpr auto class_doc = join("VelmoraArmKinematics", docs::arm_class_signature, separator);
constexpr auto default_left_doc = join("default_left()", separator, docs::default_left);
constexpr auto default_right_doc = join("default_right()", separator, docs::default_right);
constexpr auto from_json_doc = join("from_json(json)", separator, docs::from_json);
constexpr auto fk_doc = join("fk($self, theta_a, theta_b)", separator, docs::arm_fk);
constexpr auto ik_doc = join("ik($self, r_target)", separator, docs::arm_ik);
constexpr auto ik_from_direction_doc =
    join("ik_from_direction($self, v3, near=None)", separator, docs::ik_from_direction);
constexpr auto direction_doc = join("direction($self, theta_a, theta_b)", separator, docs::direction);
constexpr auto is_reachable_joints_doc =
    join("is_reachable_joints($self, theta_a, theta_b)", separator, docs::is_reachable_joints);
constexpr auto is_reachable_orientation_doc =
    join("is_reachable_orientation($self, r_target)", separator, docs::is_reachable_orientation);
constexpr auto is_reachable_direction_doc =
    join("is_reachable_direction($self, v3)", separator, docs::is_reachable_direction);
constexpr auto arm_arc_doc = join("arm_arc($self)", separator);
constexpr auto coupler_arc_doc = join("coupler_arc($self)", separator);
constexpr auto mirror_doc = join("mirror($self)", separator);

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"default_left", as_method(&static_accessor<default_left>), METH_NOARGS | METH_STATIC,
     default_left_doc.data()},
    {"default_right", as_method(&static_accessor<default_right>), METH_NOARGS | METH_STATIC,
     default_right_doc.data()},
    {"from_json", as_method(&static_method<descriptions::from_json, from_json>),
     fast_keywords | METH_STATIC, from_json_doc.data()},
    {"fk", as_method(&instance_method<descriptions::arm_fk, fk>), fast_keywords, fk_doc.data()},
    {"ik", as_method(&instance_method<descriptions::arm_ik, ik>), fast_keywords, ik_doc.data()},
    {"ik_from_direction",
     as_method(&instance_method<descriptions::ik_from_direction, ik_from_direction>), fast_keywords,
     ik_from_direction_doc.data()},
    {"direction", as_method(&instance_method<descriptions::direction, direction>), fast_keywords,
     direction_doc.data()},
    {"is_reachable_joints",
     as_method(&instance_method<descriptions::is_reachable_joints, is_reachable_joints>),
     fast_keywords, is_reachable_joints_doc.data()},
    {"is_reachable_orientation",
     as_method(&instance_method<descriptions::is_reachable_orientation, is_reachable_orientation>),
     fast_keywords, is_reachable_orientation_doc.data()},
    {"is_reachable_direction",
     as_method(&instance_method<descriptions::is_reachable_direction, is_reachable_direction>),
     fast_keywords, is_reachable_direction_doc.data()},
    {"arm_arc", as_method(&instance_accessor<arm_arc>), METH_NOARGS, arm_arc_doc.data()},
    {"coupler_arc", as_method(&instance_accessor<coupler_arc>), METH_NOARGS, coupler_arc_doc.data()},
    {"mirror", as_method(&instance_accessor<mirror>), METH_NOARGS, mirror_doc.data()},
    {nullptr, nullptr, 0, nullptr},
};

OnceObject arm_class;

}  // namespace

PyTypeObject* arm_type_or_null() {
    return arm_class.get_or_init_type([] {
        return create_class("velmora_torso_kinematics.VelmoraArmKinematics", sizeof(ArmObject), class_doc.data(),
                            &constructor<descriptions::arm_new, construct>, methods);
    });
}

}  // namespace velmora::module
