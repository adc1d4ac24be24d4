// ArmFollower and NeckFollower: the core's followers, one tick per call. Their
// state is the core object itself; these bindings only convert.

#include <nanobind/nanobind.h>

#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"

namespace velmora::batch_module {
namespace {

using namespace nb::literals;

// "tracking", "approaching", "holding", "saturated", indexed by FollowStatus:
// interned once and kept for the life of the process.
PyObject* status_name(FollowStatus status) {
    static PyObject* const names[4] = {PyUnicode_InternFromString("tracking"),
                                       PyUnicode_InternFromString("approaching"),
                                       PyUnicode_InternFromString("holding"),
                                       PyUnicode_InternFromString("saturated")};
    return names[static_cast<int>(status)];
}

// (pose, status) as step() returns it.
nb::tuple step_result(std::initializer_list<double> pose, FollowStatus status) {
    PyObject* values = PyTuple_New(static_cast<Py_ssize_t>(pose.size()));
    if (values == nullptr) throw nb::python_error();
    Py_ssize_t k = 0;
    for (const double v : pose) {
        PyObject* number = PyFloat_FromDouble(v);
        if (number == nullptr) {
            Py_DECREF(values);
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(values, k++, number);
    }
    PyObject* name = status_name(status);
    Py_INCREF(name);
    PyObject* result = PyTuple_Pack(2, values, name);
    Py_DECREF(values);
    Py_DECREF(name);
    if (result == nullptr) throw nb::python_error();
    return nb::steal<nb::tuple>(result);
}

struct ArmFollowerObject {
    arm::ArmFollower follower;
};

struct NeckFollowerObject {
    neck::NeckFollower follower;
};

constexpr const char* arm_start_rule = "a finite pair inside 'limits' at which the loop closes";

void init_arm_follower(ArmFollowerObject* self, nb::handle arm_value, nb::handle start, nb::handle max_step,
                       nb::handle limits, nb::handle damping) {
    const Arguments args("ArmFollower");
    const arm::SphericalFiveBar prepared = args.arm("arm", arm_value);
    double pair[2];
    args.numbers("start", start, pair);
    const arm::FollowSettings settings{args.positive("max_step", max_step), args.limits("limits", limits),
                                       args.non_negative("damping", damping)};
    std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(prepared, {pair[0], pair[1]}, settings);
    if (!follower) args.value_error("start", arm_start_rule, start);
    new (self) ArmFollowerObject{*follower};
}

nb::tuple arm_step(ArmFollowerObject& self, nb::handle direction) {
    double v[3];
    Arguments("ArmFollower.step").numbers("direction", direction, v);
    const arm::FollowStep step = self.follower.step({v[0], v[1], v[2]});
    return step_result({step.pair.theta_a, step.pair.theta_b}, step.status);
}

void arm_reset(ArmFollowerObject& self, nb::handle pair) {
    const Arguments args("ArmFollower.reset");
    double p[2];
    args.numbers("pair", pair, p);
    if (!self.follower.reset({p[0], p[1]})) args.value_error("pair", arm_start_rule, pair);
}

constexpr const char* neck_start_rule = "finite angles inside 'limits'";

void init_neck_follower(NeckFollowerObject* self, nb::handle start, nb::handle max_step, nb::handle limits) {
    const Arguments args("NeckFollower");
    double angles[3];
    args.numbers("start", start, angles);
    const double step = args.positive("max_step", max_step);
    std::optional<neck::NeckFollower> follower =
        neck::NeckFollower::make({angles[0], angles[1], angles[2]}, step, args.neck_limits(limits));
    if (!follower) args.value_error("start", neck_start_rule, start);
    new (self) NeckFollowerObject{*follower};
}

nb::tuple neck_step(NeckFollowerObject& self, nb::handle rotation) {
    const Arguments args("NeckFollower.step");
    nb::object rows = nb::steal(PySequence_Fast(rotation.ptr(), ""));
    if (!rows.is_valid() || PySequence_Fast_GET_SIZE(rows.ptr()) != 3) {
        PyErr_Clear();
        throw nb::type_error(("NeckFollower.step(): 'rotation' must be 3 rows of 3 real numbers, not '" +
                              qualified_type_name(rotation) + "'")
                                 .c_str());
    }
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
        double row[3];
        args.numbers("rotation", PySequence_Fast_GET_ITEM(rows.ptr(), i), row);
        r[i] = {row[0], row[1], row[2]};
    }
    const neck::NeckFollowStep step = self.follower.step(r);
    return step_result({step.angles.yaw, step.angles.pitch, step.angles.roll}, step.status);
}

void neck_reset(NeckFollowerObject& self, nb::handle angles) {
    const Arguments args("NeckFollower.reset");
    double a[3];
    args.numbers("angles", angles, a);
    if (!self.follower.reset({a[0], a[1], a[2]})) args.value_error("angles", neck_start_rule, angles);
}

}  // namespace

void bind_followers(nb::module_& m) {
    m.attr("TRACKING") = static_cast<int>(FollowStatus::tracking);
    m.attr("APPROACHING") = static_cast<int>(FollowStatus::approaching);
    m.attr("HOLDING") = static_cast<int>(FollowStatus::holding);
    for (const char* name : {"TRACKING", "APPROACHING", "HOLDING", "ArmFollower", "NeckFollower"})
        detail::defined_names().push_back(name);

    nb::class_<ArmFollowerObject>(
        m, "ArmFollower",
        "The arm's commanded joint pair, advanced one control tick at a time toward a pointing target. "
        "Every pair it gives is finite, inside limits, closes the loop and lies at most max_step (the "
        "joint-plane distance that near uses) from the one before.")
        .def("__init__", &init_arm_follower, "arm"_a, "start"_a, nb::kw_only(), "max_step"_a,
             "limits"_a = nb::none(), "damping"_a = 0.05,
             nb::sig("def __init__(self, arm: velmora_torso_kinematics.VelmoraArmKinematics | FiveBar, start: "
                     "tuple[float, float], *, max_step: float, limits: tuple[tuple[float, float], "
                     "tuple[float, float]] | None = None, damping: float = 0.05) -> None"))
        .def("step", &arm_step, "direction"_a,
             nb::sig("def step(self, direction: collections.abc.Sequence[float]) -> "
                     "tuple[tuple[float, float], str]"),
             "The next pair toward the direction, and how it was found: \"tracking\" (the direction's "
             "solution nearest the current pair, within max_step), \"approaching\" (a step of at most "
             "max_step toward the target, clamped at the workspace's edge when it is out of reach) or "
             "\"holding\" (the target is not finite or no admissible step exists: the pair stays).")
        .def_prop_ro(
            "pair",
            [](const ArmFollowerObject& self) {
                return nb::make_tuple(self.follower.pair().theta_a, self.follower.pair().theta_b);
            },
            nb::sig("def pair(self) -> tuple[float, float]"), "The commanded joint pair.")
        .def("reset", &arm_reset, "pair"_a,
             nb::sig("def reset(self, pair: tuple[float, float]) -> None"),
             "Moves the commanded pair to pair, which must be a valid start.");

    nb::class_<NeckFollowerObject>(
        m, "NeckFollower",
        "The neck's commanded angles (yaw, pitch, roll), advanced one control tick at a time toward a "
        "head rotation: each angle moves at most max_step toward neck_ik(rotation, near=current angles), "
        "so the command stays continuous across yaw pi, past pitch pi/2 and through gimbal lock.")
        .def("__init__", &init_neck_follower, "start"_a, nb::kw_only(), "max_step"_a, "limits"_a = nb::none(),
             nb::sig("def __init__(self, start: tuple[float, float, float], *, max_step: float, limits: "
                     "tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None = None) "
                     "-> None"))
        .def("step", &neck_step, "rotation"_a,
             nb::sig("def step(self, rotation: collections.abc.Sequence[collections.abc.Sequence[float]]) -> "
                     "tuple[tuple[float, float, float], str]"),
             "The next angles toward the rotation, and \"tracking\" (reached), \"approaching\" (on the "
             "way) or \"holding\" (a non-finite rotation, or a limit stops it).")
        .def_prop_ro(
            "angles",
            [](const NeckFollowerObject& self) {
                const neck::NeckAngles& a = self.follower.angles();
                return nb::make_tuple(a.yaw, a.pitch, a.roll);
            },
            nb::sig("def angles(self) -> tuple[float, float, float]"), "The commanded angles.")
        .def("reset", &neck_reset, "angles"_a,
             nb::sig("def reset(self, angles: tuple[float, float, float]) -> None"),
             "Moves the commanded angles to angles, which must be a valid start.");
}

}  // namespace velmora::batch_module
