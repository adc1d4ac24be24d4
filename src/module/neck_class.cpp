// VelmoraNeckKinematics: the neck's Python class.

#include "module/classes.hpp"
#include "module/descriptions.hpp"
#include "module/docstrings.hpp"
#include "module/entry.hpp"
#include "module/errors.hpp"
#include "velmora_torso_kinematics/neck.hpp"

namespace velmora::module {
namespace {

PyObject* construct(PyTypeObject* type) { return type->tp_alloc(type, 0); }

PyObject* fk(const NeckObject&, const Vec3& joints) {
    return to_python(neck::forward_kinematics({joints.x, joints.y, joints.z}));
}

PyObject* ik(const NeckObject&, const Mat3& r) {
    const auto angles = neck::inverse_kinematics(r);
    return angles ? float_tuple({angles->yaw, angles->pitch, angles->roll}) : raise(Failure::gimbal_lock);
}

using docs::join;
using docs::separator;
constexpr auto class_doc = join("VelmoraNeckKinematics", docs::neck_class_signature, separator);
constexpr auto fk_doc = join("fk($self, joints)", separator, docs::neck_fk);
constexpr auto ik_doc = join("ik($self, r)", separator, docs::neck_ik);

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"fk", as_method(&instance_method<descriptions::neck_fk, fk>), fast_keywords, fk_doc.data()},
    {"ik", as_method(&instance_method<descriptions::neck_ik, ik>), fast_keywords, ik_doc.data()},
    {nullptr, nullptr, 0, nullptr},
};

OnceObject neck_class;

}  // namespace

PyTypeObject* neck_type_or_null() {
    return neck_class.get_or_init_type([] {
        return create_class("velmora_torso_kinematics.VelmoraNeckKinematics", sizeof(NeckObject),
                            class_doc.data(), &constructor<descriptions::neck_new, construct>,
                            methods);
    });
}

}  // namespace velmora::module
