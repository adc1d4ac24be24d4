// ArmFollower and NeckFollower: the core's followers, one tick per call. Their
// state is the core object itself; these bindings only convert.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"
#include "batch_module/call.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

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

std::optional<double> optional_positive(const Arguments& args, const char* name, nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return args.positive(name, value);
}

void init_arm_follower(ArmFollowerObject* self, nb::handle arm_value, nb::handle start, nb::handle max_step,
                       nb::handle limits, nb::handle damping, nb::handle margin, nb::handle max_step_change) {
    const Arguments args("ArmFollower");
    const arm::SphericalFiveBar prepared = args.arm("arm", arm_value);
    double pair[2];
    args.numbers("start", start, pair);
    arm::FollowSettings settings{args.positive("max_step", max_step), args.limits("limits", limits),
                                 args.non_negative("damping", damping)};
    settings.margin = args.non_negative("margin", margin);
    settings.max_step_change = optional_positive(args, "max_step_change", max_step_change);
    std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(prepared, {pair[0], pair[1]}, settings);
    if (!follower) args.value_error("start", arm_start_rule, start);
    new (self) ArmFollowerObject{*follower};
}

nb::object limits_object(const std::optional<arm::JointLimits>& limits) {
    if (!limits) return nb::none();
    return nb::make_tuple(nb::make_tuple(limits->a_min, limits->a_max), nb::make_tuple(limits->b_min, limits->b_max));
}

nb::object optional_number(const std::optional<double>& value) {
    if (!value) return nb::none();
    return nb::float_(*value);
}

// configure(**settings): every given setting read and checked before any changes.
void arm_configure(ArmFollowerObject& self, nb::kwargs settings) {
    const Arguments args("ArmFollower.configure");
    arm::FollowSettings next = self.follower.settings();
    for (const auto& [key, value] : settings) {
        const std::string name = nb::cast<std::string>(key);
        if (name == "max_step") next.max_step = args.positive("max_step", value);
        else if (name == "limits") next.limits = args.limits("limits", value);
        else if (name == "damping") next.damping = args.non_negative("damping", value);
        else if (name == "margin") next.margin = args.non_negative("margin", value);
        else if (name == "max_step_change") next.max_step_change = optional_positive(args, "max_step_change", value);
        else
            throw nb::type_error(("ArmFollower.configure(): unexpected setting '" + name +
                                  "' (max_step, limits, damping, margin, max_step_change)")
                                     .c_str());
    }
    // Checked above one by one; the core refuses nothing that passed.
    if (!self.follower.configure(next)) throw nb::value_error("ArmFollower.configure(): unusable settings");
}

// The state a copy or a pickle carries: the arm's JSON document, the pair, the
// velocity and the settings.
nb::tuple arm_state(const ArmFollowerObject& self) {
    const std::optional<std::string> document = arm::write_five_bar_json(self.follower.arm().geometry());
    if (!document) throw nb::value_error("ArmFollower: the arm's geometry has no JSON form (a non-finite arc)");
    const arm::FollowSettings& s = self.follower.settings();
    const JointPair& p = self.follower.pair();
    const JointPair& v = self.follower.velocity();
    const arm::ArmFollower::Progress progress = self.follower.progress();
    return nb::make_tuple(nb::str(document->data(), document->size()), nb::make_tuple(p.theta_a, p.theta_b),
                          nb::make_tuple(v.theta_a, v.theta_b), s.max_step, limits_object(s.limits), s.damping,
                          s.margin, optional_number(s.max_step_change),
                          nb::make_tuple(progress.goal.theta_a, progress.goal.theta_b, progress.closest, progress.idle));
}

void arm_set_state(ArmFollowerObject* self, const nb::tuple& state) {
    const Arguments args("ArmFollower.__setstate__");
    if (state.size() != 9) throw nb::type_error("ArmFollower.__setstate__(): 'state' must be a tuple of 9 items");
    const std::string document = nb::cast<std::string>(state[0]);
    const arm::FiveBarFromJson read = arm::read_five_bar_json(document);
    if (!read.geometry) throw nb::value_error(("ArmFollower.__setstate__(): " + read.error.message()).c_str());
    double pair[2];
    double velocity[2];
    args.numbers("pair", state[1], pair);
    args.numbers("velocity", state[2], velocity);
    arm::FollowSettings settings{args.positive("max_step", state[3]), args.limits("limits", state[4]),
                                 args.non_negative("damping", state[5])};
    settings.margin = args.non_negative("margin", state[6]);
    settings.max_step_change = optional_positive(args, "max_step_change", state[7]);
    const nb::tuple walk = nb::cast<nb::tuple>(state[8]);
    if (walk.size() != 4) throw nb::type_error("ArmFollower.__setstate__(): 'state' must end with 4 progress items");
    const arm::ArmFollower::Progress progress{{nb::cast<double>(walk[0]), nb::cast<double>(walk[1])},
                                              nb::cast<double>(walk[2]), nb::cast<int>(walk[3])};
    const arm::SphericalFiveBar prepared(*read.geometry);
    // A pair outside the limits is a state configure() can leave: made at a
    // closing pair without them, then given the limits.
    arm::FollowSettings open = settings;
    open.limits.reset();
    std::optional<arm::ArmFollower> follower = arm::ArmFollower::make(prepared, {pair[0], pair[1]}, open);
    if (!follower || !follower->configure(settings) || !follower->restore({pair[0], pair[1]}, {velocity[0], velocity[1]}, progress))
        args.value_error("state", "a state that __getstate__ gave", state);
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
        "Every pair it gives is finite, inside limits, keeps the closure margin, lies at most max_step (the "
        "joint-plane distance that near uses) from the one before and, with max_step_change, changes its "
        "step by at most that from one tick to the next.")
        .def("__init__", &init_arm_follower, "arm"_a, "start"_a, nb::kw_only(), "max_step"_a,
             "limits"_a = nb::none(), "damping"_a = 0.05, "margin"_a = arm::default_follow_margin,
             "max_step_change"_a = nb::none(),
             nb::sig("def __init__(self, arm: velmora_torso_kinematics.VelmoraArmKinematics | FiveBar, start: "
                     "tuple[float, float], *, max_step: float, limits: tuple[tuple[float, float], "
                     "tuple[float, float]] | None = None, damping: float = 0.05, margin: float = 0.02, "
                     "max_step_change: float | None = None) -> None"))
        .def("step", &arm_step, "direction"_a,
             nb::sig("def step(self, direction: numpy.typing.ArrayLike) -> "
                     "tuple[tuple[float, float], str]"),
             "The next pair toward the direction, and how it was found: \"tracking\" (the direction's "
             "admissible solution nearest the current pair, reached), \"approaching\" (a step toward it or, "
             "out of reach, toward its nearest_reachable pair; also raising a margin below 'margin' or "
             "braking), \"saturated\" (at rest at the best admissible pair of a target out of reach, or "
             "stopped by the limits or the margin) or \"holding\" (a direction not finite or shorter than "
             "1e-12: the follower brakes to rest).")
        .def_prop_ro(
            "pair",
            [](const ArmFollowerObject& self) {
                return nb::make_tuple(self.follower.pair().theta_a, self.follower.pair().theta_b);
            },
            nb::sig("def pair(self) -> tuple[float, float]"), "The commanded joint pair.")
        .def_prop_ro(
            "velocity",
            [](const ArmFollowerObject& self) {
                return nb::make_tuple(self.follower.velocity().theta_a, self.follower.velocity().theta_b);
            },
            nb::sig("def velocity(self) -> tuple[float, float]"),
            "The last step (joint-plane velocity per tick); (0.0, 0.0) at rest.")
        .def_prop_ro(
            "max_step", [](const ArmFollowerObject& self) { return self.follower.settings().max_step; },
            nb::sig("def max_step(self) -> float"), "The largest step per tick.")
        .def_prop_ro(
            "max_step_change",
            [](const ArmFollowerObject& self) { return optional_number(self.follower.settings().max_step_change); },
            nb::sig("def max_step_change(self) -> float | None"),
            "The largest change of the step between two ticks, or None.")
        .def_prop_ro(
            "limits", [](const ArmFollowerObject& self) { return limits_object(self.follower.settings().limits); },
            nb::sig("def limits(self) -> tuple[tuple[float, float], tuple[float, float]] | None"),
            "The joint limits, or None.")
        .def_prop_ro(
            "margin", [](const ArmFollowerObject& self) { return self.follower.settings().margin; },
            nb::sig("def margin(self) -> float"), "The closure margin kept.")
        .def_prop_ro(
            "damping", [](const ArmFollowerObject& self) { return self.follower.settings().damping; },
            nb::sig("def damping(self) -> float"), "The damping of the damped least-squares turn.")
        .def("configure", &arm_configure,
             nb::sig("def configure(self, *, max_step: float = ..., limits: tuple[tuple[float, float], "
                     "tuple[float, float]] | None = ..., damping: float = ..., margin: float = ..., "
                     "max_step_change: float | None = ...) -> None"),
             "Changes the given settings at once, all checked before any changes; a pair that new limits "
             "or a new margin exclude is kept, and the follower walks into them.")
        .def("reset", &arm_reset, "pair"_a,
             nb::sig("def reset(self, pair: tuple[float, float]) -> None"),
             "Moves the commanded pair to pair, which must be a valid start, at rest.")
        .def("__getstate__", &arm_state, nb::sig("def __getstate__(self) -> tuple[object, ...]"),
             "The state a pickle carries: the arm's JSON document, pair, velocity, settings and progress.")
        .def("__setstate__", &arm_set_state, "state"_a,
             nb::sig("def __setstate__(self, state: tuple[object, ...]) -> None"),
             "Rebuilds a follower from what __getstate__ gave.")
        .def(
            "__copy__", [](const ArmFollowerObject& self) { return ArmFollowerObject{self.follower}; },
            nb::sig("def __copy__(self) -> ArmFollower"), "An independent follower in the same state.")
        .def(
            "__deepcopy__", [](const ArmFollowerObject& self, nb::handle) { return ArmFollowerObject{self.follower}; },
            "memo"_a, nb::sig("def __deepcopy__(self, memo: object) -> ArmFollower"),
            "An independent follower in the same state.");

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
