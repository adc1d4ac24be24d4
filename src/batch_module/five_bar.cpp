// velmora_torso_batch.FiveBar: the general arm's geometry as a value, which
// every function that takes an arm accepts beside a VelmoraArmKinematics.
// Reading, writing and comparing are the core's (arm::read_five_bar_json,
// write_five_bar_json, same_geometry); this file converts.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <new>
#include <string>
#include <string_view>

#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"
#include "common/float_repr.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::batch_module {
namespace {

constexpr const char* positive_name = "positive";
constexpr const char* negative_name = "negative";

void finite(const Arguments& arguments, const char* name, const double* values, std::size_t count, nb::handle value) {
    for (std::size_t k = 0; k < count; ++k)
        if (!std::isfinite(values[k])) arguments.value_error(name, "finite", value);
}

void init_five_bar(FiveBar* self, nb::handle arm_arcs, nb::handle coupler_arcs, nb::handle base_angle,
                   nb::handle mirror, nb::handle branch) {
    const Arguments arguments("FiveBar");
    double arms[2];
    double couplers[2];
    double base[1];
    arguments.numbers("arm_arcs", arm_arcs, arms);
    finite(arguments, "arm_arcs", arms, 2, arm_arcs);
    arguments.numbers("coupler_arcs", coupler_arcs, couplers);
    finite(arguments, "coupler_arcs", couplers, 2, coupler_arcs);
    base[0] = arguments.real_number("base_angle", base_angle);
    finite(arguments, "base_angle", base, 1, base_angle);
    if (!PyBool_Check(mirror.ptr()))
        throw nb::type_error(("FiveBar(): 'mirror' must be a bool, not '" + qualified_type_name(mirror) + "'").c_str());
    arm::Branch side = arm::Branch::positive;
    if (nb::isinstance<nb::str>(branch) && std::string_view(nb::borrow<nb::str>(branch).c_str()) == negative_name) {
        side = arm::Branch::negative;
    } else if (!nb::isinstance<nb::str>(branch) ||
               std::string_view(nb::borrow<nb::str>(branch).c_str()) != positive_name) {
        arguments.value_error("branch", "'positive' or 'negative'", branch);
    }
    new (self) FiveBar{{arms[0], arms[1], couplers[0], couplers[1], base[0], side, mirror.ptr() == Py_True}};
}

std::string repr(const FiveBar& self) {
    const arm::FiveBarGeometry& g = self.geometry;
    const auto text = [](double v) { return python_float_repr(v); };
    return "FiveBar(arm_arcs=(" + text(g.arm_arc_a) + ", " + text(g.arm_arc_b) + "), coupler_arcs=(" +
           text(g.coupler_arc_a) + ", " + text(g.coupler_arc_b) + "), base_angle=" + text(g.base_angle) +
           ", mirror=" + (g.mirror ? "True" : "False") + ", branch='" +
           (g.branch == arm::Branch::positive ? positive_name : negative_name) + "')";
}

nb::object from_json(nb::handle text) {
    if (!nb::isinstance<nb::str>(text))
        throw nb::type_error(
            ("FiveBar.from_json(): 'text' must be a str, not '" + qualified_type_name(text) + "'").c_str());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) throw nb::python_error();
    const arm::FiveBarFromJson read = arm::read_five_bar_json(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!read.geometry) throw nb::value_error(read.error.message().c_str());
    return nb::cast(FiveBar{*read.geometry});
}

nb::str to_json(const FiveBar& self) {
    // The constructor and the reader admit finite numbers only, so writing cannot fail.
    const auto document = arm::write_five_bar_json(self.geometry);
    if (!document) throw nb::value_error("FiveBar.to_json(): JSON has no number for a non-finite arc");
    return nb::str(document->data(), document->size());
}

}  // namespace

const FiveBar* five_bar_of(nb::handle value) noexcept {
    if (!nb::isinstance<FiveBar>(value)) return nullptr;
    return nb::inst_ptr<FiveBar>(value);
}

void bind_five_bar(nb::module_& m) {
    nb::class_<FiveBar>(m, "FiveBar",
                        "The general arm's geometry: an arc for each input link (arm_arcs: A, B) and each coupler "
                        "segment (coupler_arcs: A's side, B's side), the angle between the input axes (base_angle; "
                        "v_5 = (m sin(base_angle), 0, cos(base_angle))), mirror and branch. Every function that "
                        "takes an arm takes a FiveBar; FiveBar.from_arm(arm) is exactly that arm.",
                        nb::is_final())
        .def("__init__", &init_five_bar, "arm_arcs"_a, "coupler_arcs"_a, "base_angle"_a = 1.5707963267948966,
             nb::kw_only(), "mirror"_a = false, "branch"_a = positive_name,
             nb::sig("def __init__(self, arm_arcs: tuple[float, float], coupler_arcs: tuple[float, float], "
                     "base_angle: float = 1.5707963267948966, *, mirror: bool = False, "
                     "branch: str = 'positive') -> None"))
        .def_static(
            "from_arm",
            [](nb::handle arm) { return FiveBar{Arguments("FiveBar.from_arm").arm("arm", arm).geometry()}; },
            "arm"_a.none(),
            nb::sig("def from_arm(arm: velmora_torso_kinematics.VelmoraArmKinematics | FiveBar) -> FiveBar"),
            "The arm's geometry as a FiveBar: equal arcs and a right base angle for a VelmoraArmKinematics.")
        .def_static("from_json", &from_json, "text"_a.none(), nb::sig("def from_json(text: str) -> FiveBar"),
                    "Reads to_json's document, or any arm document that VelmoraArmKinematics.from_json reads "
                    "(arm_arc and coupler_arc give both sides). ValueError names the fault and its line and column.")
        .def("to_json", &to_json, nb::sig("def to_json(self) -> str"),
             "The geometry as its JSON document: arm_arcs, coupler_arcs, base_angle, branch, mirror, each number "
             "in the shortest digits that read back as the same double.")
        .def_prop_ro(
            "arm_arcs", [](const FiveBar& s) { return nb::make_tuple(s.geometry.arm_arc_a, s.geometry.arm_arc_b); },
            nb::sig("def arm_arcs(self) -> tuple[float, float]"), "The input links' arcs (A, B), radians.")
        .def_prop_ro(
            "coupler_arcs",
            [](const FiveBar& s) { return nb::make_tuple(s.geometry.coupler_arc_a, s.geometry.coupler_arc_b); },
            nb::sig("def coupler_arcs(self) -> tuple[float, float]"),
            "The coupler segments' arcs (v_2 to v_3, v_4 to v_3), radians.")
        .def_prop_ro(
            "base_angle", [](const FiveBar& s) { return s.geometry.base_angle; },
            nb::sig("def base_angle(self) -> float"), "The angle between the input axes v_1 and v_5, radians.")
        .def_prop_ro(
            "mirror", [](const FiveBar& s) { return s.geometry.mirror; }, nb::sig("def mirror(self) -> bool"),
            "True for the right arm, mirrored across the YZ plane.")
        .def_prop_ro(
            "branch",
            [](const FiveBar& s) {
                return nb::str(s.geometry.branch == arm::Branch::positive ? positive_name : negative_name);
            },
            nb::sig("def branch(self) -> str"), "The loop's closure: 'positive' or 'negative'.")
        .def(
            "__eq__",
            [](const FiveBar& self, nb::handle other) -> nb::object {
                const FiveBar* that = five_bar_of(other);
                if (that == nullptr) return nb::borrow(Py_NotImplemented);
                return nb::bool_(arm::same_geometry(self.geometry, that->geometry));
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def(
            "__hash__",
            [](const FiveBar& self) {
                const arm::FiveBarGeometry& g = self.geometry;
                return nb::hash(nb::make_tuple(g.arm_arc_a, g.arm_arc_b, g.coupler_arc_a, g.coupler_arc_b,
                                               g.base_angle, g.mirror, static_cast<int>(g.branch)));
            },
            nb::sig("def __hash__(self) -> int"))
        .def("__repr__", &repr, nb::sig("def __repr__(self) -> str"))
        .def("__getstate__", &to_json, nb::sig("def __getstate__(self) -> str"))
        .def(
            "__setstate__",
            [](FiveBar* self, nb::handle state) {
                nb::object read = from_json(state);
                new (self) FiveBar{nb::inst_ptr<FiveBar>(read)->geometry};
            },
            "state"_a, nb::sig("def __setstate__(self, state: str) -> None"));
    detail::defined_names().push_back("FiveBar");
}

}  // namespace velmora::batch_module
