#pragma once
// Functions of velmora_torso_batch bound outside module.cpp, each called once
// from the module's initialisation after __all__ is set; each adds its names
// to __all__.

#include <nanobind/nanobind.h>

namespace velmora::batch_module {

// arm_json(arm): the arm's geometry as its JSON document.
void bind_arm_json(nanobind::module_& m);

}  // namespace velmora::batch_module
