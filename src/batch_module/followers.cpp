// ArmFollower and NeckFollower: the core's followers, one tick per call. Their
// state is the core object itself; these bindings only convert.

#include <nanobind/nanobind.h>

#include <string>

#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"
#include "batch_module/call.hpp"

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
    Call::read_pose("ArmFollower.step", "direction", direction, one_vec3, v);
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

nb::tuple angles_tuple(const neck::NeckAngles& a) { return nb::make_tuple(a.yaw, a.pitch, a.roll); }

nb::object optional_number(const std::optional<double>& value) {
    return value ? nb::object(nb::float_(*value)) : nb::none();
}

nb::object neck_limits_tuple(const std::optional<neck::NeckLimits>& limits) {
    if (!limits) return nb::none();
    return nb::make_tuple(nb::make_tuple(limits->yaw_min, limits->yaw_max),
                          nb::make_tuple(limits->pitch_min, limits->pitch_max),
                          nb::make_tuple(limits->roll_min, limits->roll_max));
}

void init_neck_follower(NeckFollowerObject* self, nb::handle start, nb::handle max_step, nb::handle max_step_change,
                        nb::handle limits) {
    const Arguments args("NeckFollower");
    double angles[3];
    args.numbers("start", start, angles);
    const neck::NeckFollowSettings settings{args.positive("max_step", max_step),
                                            args.positive_or_none("max_step_change", max_step_change),
                                            args.neck_limits(limits)};
    std::optional<neck::NeckFollower> follower =
        neck::NeckFollower::make({angles[0], angles[1], angles[2]}, settings);
    if (!follower) args.value_error("start", neck_start_rule, start);
    new (self) NeckFollowerObject{*follower};
}

nb::tuple neck_step(NeckFollowerObject& self, nb::handle rotation) {
    double r[9];
    Call::read_pose("NeckFollower.step", "rotation", rotation, one_mat3, r);
    const neck::NeckFollowStep step = self.follower.step({{{r[0], r[1], r[2]}, {r[3], r[4], r[5]}, {r[6], r[7], r[8]}}});
    return step_result({step.angles.yaw, step.angles.pitch, step.angles.roll}, step.status);
}

void neck_reset(NeckFollowerObject& self, nb::handle angles) {
    const Arguments args("NeckFollower.reset");
    double a[3];
    args.numbers("angles", angles, a);
    if (!self.follower.reset({a[0], a[1], a[2]})) args.value_error("angles", neck_start_rule, angles);
}

// configure(**settings): only the keywords given change, and only once all of
// them have been read, so a refused one changes nothing.
void neck_configure(NeckFollowerObject& self, nb::kwargs settings) {
    const Arguments args("NeckFollower.configure");
    neck::NeckFollowSettings next = self.follower.settings();
    for (const auto [key, value] : settings) {
        const std::string name = nb::str(key).c_str();
        if (name == "max_step")
            next.max_step = args.positive("max_step", value);
        else if (name == "max_step_change")
            next.max_step_change = args.positive_or_none("max_step_change", value);
        else if (name == "limits")
            next.limits = args.neck_limits(value);
        else
            throw nb::type_error(("NeckFollower.configure() got an unexpected keyword argument '" + name + "'").c_str());
    }
    if (!self.follower.configure(next)) throw nb::value_error("NeckFollower.configure(): settings refused");
}

// The state pickle and copy keep: angles, velocity, max_step, max_step_change, limits.
nb::tuple neck_state(const NeckFollowerObject& self) {
    const neck::NeckFollower& f = self.follower;
    return nb::make_tuple(angles_tuple(f.angles()), angles_tuple(f.velocity()), f.max_step(),
                          optional_number(f.settings().max_step_change), neck_limits_tuple(f.limits()));
}

void neck_restore(NeckFollowerObject* self, nb::handle state) {
    const Arguments args("NeckFollower.__setstate__");
    constexpr const char* rule = "(angles, velocity, max_step, max_step_change, limits) of a NeckFollower";
    nb::object items = nb::steal(PySequence_Fast(state.ptr(), ""));
    if (!items.is_valid() || PySequence_Fast_GET_SIZE(items.ptr()) != 5) {
        PyErr_Clear();
        args.value_error("state", rule, state);
    }
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());
    double angles[3], velocity[3];
    args.numbers("state", item[0], angles);
    args.numbers("state", item[1], velocity);
    const neck::NeckFollowSettings settings{args.positive("state", item[2]), args.positive_or_none("state", item[3]),
                                            args.neck_limits(item[4])};
    std::optional<neck::NeckFollower> follower = neck::NeckFollower::restore(
        {angles[0], angles[1], angles[2]}, {velocity[0], velocity[1], velocity[2]}, settings);
    if (!follower) args.value_error("state", rule, state);
    new (self) NeckFollowerObject{*follower};
}

}  // namespace

void bind_followers(nb::module_& m) {
    m.attr("TRACKING") = static_cast<int>(FollowStatus::tracking);
    m.attr("APPROACHING") = static_cast<int>(FollowStatus::approaching);
    m.attr("HOLDING") = static_cast<int>(FollowStatus::holding);
    m.attr("SATURATED") = static_cast<int>(FollowStatus::saturated);
    for (const char* name : {"TRACKING", "APPROACHING", "HOLDING", "SATURATED", "ArmFollower", "NeckFollower"})
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
             nb::sig("def step(self, direction: numpy.typing.ArrayLike) -> "
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
        "head rotation: each angle moves at most max_step toward the representation of the rotation inside "
        "limits nearest the current angles, so the command stays continuous across yaw pi, past pitch pi/2 "
        "and through gimbal lock. With max_step_change, each angle's step changes by at most that a tick.")
        .def("__init__", &init_neck_follower, "start"_a, nb::kw_only(), "max_step"_a,
             "max_step_change"_a = nb::none(), "limits"_a = nb::none(),
             nb::sig("def __init__(self, start: tuple[float, float, float], *, max_step: float, max_step_change: "
                     "float | None = None, limits: tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None = None) -> None"))
        .def("step", &neck_step, "rotation"_a,
             nb::sig("def step(self, rotation: numpy.typing.ArrayLike) -> tuple[tuple[float, float, float], str]"),
             "The next angles toward the rotation, and \"tracking\" (reached), \"approaching\" (on the "
             "way), \"saturated\" (stopped by a limit, as near as the limits allow) or \"holding\" (not a "
             "rotation: non-finite, not orthonormal within 1e-6 or a reflection).")
        .def_prop_ro(
            "angles", [](const NeckFollowerObject& self) { return angles_tuple(self.follower.angles()); },
            nb::sig("def angles(self) -> tuple[float, float, float]"), "The commanded angles.")
        .def_prop_ro(
            "velocity", [](const NeckFollowerObject& self) { return angles_tuple(self.follower.velocity()); },
            nb::sig("def velocity(self) -> tuple[float, float, float]"),
            "The last step of each angle: zero at rest.")
        .def_prop_ro(
            "max_step", [](const NeckFollowerObject& self) { return self.follower.max_step(); },
            nb::sig("def max_step(self) -> float"), "The largest step of an angle in one tick.")
        .def_prop_ro(
            "max_step_change",
            [](const NeckFollowerObject& self) { return optional_number(self.follower.settings().max_step_change); },
            nb::sig("def max_step_change(self) -> float | None"),
            "The largest change of an angle's step from one tick to the next, or None.")
        .def_prop_ro(
            "limits", [](const NeckFollowerObject& self) { return neck_limits_tuple(self.follower.limits()); },
            nb::sig("def limits(self) -> tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None"), "The angles' inclusive ranges, or None.")
        .def("reset", &neck_reset, "angles"_a,
             nb::sig("def reset(self, angles: tuple[float, float, float]) -> None"),
             "Moves the commanded angles to angles, which must be a valid start, and leaves the neck at rest.")
        .def("configure", &neck_configure,
             nb::sig("def configure(self, *, max_step: float = ..., max_step_change: float | None = ..., "
                     "limits: tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None = ...) -> None"),
             "Changes the settings given, from the next step on, once every one of them is read. Limits that "
             "exclude the current angles are walked into.")
        .def("__getstate__", &neck_state,
             nb::sig("def __getstate__(self) -> tuple[tuple[float, float, float], tuple[float, float, float], "
                     "float, float | None, tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None]"),
             "The follower's state, for pickle and copy.")
        .def("__setstate__", &neck_restore,
             nb::sig("def __setstate__(self, state: tuple[tuple[float, float, float], tuple[float, float, "
                     "float], float, float | None, tuple[tuple[float, float], tuple[float, float], tuple[float, float]] | None]) -> None"),
             "Restores a state __getstate__ gave.");
}

}  // namespace velmora::batch_module
