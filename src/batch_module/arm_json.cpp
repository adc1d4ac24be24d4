// velmora_torso_batch.arm_json: an arm's geometry as its JSON document.
//
// The class keeps its branch to itself (there is no accessor for it), so code
// that logs, copies or fits an arm reads all four fields from this document.
// The writing is the core's (arm::write_geometry_json); this file only maps
// the argument and the failure.

#include <nanobind/nanobind.h>

#include <string>

#include "batch_module/arguments.hpp"
#include "batch_module/binding.hpp"
#include "velmora_torso_kinematics/arm_geometry.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace velmora::batch_module {
namespace {

std::string text_of(double value) { return nb::repr(nb::float_(value)).c_str(); }

nb::str arm_json(nb::handle arm) {
    const Arguments arguments("arm_json");
    const arm::SphericalFiveBar prepared = arguments.arm("arm", arm);
    const arm::SphericalLinkGeometry& geometry = prepared.geometry();
    const auto document = arm::write_geometry_json(geometry);
    if (!document)
        throw nb::value_error(("arm_json(): JSON has no number for the arcs " + text_of(geometry.arm_arc) + " and " +
                               text_of(geometry.coupler_arc))
                                  .c_str());
    return nb::str(document->data(), document->size());
}

}  // namespace

void bind_arm_json(nb::module_& m) {
    m.def("arm_json", &arm_json, "arm"_a.none(),
          nb::sig("def arm_json(arm: velmora_torso_kinematics.VelmoraArmKinematics) -> str"),
          "The arm's geometry as its JSON document, all four fields (arm_arc, coupler_arc, branch, mirror), "
          "each arc in the shortest digits that read back as the same double: "
          "VelmoraArmKinematics.from_json(arm_json(arm)) is the same arm. ValueError for a NaN or infinite arc.");
    detail::defined_names().push_back("arm_json");
}

}  // namespace velmora::batch_module
