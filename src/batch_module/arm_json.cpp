// velmora_torso_batch.arm_json: an arm's geometry as its JSON document.
//
// The class keeps its branch to itself (there is no accessor for it), so code
// that logs, copies or fits an arm reads all four fields from this document.
// The writing is the core's (arm::write_geometry_json); this file only maps
// the argument and the failure.

#include <nanobind/nanobind.h>

#include <optional>
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
    const std::optional<arm::SphericalLinkGeometry> link = arm::link_geometry(prepared.geometry());
    if (!link)
        throw nb::value_error(
            "arm_json(): 'arm' has unequal arcs or a base angle other than a right angle, which this document "
            "cannot hold; FiveBar.to_json writes the general arm's document");
    const arm::SphericalLinkGeometry& geometry = *link;
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
          nb::sig("def arm_json(arm: velmora_torso_kinematics.VelmoraArmKinematics | FiveBar) -> str"),
          "The arm's geometry as its JSON document, all four fields (arm_arc, coupler_arc, branch, mirror), "
          "each arc in the shortest digits that read back as the same double: "
          "VelmoraArmKinematics.from_json(arm_json(arm)) is the same arm. ValueError for a NaN or infinite arc, and for a FiveBar that is no such arm (unequal arcs or a base angle "
          "other than pi/2: FiveBar.to_json writes its document).");
    detail::defined_names().push_back("arm_json");
}

}  // namespace velmora::batch_module
