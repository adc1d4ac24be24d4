#pragma once
// VelmoraNeckKinematics: its bodies and, at the bottom, its table.

#include "module/converters.hpp"
#include "module/errors.hpp"
#include "module/method_table.hpp"
#include "module/object_layouts.hpp"
#include "velmora_torso_kinematics/neck_kinematics.hpp"

namespace velmora::module::neck_class {

inline Returns<NeckObject> construct(PyTypeObject* type) { return type->tp_alloc(type, 0); }

inline Returns<Mat3> fk(const NeckObject&, const Vec3& joints) {
    return to_python(neck::forward_kinematics({joints.x, joints.y, joints.z}));
}

inline Returns<neck::NeckAngles> ik(const NeckObject&, const Mat3& r) {
    const auto angles = neck::inverse_kinematics(r);
    return angles ? float_tuple({angles->yaw, angles->pitch, angles->roll}) : raise(Failure::gimbal_lock);
}

inline constexpr auto table = class_table<NeckObject>(
    method<construct>("__new__", ""),
    method<fk>("fk", {"joints"},
               "Forward kinematics. `joints = [yaw, pitch, roll]` in radians.\n"
               "Returns the 3\u00d73 rotation matrix of the head frame in the body frame."),
    method<ik>("ik", {"r"},
               "Inverse kinematics. `r` is a 3\u00d73 rotation matrix (row-major).\n"
               "Returns `(yaw, pitch, roll)` in radians.\n\n"
               "Raises `ValueError` near gimbal lock (|pitch| \u2248 \u03c0/2). The neck's\n"
               "pitch range is well under that limit in practice."));
static_assert(table_is_well_formed(table));

}  // namespace velmora::module::neck_class
